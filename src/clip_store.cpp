#include "clip_store.h"

#include <errno.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <yyjson.h>

#include "clip_sys.h"
#include "quillmar_clip_internal.h"

constinit clip_store g_store{};

namespace {

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
  clip_sys_sync_dir(dir);
}

// Writes len bytes to fd; false, with the failing call's errno in *err, when
// they cannot all be written.
bool write_all(int fd, const char *p, size_t len, int *err) {
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

// Writes tmp through fill(fd, err), which returns false when it could not
// write everything, forces it to the disk and renames it onto final, so that
// final is at every moment the old file or the new one whole. On failure the
// temporary file is gone, *err holds the failing call's errno and the step is
// returned.
template <class Fill>
write_step write_atomic(const char *tmp, const char *final_path, Fill fill,
                        int *err) {
  int fd = clip_sys_create_fresh(tmp);
  if (fd < 0) {
    *err = errno;
    return WS_OPEN;
  }
  if (!fill(fd, err)) {
    clip_sys_close(fd);
    clip_sys_unlink(tmp);
    return WS_WRITE;
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

write_step write_atomic(const char *tmp, const char *final_path,
                        const void *data, size_t len, int *err) {
  return write_atomic(
      tmp, final_path,
      [&](int fd, int *e) {
        return write_all(fd, static_cast<const char *>(data), len, e);
      },
      err);
}

// ---------------------------------------------------------------------------
// The index text
//
// The index is exactly the text yyjson_mut_write_opts(..., YYJSON_WRITE_PRETTY,
// ...) makes of the document {"next_id": N, "clips": [entry, ...]}: four
// spaces a level, ": " after a key, ",\n" between members, strings in UTF-8
// as they are with only the quotation mark, the reverse solidus and the bytes
// below 0x20 escaped ("\b", "\t", "\n", "\f", "\r", else "\u00XX" in upper
// case), and no newline at the end. It is written here straight into the
// file through one bounded buffer rather than built as a document and
// serialised into one block first: texts live in the index, which reaches
// 750 MB for 700 texts of 1 MiB, and a second copy of it in fresh memory
// would cost more than the disk. unit_index_bytes.cpp holds the two equal.

// Big enough that each write call moves a good piece, small enough to stay in
// the cache while it is being filled.
constexpr size_t kOutChunk = size_t{1} << 20;
constexpr size_t kOutMin = 4096;

// Every this many bytes written, the disk is asked to start on them, so that
// it works while the rest is being formed and the final fsync has less left.
constexpr uint64_t kWritebackStep = uint64_t{8} << 20;

struct index_out {
  int fd;
  char *buf;
  size_t cap;
  size_t used;
  bool failed;   // a write failed, its errno in err; what follows is dropped
  bool invalid;  // a string is not valid UTF-8: nothing may be written
  int err;
  uint64_t written;      // bytes in the file so far
  uint64_t written_back; // bytes of them handed to the disk
};

void out_flush(index_out *o) {
  if (!o->failed && !write_all(o->fd, o->buf, o->used, &o->err)) o->failed = true;
  o->written += o->used;
  o->used = 0;
  if (!o->failed && o->written - o->written_back >= kWritebackStep) {
    // Only a hint: the fsync before the rename is what makes the file safe.
    clip_sys_write_hint(o->fd, o->written_back, o->written - o->written_back);
    o->written_back = o->written;
  }
}

// A short piece of layout, a key or a number.
void out_raw(index_out *o, const char *s, size_t n) {
  if (o->cap - o->used < n) out_flush(o);
  memcpy(o->buf + o->used, s, n);
  o->used += n;
}

template <size_t N>
void out_lit(index_out *o, const char (&s)[N]) {
  out_raw(o, s, N - 1);
}

void out_int(index_out *o, int64_t v) {
  char digits[24];
  char *end = digits + sizeof digits;
  char *p = end;
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  do {
    *--p = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (v < 0) *--p = '-';
  out_raw(o, p, static_cast<size_t>(end - p));
}

// Room kept free at the top of each step of out_str: one block of 16 bytes
// copied whole, or one escape, or one character.
constexpr size_t kStepRoom = 32;

// A bit per byte of the 16 at p that cannot simply be copied: the controls,
// the quotation mark, the reverse solidus, and every byte from 0x80 up (its
// character is checked first).
inline unsigned special_bytes(const unsigned char *p) {
#if defined(__SSE2__)
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  __m128i control = _mm_set1_epi8(0x1F);
  __m128i stop = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                   _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
      _mm_cmpeq_epi8(_mm_max_epu8(v, control), control));
  // The high bit of each byte of v marks the bytes from 0x80 up.
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(stop, v)));
#else
  unsigned mask = 0;
  for (unsigned i = 0; i < 16; ++i) {
    unsigned char c = p[i];
    if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) mask |= 1u << i;
  }
  return mask;
#endif
}

// The length of the valid UTF-8 character at p (whose first byte is from
// 0x80 up), or 0 when there is none before end (RFC 3629: no overlong forms,
// no surrogates, nothing above U+10FFFF).
inline size_t utf8_char(const unsigned char *p, const unsigned char *end) {
  unsigned char c = p[0];
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<size_t>(end - p) < n || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
  }
  return n;
}

// The escapes of the bytes below 0x20, '"' and '\\', as yyjson writes them:
// the two-character forms where JSON has one, else "\u00XX" in upper case.
struct escape_table {
  char text[96][8];
  unsigned char len[96];
  constexpr escape_table() : text(), len() {
    const char hex[] = "0123456789ABCDEF";
    for (int c = 0; c < 0x20; ++c) {
      const char six[8] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF], 0, 0};
      for (int i = 0; i < 8; ++i) text[c][i] = six[i];
      len[c] = 6;
    }
    const char shorts[][2] = {{'"', '"'}, {'\\', '\\'}, {'\b', 'b'}, {'\t', 't'},
                              {'\n', 'n'}, {'\f', 'f'}, {'\r', 'r'}};
    for (const auto &s : shorts) {
      int c = static_cast<unsigned char>(s[0]);
      text[c][0] = '\\';
      text[c][1] = s[1];
      len[c] = 2;
    }
  }
};
constexpr escape_table kEscapes;

// Appends s[0, len) as a JSON string. A string that is not valid UTF-8 marks
// the output invalid, as it makes yyjson's writer fail.
void out_str(index_out *o, const char *s, size_t len) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
  const unsigned char *end = p + len;
  if (o->cap - o->used < kStepRoom) out_flush(o);
  char *w = o->buf + o->used;
  char *const last = o->buf + o->cap - kStepRoom;
  *w++ = '"';
  for (;;) {
    if (w > last) {
      o->used = static_cast<size_t>(w - o->buf);
      out_flush(o);
      w = o->buf;
    }
    unsigned char c;
    if (end - p >= 16) {
      // Plain bytes go through sixteen at a time, copied before they are
      // looked at; the cursor then stops at the first that is not plain.
      memcpy(w, p, 16);
      unsigned mask = special_bytes(p);
      if (mask == 0) {
        p += 16;
        w += 16;
        continue;
      }
      unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
      p += k;
      w += k;
      c = *p;
    } else {
      while (p < end && *p >= 0x20 && *p < 0x80 && *p != '"' && *p != '\\') {
        *w++ = static_cast<char>(*p++);
      }
      if (p == end) break;
      c = *p;
    }
    if (c < 0x80) {
      memcpy(w, kEscapes.text[c], 8);
      w += kEscapes.len[c];
      ++p;
      continue;
    }
    size_t n = utf8_char(p, end);
    if (n == 0) {
      o->invalid = true;
      o->used = static_cast<size_t>(w - o->buf);
      return;
    }
    memcpy(w, p, n);
    w += n;
    p += n;
  }
  *w++ = '"';
  o->used = static_cast<size_t>(w - o->buf);
}

void out_cstr(index_out *o, const char *s) { out_str(o, s, strlen(s)); }

void out_bool(index_out *o, bool b) {
  if (b) {
    out_lit(o, "true");
  } else {
    out_lit(o, "false");
  }
}

// One element of "clips", members in their fixed order.
void out_entry(index_out *o, const clip_entry *e) {
  out_lit(o, "        {\n            \"id\": ");
  out_int(o, e->id);
  out_lit(o, ",\n            \"ts\": ");
  out_int(o, e->ts);
  if (e->kind == CLIP_KIND_IMAGE) {
    out_lit(o, ",\n            \"kind\": \"image\",\n            \"preview\": ");
  } else {
    out_lit(o, ",\n            \"kind\": \"text\",\n            \"preview\": ");
  }
  out_cstr(o, e->preview != nullptr ? e->preview : "");
  out_lit(o, ",\n            \"pinned\": ");
  out_bool(o, e->pinned != 0);
  out_lit(o, ",\n            \"hash\": ");
  out_str(o, e->hash, strnlen(e->hash, sizeof e->hash));
  out_lit(o, ",\n            \"truncated\": ");
  out_bool(o, e->truncated != 0);
  if (e->kind == CLIP_KIND_IMAGE) {
    if (e->label != nullptr) {
      out_lit(o, ",\n            \"label\": ");
      out_cstr(o, e->label);
    }
  } else {
    out_lit(o, ",\n            \"text\": ");
    if (e->text != nullptr) {
      out_str(o, e->text, e->text_len);
    } else {
      out_lit(o, "\"\"");
    }
  }
  out_lit(o, "\n        }");
}

void out_index(index_out *o, const clip_store *store) {
  out_lit(o, "{\n    \"next_id\": ");
  out_int(o, store->next_id);
  if (store->count <= 0) {
    out_lit(o, ",\n    \"clips\": []\n}");
    return;
  }
  out_lit(o, ",\n    \"clips\": [\n");
  for (int i = 0; i < store->count && !o->invalid; ++i) {
    if (i > 0) out_lit(o, ",\n");
    out_entry(o, &store->entries[i]);
  }
  out_lit(o, "\n    ]\n}");
}

// The buffer for a save: the whole index when it is small, kOutChunk else.
size_t index_buffer_size(const clip_store *store) {
  size_t n = 64;
  for (int i = 0; i < store->count && n < kOutChunk; ++i) {
    const clip_entry *e = &store->entries[i];
    n += 256;
    if (e->preview != nullptr) n += strlen(e->preview);
    if (e->kind == CLIP_KIND_IMAGE) {
      if (e->label != nullptr) n += strlen(e->label);
    } else if (e->text != nullptr) {
      n += e->text_len + e->text_len / 8;
    }
  }
  return std::clamp(n, kOutMin, kOutChunk);
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

// From this size on, a copy's pages are made present in one call before it is
// filled rather than faulted in one at a time as the copy reaches them.
constexpr size_t kPrefaultMin = size_t{64} << 10;

void prefault(char *p, size_t n) {
  if (n >= kPrefaultMin) clip_sys_prefault(p, n);
}

// A heap copy of a parsed string, cut at an embedded NUL so that the text
// stays what every C reader of it sees.
char *copy_string(yyjson_val *v, size_t *len_out) {
  const char *s = yyjson_get_str(v);
  size_t len = yyjson_get_len(v);
  const void *nul = memchr(s, '\0', len);
  if (nul != nullptr) len = static_cast<size_t>(static_cast<const char *>(nul) - s);
  if (len_out != nullptr) *len_out = len;
  char *copy = static_cast<char *>(clip_malloc(len + 1));
  if (copy == nullptr) return nullptr;
  prefault(copy, len);
  if (len != 0) memcpy(copy, s, len);
  copy[len] = '\0';
  return copy;
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

// The buffer a load reads the index into and parses in place. As the entries
// are copied out of it, the pages they lay in are handed back, so that the
// index and the copies made of it are never both whole in memory.
struct load_buffer {
  char *data;
  size_t size;
  uintptr_t released;  // the pages below are handed back
};

constexpr uintptr_t kReleaseStep = uintptr_t{8} << 20;

// Hands back the whole pages of the buffer below `upto`, which nothing reads
// again, once there are enough of them to be worth a call.
void buffer_release_below(load_buffer *b, const char *upto) {
  uintptr_t start = reinterpret_cast<uintptr_t>(b->data);
  uintptr_t end = reinterpret_cast<uintptr_t>(upto);
  if (end <= start || end > start + b->size) return;
  if (end <= b->released || end - b->released < kReleaseStep) return;
  clip_sys_release_pages(reinterpret_cast<void *>(b->released), end - b->released);
  b->released = end;
}

// Reads the parsed index into the list. The document was parsed in place in
// buf: every string of an element lies in it before the first key of the
// next element, and nothing goes back to an element once it is loaded.
load_result load_document(clip_store *store, yyjson_doc *doc, load_buffer *buf) {
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
    yyjson_obj_iter members = yyjson_obj_iter_with(item);
    if (yyjson_val *first_key = yyjson_obj_iter_next(&members)) {
      buffer_release_below(buf, yyjson_get_str(first_key));
    }
    load_result r = load_entry(store, item);
    if (r != LOAD_OK) return r;
  }
  return LOAD_OK;
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

namespace {

// Remembers a removed image clip's id so that its file goes once the index no
// longer names the clip; when the id cannot even be remembered, it goes now.
void doom_image(clip_store *store, int id) {
  if (store->doomed_count == store->doomed_capacity) {
    int cap = store->doomed_capacity == 0 ? 16 : store->doomed_capacity * 2;
    void *grown = clip_realloc(store->doomed, static_cast<size_t>(cap) * sizeof(int));
    if (grown == nullptr) {
      clip_store_unlink_blob(store, id);
      return;
    }
    store->doomed = static_cast<int *>(grown);
    store->doomed_capacity = cap;
  }
  store->doomed[store->doomed_count++] = id;
}

// Releases a record that leaves the list, with its image file.
void drop_entry(clip_store *store, clip_entry *e) {
  if (e->kind == CLIP_KIND_IMAGE) doom_image(store, e->id);
  clip_store_free_entry(e);
}

}  // namespace

extern "C" int clip_store_remove_at(clip_store *store, int index) {
  if (index < 0 || index >= store->count) return 0;
  clip_entry *e = &store->entries[index];
  drop_entry(store, e);
  int behind = store->count - index - 1;
  if (behind > 0) {
    memmove(e, e + 1, static_cast<size_t>(behind) * sizeof(clip_entry));
  }
  --store->count;
  return 1;
}

int clip_store_evict_oldest_unpinned_n(clip_store *store, int n) {
  // One pass that closes every gap at once, where n single evictions would
  // move the records behind each evicted one n times.
  int removed = 0;
  int keep = 0;
  for (int i = 0; i < store->count; ++i) {
    clip_entry *e = &store->entries[i];
    if (removed < n && e->pinned == 0) {
      drop_entry(store, e);
      ++removed;
    } else {
      if (keep != i) store->entries[keep] = *e;
      ++keep;
    }
  }
  store->count = keep;
  return removed;
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
  clip_file_info info;
  if (clip_sys_stat(dir, &info) == 0) {
    if (info.directory) return 1;
    clip_set_error("store_dir is not a directory: %s", dir);
    return 0;
  }
  if (clip_sys_mkdir(dir) == 0 || errno == EEXIST) return 1;
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
  switch (write_atomic(tmp, path, data, len, &err)) {
    case WS_OK:
      return 1;
    case WS_OPEN:
      clip_set_error("failed to open blob tmp: %s", clip_sys_error_text(err));
      return 0;
    case WS_WRITE:
      clip_set_error("short write on blob");
      return 0;
    case WS_SYNC:
    case WS_CLOSE:
      clip_set_error("failed to flush blob");
      return 0;
    case WS_RENAME:
      clip_set_error("rename blob failed: %s", clip_sys_error_text(err));
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
  size_t cap = index_buffer_size(store);
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
  index_out out{-1, buf, cap, 0, false, false, 0, 0, 0};
  int err = 0;
  write_step step = write_atomic(
      tmp, path,
      [&](int fd, int *e) {
        out.fd = fd;
        out_index(&out, store);
        if (!out.invalid) out_flush(&out);
        *e = out.err;
        return !out.failed && !out.invalid;
      },
      &err);
  free(buf);
  if (out.invalid) {
    // Found before the rename: the temporary file is gone, the index as it was.
    clip_set_error("failed to serialize clips.json");
    return 0;
  }
  switch (step) {
    case WS_OK:
      return 1;
    case WS_OPEN:
      clip_set_error("failed to open clips.json.tmp: %s", clip_sys_error_text(err));
      return 0;
    case WS_WRITE:
    case WS_SYNC:
      clip_set_error("failed to write clips.json.tmp");
      return 0;
    case WS_CLOSE:
      clip_set_error("failed to close clips.json.tmp");
      return 0;
    case WS_RENAME:
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
  // Non-blocking, so that a FIFO in the index's place cannot hang the load.
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
  clip_file_info info;
  if (clip_sys_fstat(fd, &info) != 0 || !info.regular) {
    clip_sys_close(fd);
    clip_set_error("clips.json is not a regular file: %s", path);
    return 0;
  }
  if (clip_sys_seek_end(fd) < 0) {
    clip_sys_close(fd);
    clip_set_error("fseek failed on clips.json");
    return 0;
  }
  int64_t size = clip_sys_tell(fd);
  if (size < 0) {
    clip_sys_close(fd);
    clip_set_error("ftell failed on clips.json");
    return 0;
  }
  clip_sys_seek_start(fd);
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
  load_buffer lb{buf, cap, reinterpret_cast<uintptr_t>(buf)};
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

  yyjson_read_err rerr;
  yyjson_doc *doc =
      yyjson_read_opts(buf, got, YYJSON_READ_INSITU, clip_json_alc(), &rerr);
  load_result r;
  if (doc == nullptr) {
    r = rerr.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION ? LOAD_NO_MEMORY
                                                          : LOAD_DAMAGED;
  } else {
    r = load_document(store, doc, &lb);
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
