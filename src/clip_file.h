// The atomic replacement of a file: a fresh temporary file beside it,
// written, forced to the disk, closed and renamed onto the final name, then
// the directory synced, so that the final name holds at every moment the old
// file or the new one whole. Each step that can fail is named, so that the
// index writer and the image writer can each report it in their own words.
// Calls only the seam.
#ifndef QUILLMAR_CLIP_FILE_H
#define QUILLMAR_CLIP_FILE_H

#include <stddef.h>

enum clip_write_step {
  CLIP_WRITE_OK,
  CLIP_WRITE_OPEN,
  CLIP_WRITE_WRITE,
  CLIP_WRITE_SYNC,
  CLIP_WRITE_CLOSE,
  CLIP_WRITE_RENAME,
};

// One replacement under way.
struct clip_atomic_file {
  int fd;
  const char *tmp;         // the temporary name
  const char *final_path;  // the name it replaces
};

// Creates tmp fresh (clip_sys_create_fresh); false, with the errno in *err,
// when it cannot be made.
bool clip_file_begin(clip_atomic_file *f, const char *tmp, const char *final_path, int *err);

// Writes len bytes to fd; false, with the failing call's errno in *err, when
// they cannot all be written.
bool clip_file_write_all(int fd, const void *data, size_t len, int *err);

// Forces the temporary file to the disk, closes it and renames it onto the
// final name, then makes the rename durable. On failure the temporary file
// is gone and *err holds the failing call's errno.
clip_write_step clip_file_commit(clip_atomic_file *f, int *err);

// Closes and removes the temporary file of a replacement given up.
void clip_file_abandon(clip_atomic_file *f);

// Makes the creation, rename or removal of path's last component durable in
// the directory that holds it. A failure cannot undo the change and is not
// reported.
void clip_file_sync_parent(const char *path);

// The whole replacement for len bytes in memory.
clip_write_step clip_file_write_atomic(const char *tmp, const char *final_path, const void *data,
                                       size_t len, int *err);

#endif  // QUILLMAR_CLIP_FILE_H
