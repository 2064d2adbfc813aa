#include "cli_watch_wayland.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli_capture.h"
#include "cli_capture_queue.h"
#include "cli_client.h"
#include "cli_config.h"
#include "cli_config_watch.h"
#include "cli_limits.h"
#include "cli_markers.h"
#include "cli_process.h"
#include "cli_recover.h"
#include "cli_server.h"
#include "cli_store.h"
#include "cli_text.h"
#include "cli_util.h"
#include "cli_watcher_mark.h"
#include "quillmar_clip.h"

namespace host {
namespace {

constexpr char kHint[] = "x-kde-passwordManagerHint";
constexpr char kPng[] = "image/png";
// How long a wl-paste that lists the types or reads the hint may take.
constexpr long kQueryTimeoutMs = 5000;
// How long the children have to end after a stop before they are killed.
constexpr long kStopTimeoutMs = 10000;
// What is kept of the children's standard error to explain their end.
constexpr size_t kErrTail = 4096;

bool offers(const std::vector<std::string> &types, const char *type) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

// Runs argv (looked up in PATH) with standard input and standard error on
// /dev/null and keeps up to keep bytes of its standard output. True when it
// ended with status 0 within timeout_ms; past that it is killed.
bool run_query(const std::vector<std::string> &argv, size_t keep, long timeout_ms,
               std::string *out) {
  RunOptions o;
  o.search_path = true;
  o.out = Stream::pipe;
  o.out_keep = keep;
  o.timeout_ms = timeout_ms;
  RunResult r = run_program(argv, o);
  out->append(r.out);
  return r.how == Ended::exited && r.code == 0;
}

// Reads standard input to its end, so that the owner never meets a closed
// pipe, keeping at most kReadLimit bytes; *seen counts all of them.
void read_input(std::string *out, uint64_t *seen) {
  bool dropped = false;
  std::string error;
  read_capped(STDIN_FILENO, kReadLimit, out, &dropped, &error, true, seen);
}

std::vector<std::string> wl_paste(bool primary, std::vector<std::string> rest) {
  std::vector<std::string> argv = {"wl-paste"};
  if (primary) argv.push_back("--primary");
  argv.insert(argv.end(), rest.begin(), rest.end());
  return argv;
}

struct Child {
  pid_t pid = -1;
  bool running = false;
};

// Forwards what the children wrote on standard error and keeps its tail.
// *fd becomes -1 (which poll skips) once every writer has closed it.
void forward_errors(int *fd, std::string *tail) {
  char buf[4096];
  while (*fd >= 0) {
    ssize_t n = read(*fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      close(*fd);
      *fd = -1;
    }
    if (n <= 0) return;
    ssize_t w = write(STDERR_FILENO, buf, static_cast<size_t>(n));
    (void)w;
    tail->append(buf, static_cast<size_t>(n));
    if (tail->size() > kErrTail) tail->erase(0, tail->size() - kErrTail);
  }
}

// Reaps every ended child (the captures too: orphans come to us, the
// subreaper) and notes which wl-paste children ended.
void reap(std::vector<Child> *children) {
  int status;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    for (auto &c : *children) {
      if (c.pid == pid) c.running = false;
    }
  }
}

bool all_running(const std::vector<Child> &children) {
  return std::all_of(children.begin(), children.end(),
                     [](const Child &c) { return c.running; });
}

// Ends the wl-paste children by their pids and waits for them and for the
// captures they started, which finish the clip they hold. Whatever is left
// after kStopTimeoutMs is killed with its process group.
void stop_children(std::vector<Child> *children, int *err_fd, std::string *tail) {
  for (auto &c : *children) {
    if (c.running) kill(c.pid, SIGTERM);
  }
  long deadline = now_ms() + kStopTimeoutMs;
  bool killed = false;
  for (;;) {
    reap(children);
    // ECHILD: neither a child nor an orphaned capture is left.
    if (waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD) break;
    if (now_ms() >= deadline) {
      // What a SIGKILL did not end in another round is not ours to wait for.
      if (killed) break;
      for (auto &c : *children) kill(-c.pid, SIGKILL);
      killed = true;
      deadline = now_ms() + kStopTimeoutMs;
    }
    struct pollfd fds[2] = {{SignalPipe::fd(), POLLIN, 0}, {*err_fd, POLLIN, 0}};
    poll(fds, 2, 50);
    SignalPipe::drain();
    forward_errors(err_fd, tail);
  }
}

// Starts argv (looked up in PATH) with standard input on /dev/null and
// standard error on err_fd. 0, or the errno of what failed.
int spawn_watch_child(const std::vector<std::string> &argv, int err_fd, pid_t *pid) {
  std::vector<char *> args;
  for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  // The child reports a failed exec through this pipe; a successful one
  // closes it.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  pid_t parent = getpid();
  pid_t p = fork();
  if (p < 0) {
    int e = errno;
    close(report[0]);
    close(report[1]);
    return e;
  }
  if (p == 0) {
    // A group of its own, with the captures it starts: a Ctrl-C on the
    // terminal reaches only the watcher, which ends the children itself,
    // and a last-resort kill of the group reaches them all.
    setpgid(0, 0);
    // A watcher that dies without its cleanup (SIGKILL) takes its children
    // along rather than leaving them recording.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0 && in != STDIN_FILENO) {
      dup2(in, STDIN_FILENO);
      close(in);
    }
    dup2(err_fd, STDERR_FILENO);
    execvp(args[0], args.data());
    int e = errno;
    ssize_t w = write(report[1], &e, sizeof e);
    (void)w;
    _exit(127);
  }
  close(report[1]);
  int e = 0;
  ssize_t n;
  while ((n = read(report[0], &e, sizeof e)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof e)) {
    while (waitpid(p, nullptr, 0) < 0 && errno == EINTR) {
    }
    return e;
  }
  *pid = p;
  return 0;
}

// The limits of the config in force (the last good file).
void trim_on_the_hour(const std::string &store, const Config &config) {
  if (!has_limits(config)) return;
  Recorder recorder(store, config);
  trim_history(&recorder, config);
}

// The last good config file where the captures find it.
void keep_snapshot(const std::string &store, const std::string &bytes) {
  std::string error;
  if (!write_whole_file(config_snapshot_path(store), bytes, 0600, &error))
    complain(error);
}

// Records a capture judged fit (with held, under the caller's lock) and
// says what became of it.
void record_capture(const std::string &store, const char *name, Capture c,
                    const Config &config, StoreLock *held = nullptr) {
  ClipKind kind = c.kind;
  uint64_t seen = c.seen;
  c.origin = std::string("the ") + name + (kind == ClipKind::text ? " text" : " image");
  Recorder recorder(store, config);
  Recorded rec;
  if (!recorder.record(std::move(c), &rec, held)) return;
  // Each capture is recorded alone here: no selection grows into the one
  // before it, and no image is labelled by a text beside it.
  print_recorded(name, kind, seen, false, rec);
  if (!rec.skipped.empty()) return;
  // The limits take the lock of their own.
  if (held != nullptr) held->release();
  trim_history(&recorder, config);
}

// Hands a capture to the watcher that serves the store, where the history
// is loaded already: true when it recorded it (and what it said is said
// here). A capture that it may or may not have recorded before it went
// away is recorded again here: a repeat of the clip it made, at worst.
bool hand_over(const std::string &store, bool primary, const Capture &c,
               std::optional<bool> keep_duplicates) {
  ServerConnection conn;
  if (!conn.open(store)) return false;
  std::vector<std::string> args = {"--store", store, "wayland-record"};
  if (primary) args.push_back("--primary");
  if (keep_duplicates)
    args.push_back(*keep_duplicates ? "--keep-duplicates" : "--no-keep-duplicates");
  if (c.has_label) args.push_back("--label=" + c.label);
  args.insert(args.end(), {"--seen", std::to_string(c.seen),
                           c.kind == ClipKind::text ? "text" : "image"});
  Answer answer;
  if (conn.run(args, &c.bytes, &answer) != Asked::answered) return false;
  relay(answer);
  return true;
}

// The captures' turn: held by a capture from before its image is read for
// words until it is recorded, so that the captures of clips copied
// meanwhile, each a process of its own, wait and are recorded after it,
// whoever records them (the watcher that serves the store, or the capture
// itself). A file beside the store directory, "<name>.order", which no
// command takes: they go on while an image is read.
class CaptureTurn {
 public:
  ~CaptureTurn() {
    if (fd_ >= 0) close(fd_);
  }
  // Waits for the turn; after kTurnWaitMs the capture goes on without it
  // rather than be lost (false, with *why).
  bool take(const std::string &store, std::string *why) {
    std::string path = marker_path(store, ".order");
    if (!make_parents(path, why)) return false;
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
      *why = "cannot open " + path + ": " + strerror(errno);
      return false;
    }
    for (long waited = 0;; waited += 20) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
      if (errno != EWOULDBLOCK && errno != EINTR) break;
      if (waited >= kTurnWaitMs) {
        *why = "the capture before it has held " + path + " for " +
               std::to_string(kTurnWaitMs / 1000) + " s";
        return false;
      }
      sleep_ms(20);
    }
    *why = "cannot lock " + path + ": " + strerror(errno);
    return false;
  }

 private:
  static constexpr long kTurnWaitMs = 30000;
  int fd_ = -1;
};

// This program's own file, which wl-paste runs for each clip; "" after
// saying why when it cannot be found.
std::string own_program() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    complain(std::string("cannot find this program's own file: ") + strerror(errno));
    return "";
  }
  return std::string(self, static_cast<size_t>(n));
}

// Starts the wl-paste --watch children, for text and for PNG images, of the
// CLIPBOARD and (with options.primary) of PRIMARY, their standard error on
// err_fd. False after saying why when one cannot be started; the ones
// started are in *children all the same.
bool start_children(const WatchOptions &options, const std::string &self, int err_fd,
                    std::vector<Child> *children) {
  for (bool primary : {false, true}) {
    if (primary && !options.primary) continue;
    for (ClipKind kind : {ClipKind::text, ClipKind::image}) {
      std::vector<std::string> argv =
          wl_paste(primary, {"--type", kind == ClipKind::text ? "text" : kPng, "--watch",
                             self, "--store", options.store, kWaylandCaptureCommand});
      if (primary) argv.push_back("--primary");
      // Each capture reads the config file itself; what the command line of
      // watch chose goes along.
      argv.push_back(options.config.keep_duplicates ? "--keep-duplicates"
                                                    : "--no-keep-duplicates");
      argv.push_back(kind == ClipKind::text ? "text" : "image");
      Child c;
      int rc = spawn_watch_child(argv, err_fd, &c.pid);
      if (rc != 0) {
        complain(rc == ENOENT
                     ? std::string("watch on Wayland needs wl-paste: install the "
                                   "wl-clipboard package")
                     : std::string("cannot run wl-paste: ") + strerror(rc));
        return false;
      }
      c.running = true;
      children->push_back(c);
    }
  }
  return true;
}

// The watcher's loop, until a stop signal (0), a child that ends on its own
// or a failed poll (1): the limits on the hour, the config file read again
// when it changes, the store's commands served, and the children's
// standard error forwarded (its tail kept in *tail).
int follow(const WatchOptions &options, ConfigWatch *config_watch, int *err_fd,
           std::vector<Child> *children, std::string *tail) {
  const std::string &store = options.store;
  Server *server = options.server;
  // The captures apply the limits after each clip; the watcher applies
  // them on the hour, for the clips that age meanwhile.
  long next_trim = now_ms();
  if (server != nullptr) printf("serving commands on %s\n", server->path().c_str());
  while (!SignalPipe::stop_requested()) {
    if (now_ms() >= next_trim) {
      trim_on_the_hour(store, options.config);
      next_trim = now_ms() + kLimitsEverySeconds * 1000;
    }
    std::vector<struct pollfd> fds = {{SignalPipe::fd(), POLLIN, 0},
                                      {*err_fd, POLLIN, 0},
                                      {config_watch->fd(), POLLIN, 0}};
    if (server != nullptr) server->add_poll_fds(&fds);
    long wait = std::max(0L, next_trim - now_ms());
    // Without inotify, the config file is looked at every few seconds.
    if (config_watch->fd() < 0) wait = std::min(wait, 2000L);
    int timeout = static_cast<int>(std::min(wait, 3600000L));
    if (server != nullptr && server->poll_timeout() >= 0)
      timeout = std::min(timeout, server->poll_timeout());
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      complain(std::string("poll failed: ") + strerror(errno));
      return 1;
    }
    if (server != nullptr) server->handle(fds.data() + 3, fds.size() - 3);
    SignalPipe::drain();
    forward_errors(err_fd, tail);
    if (config_watch->check()) keep_snapshot(store, config_watch->good_bytes());
    reap(children);
    if (!all_running(*children)) {
      // Its last words may still be in the pipe.
      forward_errors(err_fd, tail);
      complain(watch_child_failure(*tail));
      return 1;
    }
  }
  return 0;
}

}  // namespace

bool wayland_session() {
  const char *w = getenv("WAYLAND_DISPLAY");
  return w != nullptr && w[0] != '\0';
}

std::vector<std::string> parse_type_list(const std::string &text) {
  std::vector<std::string> types;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) types.push_back(line);
    start = end + 1;
  }
  return types;
}

OfferVerdict judge_offer(ClipKind kind,
                         const std::optional<std::vector<std::string>> &types,
                         const std::optional<std::string> &hint) {
  // Without the list there is no telling whether the owner marked it.
  if (!types) return OfferVerdict::types_unreadable;
  if (offers(*types, kHint)) {
    if (!hint) return OfferVerdict::hint_unreadable;
    std::string v = *hint;
    while (!v.empty() && (v.back() == '\n' || v.back() == '\0' || v.back() == ' '))
      v.pop_back();
    if (v == "secret") return OfferVerdict::secret;
  }
  // An owner that offers an image and a text of it is recorded once, as
  // the image, by the image child.
  if (kind == ClipKind::text && offers(*types, kPng)) return OfferVerdict::image_offered;
  return OfferVerdict::record;
}

std::string watch_child_failure(const std::string &child_stderr) {
  if (child_stderr.find("data-control") != std::string::npos) {
    return "the Wayland compositor does not offer the data-control protocol that watch "
           "needs (wlroots compositors such as sway, and KDE, offer it; GNOME does not); "
           "'WAYLAND_DISPLAY= quillmar-clip watch' follows the X11 clipboard of Xwayland "
           "instead";
  }
  const char *display = getenv("WAYLAND_DISPLAY");
  if (child_stderr.find("Failed to connect") != std::string::npos) {
    return std::string("cannot connect to the Wayland display \"") +
           (display != nullptr ? display : "") + "\"";
  }
  std::string last = child_stderr;
  while (!last.empty() && (last.back() == '\n' || last.back() == '\r')) last.pop_back();
  size_t nl = last.rfind('\n');
  if (nl != std::string::npos) last.erase(0, nl + 1);
  return "wl-paste --watch ended: the Wayland clipboard is no longer followed" +
         (last.empty() ? std::string() : " (" + last + ")");
}

int wayland_capture(const std::string &store, bool primary, ClipKind kind,
                    std::optional<bool> keep_duplicates) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const char *name = primary ? "PRIMARY" : "CLIPBOARD";
  std::string bytes;
  uint64_t seen = 0;
  if (recording_paused(store)) {
    read_input(&bytes, &seen);
    printf("%s: not recorded, recording is paused\n", name);
    return 0;
  }
  // wl-paste from 2.2 on says itself, for the very offer it hands over,
  // when the owner marks it as a secret; older ones leave it unset.
  const char *state = getenv("CLIPBOARD_STATE");
  if (state != nullptr && strcmp(state, "sensitive") == 0) {
    read_input(&bytes, &seen);
    printf("%s: not recorded, its owner marks it as a secret\n", name);
    return 0;
  }
  // The types first, as close as can be to the change that started us; the
  // clip next, which its owner is already sending; the hint last, since an
  // owner may serve one request at a time.
  std::optional<std::vector<std::string>> types;
  std::string listed;
  if (run_query(wl_paste(primary, {"--list-types"}), 65536, kQueryTimeoutMs, &listed))
    types = parse_type_list(listed);
  read_input(&bytes, &seen);
  std::optional<std::string> hint;
  if (types && offers(*types, kHint)) {
    std::string value;
    if (run_query(wl_paste(primary, {"--no-newline", "--type", kHint}), 4096,
                  kQueryTimeoutMs, &value))
      hint = value;
  }
  if (seen == 0) {
    // The owner let go before sending anything: a later owner is a clip of
    // its own.
    printf("%s: not recorded, it is empty\n", name);
    return 0;
  }
  // Read only now, so that the owner's transfer is not kept waiting. A
  // broken file leaves the watcher's last good one in force (the watcher
  // says so, once); without a watcher's, it records nothing, as it stops
  // store and watch.
  Config config;
  std::string error, ignored;
  if (!load_config(&config, &error)) {
    config = Config{};
    struct stat st;
    std::string snapshot = config_snapshot_path(store);
    if (stat(snapshot.c_str(), &st) != 0 ||
        !load_config_file(snapshot, &config, &ignored)) {
      printf("%s: not recorded, %s\n", name, error.c_str());
      return 0;
    }
  }
  if (keep_duplicates) config.keep_duplicates = *keep_duplicates;
  switch (judge_offer(kind, types, hint)) {
    case OfferVerdict::record:
      break;
    case OfferVerdict::secret:
      printf("%s: not recorded, its owner marks it as a secret\n", name);
      return 0;
    case OfferVerdict::hint_unreadable:
      printf("%s: not recorded, its owner marks it with a hint that cannot be read\n",
             name);
      return 0;
    case OfferVerdict::types_unreadable:
      printf("%s: not recorded, the types its owner offers cannot be listed\n", name);
      return 0;
    case OfferVerdict::image_offered:
      return 0;
  }
  // Without xdg-mime, wl-copy offers whatever it is given as text, a PNG
  // image too: its bytes say what it is, as they do for store.
  if (kind == ClipKind::text && has_png_signature(bytes)) kind = ClipKind::image;
  // A "text" that is a picture in another format, or a document, would be
  // recorded as U+FFFD soup.
  const char *what = kind == ClipKind::text ? binary_kind(bytes) : nullptr;
  if (what != nullptr) {
    printf("%s: not recorded, it is %s, neither text nor a PNG image\n", name, what);
    return 0;
  }
  Capture c;
  c.kind = kind;
  c.bytes = std::move(bytes);
  c.seen = seen;
  // An image is read for words in its turn, so that the clips copied while
  // it is read wait and are recorded after it.
  CaptureTurn turn;
  std::string why;
  if (!turn.take(store, &why)) complain(why);
  QueuedCapture q;
  q.capture = std::move(c);
  q.name = name;
  read_words_now(&q, config, true);
  if (hand_over(store, primary, q.capture, keep_duplicates)) return 0;
  StoreLock lock;
  if (!lock.acquire(store, true, true, &why)) {
    complain(why);
    return 0;
  }
  record_capture(store, name, std::move(q.capture), config, &lock);
  return 0;
}

int wayland_record(const std::string &store, bool primary, ClipKind kind,
                   std::optional<bool> keep_duplicates, uint64_t seen,
                   const std::string *label) {
  const char *name = primary ? "PRIMARY" : "CLIPBOARD";
  std::string bytes, error;
  bool more = false;
  if (!read_capped(STDIN_FILENO, kReadLimit, &bytes, &more, &error)) {
    printf("%s: not recorded, standard input %s\n", name, error.c_str());
    return 0;
  }
  // A broken file leaves the watcher's last good one in force, as for a
  // capture that records by itself.
  Config config;
  std::string ignored;
  if (!load_config(&config, &error)) {
    config = Config{};
    struct stat st;
    std::string snapshot = config_snapshot_path(store);
    if (stat(snapshot.c_str(), &st) != 0 ||
        !load_config_file(snapshot, &config, &ignored)) {
      printf("%s: not recorded, %s\n", name, error.c_str());
      return 0;
    }
  }
  if (keep_duplicates) config.keep_duplicates = *keep_duplicates;
  Capture c;
  c.kind = kind;
  c.seen = std::max<uint64_t>(seen, bytes.size());
  c.bytes = std::move(bytes);
  if (label != nullptr) {
    c.has_label = true;
    c.label = *label;
  }
  record_capture(store, name, std::move(c), config);
  return 0;
}

int run_watch_wayland(const WatchOptions &started) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  WatchOptions options = started;
  ConfigWatch config_watch(&options.config,
                           [&options](Config *c) { options.apply_choices(c); });
  {
    // A store that cannot be opened is reported now, not at the first copy.
    StoreLock lock;
    if (!open_store(options.store, &lock)) return 1;
    notice_set_aside(options.store);
  }
  // wl-paste starts the captures, from wherever it runs: they get the store
  // (resolved already, so that they find the markers the commands write)
  // and this program by absolute paths.
  const std::string &store = options.store;
  std::string self = own_program();
  if (self.empty()) return 1;

  // A closed terminal (SIGHUP) ends the children as a stop does; SIGCHLD
  // wakes the loop to look at them.
  SignalPipe signals;
  std::string error;
  int err_pipe[2];
  if (pipe2(err_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    complain(std::string("cannot make a pipe: ") + strerror(errno));
    return 1;
  }
  if (!signals.open(true, true, &error)) {
    complain(error);
    close(err_pipe[0]);
    close(err_pipe[1]);
    return 1;
  }
  // Captures that outlive their wl-paste are ours to wait for.
  prctl(PR_SET_CHILD_SUBREAPER, 1);

  keep_snapshot(store, config_watch.good_bytes());
  std::vector<Child> children;
  int status = start_children(options, self, err_pipe[1], &children) ? 0 : 1;
  close(err_pipe[1]);
  int err_fd = err_pipe[0];
  std::string tail;
  WatcherMark mark;
  if (status == 0) {
    mark.set(store, getenv("WAYLAND_DISPLAY"));
    printf("watching %s on %s into %s (Ctrl-C stops)\n",
           options.primary ? "CLIPBOARD and PRIMARY" : "CLIPBOARD",
           getenv("WAYLAND_DISPLAY"), store.c_str());
    status = follow(options, &config_watch, &err_fd, &children, &tail);
  }
  // The captures still running record by themselves once the socket is
  // gone; the answers under way are sent first.
  if (options.server != nullptr) options.server->stop(2000);
  stop_children(&children, &err_fd, &tail);
  unlink(config_snapshot_path(store).c_str());
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  signals.close();
  if (err_fd >= 0) close(err_fd);
  if (status == 0) printf("stopped\n");
  return status;
}

}  // namespace host
