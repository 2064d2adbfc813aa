// The allocator and the system calls of the library, each behind the fault
// seam so that tests can make any one of them fail. A failing call returns
// what the POSIX call returns on failure (-1 or null) and sets errno, on
// every platform. Paths are UTF-8 everywhere; "/" joins the store directory
// and a file name on every platform.
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

// What a stat call tells the library about a name.
struct clip_file_info {
  uint64_t size;
  bool regular;
  bool directory;
};

// A directory being listed.
struct clip_dir;

#if defined(_WIN32)

// Windows: src/clip_sys_win32.cpp, with the wide (UTF-16) calls only.

// Opens an existing file for reading.
int clip_sys_open_read(const char *path);
// Creates a new file for writing, readable by its owner only where modes
// exist: whatever non-directory holds the name is removed first; a directory
// on the name fails with EISDIR.
int clip_sys_create_fresh(const char *path);
ssize_t clip_sys_read(int fd, void *buf, size_t n);
ssize_t clip_sys_write(int fd, const void *buf, size_t n);
int clip_sys_fsync(int fd);
// A failing close still releases the descriptor.
int clip_sys_close(int fd);
// The size of the open file (its end), the position, and back to the start.
int64_t clip_sys_seek_end(int fd);
int64_t clip_sys_tell(int fd);
int clip_sys_seek_start(int fd);
int clip_sys_fstat(int fd, clip_file_info *out);
int clip_sys_stat(const char *path, clip_file_info *out);
// As clip_sys_stat, but a final symbolic link (a reparse point) is not followed.
int clip_sys_lstat(const char *path, clip_file_info *out);
int clip_sys_mkdir(const char *path);
// Replaces `to` with `from` in one step.
int clip_sys_rename(const char *from, const char *to);
// Fails with EEXIST when `to` exists.
int clip_sys_rename_noreplace(const char *from, const char *to);
int clip_sys_unlink(const char *path);
// Makes the renames in dir durable.
int clip_sys_sync_dir(const char *dir);
clip_dir *clip_sys_opendir(const char *path);
// The next name in the directory (UTF-8, "." and ".." among them), or null at
// the end. Valid until the next call on the same directory.
const char *clip_sys_readdir(clip_dir *dir);
void clip_sys_closedir(clip_dir *dir);
// Whole seconds since the Unix epoch.
int64_t clip_sys_time();
// Asks the disk to start writing [from, from + len) of fd. Only a hint.
void clip_sys_write_hint(int fd, uint64_t from, uint64_t len);
// Hands back the whole pages inside [from, from + len), which nothing reads again.
void clip_sys_release_pages(void *from, size_t len);
// Makes the whole pages inside [p, p + len) present before they are filled.
void clip_sys_prefault(void *p, size_t len);
// The text a message carries for error number err: the system's own text for
// the last Windows error a call of this seam met, when err came from it.
const char *clip_sys_error_text(int err);

#else  // POSIX

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

// Files the library creates hold clipboard history, passwords included:
// they are readable by the owner only.
constexpr mode_t kClipFileMode = 0600;
constexpr mode_t kClipDirMode = 0700;

// Non-blocking, so that a FIFO in a file's place cannot hang the caller.
inline int clip_sys_open_read(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_OPEN)) {
    errno = EACCES;
    return -1;
  }
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// Opens path for writing, created or truncated. Non-blocking, so that a FIFO
// squatting on the name fails the open instead of waiting for a reader; no
// symbolic link on the name is followed.
inline int clip_sys_create_fresh(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_OPEN)) {
    errno = EACCES;
    return -1;
  }
  return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
              kClipFileMode);
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

inline int64_t clip_sys_seek_end(int fd) {
  if (CLIP_FAULT(CLIP_FAULT_SEEK)) {
    errno = EIO;
    return -1;
  }
  return lseek(fd, 0, SEEK_END);
}

inline int64_t clip_sys_tell(int fd) {
  if (CLIP_FAULT(CLIP_FAULT_TELL)) {
    errno = EIO;
    return -1;
  }
  return lseek(fd, 0, SEEK_CUR);
}

inline int clip_sys_seek_start(int fd) {
  return lseek(fd, 0, SEEK_SET) < 0 ? -1 : 0;
}

inline void clip_sys_file_info(const struct stat &st, clip_file_info *out) {
  out->size = static_cast<uint64_t>(st.st_size);
  out->regular = S_ISREG(st.st_mode);
  out->directory = S_ISDIR(st.st_mode);
}

inline int clip_sys_fstat(int fd, clip_file_info *out) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  clip_sys_file_info(st, out);
  return 0;
}

inline int clip_sys_stat(const char *path, clip_file_info *out) {
  if (CLIP_FAULT(CLIP_FAULT_STAT)) {
    errno = EIO;
    return -1;
  }
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  clip_sys_file_info(st, out);
  return 0;
}

inline int clip_sys_lstat(const char *path, clip_file_info *out) {
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  clip_sys_file_info(st, out);
  return 0;
}

inline int clip_sys_mkdir(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_MKDIR)) {
    errno = EIO;
    return -1;
  }
  return mkdir(path, kClipDirMode);
}

inline int clip_sys_rename(const char *from, const char *to) {
  if (CLIP_FAULT(CLIP_FAULT_RENAME)) {
    errno = EIO;
    return -1;
  }
  return rename(from, to);
}

inline int clip_sys_rename_noreplace(const char *from, const char *to) {
  if (CLIP_FAULT(CLIP_FAULT_RENAME)) {
    errno = EIO;
    return -1;
  }
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // The file system cannot refuse to replace: look before renaming.
  struct stat st;
  if (lstat(to, &st) == 0) {
    errno = EEXIST;
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

inline int clip_sys_sync_dir(const char *dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int r = fsync(fd);
  close(fd);
  return r;
}

inline clip_dir *clip_sys_opendir(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_OPENDIR)) {
    errno = EIO;
    return nullptr;
  }
  return reinterpret_cast<clip_dir *>(opendir(path));
}

inline const char *clip_sys_readdir(clip_dir *dir) {
  struct dirent *ent = readdir(reinterpret_cast<DIR *>(dir));
  return ent != nullptr ? ent->d_name : nullptr;
}

inline void clip_sys_closedir(clip_dir *dir) { closedir(reinterpret_cast<DIR *>(dir)); }

inline int64_t clip_sys_time() { return static_cast<int64_t>(time(nullptr)); }

inline void clip_sys_write_hint(int fd, uint64_t from, uint64_t len) {
#if defined(SYNC_FILE_RANGE_WRITE)
  sync_file_range(fd, static_cast<off_t>(from), static_cast<off_t>(len),
                  SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
  (void)from;
  (void)len;
#endif
}

// The whole pages inside [p, p + len): false when there are none.
inline bool clip_sys_inner_pages(void *p, size_t len, uintptr_t *from, uintptr_t *to) {
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  *from = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  *to = (reinterpret_cast<uintptr_t>(p) + len) & ~(page - 1);
  return *to > *from;
}

inline void clip_sys_release_pages(void *p, size_t len) {
#if defined(MADV_DONTNEED)
  uintptr_t from, to;
  if (clip_sys_inner_pages(p, len, &from, &to)) {
    madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED);
  }
#else
  (void)p;
  (void)len;
#endif
}

// Only a hint: on a kernel without it, the pages fault in as they are filled.
inline void clip_sys_prefault(void *p, size_t len) {
#if defined(MADV_POPULATE_WRITE)
  uintptr_t from, to;
  if (clip_sys_inner_pages(p, len, &from, &to)) {
    madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);
  }
#else
  (void)p;
  (void)len;
#endif
}

inline const char *clip_sys_error_text(int err) { return strerror(err); }

#endif  // _WIN32

#endif  // QUILLMAR_CLIP_SYS_H
