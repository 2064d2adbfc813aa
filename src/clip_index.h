// The index format, "clips.json": the writer, which streams the list in
// yyjson's pretty layout straight into a file, and the loader, which parses
// the file's bytes in place into the list. Neither opens, names or replaces
// a file: the store does that around them.
#ifndef QUILLMAR_CLIP_INDEX_H
#define QUILLMAR_CLIP_INDEX_H

#include <stddef.h>

#include <yyjson.h>

#include "clip_list.h"

enum clip_index_written {
  CLIP_INDEX_WRITTEN,
  CLIP_INDEX_WRITE_FAILED,  // a write failed, its errno in *err
  CLIP_INDEX_NOT_UTF8,      // a string is not valid UTF-8: the file must not be kept
};

// The size of the buffer clip_index_write wants for this list: the whole
// index when it is small, one bounded piece else.
size_t clip_index_buffer_size(const clip_store *store);

// Writes the index of the list to fd through buf (cap bytes).
clip_index_written clip_index_write(int fd, const clip_store *store, char *buf, size_t cap,
                                    int *err);

enum clip_index_loaded {
  CLIP_INDEX_LOADED,
  CLIP_INDEX_DAMAGED,    // not an index: to be set aside
  CLIP_INDEX_NO_MEMORY,  // says nothing about the index
};

// Parses the len bytes of an index read into buf, followed by
// YYJSON_PADDING_SIZE zero bytes (size is the buffer's length without them),
// and appends its clips to the list, raising next_id above every loaded id.
// The buffer is parsed in place and its pages handed back as the clips are
// copied out of it.
clip_index_loaded clip_index_load(clip_store *store, char *buf, size_t len, size_t size);

#endif  // QUILLMAR_CLIP_INDEX_H
