// The exported C interface: every export empties the last-error message,
// refuses to work until clip_init has succeeded, and reports a failure as 0
// or null with a one-line message.
#include "quillmar_clip.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "clip_search.h"
#include "clip_store.h"
#include "clip_sys.h"
#include "quillmar_clip_internal.h"

namespace {

constinit char g_err[CLIP_ERR_CAP] = {};

// An image preview holds at most 127 bytes and a NUL.
constexpr size_t kImagePreviewCap = 128;

bool not_initialized() {
  if (g_store.initialized) return false;
  clip_set_error("not initialized");
  return true;
}

// Deletes the image files of clips removed by the current call once it ends,
// which is after its index write.
struct unlink_doomed_at_exit {
  ~unlink_doomed_at_exit() { clip_store_unlink_doomed(&g_store); }
};

// Capture rule 1: only the newest clip is compared.
const clip_entry *newest_with_hash(const char *hash) {
  if (g_store.count <= 0) return nullptr;
  const clip_entry *newest = &g_store.entries[g_store.count - 1];
  return strcmp(newest->hash, hash) == 0 ? newest : nullptr;
}

char *dedup_result(int id) {
  char *out = dup_printf("{\"id\":%d,\"dedup\":1}", id);
  if (out == nullptr) clip_set_error("out of memory");
  return out;
}

// Capture rules 2 and 3: evict down to 499 unpinned clips and take the id.
// False, with the message set, when the capture cannot go on.
bool make_room_and_take_id(int *id, int64_t *ts) {
  // Ids are never handed out twice; once they run out, only a wipe helps.
  if (g_store.next_id == INT_MAX) {
    clip_set_error("clip ids exhausted (next id %d): wipe the store to start again at 1",
                   g_store.next_id);
    return false;
  }
  int excess = clip_store_count_unpinned(&g_store) - (CLIP_MAX_UNPINNED - 1);
  if (excess > 0 && clip_store_evict_oldest_unpinned_n(&g_store, excess) < excess) {
    clip_set_error("cannot evict: no unpinned clips");
    return false;
  }
  *id = g_store.next_id++;
  *ts = clip_sys_time();
  return true;
}

// Writes s as a JSON string: the quotation mark, the reverse solidus and the
// bytes below 0x20 escaped, every other byte copied as it is.
char *json_quote(const char *s) {
  size_t n = 2;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
    if (*p == '"' || *p == '\\' || *p == '\b' || *p == '\f' || *p == '\n' ||
        *p == '\r' || *p == '\t') {
      n += 2;
    } else if (*p < 0x20) {
      n += 6;
    } else {
      n += 1;
    }
  }
  char *out = static_cast<char *>(clip_malloc(n + 1));
  if (out == nullptr) return nullptr;
  char *o = out;
  *o++ = '"';
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
    switch (*p) {
      case '"': *o++ = '\\'; *o++ = '"'; break;
      case '\\': *o++ = '\\'; *o++ = '\\'; break;
      case '\b': *o++ = '\\'; *o++ = 'b'; break;
      case '\f': *o++ = '\\'; *o++ = 'f'; break;
      case '\n': *o++ = '\\'; *o++ = 'n'; break;
      case '\r': *o++ = '\\'; *o++ = 'r'; break;
      case '\t': *o++ = '\\'; *o++ = 't'; break;
      default:
        if (*p < 0x20) {
          snprintf(o, 7, "\\u%04x", *p);
          o += 6;
        } else {
          *o++ = static_cast<char>(*p);
        }
    }
  }
  *o++ = '"';
  *o = '\0';
  return out;
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

}  // namespace

// ---------------------------------------------------------------------------
// The frame

extern "C" void clip_set_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(g_err, sizeof g_err, fmt, ap);
  va_end(ap);
}

extern "C" void clip_clear_error(void) { g_err[0] = '\0'; }

char *dup_printf(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n < 0) return nullptr;
  char *out = static_cast<char *>(clip_malloc(static_cast<size_t>(n) + 1));
  if (out == nullptr) return nullptr;
  va_start(ap, fmt);
  vsnprintf(out, static_cast<size_t>(n) + 1, fmt, ap);
  va_end(ap);
  return out;
}

char *clip_json_result(yyjson_mut_doc *doc) {
  const yyjson_alc *alc = clip_json_alc();
  size_t len = 0;
  char *json = yyjson_mut_write_opts(doc, 0, alc, &len, nullptr);
  if (json == nullptr) return nullptr;
  char *out = clip_strndup(json, len);
  if (alc != nullptr) {
    alc->free(alc->ctx, json);
  } else {
    free(json);
  }
  return out;
}

extern "C" QUILLMAR_CLIP_API const char *clip_last_error(void) {
  return g_err[0] != '\0' ? g_err : "";
}

extern "C" QUILLMAR_CLIP_API void clip_free_string(char *s) { free(s); }

extern "C" QUILLMAR_CLIP_API int clip_init(const char *store_dir) {
  clip_clear_error();
  if (store_dir == nullptr) {
    clip_set_error("store_dir is NULL");
    return 0;
  }
  if (store_dir[0] == '\0') {
    clip_set_error("store_dir is empty");
    return 0;
  }
  // Also releases what a failed earlier clip_init may have left.
  clip_store_clear(&g_store);
  g_store = clip_store{};
  strncpy(g_store.store_dir, store_dir, CLIP_DIR_CAP - 1);
  g_store.store_dir[CLIP_DIR_CAP - 1] = '\0';
  g_store.next_id = 1;
  if (!clip_store_ensure_dir(g_store.store_dir)) return 0;
  if (!clip_store_load(&g_store)) return 0;
  g_store.initialized = 1;
  return 1;
}

// ---------------------------------------------------------------------------
// Capture

extern "C" QUILLMAR_CLIP_API char *clip_push_text(const char *text) {
  clip_clear_error();
  if (not_initialized()) return nullptr;
  if (text == nullptr) {
    clip_set_error("text is NULL");
    return nullptr;
  }
  // One pass measures the text and checks the bytes it keeps.
  clip_text_span span = clip_utf8_span(text, CLIP_TEXT_CAP);
  if (!span.valid) {
    clip_set_error("text is not valid UTF-8");
    return nullptr;
  }
  size_t stored = span.len;
  int truncated = span.truncated ? 1 : 0;
  char hash[CLIP_HASH_CHARS];
  clip_hash_text(text, stored, hash);
  if (const clip_entry *newest = newest_with_hash(hash)) {
    return dedup_result(newest->id);
  }

  unlink_doomed_at_exit unlink_doomed;
  clip_entry e{};
  if (!make_room_and_take_id(&e.id, &e.ts)) return nullptr;
  e.kind = CLIP_KIND_TEXT;
  memcpy(e.hash, hash, sizeof hash);
  e.truncated = truncated;
  e.text = clip_strndup(text, stored);
  if (e.text == nullptr) {
    clip_set_error("out of memory");
    return nullptr;
  }
  e.text_len = stored;
  e.preview = clip_store_make_preview(e.text, stored);
  if (e.preview == nullptr) {
    clip_store_free_entry(&e);
    clip_set_error("out of memory");
    return nullptr;
  }
  if (!clip_store_append(&g_store, &e)) {
    clip_store_free_entry(&e);
    return nullptr;
  }
  if (!clip_store_save(&g_store)) return nullptr;
  char *out = dup_printf("{\"id\":%d,\"dedup\":0}",
                         g_store.entries[g_store.count - 1].id);
  if (out == nullptr) clip_set_error("out of memory");
  return out;
}

extern "C" QUILLMAR_CLIP_API char *clip_push_image(const unsigned char *png,
                                                   int len,
                                                   const char *label) {
  clip_clear_error();
  if (not_initialized()) return nullptr;
  if (png == nullptr) {
    clip_set_error("png is NULL");
    return nullptr;
  }
  if (len <= 0) {
    clip_set_error("png length must be > 0");
    return nullptr;
  }
  if (len > CLIP_IMAGE_CAP) {
    clip_set_error("image exceeds 10MB cap");
    return nullptr;
  }
  if (label != nullptr && !clip_utf8_valid(label, strlen(label))) {
    clip_set_error("label is not valid UTF-8");
    return nullptr;
  }
  char hash[CLIP_HASH_CHARS];
  clip_hash_bytes(png, static_cast<size_t>(len), hash);
  if (const clip_entry *newest = newest_with_hash(hash)) {
    return dedup_result(newest->id);
  }

  unlink_doomed_at_exit unlink_doomed;
  clip_entry e{};
  if (!make_room_and_take_id(&e.id, &e.ts)) return nullptr;
  e.kind = CLIP_KIND_IMAGE;
  memcpy(e.hash, hash, sizeof hash);
  if (label != nullptr) {
    // A clip that silently lost its label would be reported as stored whole.
    e.label = clip_strndup(label, strlen(label));
    if (e.label == nullptr) {
      clip_set_error("out of memory");
      return nullptr;
    }
  }
  e.preview = image_preview(len, label);
  if (e.preview == nullptr) {
    clip_store_free_entry(&e);
    clip_set_error("out of memory");
    return nullptr;
  }
  char path[CLIP_PATH_CAP];
  clip_store_image_path(g_store.store_dir, e.id, path, sizeof path);
  if (!clip_store_write_blob(path, png, static_cast<size_t>(len))) {
    clip_store_free_entry(&e);
    return nullptr;
  }
  if (!clip_store_append(&g_store, &e)) {
    clip_sys_unlink(path);
    clip_store_free_entry(&e);
    return nullptr;
  }
  if (!clip_store_save(&g_store)) return nullptr;
  char *out = dup_printf("{\"id\":%d}", g_store.entries[g_store.count - 1].id);
  if (out == nullptr) clip_set_error("out of memory");
  return out;
}

// ---------------------------------------------------------------------------
// Reading

extern "C" QUILLMAR_CLIP_API char *clip_list(int offset, int limit) {
  clip_clear_error();
  if (not_initialized()) return nullptr;
  int want = limit > 0 ? limit : CLIP_DEFAULT_LIMIT;
  int skip = offset > 0 ? offset : 0;
  yyjson_mut_doc *doc = yyjson_mut_doc_new(clip_json_alc());
  if (doc == nullptr) {
    clip_set_error("out of memory");
    return nullptr;
  }
  yyjson_mut_val *root = yyjson_mut_arr(doc);
  bool ok = root != nullptr;
  if (ok) yyjson_mut_doc_set_root(doc, root);
  // Positions count from the newest clip, at index count - 1.
  int first = g_store.count - 1 - skip;
  for (int i = first, taken = 0; ok && i >= 0 && taken < want; --i, ++taken) {
    const clip_entry *e = &g_store.entries[i];
    yyjson_mut_val *obj = yyjson_mut_obj(doc);
    ok = obj != nullptr &&
         yyjson_mut_obj_add_int(doc, obj, "id", e->id) &&
         yyjson_mut_obj_add_int(doc, obj, "ts", e->ts) &&
         yyjson_mut_obj_add_str(doc, obj, "kind",
                                e->kind == CLIP_KIND_IMAGE ? "image" : "text") &&
         yyjson_mut_obj_add_str(doc, obj, "preview",
                                e->preview != nullptr ? e->preview : "") &&
         yyjson_mut_obj_add_bool(doc, obj, "pinned", e->pinned != 0) &&
         yyjson_mut_arr_append(root, obj);
  }
  if (!ok) {
    // A page with clips silently left out would be a wrong answer.
    yyjson_mut_doc_free(doc);
    clip_set_error("out of memory");
    return nullptr;
  }
  char *out = clip_json_result(doc);
  yyjson_mut_doc_free(doc);
  if (out == nullptr) clip_set_error("failed to serialize list");
  return out;
}

extern "C" QUILLMAR_CLIP_API char *clip_get(int id) {
  clip_clear_error();
  if (not_initialized()) return nullptr;
  int index = clip_store_find_index(&g_store, id);
  if (index < 0) {
    clip_set_error("clip id %d not found", id);
    return nullptr;
  }
  const clip_entry *e = &g_store.entries[index];
  char *out = nullptr;
  if (e->kind != CLIP_KIND_IMAGE) {
    out = e->text != nullptr ? clip_strndup(e->text, e->text_len)
                             : clip_strndup("", 0);
  } else {
    char path[CLIP_PATH_CAP];
    clip_store_image_path(g_store.store_dir, e->id, path, sizeof path);
    char *qpath = json_quote(path);
    char *qlabel = e->label != nullptr ? json_quote(e->label) : nullptr;
    if (qpath != nullptr && (e->label == nullptr || qlabel != nullptr)) {
      out = qlabel != nullptr
                ? dup_printf("{\"image_path\":%s,\"label\":%s}", qpath, qlabel)
                : dup_printf("{\"image_path\":%s}", qpath);
    }
    free(qpath);
    free(qlabel);
  }
  if (out == nullptr) clip_set_error("out of memory");
  return out;
}

extern "C" QUILLMAR_CLIP_API char *clip_search(const char *query, int limit) {
  clip_clear_error();
  return clip_search_impl(&g_store, query, limit);
}

// ---------------------------------------------------------------------------
// Changing the history

extern "C" QUILLMAR_CLIP_API int clip_pin(int id, int pinned) {
  clip_clear_error();
  if (not_initialized()) return 0;
  int index = clip_store_find_index(&g_store, id);
  if (index < 0) {
    clip_set_error("clip id %d not found", id);
    return 0;
  }
  clip_entry *e = &g_store.entries[index];
  if (pinned != 0) {
    if (e->pinned == 0 && clip_store_count_pinned(&g_store) >= CLIP_MAX_PINNED) {
      clip_set_error("pinned cap reached (%d)", CLIP_MAX_PINNED);
      return 0;
    }
    e->pinned = 1;
  } else {
    e->pinned = 0;
  }
  return clip_store_save(&g_store);
}

extern "C" QUILLMAR_CLIP_API int clip_delete(int id) {
  clip_clear_error();
  if (not_initialized()) return 0;
  int index = clip_store_find_index(&g_store, id);
  if (index < 0) {
    clip_set_error("clip id %d not found", id);
    return 0;
  }
  unlink_doomed_at_exit unlink_doomed;
  clip_store_remove_at(&g_store, index);
  return clip_store_save(&g_store);
}

extern "C" QUILLMAR_CLIP_API int clip_wipe(void) {
  clip_clear_error();
  if (not_initialized()) return 0;
  clip_dir *dir = clip_sys_opendir(g_store.store_dir);
  if (dir == nullptr) {
    clip_set_error("opendir failed: %s", clip_sys_error_text(errno));
    return 0;
  }
  char path[4608];
  // The index goes first: a wipe cut short after it finds no index on the
  // next start, an empty history, and never an index naming removed images.
  if (clip_store_path(path, sizeof path, "%s/clips.json", g_store.store_dir)) {
    clip_sys_unlink(path);
  }
  while (const char *name = clip_sys_readdir(dir)) {
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
        strcmp(name, "clips.json") == 0) {
      continue;
    }
    // Unlink leaves directories alone; a file that cannot be removed stays.
    if (clip_store_path(path, sizeof path, "%s/%s", g_store.store_dir, name)) {
      clip_sys_unlink(path);
    }
  }
  clip_sys_closedir(dir);
  clip_store_clear(&g_store);
  return clip_store_save(&g_store);
}
