// The exported C interface. Every export empties the last-error message,
// refuses to work until clip_init has succeeded, checks its arguments, calls
// down into the store or the search, and hands back the result: 0 or null
// with a one-line message on failure.
#include "quillmar_clip.h"

#include <stdlib.h>
#include <string.h>

#include "clip_error.h"
#include "clip_hash.h"
#include "clip_json.h"
#include "clip_search.h"
#include "clip_store.h"
#include "clip_sys.h"
#include "clip_utf8.h"

namespace {

bool not_initialized() {
  if (g_store.initialized) return false;
  clip_set_error("not initialized");
  return true;
}

// The answer to a repeat of the newest clip, once the index holds it.
char *repeat_result(const clip_entry *newest) {
  int id = newest->id;
  if (!clip_store_sync(&g_store)) return nullptr;
  char *out = clip_json_printf("{\"id\":%d,\"dedup\":1}", id);
  if (out == nullptr) clip_set_error("out of memory");
  return out;
}

// The index of clip `id`, or -1 with "clip id %d not found".
int find_clip(int id) {
  int index = clip_list_find_index(&g_store, id);
  if (index < 0) clip_set_error("clip id %d not found", id);
  return index;
}

// Hands back the JSON of a listing built in doc, and frees doc. built is
// false when a part of it could not be added: a listing with clips silently
// left out would be a wrong answer, so that is an error too.
// serialize_error is the call's own message for a document that cannot be
// written out.
char *listing_result(yyjson_mut_doc *doc, bool built, const char *serialize_error) {
  char *out = built ? clip_json_result(doc) : nullptr;
  yyjson_mut_doc_free(doc);
  if (out == nullptr) clip_set_error("%s", built ? serialize_error : "out of memory");
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// The frame

extern "C" QUILLMAR_CLIP_API const char *clip_last_error(void) { return clip_error_message(); }

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
  return clip_store_open(&g_store, store_dir) ? 1 : 0;
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
  char hash[CLIP_HASH_CHARS];
  clip_hash_text(text, span.len, hash);
  if (const clip_entry *newest = clip_store_repeat_of(&g_store, hash)) {
    return repeat_result(newest);
  }
  int id = 0;
  if (!clip_store_add_text(&g_store, text, span.len, span.truncated, hash, &id)) {
    return nullptr;
  }
  char *out = clip_json_printf("{\"id\":%d,\"dedup\":0}", id);
  if (out == nullptr) clip_set_error("out of memory");
  return out;
}

extern "C" QUILLMAR_CLIP_API char *clip_push_image(const unsigned char *png, int len,
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
  if (const clip_entry *newest = clip_store_repeat_of(&g_store, hash)) {
    return repeat_result(newest);
  }
  int id = 0;
  if (!clip_store_add_image(&g_store, png, len, label, hash, &id)) return nullptr;
  char *out = clip_json_printf("{\"id\":%d}", id);
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
    yyjson_mut_val *obj = clip_json_summary(doc, e->id, e->ts, e->kind == CLIP_KIND_IMAGE,
                                            e->preview, e->pinned);
    ok = obj != nullptr && yyjson_mut_arr_append(root, obj);
  }
  return listing_result(doc, ok, "failed to serialize list");
}

extern "C" QUILLMAR_CLIP_API char *clip_get(int id) {
  clip_clear_error();
  if (not_initialized()) return nullptr;
  int index = find_clip(id);
  if (index < 0) return nullptr;
  const clip_entry *e = &g_store.entries[index];
  char *out = nullptr;
  if (e->kind != CLIP_KIND_IMAGE) {
    out = e->text != nullptr ? clip_strndup(e->text, e->text_len)
                             : clip_strndup("", 0);
  } else {
    char path[CLIP_PATH_CAP];
    clip_store_image_path(g_store.store_dir, e->id, path, sizeof path);
    char *qpath = clip_json_quote(path);
    char *qlabel = e->label != nullptr ? clip_json_quote(e->label) : nullptr;
    if (qpath != nullptr && (e->label == nullptr || qlabel != nullptr)) {
      out = qlabel != nullptr
                ? clip_json_printf("{\"image_path\":%s,\"label\":%s}", qpath, qlabel)
                : clip_json_printf("{\"image_path\":%s}", qpath);
    }
    free(qpath);
    free(qlabel);
  }
  if (out == nullptr) clip_set_error("out of memory");
  return out;
}

extern "C" QUILLMAR_CLIP_API char *clip_search(const char *query, int limit) {
  clip_clear_error();
  if (not_initialized()) return nullptr;
  if (query == nullptr) {
    clip_set_error("query is NULL");
    return nullptr;
  }
  int want = limit > 0 ? limit : CLIP_DEFAULT_LIMIT;
  int found = 0;
  clip_search_hit *hits = clip_search_rank(&g_store, query, &found);
  if (hits == nullptr) return nullptr;
  yyjson_mut_doc *doc = yyjson_mut_doc_new(clip_json_alc());
  if (doc == nullptr) {
    free(hits);
    clip_set_error("out of memory");
    return nullptr;
  }
  yyjson_mut_val *root = yyjson_mut_arr(doc);
  bool ok = root != nullptr;
  if (ok) yyjson_mut_doc_set_root(doc, root);
  int n = found < want ? found : want;
  for (int h = 0; ok && h < n; ++h) {
    const clip_entry *e = &g_store.entries[hits[h].index];
    // Only text clips are hits.
    yyjson_mut_val *obj =
        clip_json_summary(doc, e->id, e->ts, false, e->preview, e->pinned);
    ok = obj != nullptr && yyjson_mut_obj_add_int(doc, obj, "score", hits[h].score) &&
         yyjson_mut_arr_append(root, obj);
  }
  free(hits);
  return listing_result(doc, ok, "failed to serialize search results");
}

// ---------------------------------------------------------------------------
// Changing the history

extern "C" QUILLMAR_CLIP_API int clip_pin(int id, int pinned) {
  clip_clear_error();
  if (not_initialized()) return 0;
  int index = find_clip(id);
  if (index < 0) return 0;
  return clip_store_pin(&g_store, index, pinned != 0) ? 1 : 0;
}

extern "C" QUILLMAR_CLIP_API int clip_delete(int id) {
  clip_clear_error();
  if (not_initialized()) return 0;
  int index = find_clip(id);
  if (index < 0) return 0;
  return clip_store_delete(&g_store, index) ? 1 : 0;
}

extern "C" QUILLMAR_CLIP_API int clip_wipe(void) {
  clip_clear_error();
  if (not_initialized()) return 0;
  return clip_store_wipe(&g_store) ? 1 : 0;
}
