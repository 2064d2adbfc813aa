#include "cli_server.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <malloc.h>
#include <signal.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "cli_capture.h"
#include "cli_process.h"
#include "cli_store.h"
#include "cli_util.h"
#include "quillmar_clip.h"

namespace host {
namespace {

#define QUILLMAR_STR2(x) #x
#define QUILLMAR_STR(x) QUILLMAR_STR2(x)
constexpr char kVersion[] = QUILLMAR_STR(QUILLMAR_CLIP_VERSION_MAJOR) "." QUILLMAR_STR(
    QUILLMAR_CLIP_VERSION_MINOR) "." QUILLMAR_STR(QUILLMAR_CLIP_VERSION_PATCH);

// A client has this long to send its whole request, and then to say go
// once it is ready; an answer that stops moving for this long is dropped.
constexpr long kRequestMs = 5000;
constexpr long kGoMs = 5000;
constexpr long kWriteMs = 10000;
// Clients connected at once; the next ones are told to run by themselves.
constexpr size_t kMaxClients = 32;

uint64_t fnv1a(std::string_view s) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : s) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return h;
}

// The GNU build id of the program and of the library, from their notes:
// two builds of the same version may differ, and a server of another build
// would not answer as this program does.
int add_build_id(struct dl_phdr_info *info, size_t, void *data) {
  std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  // The program itself comes first, without a name.
  bool wanted = name.empty() || name.find("libquillmar-clipboard-history") != std::string::npos;
  if (!wanted) return 0;
  auto *out = static_cast<std::string *>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_NOTE) continue;
    const char *p = reinterpret_cast<const char *>(info->dlpi_addr + ph.p_vaddr);
    const char *end = p + ph.p_memsz;
    while (p + sizeof(ElfW(Nhdr)) <= end) {
      const auto *note = reinterpret_cast<const ElfW(Nhdr) *>(p);
      const char *nm = p + sizeof(ElfW(Nhdr));
      const char *desc = nm + ((note->n_namesz + 3) & ~3u);
      if (desc + note->n_descsz > end) break;
      if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 && memcmp(nm, "GNU", 4) == 0) {
        char hex[3];
        out->push_back(' ');
        for (size_t k = 0; k < note->n_descsz; ++k) {
          snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(desc[k]));
          out->append(hex);
        }
      }
      p = desc + ((note->n_descsz + 3) & ~3u);
    }
  }
  return 0;
}

CommandRunner g_runner = nullptr;

}  // namespace

struct Server::State {
  struct Client {
    int fd = -1;
    enum class Phase { reading, waiting, done } phase = Phase::reading;
    std::string in;
    std::string out;
    size_t sent = 0;
    long deadline = 0;
    wire::Request request;
  };

  std::string store, path, lock_path;
  int listen_fd = -1, lock_fd = -1, home_fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  int64_t since = 0;
  uint64_t recorded_at_start = 0;
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<Client *> polled;
  bool polled_listener = false;

  void accept_clients();
  void service(Client *c, short revents);
  void read_request(Client *c);
  void read_go(Client *c);
  void flush(Client *c);
  void refuse(Client *c, const std::string &why);
  void answer(Client *c, char type, std::string_view payload);
  void run(Client *c);
  wire::ServerInfo info() const;
  void drop(Client *c);
};

namespace {

Server::State *g_state = nullptr;

// Standard output and standard error of a command, as frames of the
// answer in the order they were written. The streams stdout and stderr
// become streams of our own for the command (glibc lets them be set);
// whatever writes to descriptors 1 and 2 directly lands in files in memory
// and follows at the end. Standard input becomes the request's input.
class Redirect {
 public:
  Redirect(std::string *answer, const wire::Request &r) : answer_(answer) {
    fflush(stdout);
    fflush(stderr);
    for (int fd = 0; fd < 3; ++fd) saved_[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int in = r.has_input ? memory_file("quillmar-input", r.input)
                         : open("/dev/null", O_RDONLY | O_CLOEXEC);
    stray_[0] = memory_file("quillmar-stdout", "");
    stray_[1] = memory_file("quillmar-stderr", "");
    ok_ = in >= 0 && stray_[0] >= 0 && stray_[1] >= 0 && saved_[0] >= 0 &&
          saved_[1] >= 0 && saved_[2] >= 0;
    if (!ok_) {
      if (in >= 0) close(in);
      return;
    }
    dup2(in, STDIN_FILENO);
    close(in);
    dup2(stray_[0], STDOUT_FILENO);
    dup2(stray_[1], STDERR_FILENO);
    __fpurge(stdin);
    clearerr(stdin);
    saved_out_ = stdout;
    saved_err_ = stderr;
    out_sink_ = {this, wire::kOut};
    err_sink_ = {this, wire::kErr};
    cookie_io_functions_t io = {nullptr, &Redirect::write_sink, nullptr, nullptr};
    FILE *out = fopencookie(&out_sink_, "w", io);
    FILE *err = fopencookie(&err_sink_, "w", io);
    if (out == nullptr || err == nullptr) {
      if (out != nullptr) fclose(out);
      if (err != nullptr) fclose(err);
      ok_ = false;
      restore_fds();
      return;
    }
    // The buffering the command's own process would have.
    setvbuf(out, nullptr, r.stdout_terminal ? _IOLBF : _IOFBF, BUFSIZ);
    setvbuf(err, nullptr, _IONBF, 0);
    stdout = out;
    stderr = err;
  }
  ~Redirect() { finish(); }
  bool ok() const { return ok_; }

  void finish() {
    if (!ok_) return;
    ok_ = false;
    fclose(stdout);
    fclose(stderr);
    stdout = saved_out_;
    stderr = saved_err_;
    for (int k = 0; k < 2; ++k) {
      std::string stray;
      bool more = false;
      std::string error;
      if (lseek(stray_[k], 0, SEEK_SET) == 0) {
        read_capped(stray_[k], wire::kMaxAnswer, &stray, &more, &error);
      }
      append(k == 0 ? wire::kOut : wire::kErr, stray);
    }
    restore_fds();
  }

 private:
  struct Sink {
    Redirect *self;
    char type;
  };

  static ssize_t write_sink(void *cookie, const char *buf, size_t size) {
    auto *sink = static_cast<Sink *>(cookie);
    sink->self->append(sink->type, std::string_view(buf, size));
    return static_cast<ssize_t>(size);
  }

  void append(char type, std::string_view bytes) {
    while (!bytes.empty()) {
      size_t n = std::min(bytes.size(), wire::kMaxChunk);
      wire::append_frame(answer_, type, bytes.substr(0, n));
      bytes.remove_prefix(n);
    }
  }

  void restore_fds() {
    for (int fd = 0; fd < 3; ++fd) {
      if (saved_[fd] >= 0) {
        dup2(saved_[fd], fd);
        close(saved_[fd]);
        saved_[fd] = -1;
      }
    }
    for (int &fd : stray_) {
      if (fd >= 0) close(fd);
      fd = -1;
    }
    __fpurge(stdin);
    clearerr(stdin);
  }

  std::string *answer_;
  bool ok_ = false;
  int saved_[3] = {-1, -1, -1};
  int stray_[2] = {-1, -1};
  FILE *saved_out_ = nullptr, *saved_err_ = nullptr;
  Sink out_sink_{}, err_sink_{};
};

// The environment, umask, directory and terminal of the client, for the
// length of one command.
class ClientSetting {
 public:
  ClientSetting(const wire::Request &r, int home_fd) : home_fd_(home_fd) {
    for (const char *name : wire::kEnvNames) {
      const char *v = getenv(name);
      saved_.emplace_back(name, v != nullptr ? std::optional<std::string>(v) : std::nullopt);
      const std::string *given = nullptr;
      for (auto &e : r.env) {
        if (e.first == name) given = &e.second;
      }
      if (given != nullptr) {
        setenv(name, given->c_str(), 1);
      } else {
        unsetenv(name);
      }
    }
    tzset();
    old_umask_ = umask(static_cast<mode_t>(r.umask));
    view_ = {r.stdin_terminal, r.stdout_terminal, static_cast<int>(r.columns)};
    view_terminal(&view_);
    entered_ = chdir(r.cwd.c_str()) == 0;
  }
  ~ClientSetting() {
    if (fchdir(home_fd_) != 0) {
      // The server's own directory went away; nothing it does depends on it.
    }
    view_terminal(nullptr);
    umask(old_umask_);
    for (auto &[name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    tzset();
  }
  bool entered() const { return entered_; }

 private:
  int home_fd_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
  mode_t old_umask_ = 077;
  TerminalView view_;
  bool entered_ = false;
};

}  // namespace

std::string socket_dir(bool create, std::string *why) {
  const char *runtime = getenv("XDG_RUNTIME_DIR");
  std::string dir = runtime != nullptr && runtime[0] == '/'
                        ? std::string(runtime) + "/quillmar-clip"
                        : "/tmp/quillmar-clip-" + std::to_string(getuid());
  if (create && mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = "cannot create " + dir + ": " + strerror(errno);
    return "";
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    *why = "cannot use " + dir + ": " + strerror(errno);
    return "";
  }
  if (!S_ISDIR(st.st_mode)) {
    *why = dir + " is not a directory";
    return "";
  }
  if (st.st_uid != getuid()) {
    *why = dir + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    return "";
  }
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *why = dir + " is open to other users (mode " + mode + "; it must be 0700)";
    return "";
  }
  return dir;
}

std::string socket_path(const std::string &store, bool create, std::string *why) {
  char resolved[PATH_MAX];
  if (realpath(store.c_str(), resolved) == nullptr) {
    *why = "cannot resolve " + store + ": " + strerror(errno);
    return "";
  }
  std::string dir = socket_dir(create, why);
  if (dir.empty()) return "";
  char name[32];
  snprintf(name, sizeof name, "/%016llx.sock",
           static_cast<unsigned long long>(fnv1a(resolved)));
  std::string path = dir + name;
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    *why = "the socket's path " + path + " is too long";
    return "";
  }
  return path;
}

const std::string &wire_version() {
  static const std::string version = [] {
    std::string v = std::string("quillmar-clip ") + kVersion + " wire 1";
    dl_iterate_phdr(add_build_id, &v);
    return v;
  }();
  return version;
}

void set_command_runner(CommandRunner runner) { g_runner = runner; }

bool serves_store(const std::string &dir) {
  if (g_state == nullptr) return false;
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == g_state->dev &&
         st.st_ino == g_state->ino;
}

bool own_server_info(wire::ServerInfo *info) {
  if (g_state == nullptr) return false;
  *info = g_state->info();
  return true;
}

wire::ServerInfo Server::State::info() const {
  wire::ServerInfo i;
  i.version = wire_version();
  i.pid = getpid();
  i.since = since;
  i.captures = clips_recorded() - recorded_at_start;
  return i;
}

Server::Server() : s_(std::make_unique<State>()) {}

Server::~Server() { stop(0); }

const std::string &Server::path() const { return s_->path; }

Server::Start Server::start(const std::string &store, std::string *why) {
  State &s = *s_;
  s.store = store;
  // The store directory is made now, as opening it would, so that it has
  // a resolved path to name the socket after.
  (void)mkdir(store.c_str(), 0700);
  s.path = socket_path(store, true, why);
  if (s.path.empty()) return Start::unusable;
  s.lock_path = s.path.substr(0, s.path.size() - 5) + ".lock";
  // The lock file says who serves: its lock dies with its holder, so a
  // socket left by a server that was killed is known to be stale.
  s.lock_fd = open(s.lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (s.lock_fd < 0) {
    *why = "cannot open " + s.lock_path + ": " + strerror(errno);
    return Start::unusable;
  }
  if (flock(s.lock_fd, LOCK_EX | LOCK_NB) != 0) {
    char buf[32] = "";
    ssize_t n = pread(s.lock_fd, buf, sizeof buf - 1, 0);
    long pid = n > 0 ? strtol(buf, nullptr, 10) : 0;
    close(s.lock_fd);
    s.lock_fd = -1;
    *why = "a server is running for " + store +
           (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string());
    return Start::running;
  }
  std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(s.lock_fd, 0) != 0 ||
      pwrite(s.lock_fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    *why = "cannot write " + s.lock_path + ": " + strerror(errno);
    stop(0);
    return Start::unusable;
  }
  if (unlink(s.path.c_str()) != 0 && errno != ENOENT) {
    *why = "cannot remove the stale socket " + s.path + ": " + strerror(errno);
    stop(0);
    return Start::unusable;
  }
  s.listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, s.path.c_str(), s.path.size() + 1);
  if (s.listen_fd < 0 ||
      bind(s.listen_fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
      chmod(s.path.c_str(), 0600) != 0 || listen(s.listen_fd, 64) != 0) {
    *why = "cannot listen on " + s.path + ": " + strerror(errno);
    stop(0);
    return Start::unusable;
  }
  char resolved[PATH_MAX];
  struct stat st;
  s.home_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (s.home_fd < 0) s.home_fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (realpath(store.c_str(), resolved) == nullptr || stat(resolved, &st) != 0 ||
      s.home_fd < 0) {
    *why = "cannot resolve " + store + ": " + strerror(errno);
    stop(0);
    return Start::unusable;
  }
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  serve_store_at(resolved);
  s.since = static_cast<int64_t>(time(nullptr));
  s.recorded_at_start = clips_recorded();
  g_state = &s;
  return Start::serving;
}

void Server::add_poll_fds(std::vector<struct pollfd> *fds) {
  State &s = *s_;
  s.polled.clear();
  s.polled_listener = s.listen_fd >= 0;
  if (s.polled_listener) fds->push_back({s.listen_fd, POLLIN, 0});
  for (auto &c : s.clients) {
    short events = c->phase == State::Client::Phase::done ? 0 : POLLIN;
    if (c->sent < c->out.size()) events |= POLLOUT;
    fds->push_back({c->fd, events, 0});
    s.polled.push_back(c.get());
  }
}

int Server::poll_timeout() const {
  if (s_->clients.empty()) return -1;
  long now = now_ms(), next = LONG_MAX;
  for (auto &c : s_->clients) next = std::min(next, c->deadline);
  return static_cast<int>(std::clamp(next - now, 0L, 60000L));
}

void Server::handle(const struct pollfd *fds, size_t n) {
  State &s = *s_;
  size_t i = 0;
  if (s.polled_listener && n > 0) {
    if ((fds[0].revents & POLLIN) != 0) s.accept_clients();
    i = 1;
  }
  for (size_t k = 0; k < s.polled.size() && i + k < n; ++k) {
    short revents = fds[i + k].revents;
    if (revents != 0 && s.polled[k]->fd >= 0) s.service(s.polled[k], revents);
  }
  s.polled.clear();
  for (auto &c : s.clients) {
    if (c->fd < 0 || now_ms() < c->deadline) continue;
    // The server may have been busy with a command while the client did
    // its part: what it sent meanwhile counts.
    s.service(c.get(), POLLIN | POLLOUT);
    if (c->fd < 0 || now_ms() < c->deadline) continue;
    switch (c->phase) {
      case State::Client::Phase::reading:
        complain("dropped a client that sent no whole request within " +
                 std::to_string(kRequestMs / 1000) + " s (" + std::to_string(c->in.size()) +
                 " bytes came)");
        break;
      case State::Client::Phase::waiting:
        // It gave up waiting and runs the command by itself.
        break;
      case State::Client::Phase::done:
        complain("dropped a client that took no answer for " +
                 std::to_string(kWriteMs / 1000) + " s");
        break;
    }
    s.drop(c.get());
  }
  s.clients.erase(std::remove_if(s.clients.begin(), s.clients.end(),
                                 [](const std::unique_ptr<State::Client> &c) {
                                   return c->fd < 0;
                                 }),
                  s.clients.end());
}

void Server::State::accept_clients() {
  for (;;) {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // EAGAIN: none left. Anything else (out of descriptors) leaves the
      // rest in the queue, to give up by themselves.
      return;
    }
    auto c = std::make_unique<Client>();
    c->fd = fd;
    c->deadline = now_ms() + kRequestMs;
    struct ucred cred = {};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != getuid()) {
      complain("refused a connection from uid " + std::to_string(cred.uid) + " (pid " +
               std::to_string(cred.pid) + "): the server answers only its own user");
      refuse(c.get(), "the server answers only its own user");
      flush(c.get());
      drop(c.get());
      continue;
    }
    if (clients.size() >= kMaxClients) {
      wire::ServerInfo i = info();
      i.reason = "busy: " + std::to_string(kMaxClients) + " clients are connected";
      answer(c.get(), wire::kNotServed, wire::encode_info(i));
      flush(c.get());
      drop(c.get());
      continue;
    }
    clients.push_back(std::move(c));
  }
}

void Server::State::drop(Client *c) {
  if (c->fd >= 0) close(c->fd);
  c->fd = -1;
  c->in.clear();
  c->in.shrink_to_fit();
  c->out.clear();
  c->out.shrink_to_fit();
}

void Server::State::answer(Client *c, char type, std::string_view payload) {
  wire::append_frame(&c->out, type, payload);
  c->phase = Client::Phase::done;
  c->deadline = now_ms() + kWriteMs;
}

void Server::State::refuse(Client *c, const std::string &why) {
  answer(c, wire::kRefused, why);
}

void Server::State::flush(Client *c) {
  while (c->sent < c->out.size()) {
    ssize_t n = send(c->fd, c->out.data() + c->sent, c->out.size() - c->sent,
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      drop(c);
      return;
    }
    c->sent += static_cast<size_t>(n);
    c->deadline = now_ms() + (c->phase == Client::Phase::waiting ? kGoMs : kWriteMs);
  }
  if (c->phase == Client::Phase::done) {
    shutdown(c->fd, SHUT_RDWR);
    drop(c);
  }
}

void Server::State::service(Client *c, short revents) {
  if ((revents & POLLOUT) != 0) flush(c);
  if (c->fd < 0) return;
  if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
    if (c->phase == Client::Phase::reading) {
      read_request(c);
    } else if (c->phase == Client::Phase::waiting) {
      read_go(c);
    } else if ((revents & (POLLHUP | POLLERR)) != 0 && c->sent < c->out.size() &&
               (revents & POLLOUT) == 0) {
      drop(c);
    }
  }
}

void Server::State::read_request(Client *c) {
  char buf[65536];
  for (;;) {
    ssize_t n = recv(c->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      // A probe that only connects sends nothing; a request cut short is
      // told so, in case the client still listens.
      if (!c->in.empty()) {
        complain("refused a request cut short after " + std::to_string(c->in.size()) +
                 " bytes");
        refuse(c, "the request was cut short");
        flush(c);
      }
      drop(c);
      return;
    }
    c->in.append(buf, static_cast<size_t>(n));
    wire::Frame frame;
    size_t used = 0;
    switch (wire::scan_frame(c->in, wire::kMaxRequest, &frame, &used)) {
      case wire::Scan::partial:
        continue;
      case wire::Scan::too_large:
        complain("refused a request that announces more than " +
                 std::to_string(wire::kMaxRequest) + " bytes");
        refuse(c, "the request is larger than " + std::to_string(wire::kMaxRequest) +
                      " bytes");
        flush(c);
        return;
      case wire::Scan::whole:
        break;
    }
    std::string why;
    if (frame.type != wire::kRequest) {
      why = "the first frame is not a request";
    } else if (used != c->in.size()) {
      why = "the client spoke again before it was answered";
    } else if (!wire::decode_request(frame.payload, &c->request, &why)) {
      // why says what is wrong, never what the request holds.
    }
    if (!why.empty()) {
      complain("refused a malformed request of " + std::to_string(used) + " bytes: " + why);
      refuse(c, "malformed request: " + why);
      flush(c);
      return;
    }
    c->in.clear();
    c->in.shrink_to_fit();
    if (c->request.version != wire_version()) {
      wire::ServerInfo i = info();
      i.reason = "the server runs another version";
      answer(c, wire::kNotServed, wire::encode_info(i));
    } else if (c->request.status) {
      answer(c, wire::kInfo, wire::encode_info(info()));
    } else {
      wire::append_frame(&c->out, wire::kReady, "");
      c->phase = Client::Phase::waiting;
      c->deadline = now_ms() + kGoMs;
    }
    flush(c);
    return;
  }
}

void Server::State::read_go(Client *c) {
  char buf[16];
  ssize_t n;
  while ((n = recv(c->fd, buf, sizeof buf, MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (n <= 0) {
    // It gave up waiting, and runs the command by itself.
    drop(c);
    return;
  }
  c->in.append(buf, static_cast<size_t>(n));
  wire::Frame frame;
  size_t used = 0;
  wire::Scan scan = wire::scan_frame(c->in, 0, &frame, &used);
  if (scan == wire::Scan::partial) return;
  if (scan != wire::Scan::whole || frame.type != wire::kGo || used != c->in.size()) {
    complain("refused a client that said something else than go");
    refuse(c, "malformed request: expected go");
    flush(c);
    return;
  }
  c->in.clear();
  run(c);
}

void Server::State::run(Client *c) {
  std::string out;
  int status = kNotServed;
  std::string reason = "the server does not run this command";
  {
    ClientSetting setting(c->request, home_fd);
    if (!setting.entered()) {
      reason = "the server cannot enter the client's directory";
    } else {
      Redirect redirect(&out, c->request);
      if (!redirect.ok()) {
        reason = std::string("the server cannot capture the output: ") + strerror(errno);
      } else if (g_runner != nullptr) {
        forget_set_aside_here();
        try {
          status = g_runner(c->request.args);
        } catch (const std::exception &e) {
          complain(std::string("internal error: ") + e.what());
          status = 1;
        }
      }
      redirect.finish();
    }
  }
  // After a failure the library's memory may be ahead of the file.
  if (status != 0) forget_loaded_store();
  c->request = wire::Request{};
  if (status == kNotServed) {
    wire::ServerInfo i = info();
    i.reason = reason;
    answer(c, wire::kNotServed, wire::encode_info(i));
  } else {
    c->out += out;
    answer(c, wire::kExit, wire::exit_payload(status));
  }
  out.clear();
  out.shrink_to_fit();
  flush(c);
  // What the command allocated for its answer goes back to the system: a
  // server holds the history, and nothing more, between commands.
  malloc_trim(0);
}

void remove_server_socket() {
  if (g_state != nullptr && g_state->listen_fd >= 0) unlink(g_state->path.c_str());
}

void Server::stop(long ms) {
  State &s = *s_;
  if (s.listen_fd >= 0) {
    close(s.listen_fd);
    s.listen_fd = -1;
    unlink(s.path.c_str());
  }
  // A client that said go has its command run; the others run theirs by
  // themselves. The answers under way are sent.
  for (auto &c : s.clients) {
    if (c->fd >= 0 && c->phase == State::Client::Phase::waiting) s.read_go(c.get());
    if (c->phase != State::Client::Phase::done) s.drop(c.get());
  }
  long deadline = now_ms() + ms;
  for (;;) {
    std::vector<struct pollfd> fds;
    for (auto &c : s.clients) {
      if (c->fd >= 0) fds.push_back({c->fd, POLLOUT, 0});
    }
    long left = deadline - now_ms();
    if (fds.empty() || left <= 0) break;
    poll(fds.data(), fds.size(), static_cast<int>(left));
    for (auto &c : s.clients) {
      if (c->fd >= 0) s.flush(c.get());
    }
  }
  for (auto &c : s.clients) s.drop(c.get());
  s.clients.clear();
  if (s.lock_fd >= 0) close(s.lock_fd);
  s.lock_fd = -1;
  if (s.home_fd >= 0) close(s.home_fd);
  s.home_fd = -1;
  if (g_state == &s) {
    g_state = nullptr;
    serve_store_at("");
  }
}

int run_serve(const std::string &store) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Server server;
  std::string why;
  switch (server.start(store, &why)) {
    case Server::Start::serving:
      break;
    case Server::Start::running:
      complain(why);
      return 1;
    case Server::Start::unusable:
      complain("cannot serve " + store + ": " + why);
      return 1;
  }
  {
    // A store that cannot be opened is reported now, and the history is
    // loaded before the first command comes.
    StoreLock lock;
    if (!open_store(store, &lock)) return 1;
  }
  SignalPipe signals;
  if (!signals.open(true, false, &why)) {
    complain(why);
    return 1;
  }
  printf("serving %s on %s (Ctrl-C stops)\n", store.c_str(), server.path().c_str());
  int status = 0;
  for (;;) {
    std::vector<struct pollfd> fds = {{SignalPipe::fd(), POLLIN, 0}};
    server.add_poll_fds(&fds);
    if (poll(fds.data(), fds.size(), server.poll_timeout()) < 0 && errno != EINTR) {
      complain(std::string("poll failed: ") + strerror(errno));
      status = 1;
      break;
    }
    if ((fds[0].revents & POLLIN) != 0) break;
    server.handle(fds.data() + 1, fds.size() - 1);
  }
  server.stop(2000);
  signals.close();
  if (status == 0) printf("stopped\n");
  return status;
}

}  // namespace host
