// The clip records, the in-memory list and everything the library keeps in
// the store directory: the index "clips.json" and one "img_<id>.png" per image.
#ifndef QUILLMAR_CLIP_STORE_H
#define QUILLMAR_CLIP_STORE_H

#include <stddef.h>
#include <stdint.h>

#include <type_traits>

#include "clip_hash.h"
#include "quillmar_clip.h"

#define CLIP_KIND_TEXT 0
#define CLIP_KIND_IMAGE 1

#define CLIP_DIR_CAP 4096
#define CLIP_PATH_CAP 4160

struct clip_entry {
  int id;
  int64_t ts;
  int kind;             // CLIP_KIND_TEXT or CLIP_KIND_IMAGE
  char *preview;        // owned
  int pinned;           // 0 or, as every writer stores it, 1
  char hash[CLIP_HASH_CHARS];
  int truncated;
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
  int initialized;
  // 1 while memory is ahead of the file: set by every change of the list,
  // cleared by every index write that succeeds.
  int unsaved;
  // Ids of removed image clips whose files are deleted once an index that no
  // longer names them is in place (clip_store_save), so that neither a crash
  // nor a failed write ever leaves a clip without its file.
  int *doomed;
  int doomed_count;
  int doomed_capacity;
};

static_assert(std::is_trivially_copyable_v<clip_entry>);
static_assert(std::is_trivially_copyable_v<clip_store>);

extern "C" {

extern clip_store g_store;

// The in-memory list.
int clip_store_append(clip_store *store, clip_entry *entry);
int clip_store_find_index(const clip_store *store, int id);
// 1 removed; 0 when index is out of range, or with "out of memory" (nothing
// removed) when an image clip's file cannot be queued for deletion.
int clip_store_remove_at(clip_store *store, int index);
int clip_store_evict_oldest_unpinned(clip_store *store);
int clip_store_count_pinned(const clip_store *store);
int clip_store_count_unpinned(const clip_store *store);
void clip_store_free_entry(clip_entry *entry);
void clip_store_clear(clip_store *store);

// The store directory.
int clip_store_ensure_dir(const char *dir);
char *clip_store_image_path(const char *dir, int id, char *out, size_t cap);
int clip_store_write_blob(const char *path, const void *data, size_t len);
int clip_store_unlink_blob(const clip_store *store, int id);
// Writes the index; once it is in place, deletes the files of the image
// clips removed since the last successful write.
int clip_store_save(clip_store *store);
int clip_store_load(clip_store *store);

// The preview of a text clip: at most 120 bytes of whole characters, tabs and
// line breaks as spaces, "..." at the end when the text is longer.
char *clip_store_make_preview(const char *text, size_t len);

}

// Evicts the n oldest unpinned clips (with their image files) in one pass, as
// n calls of clip_store_evict_oldest_unpinned would; returns how many it
// evicted, fewer when fewer clips are unpinned, or -1 ("out of memory", and
// nothing evicted) when their image files cannot be queued for deletion.
int clip_store_evict_oldest_unpinned_n(clip_store *store, int n);

// Deletes the image files of the clips removed since the last call, but for
// those another image clip of the list still names. clip_store_save calls it
// once the index no longer names them.
void clip_store_unlink_doomed(clip_store *store);

// Formats "%s/<name...>" into out; false (and out emptied) when it does not fit,
// so that no operation ever acts on a cut path.
bool clip_store_path(char *out, size_t cap, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

#endif  // QUILLMAR_CLIP_STORE_H
