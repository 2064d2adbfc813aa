// Everything the library keeps in the store directory: the index
// "clips.json" and one "img_<id>.png" per image clip.
#ifndef QUILLMAR_CLIP_STORE_H
#define QUILLMAR_CLIP_STORE_H

#include <stddef.h>

#include "clip_list.h"

extern "C" {

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

// Deletes the image files of the clips removed since the last call, but for
// those another image clip of the list still names. clip_store_save calls it
// once the index no longer names them.
void clip_store_unlink_doomed(clip_store *store);

// Formats "%s/<name...>" into out; false (and out emptied) when it does not fit,
// so that no operation ever acts on a cut path.
bool clip_store_path(char *out, size_t cap, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

#endif  // QUILLMAR_CLIP_STORE_H
