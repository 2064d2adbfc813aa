#include "cli_spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

extern char **environ;

namespace host {

std::string find_program(const char *name) {
  const char *path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    // An empty entry of PATH means the current directory.
    std::string candidate =
        (end > start ? dirs.substr(start, end - start) : std::string(".")) + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return "";
}

// The start of a tool's standard error that a failure message quotes.
constexpr size_t kToolErrorKeep = 512;

// How long a clipboard tool may take to read the clip and exit: they hand
// the selection to a child of their own at once, so one that takes longer
// is stuck (no display answering, a tool that never reads).
constexpr long kToolTimeoutMs = 10000;

long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The clipboard tools leave a child behind that serves the selection and
// keeps the write end of the error pipe, so nothing may wait for the pipe to
// end: only for the process we started.
bool run_with_input(const std::vector<std::string> &argv, const std::string &bytes,
                    std::string *err) {
  int in[2], errp[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    *err = std::string("cannot make a pipe: ") + strerror(errno);
    return false;
  }
  if (pipe2(errp, O_CLOEXEC) != 0) {
    *err = std::string("cannot make a pipe: ") + strerror(errno);
    close(in[0]);
    close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, errp[1], STDERR_FILENO);
  std::vector<char *> args;
  for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(errp[1]);
  if (rc != 0) {
    close(in[1]);
    close(errp[0]);
    *err = "cannot run " + argv[0] + ": " + strerror(rc);
    return false;
  }
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  fcntl(errp[0], F_SETFL, O_NONBLOCK);
  // Readable when the child has ended; without it (older kernels), the end
  // is looked for every few milliseconds.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  // A tool that stops reading must not kill us with SIGPIPE.
  struct sigaction ign = {}, old;
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  sigaction(SIGPIPE, &ign, &old);
  std::string said;
  char buf[4096];
  auto drain = [&] {
    for (;;) {
      ssize_t n = read(errp[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n == 0;  // true: every writer has closed it
      size_t room = kToolErrorKeep - std::min(kToolErrorKeep, said.size());
      said.append(buf, std::min(static_cast<size_t>(n), room));
    }
  };
  size_t done = 0;
  bool writing = true, err_open = true, wrote_all = false, reaped = false;
  bool timed_out = false;
  int status = 0;
  long deadline = now_ms() + kToolTimeoutMs;
  for (;;) {
    if (writing && done == bytes.size()) {
      wrote_all = true;
      writing = false;
      close(in[1]);
    }
    if (!writing) {
      pid_t w = waitpid(pid, &status, WNOHANG);
      reaped = w == pid;
      if (reaped || (w < 0 && errno != EINTR)) break;
    }
    struct pollfd fds[3] = {{err_open ? errp[0] : -1, POLLIN, 0},
                            {writing ? in[1] : -1, POLLOUT, 0},
                            {!writing ? pidfd : -1, POLLIN, 0}};
    long left = deadline - now_ms();
    if (left <= 0) {
      // Only the process we started: a server child it left is its own.
      kill(pid, SIGKILL);
      timed_out = true;
      break;
    }
    int timeout = static_cast<int>(writing || pidfd >= 0 ? left : std::min(20L, left));
    if (poll(fds, 3, timeout) < 0 && errno != EINTR) break;
    if (err_open && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && drain())
      err_open = false;
    if (writing && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      ssize_t n = write(in[1], bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        writing = false;  // the tool stopped reading
        close(in[1]);
      }
    }
  }
  if (writing) close(in[1]);
  while (!reaped) {
    pid_t w = waitpid(pid, &status, 0);
    reaped = w == pid || (w < 0 && errno != EINTR);
    if (w < 0 && errno != EINTR) status = -1;
  }
  if (err_open) drain();
  close(errp[0]);
  if (pidfd >= 0) close(pidfd);
  sigaction(SIGPIPE, &old, nullptr);
  bool ok = !timed_out && status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
            wrote_all;
  if (!ok) {
    std::string line = said.substr(0, said.find('\n'));
    std::string name = argv[0].substr(argv[0].rfind('/') + 1);
    if (timed_out) {
      *err = name + " did not finish within " + std::to_string(kToolTimeoutMs / 1000) + " s";
    } else {
      *err = name + " failed" + (!line.empty() ? ": " + line : std::string());
    }
  }
  return ok;
}

}  // namespace host
