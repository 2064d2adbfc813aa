// The clip records and the in-memory list of the one store of the process,
// g_store: index 0 the oldest clip, the last index the newest. Image clips
// that leave the list are queued here; clip_store_save deletes their files.
#ifndef QUILLMAR_CLIP_LIST_H
#define QUILLMAR_CLIP_LIST_H

#include <stddef.h>
#include <stdint.h>

#include <type_traits>

#include "clip_hash.h"
#include "clip_sys.h"
#include "quillmar_clip.h"

#define CLIP_KIND_TEXT 0
#define CLIP_KIND_IMAGE 1

struct clip_entry {
  int id;
  int64_t ts;
  int kind;             // CLIP_KIND_TEXT or CLIP_KIND_IMAGE
  char *preview;        // owned
  bool pinned;
  char hash[CLIP_HASH_CHARS];
  bool truncated;
  char *text;           // owned; set for text clips, null for images
  char *label;          // owned; images only, may be null
  size_t text_len;      // strlen(text), kept so that saves and searches need not measure it
};

struct clip_store {
  char store_dir[CLIP_DIR_CAP];
  int next_id;
  clip_entry *entries;  // owned; index 0 the oldest clip
  int count;
  int capacity;
  bool initialized;
  // True while memory is ahead of the file: set by every change of the list
  // and of next_id, cleared by every index write that succeeds.
  bool unsaved;
  // Ids of removed image clips whose files are deleted once an index that no
  // longer names them is in place (clip_store_save), so that neither a crash
  // nor a failed write ever leaves a clip without its file.
  int *doomed;
  int doomed_count;
  int doomed_capacity;
};

static_assert(std::is_trivially_copyable_v<clip_entry>);
static_assert(std::is_trivially_copyable_v<clip_store>);

extern clip_store g_store;

// Appends the record, taking over its strings (the record's pointers are
// then null); false with "out of memory", the record left as it was, when
// the list cannot grow.
bool clip_list_append(clip_store *store, clip_entry *entry);
// The index of the oldest clip with this id, or -1.
int clip_list_find_index(const clip_store *store, int id);
// False when index is out of range, or with "out of memory" (nothing
// removed) when an image clip's file cannot be queued for deletion.
bool clip_list_remove_at(clip_store *store, int index);
int clip_list_count_pinned(const clip_store *store);
int clip_list_count_unpinned(const clip_store *store);
// Releases the record's strings; null does nothing.
void clip_list_free_entry(clip_entry *entry);
// Empties the list and the queue, next_id 1, and marks memory ahead of the
// file; null does nothing.
void clip_list_clear(clip_store *store);

// Evicts the n unpinned clips nearest the front in one pass, queuing the
// files of the image clips among them for deletion; returns how many it
// evicted, fewer when fewer clips are unpinned, or -1 ("out of memory", and
// nothing evicted) when their files cannot be queued.
int clip_list_evict_oldest_unpinned_n(clip_store *store, int n);

#endif  // QUILLMAR_CLIP_LIST_H
