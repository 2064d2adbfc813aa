// The seam: every allocation and every system call of the library, each
// behind the fault seam so that the test build can make any one of them
// fail. A failing call returns -1 (or null) and sets errno, as POSIX does,
// on every platform. Paths are UTF-8 and "/" joins a directory and a name.
// In the test build the calls that change what is on disk are also reported
// to the recording seam (clip_trace.h) once they have succeeded.
#ifndef QUILLMAR_CLIP_SYS_H
#define QUILLMAR_CLIP_SYS_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

#include "clip_fault.h"
#include "clip_trace.h"

// The store directory's path holds at most CLIP_DIR_CAP - 1 bytes. Every
// path the library forms is that directory, "/" and one name, and
// CLIP_PATH_CAP holds it whole for any name up to 511 bytes: each of the
// library's own ("clips.json.corrupt.<seconds>.<n>" is the longest) and any
// a directory enumeration returns (NAME_MAX is 255). A Windows name of 255
// UTF-16 units takes up to 765 bytes as UTF-8, hence more room there.
#define CLIP_DIR_CAP 4096
#if defined(_WIN32)
#define CLIP_PATH_CAP (CLIP_DIR_CAP + 1024)
#else
#define CLIP_PATH_CAP (CLIP_DIR_CAP + 512)
#endif

// What the library asks of a file.
struct clip_file_info {
  uint64_t size;
  bool regular;
  bool directory;
};

inline void *clip_malloc(size_t n) {
  if (CLIP_FAULT(CLIP_FAULT_ALLOC)) {
    errno = ENOMEM;
    return nullptr;
  }
  return malloc(n);
}

inline void *clip_calloc(size_t count, size_t size) {
  if (CLIP_FAULT(CLIP_FAULT_ALLOC)) {
    errno = ENOMEM;
    return nullptr;
  }
  return calloc(count, size);
}

inline void *clip_realloc(void *p, size_t n) {
  if (CLIP_FAULT(CLIP_FAULT_ALLOC)) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(p, n);
}

// A heap copy of the first len bytes of s, NUL-terminated.
inline char *clip_strndup(const char *s, size_t len) {
  char *p = static_cast<char *>(clip_malloc(len + 1));
  if (p == nullptr) return nullptr;
  if (len != 0) memcpy(p, s, len);
  p[len] = '\0';
  return p;
}

// A directory being listed.
struct clip_dir;

#if defined(_WIN32)

// Windows: src/clip_sys_win32.cpp, with the wide (UTF-16) calls only. The
// semantics are those of the POSIX functions below, each described there.

int clip_sys_open_read(const char *path);
ssize_t clip_sys_read(int fd, void *buf, size_t n);
ssize_t clip_sys_write(int fd, const void *buf, size_t n);
int clip_sys_fsync(int fd);
int clip_sys_close(int fd);
int clip_sys_fstat(int fd, clip_file_info *out);
int clip_sys_stat(const char *path, clip_file_info *out);
// A final symbolic link (a reparse point) is looked at, not followed.
int clip_sys_lstat(const char *path, clip_file_info *out);
// No mode: the folder gets the ACL it inherits.
int clip_sys_mkdir(const char *path);
int clip_sys_rename(const char *from, const char *to);
int clip_sys_rename_noreplace(const char *from, const char *to);
int clip_sys_unlink(const char *path);
int clip_sys_create_fresh(const char *path);
// Windows has no directory sync: it does nothing and returns 0.
int clip_sys_sync_dir(const char *dir);
clip_dir *clip_sys_opendir(const char *path);
// Valid until the next call on the same directory.
const char *clip_sys_readdir(clip_dir *d);
void clip_sys_closedir(clip_dir *d);
int64_t clip_sys_time();
void clip_sys_write_hint(int fd, uint64_t from, uint64_t len);
size_t clip_sys_page_size();
void clip_sys_release_pages(void *from, size_t len);
void clip_sys_prefault_pages(void *from, size_t len);
// The system's own text, as UTF-8 on one line, for the last Windows error a
// call of this seam met, when err came from it; else the C runtime's. A file
// that another process holds open without sharing what the call needed is
// named as such, since Windows' text for it may not say so.
const char *clip_sys_error_text(int err);
// Whether a folder made at path gets the last name of path as written.
// Windows drops the spaces and dots at the end of a path's last name (and
// of no other): "C:\x\clips " makes the folder "C:\x\clips", in which
// "C:\x\clips /clips.json" is not found.
bool clip_sys_keeps_last_name(const char *path);

#else  // POSIX

// POSIX calls, and three of Linux's own where the system has them, each
// guarded by its flag with a fallback elsewhere: renameat2's
// RENAME_NOREPLACE (else a look before the rename), and the hints
// sync_file_range and MADV_POPULATE_WRITE (else none).

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

// Opens an existing file for reading. Non-blocking, so that a FIFO in a
// file's place cannot hang the call; it changes nothing for a regular file.
inline int clip_sys_open_read(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_OPEN)) {
    errno = EACCES;
    return -1;
  }
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

inline ssize_t clip_sys_read(int fd, void *buf, size_t n) {
  if (CLIP_FAULT(CLIP_FAULT_READ)) {
    errno = EIO;
    return -1;
  }
  return read(fd, buf, n);
}

inline ssize_t clip_sys_write(int fd, const void *buf, size_t n) {
  if (CLIP_FAULT(CLIP_FAULT_WRITE)) {
    errno = ENOSPC;
    return -1;
  }
  ssize_t r = write(fd, buf, n);
  if (r > 0) {
    CLIP_TRACE(.op = CLIP_TRACE_WRITE, .fd = fd, .data = buf,
               .len = static_cast<size_t>(r));
  }
  return r;
}

inline int clip_sys_fsync(int fd) {
  if (CLIP_FAULT(CLIP_FAULT_SYNC)) {
    errno = EIO;
    return -1;
  }
  if (CLIP_TRACE_OMITS(.op = CLIP_TRACE_FSYNC, .fd = fd)) return 0;
  int r = fsync(fd);
  if (r == 0) CLIP_TRACE(.op = CLIP_TRACE_FSYNC, .fd = fd);
  return r;
}

// A failing close still releases the descriptor, as close(2) does.
inline int clip_sys_close(int fd) {
  if (CLIP_FAULT(CLIP_FAULT_CLOSE)) {
    close(fd);
    errno = EIO;
    return -1;
  }
  CLIP_TRACE(.op = CLIP_TRACE_CLOSE, .fd = fd);
  return close(fd);
}

namespace clip_sys_detail {

inline void to_info(const struct stat &st, clip_file_info *out) {
  out->size = static_cast<uint64_t>(st.st_size);
  out->regular = S_ISREG(st.st_mode);
  out->directory = S_ISDIR(st.st_mode);
}

}  // namespace clip_sys_detail

inline int clip_sys_fstat(int fd, clip_file_info *out) {
  if (CLIP_FAULT(CLIP_FAULT_STAT)) {
    errno = EIO;
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  clip_sys_detail::to_info(st, out);
  return 0;
}

inline int clip_sys_stat(const char *path, clip_file_info *out) {
  if (CLIP_FAULT(CLIP_FAULT_STAT)) {
    errno = EIO;
    return -1;
  }
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  clip_sys_detail::to_info(st, out);
  return 0;
}

// As clip_sys_stat, but a final symbolic link is looked at, not followed.
inline int clip_sys_lstat(const char *path, clip_file_info *out) {
  if (CLIP_FAULT(CLIP_FAULT_STAT)) {
    errno = EIO;
    return -1;
  }
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  clip_sys_detail::to_info(st, out);
  return 0;
}

// A directory the library creates is the owner's only: it holds clipboard
// history, passwords included.
inline int clip_sys_mkdir(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_MKDIR)) {
    errno = EIO;
    return -1;
  }
  int r = mkdir(path, 0700);
  if (r == 0) CLIP_TRACE(.op = CLIP_TRACE_MKDIR, .path = path);
  return r;
}

// Replaces `to` atomically.
inline int clip_sys_rename(const char *from, const char *to) {
  if (CLIP_FAULT(CLIP_FAULT_RENAME)) {
    errno = EIO;
    return -1;
  }
  int r = rename(from, to);
  if (r == 0) CLIP_TRACE(.op = CLIP_TRACE_RENAME, .path = from, .path2 = to);
  return r;
}

// As clip_sys_rename, but fails with EEXIST when `to` exists.
inline int clip_sys_rename_noreplace(const char *from, const char *to) {
  if (CLIP_FAULT(CLIP_FAULT_RENAME)) {
    errno = EIO;
    return -1;
  }
#if defined(RENAME_NOREPLACE)
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    CLIP_TRACE(.op = CLIP_TRACE_RENAME, .path = from, .path2 = to);
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
  // The system or the file system cannot refuse to replace: look before
  // renaming.
  struct stat st;
  if (lstat(to, &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  int r = rename(from, to);
  if (r == 0) CLIP_TRACE(.op = CLIP_TRACE_RENAME, .path = from, .path2 = to);
  return r;
}

inline int clip_sys_unlink(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_UNLINK)) {
    errno = EIO;
    return -1;
  }
  int r = unlink(path);
  if (r == 0) CLIP_TRACE(.op = CLIP_TRACE_UNLINK, .path = path);
  return r;
}

// Creates path new for writing, mode 0600. Whatever non-directory holds the
// name is removed first: a stale file of a wider mode, a link (symbolic or
// hard) to a file elsewhere, a FIFO. Opening such a thing would widen the
// mode of what is written, write through to another file or block. A
// directory on the name fails with EISDIR.
inline int clip_sys_create_fresh(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_OPEN)) {
    errno = EACCES;
    return -1;
  }
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  // Something could take the name again between the removal and the
  // creation; a few rounds outlast anything but a deliberate race.
  for (int round = 0; round < 4; ++round) {
    int fd = open(path, kFlags, 0600);
    if (fd >= 0) CLIP_TRACE(.op = CLIP_TRACE_CREATE, .fd = fd, .path = path);
    if (fd >= 0 || errno != EEXIST) return fd;
    struct stat st;
    if (lstat(path, &st) != 0) {
      if (errno == ENOENT) continue;
      return -1;
    }
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return -1;
    }
    if (clip_sys_unlink(path) != 0 && errno != ENOENT) return -1;
  }
  errno = EEXIST;
  return -1;
}

// Makes the renames done in dir durable.
inline int clip_sys_sync_dir(const char *dir) {
  if (CLIP_FAULT(CLIP_FAULT_SYNC)) {
    errno = EIO;
    return -1;
  }
  if (CLIP_TRACE_OMITS(.op = CLIP_TRACE_SYNC_DIR, .path = dir)) return 0;
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int r = fsync(fd);
  close(fd);
  if (r == 0) CLIP_TRACE(.op = CLIP_TRACE_SYNC_DIR, .path = dir);
  return r;
}

// Directory enumeration: the names of dir, "." and ".." among them.
struct clip_dir {
  DIR *dir;
};

inline clip_dir *clip_sys_opendir(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_OPENDIR)) {
    errno = EIO;
    return nullptr;
  }
  DIR *d = opendir(path);
  if (d == nullptr) return nullptr;
  clip_dir *out = static_cast<clip_dir *>(malloc(sizeof(clip_dir)));
  if (out == nullptr) {
    closedir(d);
    errno = ENOMEM;
    return nullptr;
  }
  out->dir = d;
  return out;
}

// The next name, or null at the end.
inline const char *clip_sys_readdir(clip_dir *d) {
  struct dirent *ent = readdir(d->dir);
  return ent != nullptr ? ent->d_name : nullptr;
}

inline void clip_sys_closedir(clip_dir *d) {
  closedir(d->dir);
  free(d);
}

// Whole seconds since the Unix epoch.
inline int64_t clip_sys_time() { return static_cast<int64_t>(time(nullptr)); }

// Asks the disk to start writing len bytes of fd from `from`; only a hint.
inline void clip_sys_write_hint(int fd, uint64_t from, uint64_t len) {
#if defined(SYNC_FILE_RANGE_WRITE)
  sync_file_range(fd, static_cast<off_t>(from), static_cast<off_t>(len), SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
  (void)from;
  (void)len;
#endif
}

// The size of a memory page.
inline size_t clip_sys_page_size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// Hands back whole pages from `from` (page-aligned) that nothing reads again.
inline void clip_sys_release_pages(void *from, size_t len) {
#if defined(MADV_DONTNEED)
  madvise(from, len, MADV_DONTNEED);
#else
  (void)from;
  (void)len;
#endif
}

// Makes whole pages from `from` (page-aligned) present before they are
// filled, in one call rather than one fault a page; only a hint.
inline void clip_sys_prefault_pages(void *from, size_t len) {
#if defined(MADV_POPULATE_WRITE)
  madvise(from, len, MADV_POPULATE_WRITE);
#else
  (void)from;
  (void)len;
#endif
}

// The text for an error number that messages carry.
inline const char *clip_sys_error_text(int err) { return strerror(err); }

// Whether a directory made at path gets the last name of path as written:
// always, on POSIX.
inline bool clip_sys_keeps_last_name(const char *) { return true; }

#endif  // _WIN32

#endif  // QUILLMAR_CLIP_SYS_H
