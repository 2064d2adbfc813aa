#include "cli_util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace host {

namespace {

constexpr size_t kChunk = 65536;

// One read of at most want bytes of fd, of which *out keeps what fits
// within keep bytes; *cut says that some was dropped. The count read, 0 at
// the end, -1 on an error.
ssize_t read_some(int fd, size_t want, size_t keep, std::string *out, bool *cut) {
  char buf[kChunk];
  for (;;) {
    ssize_t n = read(fd, buf, std::min(want, sizeof buf));
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      size_t room = keep - std::min(keep, out->size());
      size_t take = std::min(room, static_cast<size_t>(n));
      out->append(buf, take);
      if (take < static_cast<size_t>(n)) *cut = true;
    }
    return n;
  }
}

}  // namespace

bool read_capped(int fd, size_t limit, std::string *out, bool *more, std::string *error,
                 bool drain, uint64_t *seen) {
  *more = false;
  bool cut = false;
  uint64_t count = 0;
  for (;;) {
    if (!drain && out->size() >= limit) {
      *more = true;
      break;
    }
    size_t want = drain ? kChunk : limit - out->size();
    ssize_t n = read_some(fd, want, limit, out, &cut);
    if (n < 0) {
      int e = errno;
      *error = std::string("cannot read: ") + strerror(e);
      if (drain) *more = cut;
      if (seen != nullptr) *seen = count;
      errno = e;
      return false;
    }
    if (n == 0) break;
    count += static_cast<uint64_t>(n);
  }
  if (drain) *more = cut;
  if (seen != nullptr) *seen = count;
  return true;
}

bool write_stdout(std::string_view bytes) {
  if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size())
    return false;
  return fflush(stdout) == 0;
}

bool read_whole_file(const std::string &path, std::string *out, std::string *error) {
  constexpr size_t kMax = kReadLimit - 1;
  // Non-blocking, so that a FIFO in the file's place cannot hang the read.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *error = "cannot read " + path + ": not a regular file";
    return false;
  }
  out->clear();
  bool more = false;
  std::string why;
  bool ok = read_capped(fd, kMax + 1, out, &more, &why);
  int err = errno;
  close(fd);
  if (!ok) {
    *error = "cannot read " + path + ": " + strerror(err);
    return false;
  }
  if (out->size() > kMax) {
    out->clear();
    *error = "cannot read " + path + ": larger than " + std::to_string(kMax) + " bytes";
    return false;
  }
  return true;
}

bool write_whole_file(const std::string &path, std::string_view bytes, int mode,
                      std::string *error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  // The umask may have taken bits away, and a file that was there keeps its
  // own mode: set it while the file still holds its old bytes, before any
  // of ours are in it. Devices and FIFOs (/dev/stdout, say) are left alone.
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && (st.st_mode & 07777) != static_cast<mode_t>(mode) &&
      fchmod(fd, static_cast<mode_t>(mode)) != 0) {
    char octal[16];
    snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
    *error = "cannot make " + path + " mode " + octal + ": " + strerror(errno);
    close(fd);
    return false;
  }
  if (regular && ftruncate(fd, 0) != 0) {
    *error = "cannot truncate " + path + ": " + strerror(errno);
    close(fd);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot write " + path + ": " + strerror(errno);
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) {
    *error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

int memory_file(const char *name, std::string_view bytes) {
  int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

namespace {
const TerminalView *g_view = nullptr;
}  // namespace

void view_terminal(const TerminalView *view) { g_view = view; }

bool stdin_is_terminal() {
  return g_view != nullptr ? g_view->stdin_terminal : isatty(STDIN_FILENO) != 0;
}

bool stdout_is_terminal() {
  return g_view != nullptr ? g_view->stdout_terminal : isatty(STDOUT_FILENO) != 0;
}

int terminal_columns() {
  struct winsize ws;
  if (g_view != nullptr) {
    if (g_view->columns > 0) return g_view->columns;
  } else if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
    return ws.ws_col;
  }
  const char *env = getenv("COLUMNS");
  int cols = env != nullptr ? atoi(env) : 0;
  return cols > 0 ? cols : 80;
}

bool make_parents(const std::string &path, std::string *error) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (prefix.empty() || prefix.back() == '/') continue;
    if (mkdir(prefix.c_str(), 0700) == 0 || errno == EEXIST) continue;
    *error = "cannot create " + prefix + ": " + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace host
