#include "clip_index.h"

#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "clip_file.h"
#include "clip_json.h"
#include "clip_sys.h"
#include "clip_utf8.h"

namespace {

// ---------------------------------------------------------------------------
// Writing
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
constexpr off_t kWritebackStep = off_t{8} << 20;

struct index_out {
  int fd;
  char *buf;
  size_t cap;
  size_t used;
  bool failed;   // a write failed, its errno in err; what follows is dropped
  bool invalid;  // a string is not valid UTF-8: nothing may be written
  int err;
  off_t written;      // bytes in the file so far
  off_t written_back; // bytes of them handed to the disk
};

void out_flush(index_out *o) {
  if (!o->failed && !clip_file_write_all(o->fd, o->buf, o->used, &o->err)) o->failed = true;
  o->written += static_cast<off_t>(o->used);
  o->used = 0;
  if (!o->failed && o->written - o->written_back >= kWritebackStep) {
    // Only a hint: the fsync before the rename is what makes the file safe.
    clip_sys_write_hint(o->fd, static_cast<uint64_t>(o->written_back),
                        static_cast<uint64_t>(o->written - o->written_back));
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
      memcpy(w, kJsonEscapesUpper.text[c], 8);
      w += kJsonEscapesUpper.len[c];
      ++p;
      continue;
    }
    size_t n = clip_utf8_char(p, end);
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
  out_bool(o, e->pinned);
  out_lit(o, ",\n            \"hash\": ");
  out_str(o, e->hash, strnlen(e->hash, sizeof e->hash));
  out_lit(o, ",\n            \"truncated\": ");
  out_bool(o, e->truncated);
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

// ---------------------------------------------------------------------------
// Loading

// The low 32 bits of a JSON integer, as a signed integer.
int low32(yyjson_val *v) {
  uint64_t raw = yyjson_is_uint(v) ? yyjson_get_uint(v)
                                   : static_cast<uint64_t>(yyjson_get_sint(v));
  return static_cast<int>(static_cast<uint32_t>(raw));
}

bool flag_of(yyjson_val *v) {
  if (yyjson_is_bool(v)) return yyjson_get_bool(v);
  if (yyjson_is_int(v)) return low32(v) != 0;
  return false;
}

// From this size on, a copy's pages are made present in one call before it is
// filled rather than faulted in one at a time as the copy reaches them.
constexpr size_t kPrefaultMin = size_t{64} << 10;

void prefault(char *p, size_t n) {
  if (n < kPrefaultMin) return;
  uintptr_t page = clip_sys_page_size();
  uintptr_t from = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  uintptr_t to = (reinterpret_cast<uintptr_t>(p) + n) & ~(page - 1);
  // Only a hint: without it, the copy faults the pages in.
  if (to > from) clip_sys_prefault_pages(reinterpret_cast<void *>(from), to - from);
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

clip_index_loaded load_entry(clip_store *store, yyjson_val *obj) {
  clip_entry e{};
  yyjson_val *id = yyjson_obj_get(obj, "id");
  if (!yyjson_is_int(id)) return CLIP_INDEX_DAMAGED;
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
    return CLIP_INDEX_DAMAGED;
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
  if (e.preview == nullptr) return CLIP_INDEX_NO_MEMORY;
  if (e.kind == CLIP_KIND_TEXT) {
    yyjson_val *text = yyjson_obj_get(obj, "text");
    e.text = yyjson_is_str(text) ? copy_string(text, &e.text_len)
                                 : clip_strndup("", 0);
    if (e.text == nullptr) {
      clip_list_free_entry(&e);
      return CLIP_INDEX_NO_MEMORY;
    }
  } else {
    yyjson_val *label = yyjson_obj_get(obj, "label");
    if (yyjson_is_str(label)) {
      e.label = copy_string(label, nullptr);
      if (e.label == nullptr) {
        clip_list_free_entry(&e);
        return CLIP_INDEX_NO_MEMORY;
      }
    }
  }
  if (!clip_list_append(store, &e)) {
    clip_list_free_entry(&e);
    return CLIP_INDEX_NO_MEMORY;
  }
  return CLIP_INDEX_LOADED;
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
  uintptr_t page = clip_sys_page_size();
  uintptr_t from = (b->released + page - 1) & ~(page - 1);
  uintptr_t to = end & ~(page - 1);
  if (to <= from || to - from < kReleaseStep) return;
  clip_sys_release_pages(reinterpret_cast<void *>(from), to - from);
  b->released = to;
}

// Reads the parsed index into the list. The document was parsed in place in
// buf: every string of an element lies in it before the first key of the
// next element, and nothing goes back to an element once it is loaded.
clip_index_loaded load_document(clip_store *store, yyjson_doc *doc, load_buffer *buf) {
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (!yyjson_is_obj(root) || yyjson_obj_size(root) == 0) return CLIP_INDEX_DAMAGED;
  yyjson_val *clips = yyjson_obj_get(root, "clips");
  if (!yyjson_is_arr(clips)) return CLIP_INDEX_DAMAGED;
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
    clip_index_loaded r = load_entry(store, item);
    if (r != CLIP_INDEX_LOADED) return r;
  }
  // An index edited by hand may hold ids at or above its next_id: new clips
  // would take those ids again, and an image clip's file with them.
  for (int k = 0; k < store->count; ++k) {
    int id = store->entries[k].id;
    if (id >= store->next_id) store->next_id = id == INT_MAX ? INT_MAX : id + 1;
  }
  return CLIP_INDEX_LOADED;
}

}  // namespace

size_t clip_index_buffer_size(const clip_store *store) {
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

clip_index_written clip_index_write(int fd, const clip_store *store, char *buf, size_t cap,
                                    int *err) {
  index_out out{fd, buf, cap, 0, false, false, 0, 0, 0};
  out_index(&out, store);
  if (out.invalid) return CLIP_INDEX_NOT_UTF8;
  out_flush(&out);
  if (!out.failed) return CLIP_INDEX_WRITTEN;
  *err = out.err;
  return CLIP_INDEX_WRITE_FAILED;
}

clip_index_loaded clip_index_load(clip_store *store, char *buf, size_t len, size_t size) {
  yyjson_read_err rerr;
  yyjson_doc *doc = yyjson_read_opts(buf, len, YYJSON_READ_INSITU, clip_json_alc(), &rerr);
  if (doc == nullptr) {
    return rerr.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION ? CLIP_INDEX_NO_MEMORY
                                                            : CLIP_INDEX_DAMAGED;
  }
  load_buffer lb{buf, size, reinterpret_cast<uintptr_t>(buf)};
  clip_index_loaded r = load_document(store, doc, &lb);
  yyjson_doc_free(doc);
  return r;
}
