#include "clip_store.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include <yyjson.h>

#include "clip_error.h"
#include "clip_file.h"
#include "clip_index.h"
#include "clip_sys.h"
#include "clip_utf8.h"

namespace {

// Owning guards. The library has no exceptions, but a destructor still runs
// at every return: no exit of a function can leave a file open or a block
// behind.

// Closes a descriptor of the seam when it goes out of scope.
class fd_guard {
 public:
  explicit fd_guard(int fd) : fd_(fd) {}
  ~fd_guard() {
    if (fd_ >= 0) clip_sys_close(fd_);
  }
  fd_guard(const fd_guard &) = delete;
  fd_guard &operator=(const fd_guard &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Frees a block of the seam's allocator when it goes out of scope.
struct heap_free {
  void operator()(void *p) const { free(p); }
};
using heap_block = std::unique_ptr<char, heap_free>;

// The kinds of file the store replaces atomically.
enum written_file { kIndexFile, kImageFile };

// The message of a failed atomic replacement, by the step that failed and
// the kind of file; those of opening and renaming are followed by ": " and
// the error's text.
constexpr const char *kWriteWording[][2] = {
    // {the index, an image file}
    {nullptr, nullptr},                                            // CLIP_WRITE_OK
    {"failed to open clips.json.tmp", "failed to open blob tmp"},  // CLIP_WRITE_OPEN
    {"failed to write clips.json.tmp", "short write on blob"},     // CLIP_WRITE_WRITE
    {"failed to write clips.json.tmp", "failed to flush blob"},    // CLIP_WRITE_SYNC
    {"failed to close clips.json.tmp", "failed to flush blob"},    // CLIP_WRITE_CLOSE
    {"atomic rename failed", "rename blob failed"},                // CLIP_WRITE_RENAME
};
static_assert(CLIP_WRITE_OK == 0 && CLIP_WRITE_RENAME == 5 &&
              sizeof kWriteWording / sizeof kWriteWording[0] == 6);

// True when the replacement went through; else false with the message of
// the step that failed, err its errno.
bool written_whole(written_file file, clip_write_step step, int err) {
  if (step == CLIP_WRITE_OK) return true;
  const char *words = kWriteWording[step][file];
  if (step == CLIP_WRITE_OPEN || step == CLIP_WRITE_RENAME) {
    clip_set_error("%s: %s", words, clip_sys_error_text(err));
  } else {
    clip_set_error("%s", words);
  }
  return false;
}

// What reading the index file gave.
enum class index_file {
  read,    // its bytes are in the buffer
  absent,  // there is none, or it is empty: a fresh one is to be written
  failed,  // the message says why
};

// Reads the index file at path whole into *buf, a new block that holds its
// *len bytes followed by YYJSON_PADDING_SIZE zero bytes (*size: the block's
// length without them), and closes it again before the parse.
index_file read_index_file(const char *path, heap_block *buf, size_t *len, size_t *size) {
  fd_guard fd(clip_sys_open_read(path));
  if (fd.get() < 0) {
    if (errno == ENOENT) return index_file::absent;
    clip_set_error("failed to open clips.json: %s", clip_sys_error_text(errno));
    return index_file::failed;
  }
  clip_file_info st;
  if (clip_sys_fstat(fd.get(), &st) != 0) {
    clip_set_error("failed to read clips.json: %s", clip_sys_error_text(errno));
    return index_file::failed;
  }
  if (!st.regular) {
    clip_set_error("clips.json is not a regular file: %s", path);
    return index_file::failed;
  }
  if (st.size == 0) return index_file::absent;
  // Parsed in place: yyjson wants a few zero bytes after the text.
  size_t cap = static_cast<size_t>(st.size);
  if (st.size <= SIZE_MAX - YYJSON_PADDING_SIZE) {
    buf->reset(static_cast<char *>(clip_malloc(cap + YYJSON_PADDING_SIZE)));
  }
  if (*buf == nullptr) {
    clip_set_error("out of memory");
    return index_file::failed;
  }
  size_t got = 0;
  while (got < cap) {
    ssize_t n = clip_sys_read(fd.get(), buf->get() + got, cap - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      clip_set_error("failed to read clips.json: %s", clip_sys_error_text(errno));
      return index_file::failed;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  memset(buf->get() + got, 0, YYJSON_PADDING_SIZE);
  *len = got;
  *size = cap;
  return index_file::read;
}

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

// The id of an image file name "img_<id>.png" as the library writes them
// (decimal, no sign, no leading zero); 0 for any other name.
int image_file_id(const char *name) {
  if (strncmp(name, "img_", 4) != 0) return 0;
  const char *p = name + 4;
  if (*p < '1' || *p > '9') return 0;
  long long id = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    id = id * 10 + (*p - '0');
    if (id > INT_MAX) return 0;
  }
  return strcmp(p, ".png") == 0 ? static_cast<int>(id) : 0;
}

// The id a history starts from when it starts afresh, its index missing or
// set aside as damaged: one above the highest image file left in the
// directory, 1 when there is none. Such files belong to a history whose
// index was set aside, or lost to a power cut that followed (the host can
// recover them), or to a wipe that was cut short; a new image clip must not
// take one's name and replace it.
bool fresh_next_id(const char *dir_path, int *next_id) {
  clip_dir *dir = clip_sys_opendir(dir_path);
  if (dir == nullptr) {
    clip_set_error("opendir failed: %s", clip_sys_error_text(errno));
    return false;
  }
  int highest = 0;
  while (const char *name = clip_sys_readdir(dir)) {
    int id = image_file_id(name);
    if (id > highest) highest = id;
  }
  clip_sys_closedir(dir);
  *next_id = highest < INT_MAX ? highest + 1 : INT_MAX;
  return true;
}

bool recover(clip_store *store, const char *index_path) {
  clip_list_clear(store);
  int next_id = 1;
  if (!fresh_next_id(store->store_dir, &next_id)) return false;
  int err = 0;
  if (!set_aside(store->store_dir, index_path, &err)) {
    clip_set_error("cannot set damaged clips.json aside: %s", clip_sys_error_text(err));
    return false;
  }
  clip_list_clear(store);
  store->next_id = next_id;
  clip_clear_error();
  if (!clip_store_save(store)) {
    clip_set_error("corrupt index recovered but save failed");
    return false;
  }
  return true;
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

char *clip_store_image_path(const char *dir, int id, char *out, size_t cap) {
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

bool clip_store_ensure_dir(const char *dir) {
  if (dir == nullptr || dir[0] == '\0') {
    clip_set_error("store_dir is empty");
    return false;
  }
  // Refused before anything is made: the folder would get another name than
  // the files put in it look for.
  if (!clip_sys_keeps_last_name(dir)) {
    clip_set_error("store_dir ends in a space or a dot, which Windows drops from a name: %s",
                   dir);
    return false;
  }
  clip_file_info st;
  if (clip_sys_stat(dir, &st) == 0) {
    if (st.directory) return true;
    clip_set_error("store_dir is not a directory: %s", dir);
    return false;
  }
  if (clip_sys_mkdir(dir) == 0) {
    // The directory is a name in its parent: a power cut before that name
    // is on the disk would take the store with every clip stored since.
    clip_file_sync_parent(dir);
    return true;
  }
  if (errno == EEXIST) return true;
  clip_set_error("mkdir failed: %s (%s)", dir, clip_sys_error_text(errno));
  return false;
}

bool clip_store_write_blob(const char *path, const void *data, size_t len) {
  char tmp[CLIP_PATH_CAP];
  int err = ENAMETOOLONG;
  clip_write_step step = clip_store_path(tmp, sizeof tmp, "%s.tmp", path)
                             ? clip_file_write_atomic(tmp, path, data, len, &err)
                             : CLIP_WRITE_OPEN;
  return written_whole(kImageFile, step, err);
}

void clip_store_unlink_blob(const clip_store *store, int id) {
  char path[CLIP_PATH_CAP];
  if (clip_store_image_path(store->store_dir, id, path, sizeof path) != nullptr) {
    clip_sys_unlink(path);
  }
}

bool clip_store_save(clip_store *store) {
  size_t cap = clip_index_buffer_size(store);
  heap_block buf(static_cast<char *>(clip_malloc(cap)));
  if (buf == nullptr) {
    clip_set_error("out of memory");
    return false;
  }
  char path[CLIP_PATH_CAP];
  char tmp[CLIP_PATH_CAP];
  if (!clip_store_path(path, sizeof path, "%s/clips.json", store->store_dir) ||
      !clip_store_path(tmp, sizeof tmp, "%s/clips.json.tmp", store->store_dir)) {
    return written_whole(kIndexFile, CLIP_WRITE_OPEN, ENAMETOOLONG);
  }
  int err = 0;
  clip_write_step step = CLIP_WRITE_OPEN;
  clip_index_written written = CLIP_INDEX_WRITTEN;
  clip_atomic_file f;
  if (clip_file_begin(&f, tmp, path, &err)) {
    written = clip_index_write(f.fd, store, buf.get(), cap, &err);
    if (written != CLIP_INDEX_WRITTEN) {
      clip_file_abandon(&f);
      step = CLIP_WRITE_WRITE;
    } else {
      step = clip_file_commit(&f, &err);
    }
  }
  if (written == CLIP_INDEX_NOT_UTF8) {
    // Found before the rename: the temporary file is gone, the index as it was.
    clip_set_error("failed to serialize clips.json");
    return false;
  }
  if (!written_whole(kIndexFile, step, err)) return false;
  // Only now that no index names them may the files of removed clips go.
  store->unsaved = false;
  clip_store_unlink_doomed(store);
  return true;
}

bool clip_store_load(clip_store *store) {
  char path[CLIP_PATH_CAP];
  if (!clip_store_path(path, sizeof path, "%s/clips.json", store->store_dir)) {
    clip_set_error("failed to open clips.json: %s", clip_sys_error_text(ENAMETOOLONG));
    return false;
  }
  heap_block buf;
  size_t len = 0;
  size_t size = 0;
  switch (read_index_file(path, &buf, &len, &size)) {
    case index_file::failed:
      return false;
    case index_file::absent: {
      int next_id = 1;
      if (!fresh_next_id(store->store_dir, &next_id)) return false;
      store->next_id = next_id;
      return clip_store_save(store);
    }
    case index_file::read:
      break;
  }
  clip_index_loaded r = clip_index_load(store, buf.get(), len, size);
  buf.reset();
  if (r == CLIP_INDEX_LOADED) return true;
  if (r == CLIP_INDEX_NO_MEMORY) {
    // Running out of memory says nothing about the index: leave it in place.
    clip_list_clear(store);
    clip_set_error("out of memory");
    return false;
  }
  return recover(store, path);
}

// ---------------------------------------------------------------------------
// Preview

char *clip_store_make_preview(const char *text, size_t len) {
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

bool clip_store_open(clip_store *store, const char *dir) {
  // Also releases what a failed earlier open may have left.
  clip_list_clear(store);
  *store = clip_store{};
  strncpy(store->store_dir, dir, CLIP_DIR_CAP - 1);
  store->store_dir[CLIP_DIR_CAP - 1] = '\0';
  store->next_id = 1;
  if (!clip_store_ensure_dir(store->store_dir)) return false;
  if (!clip_store_load(store)) return false;
  // Memory now holds what the file holds.
  store->unsaved = false;
  store->initialized = true;
  return true;
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
  int excess = clip_list_count_unpinned(store) - (CLIP_MAX_UNPINNED - 1);
  if (excess > 0) {
    int evicted = clip_list_evict_oldest_unpinned_n(store, excess);
    if (evicted < 0) return false;
    if (evicted < excess) {
      clip_set_error("cannot evict: no unpinned clips");
      return false;
    }
  }
  e->id = store->next_id++;
  // The raised next_id is memory ahead of the file too: a repeat answered
  // next must write it, or a restart would hand the id out again.
  store->unsaved = true;
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
bool append_and_save(clip_store *store, clip_entry *e) {
  if (!clip_list_append(store, e)) {
    clip_list_free_entry(e);
    return false;
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

bool clip_store_sync(clip_store *store) {
  return store->unsaved ? clip_store_save(store) : true;
}

bool clip_store_add_text(clip_store *store, const char *text, size_t len, bool truncated,
                         const char *hash, int *id) {
  clip_entry e{};
  if (!make_room_and_take_id(store, &e)) return false;
  *id = e.id;
  e.kind = CLIP_KIND_TEXT;
  memcpy(e.hash, hash, sizeof e.hash);
  e.truncated = truncated;
  e.text = clip_strndup(text, len);
  if (e.text == nullptr) {
    clip_set_error("out of memory");
    return false;
  }
  e.text_len = len;
  e.preview = clip_store_make_preview(e.text, len);
  if (e.preview == nullptr) {
    clip_list_free_entry(&e);
    clip_set_error("out of memory");
    return false;
  }
  return append_and_save(store, &e);
}

bool clip_store_add_image(clip_store *store, const unsigned char *png, int len,
                          const char *label, const char *hash, int *id) {
  clip_entry e{};
  if (!make_room_and_take_id(store, &e)) return false;
  *id = e.id;
  e.kind = CLIP_KIND_IMAGE;
  memcpy(e.hash, hash, sizeof e.hash);
  if (label != nullptr) {
    // A clip that silently lost its label would be reported as stored whole.
    e.label = clip_strndup(label, strlen(label));
    if (e.label == nullptr) {
      clip_set_error("out of memory");
      return false;
    }
  }
  e.preview = image_preview(len, label);
  if (e.preview == nullptr) {
    clip_list_free_entry(&e);
    clip_set_error("out of memory");
    return false;
  }
  // The file is in place before the record that names it enters the list.
  char path[CLIP_PATH_CAP];
  clip_store_image_path(store->store_dir, e.id, path, sizeof path);
  if (!clip_store_write_blob(path, png, static_cast<size_t>(len))) {
    clip_list_free_entry(&e);
    return false;
  }
  if (!clip_list_append(store, &e)) {
    clip_sys_unlink(path);
    clip_list_free_entry(&e);
    return false;
  }
  return clip_store_save(store);
}

// ---------------------------------------------------------------------------
// Pinning, deleting, wiping

bool clip_store_pin(clip_store *store, int index, bool pinned) {
  clip_entry *e = &store->entries[index];
  if (pinned && !e->pinned && clip_list_count_pinned(store) >= CLIP_MAX_PINNED) {
    clip_set_error("pinned cap reached (%d)", CLIP_MAX_PINNED);
    return false;
  }
  e->pinned = pinned;
  store->unsaved = true;
  return clip_store_save(store);
}

bool clip_store_delete(clip_store *store, int index) {
  if (!clip_list_remove_at(store, index)) return false;
  return clip_store_save(store);
}

bool clip_store_wipe(clip_store *store) {
  clip_dir *dir = clip_sys_opendir(store->store_dir);
  if (dir == nullptr) {
    clip_set_error("opendir failed: %s", clip_sys_error_text(errno));
    return false;
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
  clip_list_clear(store);
  return clip_store_save(store);
}
