#include "cli_client.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cli_notify.h"
#include "cli_process.h"
#include "cli_server.h"
#include "cli_store.h"
#include "cli_wire.h"

namespace host {
namespace {

// How long a command waits for the server to take its request, before it
// runs by itself: time for the capture or command under way to finish,
// short enough not to be noticed when the server hangs.
constexpr long kReadyMs = 3000;
// A status request (stats, a second watcher) waits this long.
constexpr long kStatusMs = 1000;

// Waits for events on fd until deadline (-1: none). False when it passed.
bool wait_fd(int fd, short events, long deadline) {
  for (;;) {
    long left = deadline < 0 ? -1 : deadline - now_ms();
    if (deadline >= 0 && left <= 0) return false;
    struct pollfd p = {fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(deadline < 0 ? -1 : left));
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

bool send_all(int fd, std::string_view bytes, long deadline) {
  while (!bytes.empty()) {
    ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_fd(fd, POLLOUT, deadline)) return false;
      continue;
    }
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Reads the next frame into *buf (which keeps what follows it). False at
// the end of the connection, on a frame too large, or past the deadline.
bool next_frame(int fd, std::string *buf, size_t max_payload, long deadline,
                char *type, std::string *payload) {
  for (;;) {
    wire::Frame frame;
    size_t used = 0;
    switch (wire::scan_frame(*buf, max_payload, &frame, &used)) {
      case wire::Scan::whole:
        *type = frame.type;
        payload->assign(frame.payload);
        buf->erase(0, used);
        return true;
      case wire::Scan::too_large:
        return false;
      case wire::Scan::partial:
        break;
    }
    if (!wait_fd(fd, POLLIN, deadline)) return false;
    char chunk[65536];
    ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    buf->append(chunk, static_cast<size_t>(n));
  }
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The server's complaints, relayed on standard error, count as this
// process's own for the notification of a command run from a hotkey.
void note_relayed(std::string_view err) {
  constexpr std::string_view kPrefix = "quillmar-clip: ";
  while (!err.empty()) {
    size_t eol = err.find('\n');
    std::string_view line = err.substr(0, eol);
    if (line.substr(0, kPrefix.size()) == kPrefix)
      note_complaint(std::string(line.substr(kPrefix.size())));
    if (eol == std::string_view::npos) break;
    err.remove_prefix(eol + 1);
  }
}

}  // namespace

ServerConnection::~ServerConnection() {
  if (fd_ >= 0) close(fd_);
}

bool ServerConnection::open(const std::string &store) {
  std::string why;
  std::string path = socket_path(store, false, &why);
  if (path.empty()) return false;
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  // A local connect finishes at once, or fails at once: nothing listens
  // (a stale socket), or the server's queue is full.
  if (connect(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd_);
    fd_ = -1;
    return false;
  }
  struct ucred cred = {};
  socklen_t len = sizeof cred;
  // Only a server of this user is believed.
  if (getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != getuid()) {
    close(fd_);
    fd_ = -1;
    return false;
  }
  pid_ = cred.pid;
  return true;
}

Asked ServerConnection::run(const std::vector<std::string> &args, const std::string *input,
                            Answer *answer) {
  if (fd_ < 0) return Asked::not_served;
  wire::Request r;
  r.version = wire_version();
  r.args = args;
  char cwd[PATH_MAX];
  // A directory without a path (removed, or beyond this process's root)
  // cannot be handed over.
  if (getcwd(cwd, sizeof cwd) == nullptr) return Asked::not_served;
  r.cwd = cwd;
  for (const char *name : wire::kEnvNames) {
    const char *v = getenv(name);
    if (v != nullptr) r.env.emplace_back(name, v);
  }
  if (input != nullptr) {
    r.has_input = true;
    r.input = *input;
  }
  r.stdin_terminal = isatty(STDIN_FILENO) != 0;
  r.stdout_terminal = isatty(STDOUT_FILENO) != 0;
  struct winsize ws;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0) r.columns = ws.ws_col;
  mode_t mask = umask(077);
  umask(mask);
  r.umask = static_cast<uint32_t>(mask);
  std::string request;
  wire::append_frame(&request, wire::kRequest, wire::encode_request(r));
  r = wire::Request{};

  long deadline = now_ms() + kReadyMs;
  if (!send_all(fd_, request, deadline)) return Asked::not_served;
  request.clear();
  request.shrink_to_fit();
  std::string buf, payload;
  char type = 0;
  if (!next_frame(fd_, &buf, 1 << 16, deadline, &type, &payload) || type != wire::kReady ||
      !buf.empty()) {
    return Asked::not_served;
  }
  std::string go;
  wire::append_frame(&go, wire::kGo, "");
  // Once go is sent the command may run: from here on the answer is
  // awaited for as long as the command takes.
  if (!send_all(fd_, go, now_ms() + kReadyMs)) return Asked::not_served;
  answer->frames.clear();
  for (;;) {
    if (!next_frame(fd_, &buf, wire::kMaxChunk, -1, &type, &payload)) return Asked::uncertain;
    switch (type) {
      case wire::kOut:
      case wire::kErr:
        if (answer->frames.size() + payload.size() > wire::kMaxAnswer) return Asked::uncertain;
        wire::append_frame(&answer->frames, type, payload);
        break;
      case wire::kExit:
        if (!wire::parse_exit(payload, &answer->status)) return Asked::uncertain;
        return Asked::answered;
      case wire::kNotServed:
        // The server did not run it (the store is not the one it serves).
        if (answer->frames.empty()) return Asked::not_served;
        return Asked::uncertain;
      default:
        return Asked::uncertain;
    }
  }
}

int relay(const Answer &answer) {
  std::string_view rest = answer.frames;
  std::string err;
  fflush(stdout);
  while (!rest.empty()) {
    wire::Frame frame;
    size_t used = 0;
    if (wire::scan_frame(rest, wire::kMaxChunk, &frame, &used) != wire::Scan::whole) break;
    int fd = frame.type == wire::kOut ? STDOUT_FILENO : STDERR_FILENO;
    if (fd == STDERR_FILENO) err.append(frame.payload);
    if (!write_all(fd, frame.payload) && fd == STDOUT_FILENO) {
      note_relayed(err);
      complain(std::string("cannot write to standard output: ") + strerror(errno));
      return 1;
    }
    rest.remove_prefix(used);
  }
  note_relayed(err);
  return answer.status;
}

namespace {

bool ask(const std::string &store, const std::vector<std::string> &args, Answer *answer) {
  ServerConnection conn;
  if (!conn.open(store)) return false;
  std::vector<std::string> all = {"--store", store};
  all.insert(all.end(), args.begin(), args.end());
  // A step that only reads runs again by itself after an uncertain end.
  return conn.run(all, nullptr, answer) == Asked::answered;
}

}  // namespace

bool run_served(const std::string &store, const std::vector<std::string> &args,
                int *status) {
  Answer answer;
  if (!ask(store, args, &answer)) return false;
  *status = relay(answer);
  return true;
}

bool served_output(const std::string &store, const std::vector<std::string> &args,
                   std::string *out, int *status) {
  Answer answer;
  if (!ask(store, args, &answer)) return false;
  std::string_view rest = answer.frames;
  std::string err;
  out->clear();
  while (!rest.empty()) {
    wire::Frame frame;
    size_t used = 0;
    if (wire::scan_frame(rest, wire::kMaxChunk, &frame, &used) != wire::Scan::whole) break;
    if (frame.type == wire::kOut) {
      out->append(frame.payload);
    } else {
      err.append(frame.payload);
      write_all(STDERR_FILENO, frame.payload);
    }
    rest.remove_prefix(used);
  }
  note_relayed(err);
  *status = answer.status;
  return true;
}

ServerStatus server_status(const std::string &store) {
  ServerStatus st;
  wire::ServerInfo info;
  bool known = false;
  if (serves_store(store) && own_server_info(&info)) {
    known = st.serves = true;
  } else {
    std::string why, path = socket_path(store, false, &why);
    int fd = -1;
    if (!path.empty()) {
      fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      struct sockaddr_un addr = {};
      addr.sun_family = AF_UNIX;
      memcpy(addr.sun_path, path.c_str(), path.size() + 1);
      struct ucred cred = {};
      socklen_t len = sizeof cred;
      if (fd >= 0 &&
          (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
           getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
           cred.uid != getuid())) {
        close(fd);
        fd = -1;
      }
    }
    if (fd >= 0) {
      wire::Request r;
      r.version = wire_version();
      r.status = true;
      std::string request, buf, payload;
      wire::append_frame(&request, wire::kRequest, wire::encode_request(r));
      long deadline = now_ms() + kStatusMs;
      char type = 0;
      if (send_all(fd, request, deadline) &&
          next_frame(fd, &buf, 1 << 16, deadline, &type, &payload) &&
          (type == wire::kInfo || type == wire::kNotServed) &&
          wire::decode_info(payload, &info)) {
        known = true;
        st.serves = type == wire::kInfo;
      }
      close(fd);
    }
  }
  if (!known) return st;
  st.answers = true;
  st.pid = info.pid;
  st.since = info.since;
  st.captures = info.captures;
  st.version = info.version;
  return st;
}

std::string server_line(const ServerStatus &s) {
  std::string line = "server     ";
  if (!s.answers) return line + "none: commands open the store themselves";
  line += "pid " + std::to_string(s.pid);
  if (!s.serves) {
    return line + " runs another version (" + s.version +
           "): commands open the store themselves";
  }
  time_t t = static_cast<time_t>(s.since);
  struct tm tm;
  char when[64] = "";
  if (localtime_r(&t, &tm) != nullptr) strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  return line + " since " + when + ", " + std::to_string(s.captures) +
         (s.captures == 1 ? " capture recorded" : " captures recorded");
}

}  // namespace host
