#include "clip_store.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <yyjson.h>

#include "clip_error.h"
#include "clip_file.h"
#include "clip_index.h"
#include "clip_sys.h"
#include "clip_utf8.h"

namespace {

// Moves a damaged index aside under "clips.json.corrupt.<seconds>" without
// ever replacing an earlier one set aside in the same second.
bool set_aside(const char *dir, const char *index_path, int *err) {
  long long now = static_cast<long long>(clip_sys_time());
  char aside[CLIP_PATH_CAP];
  for (int attempt = 0; attempt < 1000; ++attempt) {
    bool fits = attempt == 0
                    ? clip_store_path(aside, sizeof aside,
                                      "%s/clips.json.corrupt.%lld", dir, now)
                    : clip_store_path(aside, sizeof aside,
                                      "%s/clips.json.corrupt.%lld.%d", dir, now,
                                      attempt);
    if (!fits) break;
    if (clip_sys_rename_noreplace(index_path, aside) == 0) return true;
    if (errno == EEXIST) continue;
    *err = errno;
    return false;
  }
  *err = EEXIST;
  return false;
}

int recover(clip_store *store, const char *index_path) {
  clip_store_clear(store);
  int err = 0;
  if (!set_aside(store->store_dir, index_path, &err)) {
    clip_set_error("cannot set damaged clips.json aside: %s", clip_sys_error_text(err));
    return 0;
  }
  clip_store_clear(store);
  store->next_id = 1;
  clip_clear_error();
  if (!clip_store_save(store)) {
    clip_set_error("corrupt index recovered but save failed");
    return 0;
  }
  return 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Paths

bool clip_store_path(char *out, size_t cap, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(out, cap, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    if (cap > 0) out[0] = '\0';
    return false;
  }
  return true;
}

extern "C" char *clip_store_image_path(const char *dir, int id, char *out,
                                       size_t cap) {
  if (!clip_store_path(out, cap, "%s/img_%d.png", dir, id)) return nullptr;
  return out;
}

void clip_store_unlink_doomed(clip_store *store) {
  for (int i = 0; i < store->doomed_count; ++i) {
    int id = store->doomed[i];
    // An index may repeat an id: a file another image clip still names stays.
    bool named = false;
    for (int k = 0; k < store->count && !named; ++k) {
      named = store->entries[k].id == id && store->entries[k].kind == CLIP_KIND_IMAGE;
    }
    if (!named) clip_store_unlink_blob(store, id);
  }
  store->doomed_count = 0;
}

// ---------------------------------------------------------------------------
// The store directory

extern "C" int clip_store_ensure_dir(const char *dir) {
  if (dir == nullptr || dir[0] == '\0') {
    clip_set_error("store_dir is empty");
    return 0;
  }
  clip_file_info st;
  if (clip_sys_stat(dir, &st) == 0) {
    if (st.directory) return 1;
    clip_set_error("store_dir is not a directory: %s", dir);
    return 0;
  }
  if (clip_sys_mkdir(dir) == 0) {
    // The directory is a name in its parent: a power cut before that name
    // is on the disk would take the store with every clip stored since.
    clip_file_sync_parent(dir);
    return 1;
  }
  if (errno == EEXIST) return 1;
  clip_set_error("mkdir failed: %s (%s)", dir, clip_sys_error_text(errno));
  return 0;
}

extern "C" int clip_store_write_blob(const char *path, const void *data,
                                     size_t len) {
  char tmp[CLIP_PATH_CAP];
  if (!clip_store_path(tmp, sizeof tmp, "%s.tmp", path)) {
    clip_set_error("failed to open blob tmp: %s", clip_sys_error_text(ENAMETOOLONG));
    return 0;
  }
  int err = 0;
  switch (clip_file_write_atomic(tmp, path, data, len, &err)) {
    case CLIP_WRITE_OK:
      return 1;
    case CLIP_WRITE_OPEN:
      clip_set_error("failed to open blob tmp: %s", clip_sys_error_text(err));
      return 0;
    case CLIP_WRITE_WRITE:
      clip_set_error("short write on blob");
      return 0;
    case CLIP_WRITE_SYNC:
    case CLIP_WRITE_CLOSE:
      clip_set_error("failed to flush blob");
      return 0;
    case CLIP_WRITE_RENAME:
      clip_set_error("rename blob failed: %s", clip_sys_error_text(err));
      return 0;
  }
  return 0;
}

extern "C" int clip_store_unlink_blob(const clip_store *store, int id) {
  char path[CLIP_PATH_CAP];
  if (clip_store_path(path, sizeof path, "%s/img_%d.png", store->store_dir, id)) {
    clip_sys_unlink(path);
  }
  return 1;
}

extern "C" int clip_store_save(clip_store *store) {
  size_t cap = clip_index_buffer_size(store);
  char *buf = static_cast<char *>(clip_malloc(cap));
  if (buf == nullptr) {
    clip_set_error("out of memory");
    return 0;
  }
  char path[CLIP_PATH_CAP];
  char tmp[CLIP_PATH_CAP];
  if (!clip_store_path(path, sizeof path, "%s/clips.json", store->store_dir) ||
      !clip_store_path(tmp, sizeof tmp, "%s/clips.json.tmp", store->store_dir)) {
    free(buf);
    clip_set_error("failed to open clips.json.tmp: %s", clip_sys_error_text(ENAMETOOLONG));
    return 0;
  }
  int err = 0;
  clip_write_step step = CLIP_WRITE_OPEN;
  clip_index_written written = CLIP_INDEX_WRITTEN;
  clip_atomic_file f;
  if (clip_file_begin(&f, tmp, path, &err)) {
    written = clip_index_write(f.fd, store, buf, cap, &err);
    if (written != CLIP_INDEX_WRITTEN) {
      clip_file_abandon(&f);
      step = CLIP_WRITE_WRITE;
    } else {
      step = clip_file_commit(&f, &err);
    }
  }
  free(buf);
  if (written == CLIP_INDEX_NOT_UTF8) {
    // Found before the rename: the temporary file is gone, the index as it was.
    clip_set_error("failed to serialize clips.json");
    return 0;
  }
  switch (step) {
    case CLIP_WRITE_OK:
      // Only now that no index names them may the files of removed clips go.
      store->unsaved = 0;
      clip_store_unlink_doomed(store);
      return 1;
    case CLIP_WRITE_OPEN:
      clip_set_error("failed to open clips.json.tmp: %s", clip_sys_error_text(err));
      return 0;
    case CLIP_WRITE_WRITE:
    case CLIP_WRITE_SYNC:
      clip_set_error("failed to write clips.json.tmp");
      return 0;
    case CLIP_WRITE_CLOSE:
      clip_set_error("failed to close clips.json.tmp");
      return 0;
    case CLIP_WRITE_RENAME:
      clip_set_error("atomic rename failed: %s", clip_sys_error_text(err));
      return 0;
  }
  return 0;
}

extern "C" int clip_store_load(clip_store *store) {
  char path[CLIP_PATH_CAP];
  if (!clip_store_path(path, sizeof path, "%s/clips.json", store->store_dir)) {
    clip_set_error("failed to open clips.json: %s", clip_sys_error_text(ENAMETOOLONG));
    return 0;
  }
  int fd = clip_sys_open_read(path);
  if (fd < 0) {
    if (errno == ENOENT) {
      store->next_id = 1;
      store->count = 0;
      return clip_store_save(store);
    }
    clip_set_error("failed to open clips.json: %s", clip_sys_error_text(errno));
    return 0;
  }
  clip_file_info st;
  if (clip_sys_fstat(fd, &st) != 0) {
    int err = errno;
    clip_sys_close(fd);
    clip_set_error("failed to read clips.json: %s", clip_sys_error_text(err));
    return 0;
  }
  if (!st.regular) {
    clip_sys_close(fd);
    clip_set_error("clips.json is not a regular file: %s", path);
    return 0;
  }
  uint64_t size = st.size;
  if (size == 0) {
    clip_sys_close(fd);
    store->next_id = 1;
    return clip_store_save(store);
  }
  // Parsed in place: yyjson wants a few zero bytes after the text.
  size_t cap = static_cast<size_t>(size);
  char *buf = size > SIZE_MAX - YYJSON_PADDING_SIZE
                  ? nullptr
                  : static_cast<char *>(clip_malloc(cap + YYJSON_PADDING_SIZE));
  if (buf == nullptr) {
    clip_sys_close(fd);
    clip_set_error("out of memory");
    return 0;
  }
  size_t got = 0;
  while (got < cap) {
    ssize_t n = clip_sys_read(fd, buf + got, cap - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      clip_sys_close(fd);
      free(buf);
      clip_set_error("failed to read clips.json: %s", clip_sys_error_text(err));
      return 0;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  clip_sys_close(fd);
  memset(buf + got, 0, YYJSON_PADDING_SIZE);

  clip_index_loaded r = clip_index_load(store, buf, got, cap);
  free(buf);
  if (r == CLIP_INDEX_LOADED) return 1;
  if (r == CLIP_INDEX_NO_MEMORY) {
    // Running out of memory says nothing about the index: leave it in place.
    clip_store_clear(store);
    clip_set_error("out of memory");
    return 0;
  }
  return recover(store, path);
}

// ---------------------------------------------------------------------------
// Preview

extern "C" char *clip_store_make_preview(const char *text, size_t len) {
  size_t n = len > CLIP_PREVIEW_CHARS ? CLIP_PREVIEW_CHARS : len;
  char *out = static_cast<char *>(clip_malloc(n + 4));
  if (out == nullptr) return nullptr;
  if (len > CLIP_PREVIEW_CHARS) {
    // Whole characters only, then "...": at most 120 bytes in all.
    n = clip_utf8_cut(text, CLIP_PREVIEW_CHARS - 3);
  }
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    out[i] = (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
  }
  if (len > CLIP_PREVIEW_CHARS) {
    memcpy(out + n, "...", 3);
    n += 3;
  }
  out[n] = '\0';
  return out;
}

// ---------------------------------------------------------------------------
// Opening

int clip_store_open(clip_store *store, const char *dir) {
  // Also releases what a failed earlier open may have left.
  clip_store_clear(store);
  *store = clip_store{};
  strncpy(store->store_dir, dir, CLIP_DIR_CAP - 1);
  store->store_dir[CLIP_DIR_CAP - 1] = '\0';
  store->next_id = 1;
  if (!clip_store_ensure_dir(store->store_dir)) return 0;
  if (!clip_store_load(store)) return 0;
  // Memory now holds what the file holds.
  store->unsaved = 0;
  store->initialized = 1;
  return 1;
}

// ---------------------------------------------------------------------------
// Capture

namespace {

// An image preview holds at most 127 bytes and a NUL.
constexpr size_t kImagePreviewCap = 128;

// Evicts down to 499 unpinned clips, so that the new one makes at most 500,
// and takes the id and the time. False, with the message set, when the capture cannot go on.
bool make_room_and_take_id(clip_store *store, clip_entry *e) {
  // Ids are never handed out twice; once they run out, only a wipe helps.
  if (store->next_id == INT_MAX) {
    clip_set_error("clip ids exhausted (next id %d): wipe the store to start again at 1",
                   store->next_id);
    return false;
  }
  int excess = clip_store_count_unpinned(store) - (CLIP_MAX_UNPINNED - 1);
  if (excess > 0) {
    int evicted = clip_store_evict_oldest_unpinned_n(store, excess);
    if (evicted < 0) return false;
    if (evicted < excess) {
      clip_set_error("cannot evict: no unpinned clips");
      return false;
    }
  }
  e->id = store->next_id++;
  // The raised next_id is memory ahead of the file too: a repeat answered
  // next must write it, or a restart would hand the id out again.
  store->unsaved = 1;
  e->ts = clip_sys_time();
  return true;
}

// The image preview "[image N bytes: label]", cut to 127 bytes, and never
// inside a character of the label.
char *image_preview(int len, const char *label) {
  bool named = label != nullptr && label[0] != '\0';
  char buf[kImagePreviewCap];
  int full = snprintf(buf, sizeof buf, "[image %d bytes%s%s]", len,
                      named ? ": " : "", named ? label : "");
  size_t n = strlen(buf);
  if (full > static_cast<int>(n) && named) {
    // The byte that was cut off decides whether the cut split a character.
    size_t prefix = static_cast<size_t>(snprintf(nullptr, 0, "[image %d bytes: ", len));
    size_t label_len = strlen(label);
    auto byte_at = [&](size_t k) -> unsigned char {
      if (k < n) return static_cast<unsigned char>(buf[k]);
      return k - prefix < label_len ? static_cast<unsigned char>(label[k - prefix]) : ']';
    };
    while (n > prefix && (byte_at(n) & 0xC0) == 0x80) --n;
    buf[n] = '\0';
  }
  return clip_strndup(buf, n);
}

// The complete record enters the list, and only then is the index written. On a failure before the append the record's strings are released.
int append_and_save(clip_store *store, clip_entry *e) {
  if (!clip_store_append(store, e)) {
    clip_store_free_entry(e);
    return 0;
  }
  return clip_store_save(store);
}

}  // namespace

const clip_entry *clip_store_repeat_of(const clip_store *store, const char *hash) {
  // Only the newest clip is compared: a repeat of an older one is a new clip.
  if (store->count <= 0) return nullptr;
  const clip_entry *newest = &store->entries[store->count - 1];
  return strcmp(newest->hash, hash) == 0 ? newest : nullptr;
}

int clip_store_sync(clip_store *store) {
  return store->unsaved ? clip_store_save(store) : 1;
}

int clip_store_add_text(clip_store *store, const char *text, size_t len, int truncated,
                        const char *hash, int *id) {
  clip_entry e{};
  if (!make_room_and_take_id(store, &e)) return 0;
  *id = e.id;
  e.kind = CLIP_KIND_TEXT;
  memcpy(e.hash, hash, sizeof e.hash);
  e.truncated = truncated;
  e.text = clip_strndup(text, len);
  if (e.text == nullptr) {
    clip_set_error("out of memory");
    return 0;
  }
  e.text_len = len;
  e.preview = clip_store_make_preview(e.text, len);
  if (e.preview == nullptr) {
    clip_store_free_entry(&e);
    clip_set_error("out of memory");
    return 0;
  }
  return append_and_save(store, &e);
}

int clip_store_add_image(clip_store *store, const unsigned char *png, int len, const char *label,
                         const char *hash, int *id) {
  clip_entry e{};
  if (!make_room_and_take_id(store, &e)) return 0;
  *id = e.id;
  e.kind = CLIP_KIND_IMAGE;
  memcpy(e.hash, hash, sizeof e.hash);
  if (label != nullptr) {
    // A clip that silently lost its label would be reported as stored whole.
    e.label = clip_strndup(label, strlen(label));
    if (e.label == nullptr) {
      clip_set_error("out of memory");
      return 0;
    }
  }
  e.preview = image_preview(len, label);
  if (e.preview == nullptr) {
    clip_store_free_entry(&e);
    clip_set_error("out of memory");
    return 0;
  }
  // The file is in place before the record that names it enters the list.
  char path[CLIP_PATH_CAP];
  clip_store_image_path(store->store_dir, e.id, path, sizeof path);
  if (!clip_store_write_blob(path, png, static_cast<size_t>(len))) {
    clip_store_free_entry(&e);
    return 0;
  }
  if (!clip_store_append(store, &e)) {
    clip_sys_unlink(path);
    clip_store_free_entry(&e);
    return 0;
  }
  return clip_store_save(store);
}

// ---------------------------------------------------------------------------
// Pinning, deleting, wiping

int clip_store_pin(clip_store *store, int index, int pinned) {
  clip_entry *e = &store->entries[index];
  if (pinned != 0) {
    if (e->pinned == 0 && clip_store_count_pinned(store) >= CLIP_MAX_PINNED) {
      clip_set_error("pinned cap reached (%d)", CLIP_MAX_PINNED);
      return 0;
    }
    e->pinned = 1;
  } else {
    e->pinned = 0;
  }
  store->unsaved = 1;
  return clip_store_save(store);
}

int clip_store_delete(clip_store *store, int index) {
  if (!clip_store_remove_at(store, index)) return 0;
  return clip_store_save(store);
}

int clip_store_wipe(clip_store *store) {
  clip_dir *dir = clip_sys_opendir(store->store_dir);
  if (dir == nullptr) {
    clip_set_error("opendir failed: %s", clip_sys_error_text(errno));
    return 0;
  }
  char path[CLIP_PATH_CAP];
  // The index goes first: a wipe cut short after it finds no index on the
  // next start, an empty history, and never an index naming removed images.
  if (clip_store_path(path, sizeof path, "%s/clips.json", store->store_dir)) {
    clip_sys_unlink(path);
  }
  // And the removal is on the disk before any other: a power cut could
  // otherwise keep the index and lose only the images it names.
  clip_sys_sync_dir(store->store_dir);
  while (const char *name = clip_sys_readdir(dir)) {
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strcmp(name, "clips.json") == 0) {
      continue;
    }
    // Unlink leaves directories alone; a file that cannot be removed stays.
    if (clip_store_path(path, sizeof path, "%s/%s", store->store_dir, name)) {
      clip_sys_unlink(path);
    }
  }
  clip_sys_closedir(dir);
  clip_store_clear(store);
  return clip_store_save(store);
}
