#include "clip_file.h"

#include <errno.h>
#include <string.h>

#include "clip_sys.h"

void clip_file_sync_parent(const char *path) {
  size_t end = strlen(path);
  while (end > 1 && path[end - 1] == '/') --end;  // "a/store/" names "a/store"
  size_t n = end;
  while (n > 0 && path[n - 1] != '/') --n;
  while (n > 1 && path[n - 1] == '/') --n;
  char dir[CLIP_PATH_CAP];
  if (n == 0) {
    memcpy(dir, ".", 2);  // a name in the working directory
  } else if (n < sizeof dir) {
    memcpy(dir, path, n);  // "/" itself stays: the root directory
    dir[n] = '\0';
  } else {
    return;
  }
  clip_sys_sync_dir(dir);
}

bool clip_file_begin(clip_atomic_file *f, const char *tmp, const char *final_path, int *err) {
  f->tmp = tmp;
  f->final_path = final_path;
  // Made new each time, so that nothing left on the name (a file of a wider
  // mode, a link, a FIFO) decides where the bytes go or who may read them.
  f->fd = clip_sys_create_fresh(tmp);
  if (f->fd < 0) {
    *err = errno;
    return false;
  }
  return true;
}

bool clip_file_write_all(int fd, const void *data, size_t len, int *err) {
  const char *p = static_cast<const char *>(data);
  while (len > 0) {
    ssize_t n = clip_sys_write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *err = n < 0 ? errno : EIO;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

clip_write_step clip_file_commit(clip_atomic_file *f, int *err) {
  if (clip_sys_fsync(f->fd) != 0) {
    *err = errno;
    clip_file_abandon(f);
    return CLIP_WRITE_SYNC;
  }
  int fd = f->fd;
  f->fd = -1;
  if (clip_sys_close(fd) != 0) {
    *err = errno;
    clip_sys_unlink(f->tmp);
    return CLIP_WRITE_CLOSE;
  }
  if (clip_sys_rename(f->tmp, f->final_path) != 0) {
    *err = errno;
    clip_sys_unlink(f->tmp);
    return CLIP_WRITE_RENAME;
  }
  clip_file_sync_parent(f->final_path);
  return CLIP_WRITE_OK;
}

void clip_file_abandon(clip_atomic_file *f) {
  if (f->fd >= 0) clip_sys_close(f->fd);
  f->fd = -1;
  clip_sys_unlink(f->tmp);
}

clip_write_step clip_file_write_atomic(const char *tmp, const char *final_path, const void *data,
                                       size_t len, int *err) {
  clip_atomic_file f;
  if (!clip_file_begin(&f, tmp, final_path, err)) return CLIP_WRITE_OPEN;
  if (!clip_file_write_all(f.fd, data, len, err)) {
    clip_file_abandon(&f);
    return CLIP_WRITE_WRITE;
  }
  return clip_file_commit(&f, err);
}
