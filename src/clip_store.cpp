#include "clip_store.h"

#include <errno.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <yyjson.h>

#include "clip_sys.h"
#include "quillmar_clip_internal.h"

constinit clip_store g_store{};

namespace {

// Files the library creates hold clipboard history, passwords included:
// they are readable by the owner only.
constexpr mode_t kFileMode = 0600;
constexpr mode_t kDirMode = 0700;
constexpr int kFirstCapacity = 64;

// ---------------------------------------------------------------------------
// Atomic file replacement

enum write_step { WS_OK, WS_OPEN, WS_WRITE, WS_SYNC, WS_CLOSE, WS_RENAME };

// Makes the rename of a file in `path`'s directory durable. A failure here
// cannot be undone (the new file is already in place) and is not reported.
void sync_parent_dir(const char *path) {
  char dir[CLIP_PATH_CAP];
  const char *slash = strrchr(path, '/');
  if (slash == nullptr) return;
  size_t n = static_cast<size_t>(slash - path);
  if (n == 0) n = 1;  // the root directory
  if (n >= sizeof dir) return;
  memcpy(dir, path, n);
  dir[n] = '\0';
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Writes len bytes to tmp, forces them to the disk and renames tmp onto
// final, so that final is at every moment the old file or the new one whole.
// On failure the temporary file is gone, *err holds the failing call's errno
// and the step is returned.
write_step write_atomic(const char *tmp, const char *final_path,
                        const void *data, size_t len, int *err) {
  // Non-blocking, so that a FIFO squatting on the name fails the open
  // instead of waiting for a reader; it changes nothing for a regular file.
  int fd = clip_sys_open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK,
                         kFileMode);
  if (fd < 0) {
    *err = errno;
    return WS_OPEN;
  }
  const char *p = static_cast<const char *>(data);
  size_t left = len;
  while (left > 0) {
    ssize_t n = clip_sys_write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *err = n < 0 ? errno : EIO;
      clip_sys_close(fd);
      clip_sys_unlink(tmp);
      return WS_WRITE;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (clip_sys_fsync(fd) != 0) {
    *err = errno;
    clip_sys_close(fd);
    clip_sys_unlink(tmp);
    return WS_SYNC;
  }
  if (clip_sys_close(fd) != 0) {
    *err = errno;
    clip_sys_unlink(tmp);
    return WS_CLOSE;
  }
  if (clip_sys_rename(tmp, final_path) != 0) {
    *err = errno;
    clip_sys_unlink(tmp);
    return WS_RENAME;
  }
  sync_parent_dir(final_path);
  return WS_OK;
}

void json_free(void *p) {
  const yyjson_alc *alc = clip_json_alc();
  if (alc != nullptr) {
    alc->free(alc->ctx, p);
  } else {
    free(p);
  }
}

// ---------------------------------------------------------------------------
// The index document

const char *kind_name(int kind) {
  return kind == CLIP_KIND_IMAGE ? "image" : "text";
}

// Adds one entry object to the "clips" array. Strings are referenced, not
// copied: the document never outlives the list it was built from.
bool add_entry(yyjson_mut_doc *doc, yyjson_mut_val *clips,
               const clip_entry *e) {
  yyjson_mut_val *obj = yyjson_mut_obj(doc);
  if (obj == nullptr) return false;
  const char *preview = e->preview != nullptr ? e->preview : "";
  bool ok = yyjson_mut_obj_add_int(doc, obj, "id", e->id) &&
            yyjson_mut_obj_add_int(doc, obj, "ts", e->ts) &&
            yyjson_mut_obj_add_str(doc, obj, "kind", kind_name(e->kind)) &&
            yyjson_mut_obj_add_str(doc, obj, "preview", preview) &&
            yyjson_mut_obj_add_bool(doc, obj, "pinned", e->pinned != 0) &&
            yyjson_mut_obj_add_str(doc, obj, "hash", e->hash) &&
            yyjson_mut_obj_add_bool(doc, obj, "truncated", e->truncated != 0);
  if (!ok) return false;
  if (e->kind == CLIP_KIND_IMAGE) {
    if (e->label != nullptr &&
        !yyjson_mut_obj_add_str(doc, obj, "label", e->label)) {
      return false;
    }
  } else if (e->text != nullptr) {
    if (!yyjson_mut_obj_add_strn(doc, obj, "text", e->text, e->text_len)) {
      return false;
    }
  } else if (!yyjson_mut_obj_add_str(doc, obj, "text", "")) {
    return false;
  }
  return yyjson_mut_arr_append(clips, obj);
}

// Builds the whole index; false when any part of it cannot be allocated, so
// that an index missing an entry's "id" or "kind" is never written.
bool build_index(yyjson_mut_doc *doc, const clip_store *store) {
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  if (root == nullptr) return false;
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_val *clips = yyjson_mut_arr(doc);
  if (clips == nullptr ||
      !yyjson_mut_obj_add_int(doc, root, "next_id", store->next_id) ||
      !yyjson_mut_obj_add_val(doc, root, "clips", clips)) {
    return false;
  }
  for (int i = 0; i < store->count; ++i) {
    if (!add_entry(doc, clips, &store->entries[i])) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Loading

enum load_result { LOAD_OK, LOAD_DAMAGED, LOAD_NO_MEMORY };

// The low 32 bits of a JSON integer, as a signed integer.
int low32(yyjson_val *v) {
  uint64_t raw = yyjson_is_uint(v) ? yyjson_get_uint(v)
                                   : static_cast<uint64_t>(yyjson_get_sint(v));
  return static_cast<int>(static_cast<uint32_t>(raw));
}

int flag_of(yyjson_val *v) {
  if (yyjson_is_bool(v)) return yyjson_get_bool(v) ? 1 : 0;
  if (yyjson_is_int(v)) return low32(v) != 0 ? 1 : 0;
  return 0;
}

// A heap copy of a parsed string, cut at an embedded NUL so that the text
// stays what every C reader of it sees.
char *copy_string(yyjson_val *v, size_t *len_out) {
  const char *s = yyjson_get_str(v);
  size_t len = yyjson_get_len(v);
  const void *nul = memchr(s, '\0', len);
  if (nul != nullptr) len = static_cast<size_t>(static_cast<const char *>(nul) - s);
  if (len_out != nullptr) *len_out = len;
  return clip_strndup(s, len);
}

load_result load_entry(clip_store *store, yyjson_val *obj) {
  clip_entry e{};
  yyjson_val *id = yyjson_obj_get(obj, "id");
  if (!yyjson_is_int(id)) return LOAD_DAMAGED;
  e.id = low32(id);
  yyjson_val *ts = yyjson_obj_get(obj, "ts");
  if (yyjson_is_uint(ts)) {
    e.ts = static_cast<int64_t>(yyjson_get_uint(ts));
  } else if (yyjson_is_sint(ts)) {
    e.ts = yyjson_get_sint(ts);
  }
  yyjson_val *kind = yyjson_obj_get(obj, "kind");
  if (yyjson_equals_str(kind, "text")) {
    e.kind = CLIP_KIND_TEXT;
  } else if (yyjson_equals_str(kind, "image")) {
    e.kind = CLIP_KIND_IMAGE;
  } else {
    return LOAD_DAMAGED;
  }
  e.pinned = flag_of(yyjson_obj_get(obj, "pinned"));
  e.truncated = flag_of(yyjson_obj_get(obj, "truncated"));
  yyjson_val *hash = yyjson_obj_get(obj, "hash");
  if (yyjson_is_str(hash)) {
    size_t n = yyjson_get_len(hash);
    const char *h = yyjson_get_str(hash);
    if (n > 16) n = clip_utf8_cut(h, 16);
    memcpy(e.hash, h, n);
    e.hash[n] = '\0';
  }

  yyjson_val *preview = yyjson_obj_get(obj, "preview");
  e.preview = yyjson_is_str(preview) ? copy_string(preview, nullptr)
                                     : clip_strndup("", 0);
  if (e.preview == nullptr) return LOAD_NO_MEMORY;
  if (e.kind == CLIP_KIND_TEXT) {
    yyjson_val *text = yyjson_obj_get(obj, "text");
    e.text = yyjson_is_str(text) ? copy_string(text, &e.text_len)
                                 : clip_strndup("", 0);
    if (e.text == nullptr) {
      clip_store_free_entry(&e);
      return LOAD_NO_MEMORY;
    }
  } else {
    yyjson_val *label = yyjson_obj_get(obj, "label");
    if (yyjson_is_str(label)) {
      e.label = copy_string(label, nullptr);
      if (e.label == nullptr) {
        clip_store_free_entry(&e);
        return LOAD_NO_MEMORY;
      }
    }
  }
  if (!clip_store_append(store, &e)) {
    clip_store_free_entry(&e);
    return LOAD_NO_MEMORY;
  }
  return LOAD_OK;
}

// Reads the parsed index into the list.
load_result load_document(clip_store *store, yyjson_doc *doc) {
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (!yyjson_is_obj(root) || yyjson_obj_size(root) == 0) return LOAD_DAMAGED;
  yyjson_val *clips = yyjson_obj_get(root, "clips");
  if (!yyjson_is_arr(clips)) return LOAD_DAMAGED;
  yyjson_val *next = yyjson_obj_get(root, "next_id");
  store->next_id = 1;
  if (yyjson_is_int(next)) {
    int n = low32(next);
    if (n > 0) store->next_id = n;
  }
  size_t i, max;
  yyjson_val *item;
  yyjson_arr_foreach(clips, i, max, item) {
    if (!yyjson_is_obj(item)) continue;
    load_result r = load_entry(store, item);
    if (r != LOAD_OK) return r;
  }
  return LOAD_OK;
}

// Moves a damaged index aside under "clips.json.corrupt.<seconds>" without
// ever replacing an earlier one set aside in the same second.
bool set_aside(const char *dir, const char *index_path, int *err) {
  long now = static_cast<long>(time(nullptr));
  char aside[CLIP_PATH_CAP];
  for (int attempt = 0; attempt < 1000; ++attempt) {
    bool fits = attempt == 0
                    ? clip_store_path(aside, sizeof aside,
                                      "%s/clips.json.corrupt.%ld", dir, now)
                    : clip_store_path(aside, sizeof aside,
                                      "%s/clips.json.corrupt.%ld.%d", dir, now,
                                      attempt);
    if (!fits) break;
    if (CLIP_FAULT(CLIP_FAULT_RENAME)) {
      *err = EIO;
      return false;
    }
    if (renameat2(AT_FDCWD, index_path, AT_FDCWD, aside, RENAME_NOREPLACE) == 0) {
      return true;
    }
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) {
      *err = errno;
      return false;
    }
    // The file system cannot refuse to replace: look before renaming.
    struct stat st;
    if (lstat(aside, &st) == 0) continue;
    if (rename(index_path, aside) == 0) return true;
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
    clip_set_error("cannot set damaged clips.json aside: %s", strerror(err));
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

// ---------------------------------------------------------------------------
// The in-memory list

extern "C" int clip_store_append(clip_store *store, clip_entry *entry) {
  if (store->count >= store->capacity) {
    if (store->capacity > INT32_MAX / 2) {
      clip_set_error("out of memory");
      return 0;
    }
    int cap = store->capacity == 0 ? kFirstCapacity : store->capacity * 2;
    void *grown = clip_realloc(store->entries,
                               static_cast<size_t>(cap) * sizeof(clip_entry));
    if (grown == nullptr) {
      clip_set_error("out of memory");
      return 0;
    }
    store->entries = static_cast<clip_entry *>(grown);
    store->capacity = cap;
  }
  store->entries[store->count++] = *entry;
  entry->preview = nullptr;
  entry->text = nullptr;
  entry->label = nullptr;
  return 1;
}

extern "C" int clip_store_find_index(const clip_store *store, int id) {
  for (int i = 0; i < store->count; ++i) {
    if (store->entries[i].id == id) return i;
  }
  return -1;
}

extern "C" int clip_store_remove_at(clip_store *store, int index) {
  if (index < 0 || index >= store->count) return 0;
  clip_entry *e = &store->entries[index];
  if (e->kind == CLIP_KIND_IMAGE) {
    // The file goes once the index no longer names the clip; when the id
    // cannot even be remembered, it goes now.
    bool queued = false;
    if (store->doomed_count < store->doomed_capacity) {
      queued = true;
    } else {
      int cap = store->doomed_capacity == 0 ? 16 : store->doomed_capacity * 2;
      void *grown = clip_realloc(store->doomed,
                                 static_cast<size_t>(cap) * sizeof(int));
      if (grown != nullptr) {
        store->doomed = static_cast<int *>(grown);
        store->doomed_capacity = cap;
        queued = true;
      }
    }
    if (queued) {
      store->doomed[store->doomed_count++] = e->id;
    } else {
      clip_store_unlink_blob(store, e->id);
    }
  }
  clip_store_free_entry(e);
  int behind = store->count - index - 1;
  if (behind > 0) {
    memmove(e, e + 1, static_cast<size_t>(behind) * sizeof(clip_entry));
  }
  --store->count;
  return 1;
}

extern "C" int clip_store_evict_oldest_unpinned(clip_store *store) {
  for (int i = 0; i < store->count; ++i) {
    if (store->entries[i].pinned == 0) return clip_store_remove_at(store, i);
  }
  return 0;
}

extern "C" int clip_store_count_pinned(const clip_store *store) {
  int n = 0;
  for (int i = 0; i < store->count; ++i) {
    if (store->entries[i].pinned != 0) ++n;
  }
  return n;
}

extern "C" int clip_store_count_unpinned(const clip_store *store) {
  if (store->count <= 0) return store->count;
  return store->count - clip_store_count_pinned(store);
}

extern "C" void clip_store_free_entry(clip_entry *entry) {
  if (entry == nullptr) return;
  free(entry->preview);
  free(entry->text);
  free(entry->label);
  entry->preview = nullptr;
  entry->text = nullptr;
  entry->label = nullptr;
}

extern "C" void clip_store_clear(clip_store *store) {
  if (store == nullptr) return;
  for (int i = 0; i < store->count; ++i) clip_store_free_entry(&store->entries[i]);
  free(store->entries);
  store->entries = nullptr;
  store->count = 0;
  store->capacity = 0;
  store->next_id = 1;
  free(store->doomed);
  store->doomed = nullptr;
  store->doomed_count = 0;
  store->doomed_capacity = 0;
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
  struct stat st;
  if (clip_sys_stat(dir, &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 1;
    clip_set_error("store_dir is not a directory: %s", dir);
    return 0;
  }
  if (clip_sys_mkdir(dir, kDirMode) == 0 || errno == EEXIST) return 1;
  clip_set_error("mkdir failed: %s (%s)", dir, strerror(errno));
  return 0;
}

extern "C" int clip_store_write_blob(const char *path, const void *data,
                                     size_t len) {
  char tmp[CLIP_PATH_CAP];
  if (!clip_store_path(tmp, sizeof tmp, "%s.tmp", path)) {
    clip_set_error("failed to open blob tmp: %s", strerror(ENAMETOOLONG));
    return 0;
  }
  int err = 0;
  switch (write_atomic(tmp, path, data, len, &err)) {
    case WS_OK:
      return 1;
    case WS_OPEN:
      clip_set_error("failed to open blob tmp: %s", strerror(err));
      return 0;
    case WS_WRITE:
      clip_set_error("short write on blob");
      return 0;
    case WS_SYNC:
    case WS_CLOSE:
      clip_set_error("failed to flush blob");
      return 0;
    case WS_RENAME:
      clip_set_error("rename blob failed: %s", strerror(err));
      return 0;
  }
  return 0;
}

extern "C" int clip_store_unlink_blob(const clip_store *store, int id) {
  char path[4096];
  if (clip_store_path(path, sizeof path, "%s/img_%d.png", store->store_dir, id)) {
    clip_sys_unlink(path);
  }
  return 1;
}

extern "C" int clip_store_save(const clip_store *store) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(clip_json_alc());
  if (doc == nullptr) {
    clip_set_error("out of memory");
    return 0;
  }
  if (!build_index(doc, store)) {
    yyjson_mut_doc_free(doc);
    clip_set_error("out of memory");
    return 0;
  }
  size_t len = 0;
  char *json = yyjson_mut_write_opts(doc, YYJSON_WRITE_PRETTY, clip_json_alc(),
                                     &len, nullptr);
  yyjson_mut_doc_free(doc);
  if (json == nullptr) {
    clip_set_error("failed to serialize clips.json");
    return 0;
  }
  char path[CLIP_PATH_CAP];
  char tmp[CLIP_PATH_CAP];
  if (!clip_store_path(path, sizeof path, "%s/clips.json", store->store_dir) ||
      !clip_store_path(tmp, sizeof tmp, "%s/clips.json.tmp", store->store_dir)) {
    json_free(json);
    clip_set_error("failed to open clips.json.tmp: %s", strerror(ENAMETOOLONG));
    return 0;
  }
  int err = 0;
  write_step step = write_atomic(tmp, path, json, len, &err);
  json_free(json);
  switch (step) {
    case WS_OK:
      return 1;
    case WS_OPEN:
      clip_set_error("failed to open clips.json.tmp: %s", strerror(err));
      return 0;
    case WS_WRITE:
    case WS_SYNC:
      clip_set_error("failed to write clips.json.tmp");
      return 0;
    case WS_CLOSE:
      clip_set_error("failed to close clips.json.tmp");
      return 0;
    case WS_RENAME:
      clip_set_error("atomic rename failed: %s", strerror(err));
      return 0;
  }
  return 0;
}

extern "C" int clip_store_load(clip_store *store) {
  char path[CLIP_PATH_CAP];
  if (!clip_store_path(path, sizeof path, "%s/clips.json", store->store_dir)) {
    clip_set_error("failed to open clips.json: %s", strerror(ENAMETOOLONG));
    return 0;
  }
  // Non-blocking, so that a FIFO in the index's place cannot hang the load.
  int fd = clip_sys_open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) {
      store->next_id = 1;
      store->count = 0;
      return clip_store_save(store);
    }
    clip_set_error("failed to open clips.json: %s", strerror(errno));
    return 0;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    clip_set_error("clips.json is not a regular file: %s", path);
    return 0;
  }
  if (clip_sys_seek_end(fd) < 0) {
    clip_sys_close(fd);
    clip_set_error("fseek failed on clips.json");
    return 0;
  }
  off_t size = clip_sys_tell(fd);
  if (size < 0) {
    clip_sys_close(fd);
    clip_set_error("ftell failed on clips.json");
    return 0;
  }
  lseek(fd, 0, SEEK_SET);
  if (size == 0) {
    clip_sys_close(fd);
    store->next_id = 1;
    return clip_store_save(store);
  }
  // Parsed in place: yyjson wants a few zero bytes after the text.
  size_t cap = static_cast<size_t>(size);
  char *buf = cap > SIZE_MAX - YYJSON_PADDING_SIZE
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
      clip_set_error("failed to read clips.json: %s", strerror(err));
      return 0;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  clip_sys_close(fd);
  memset(buf + got, 0, YYJSON_PADDING_SIZE);

  yyjson_read_err rerr;
  yyjson_doc *doc =
      yyjson_read_opts(buf, got, YYJSON_READ_INSITU, clip_json_alc(), &rerr);
  load_result r;
  if (doc == nullptr) {
    r = rerr.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION ? LOAD_NO_MEMORY
                                                          : LOAD_DAMAGED;
  } else {
    r = load_document(store, doc);
    yyjson_doc_free(doc);
  }
  free(buf);
  if (r == LOAD_OK) return 1;
  if (r == LOAD_NO_MEMORY) {
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
