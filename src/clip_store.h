// Everything the library keeps in the store directory: the index
// "clips.json" and one "img_<id>.png" per image clip.
#ifndef QUILLMAR_CLIP_STORE_H
#define QUILLMAR_CLIP_STORE_H

#include <stddef.h>

#include "clip_list.h"

// The store directory: true when dir is one or has been made; false with a
// message.
bool clip_store_ensure_dir(const char *dir);
// "<dir>/img_<id>.png" in out, or null (out emptied) when it does not fit.
char *clip_store_image_path(const char *dir, int id, char *out, size_t cap);
// Replaces the file at path atomically with len bytes; false with a message.
bool clip_store_write_blob(const char *path, const void *data, size_t len);
// Removes the image file of clip id; a failure is not reported.
void clip_store_unlink_blob(const clip_store *store, int id);
// Writes the index; once it is in place, deletes the files of the image
// clips removed since the last successful write. False with a message.
bool clip_store_save(clip_store *store);
// Loads the store's index into the list, which is empty: a missing or empty
// index is written fresh, a damaged one set aside and replaced. A fresh
// index starts its ids above the highest image file left in the directory,
// so that no new clip replaces a file that recovery may still want. False
// with a message.
bool clip_store_load(clip_store *store);

// The preview of a text clip: at most 120 bytes of whole characters, tabs and
// line breaks as spaces, "..." at the end when the text is longer.
char *clip_store_make_preview(const char *text, size_t len);

// Opens the store directory dir (at most its first 4095 bytes), creating it
// when missing, and loads its index into store, which it empties first.
// True with store->initialized set; false with a message.
bool clip_store_open(clip_store *store, const char *dir);

// Capture. Each operation runs the capture rules in their order: the repeat
// of the newest clip, eviction down to 499 unpinned clips, the id and the
// time, the complete record, its append, the index write. A failure reports
// its message and undoes nothing (evictions stay, the id stays used).

// The newest clip when its fingerprint is hash, else null.
const clip_entry *clip_store_repeat_of(const clip_store *store, const char *hash);

// Writes the index when memory is ahead of it (a write failed since the
// last one that worked), so that a repeat acknowledges only what is on
// disk; true once the file holds what memory holds.
bool clip_store_sync(clip_store *store);

// Adds a text clip of the len bytes of text, or an image clip of the len
// bytes at png with an optional label (its file written before the record
// enters the list). True with the new clip's id in *id; false with a
// message, *id then holding the id used up if one was taken.
bool clip_store_add_text(clip_store *store, const char *text, size_t len, bool truncated,
                         const char *hash, int *id);
bool clip_store_add_image(clip_store *store, const unsigned char *png, int len,
                          const char *label, const char *hash, int *id);

// Pins or unpins the clip at index and writes the index; pinning a further
// clip while CLIP_MAX_PINNED are pinned fails with "pinned cap reached
// (200)" and changes nothing.
bool clip_store_pin(clip_store *store, int index, bool pinned);

// Removes the clip at index and writes the index; an image clip's file goes
// once an index that no longer names it is in place.
bool clip_store_delete(clip_store *store, int index);

// Removes every file in the store directory (subdirectories stay), empties
// the list with next_id 1 and writes a fresh index.
bool clip_store_wipe(clip_store *store);

// Deletes the image files of the clips removed since the last call, but for
// those another image clip of the list still names. clip_store_save calls it
// once the index no longer names them.
void clip_store_unlink_doomed(clip_store *store);

// Formats "%s/<name...>" into out; false (and out emptied) when it does not fit,
// so that no operation ever acts on a cut path.
bool clip_store_path(char *out, size_t cap, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

#endif  // QUILLMAR_CLIP_STORE_H
