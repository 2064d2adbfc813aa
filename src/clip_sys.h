// The allocator and the file-system calls of the library, each behind the
// fault seam so that tests can make any one of them fail. A failing call
// returns what the real one returns on failure and sets errno.
#ifndef QUILLMAR_CLIP_SYS_H
#define QUILLMAR_CLIP_SYS_H

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "clip_fault.h"

#define CLIP_DIR_CAP 4096
#define CLIP_PATH_CAP 4160

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

inline int clip_sys_open(const char *path, int flags, mode_t mode = 0) {
  if (CLIP_FAULT(CLIP_FAULT_OPEN)) {
    errno = EACCES;
    return -1;
  }
  return open(path, flags | O_CLOEXEC, mode);
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
  return write(fd, buf, n);
}

inline int clip_sys_fsync(int fd) {
  if (CLIP_FAULT(CLIP_FAULT_SYNC)) {
    errno = EIO;
    return -1;
  }
  return fsync(fd);
}

// A failing close still releases the descriptor, as close(2) does.
inline int clip_sys_close(int fd) {
  if (CLIP_FAULT(CLIP_FAULT_CLOSE)) {
    close(fd);
    errno = EIO;
    return -1;
  }
  return close(fd);
}

inline int clip_sys_rename(const char *from, const char *to) {
  if (CLIP_FAULT(CLIP_FAULT_RENAME)) {
    errno = EIO;
    return -1;
  }
  return rename(from, to);
}

inline int clip_sys_unlink(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_UNLINK)) {
    errno = EIO;
    return -1;
  }
  return unlink(path);
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

inline off_t clip_sys_seek_end(int fd) {
  if (CLIP_FAULT(CLIP_FAULT_SEEK)) {
    errno = EIO;
    return -1;
  }
  return lseek(fd, 0, SEEK_END);
}

inline off_t clip_sys_tell(int fd) {
  if (CLIP_FAULT(CLIP_FAULT_TELL)) {
    errno = EIO;
    return -1;
  }
  return lseek(fd, 0, SEEK_CUR);
}

inline int clip_sys_stat(const char *path, struct stat *st) {
  if (CLIP_FAULT(CLIP_FAULT_STAT)) {
    errno = EIO;
    return -1;
  }
  return stat(path, st);
}

inline int clip_sys_mkdir(const char *path, mode_t mode) {
  if (CLIP_FAULT(CLIP_FAULT_MKDIR)) {
    errno = EIO;
    return -1;
  }
  return mkdir(path, mode);
}

inline DIR *clip_sys_opendir(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_OPENDIR)) {
    errno = EIO;
    return nullptr;
  }
  return opendir(path);
}

#endif  // QUILLMAR_CLIP_SYS_H
