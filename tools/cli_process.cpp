#include "cli_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cli_util.h"

extern char **environ;

namespace host {

long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

namespace {

void close_fd(int *fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Takes what a non-blocking output pipe holds now, keeping *out within
// keep bytes; *fd becomes -1 at its end (or on an error, which ends it as
// well).
void take_output(int *fd, size_t keep, std::string *out, bool *cut) {
  if (*fd < 0) return;
  bool dropped = false;
  std::string error;
  bool ended = read_capped(*fd, keep, out, &dropped, &error, true);
  *cut = *cut || dropped;
  if (ended || (errno != EAGAIN && errno != EWOULDBLOCK)) close_fd(fd);
}

// A file in memory holding bytes, open for reading at its start; -1 with
// *why when it cannot be made.
int input_file(std::string_view bytes, std::string *why) {
  int fd = memfd_create("quillmar-input", MFD_CLOEXEC);
  if (fd < 0) {
    *why = std::string("cannot make a temporary file: ") + strerror(errno);
    return -1;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (done != bytes.size() || lseek(fd, 0, SEEK_SET) != 0) {
    *why = std::string("cannot write a temporary file: ") + strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// A standard stream of the program: dup2 of ours, or /dev/null.
void give_stream(posix_spawn_file_actions_t *fa, Stream how, int fd, int target) {
  if (how == Stream::inherit) return;
  if (fd >= 0) {
    posix_spawn_file_actions_adddup2(fa, fd, target);
  } else {
    posix_spawn_file_actions_addopen(fa, target, "/dev/null",
                                     target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
  }
}

// The descriptors of one run: ours (feed, out, err) and the program's ends
// (in, out_w, err_w), all close-on-exec.
struct Pipes {
  int in = -1, feed = -1, out = -1, out_w = -1, err = -1, err_w = -1;
  ~Pipes() {
    for (int *fd : {&in, &feed, &out, &out_w, &err, &err_w}) close_fd(fd);
  }
  bool make(const RunOptions &o, std::string *why, int *error) {
    if (o.in == Stream::memory) {
      in = input_file(o.input, why);
      if (in < 0) {
        *error = errno;
        return false;
      }
    }
    int p[2];
    auto open_pipe = [&](int *read_end, int *write_end) {
      if (pipe2(p, O_CLOEXEC) != 0) {
        *error = errno;
        *why = std::string("cannot make a pipe: ") + strerror(errno);
        return false;
      }
      *read_end = p[0];
      *write_end = p[1];
      return true;
    };
    if (o.in == Stream::pipe && !open_pipe(&in, &feed)) return false;
    if (o.out == Stream::pipe && !open_pipe(&out, &out_w)) return false;
    if (o.err == Stream::pipe && !open_pipe(&err, &err_w)) return false;
    return true;
  }
};

// Sets SIGINT and SIGQUIT ignored while it lives.
class IgnoreInterrupts {
 public:
  explicit IgnoreInterrupts(bool on) : on_(on) {
    if (!on_) return;
    struct sigaction ign = {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGINT, &ign, &old_int_);
    sigaction(SIGQUIT, &ign, &old_quit_);
  }
  ~IgnoreInterrupts() {
    if (!on_) return;
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGQUIT, &old_quit_, nullptr);
  }

 private:
  bool on_;
  struct sigaction old_int_ = {}, old_quit_ = {};
};

pid_t spawn(const std::vector<std::string> &argv, const RunOptions &o, const Pipes &p,
            int *rc) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  give_stream(&fa, o.in, p.in, STDIN_FILENO);
  give_stream(&fa, o.out, p.out_w, STDOUT_FILENO);
  give_stream(&fa, o.err, p.err_w, STDERR_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (o.leave_interrupts) {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  }
  std::vector<char *> args;
  for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  *rc = o.search_path ? posix_spawnp(&pid, args[0], &fa, &attr, args.data(), environ)
                      : posix_spawn(&pid, args[0], &fa, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  return *rc == 0 ? pid : -1;
}

}  // namespace

RunResult run_program(const std::vector<std::string> &argv, const RunOptions &o) {
  RunResult r;
  Pipes p;
  if (!p.make(o, &r.setup_error, &r.code)) return r;
  IgnoreInterrupts interrupts(o.leave_interrupts);
  int rc = 0;
  pid_t pid = spawn(argv, o, p, &rc);
  close_fd(&p.in);
  close_fd(&p.out_w);
  close_fd(&p.err_w);
  if (pid < 0) {
    r.code = rc;
    return r;
  }
  for (int fd : {p.feed, p.out, p.err}) {
    if (fd >= 0) fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  // Readable when the program has ended; without it (older kernels), the
  // end is looked for every few milliseconds.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  // A program that stops reading must not kill us with SIGPIPE. Set after
  // the start, so that the program does not inherit it.
  struct sigaction old_pipe = {};
  bool feeding = p.feed >= 0;
  if (feeding) {
    struct sigaction ign = {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, &old_pipe);
  }
  size_t done = 0;
  bool reaped = false, lost = false, timed_out = false;
  int status = 0;
  long deadline = o.timeout_ms >= 0 ? now_ms() + o.timeout_ms : -1;
  for (;;) {
    if (p.feed >= 0 && done == o.input.size()) {
      r.input_taken = true;
      close_fd(&p.feed);
    }
    bool awaiting_end = p.feed < 0 && !(o.wait_for_outputs && (p.out >= 0 || p.err >= 0));
    if (awaiting_end) {
      pid_t w = waitpid(pid, &status, WNOHANG);
      if (w == pid) {
        reaped = true;
        break;
      }
      if (w < 0 && errno != EINTR) {
        lost = true;
        break;
      }
    }
    long left = -1;
    if (deadline >= 0) {
      left = deadline - now_ms();
      if (left <= 0) {
        // Only the process we started: a child it left is its own.
        kill(pid, SIGKILL);
        timed_out = true;
        break;
      }
    }
    struct pollfd fds[4] = {{p.out, POLLIN, 0},
                            {p.err, POLLIN, 0},
                            {p.feed, POLLOUT, 0},
                            {awaiting_end ? pidfd : -1, POLLIN, 0}};
    int timeout = static_cast<int>(std::min(left, 3600000L));
    if (awaiting_end && pidfd < 0) timeout = left < 0 ? 20 : std::min(timeout, 20);
    if (poll(fds, 4, timeout) < 0 && errno != EINTR) break;
    constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
    if ((fds[0].revents & kReadable) != 0)
      take_output(&p.out, o.out_keep, &r.out, &r.out_cut);
    if ((fds[1].revents & kReadable) != 0)
      take_output(&p.err, o.err_keep, &r.err, &r.err_cut);
    if (p.feed >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      ssize_t n = write(p.feed, o.input.data() + done, o.input.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        close_fd(&p.feed);  // the program stopped reading
      }
    }
  }
  close_fd(&p.feed);
  while (!reaped && !lost) {
    pid_t w = waitpid(pid, &status, 0);
    reaped = w == pid;
    lost = w < 0 && errno != EINTR;
  }
  // What the program wrote before its end; a child it left may hold the
  // pipes open, so only what is there now.
  take_output(&p.out, o.out_keep, &r.out, &r.out_cut);
  take_output(&p.err, o.err_keep, &r.err, &r.err_cut);
  if (pidfd >= 0) close(pidfd);
  if (feeding) sigaction(SIGPIPE, &old_pipe, nullptr);
  if (timed_out) {
    r.how = Ended::timed_out;
  } else if (lost) {
    // Reaped by someone else: how it ended is not known.
    r.how = Ended::exited;
    r.code = -1;
  } else if (WIFSIGNALED(status)) {
    r.how = Ended::signaled;
    r.code = WTERMSIG(status);
  } else {
    r.how = Ended::exited;
    r.code = WEXITSTATUS(status);
  }
  return r;
}

namespace {

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_stop = 0;
struct sigaction g_old[4];
constexpr int kCaught[] = {SIGINT, SIGTERM, SIGHUP, SIGCHLD};
bool g_children = false;

void on_signal(int sig) {
  int saved = errno;
  if (sig != SIGCHLD) g_stop = 1;
  char c = 1;
  ssize_t r = write(g_pipe[1], &c, 1);
  (void)r;
  errno = saved;
}

}  // namespace

bool SignalPipe::open(bool restart, bool children, std::string *error) {
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("cannot make a pipe: ") + strerror(errno);
    return false;
  }
  g_stop = 0;
  g_children = children;
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = (restart ? SA_RESTART : 0) | (children ? SA_NOCLDSTOP : 0);
  for (size_t i = 0; i < (children ? 4 : 3); ++i) sigaction(kCaught[i], &sa, &g_old[i]);
  open_ = true;
  return true;
}

void SignalPipe::close() {
  if (!open_) return;
  for (size_t i = 0; i < (g_children ? 4 : 3); ++i)
    sigaction(kCaught[i], &g_old[i], nullptr);
  close_fd(&g_pipe[0]);
  close_fd(&g_pipe[1]);
  open_ = false;
}

int SignalPipe::fd() { return g_pipe[0]; }

bool SignalPipe::stop_requested() { return g_stop != 0; }

void SignalPipe::drain() {
  char buf[64];
  while (g_pipe[0] >= 0 && read(g_pipe[0], buf, sizeof buf) > 0) {
  }
}

}  // namespace host
