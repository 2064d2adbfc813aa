#include "clip_search.h"

#include <string.h>

#include <algorithm>

#include "clip_sys.h"
#include "quillmar_clip_internal.h"

namespace {

// Only A-Z fold; bytes from 0x80 up never do.
inline unsigned char fold(unsigned char c) {
  return static_cast<unsigned char>(c - 'A') < 26u ? static_cast<unsigned char>(c + 0x20) : c;
}

// Whether the query occurs in the text when A-Z are folded to a-z.
bool folded_contains(const unsigned char *t, size_t len, const unsigned char *q,
                     size_t qlen) {
  if (qlen == 0) return true;
  if (len < qlen) return false;
  unsigned char first = fold(q[0]);
  unsigned char other = first >= 'a' && first <= 'z'
                            ? static_cast<unsigned char>(first - 0x20)
                            : first;
  const unsigned char *end = t + (len - qlen) + 1;  // one past the last start
  const unsigned char *p = t;
  while (p < end) {
    const unsigned char *a = static_cast<const unsigned char *>(
        memchr(p, first, static_cast<size_t>(end - p)));
    const unsigned char *b =
        other == first ? nullptr
                       : static_cast<const unsigned char *>(
                             memchr(p, other, static_cast<size_t>((a ? a : end) - p)));
    const unsigned char *c = b != nullptr ? b : a;
    if (c == nullptr) return false;
    size_t k = 1;
    while (k < qlen && fold(c[k]) == fold(q[k])) ++k;
    if (k == qlen) return true;
    p = c + 1;
  }
  return false;
}

}  // namespace

int clip_search_score(const char *text, size_t len, const char *query,
                      size_t qlen) {
  const unsigned char *t = reinterpret_cast<const unsigned char *>(text);
  const unsigned char *q = reinterpret_cast<const unsigned char *>(query);
  if (!folded_contains(t, len, q, qlen)) return -1;
  if (qlen == 0) return 0;
  // Below byte 500 the position decides the score; beyond it only whether
  // there is an exact occurrence at all.
  size_t head = std::min(len, static_cast<size_t>(499) + qlen);
  const void *p = memmem(text, head, query, qlen);
  if (p != nullptr) return 1500 - static_cast<int>(static_cast<const char *>(p) - text);
  if (head < len && memmem(text, len, query, qlen) != nullptr) return 1000;
  return 100;
}

char *clip_search_impl(clip_store *store, const char *query, int limit) {
  if (store == nullptr || !store->initialized) {
    clip_set_error("not initialized");
    return nullptr;
  }
  if (query == nullptr) {
    clip_set_error("query is NULL");
    return nullptr;
  }
  int want = limit > 0 ? limit : CLIP_DEFAULT_LIMIT;
  size_t qlen = strlen(query);
  clip_search_hit *hits = static_cast<clip_search_hit *>(
      clip_calloc(static_cast<size_t>(store->count) + 1, sizeof(clip_search_hit)));
  if (hits == nullptr) {
    clip_set_error("out of memory");
    return nullptr;
  }
  int found = 0;
  for (int i = 0; i < store->count; ++i) {
    const clip_entry *e = &store->entries[i];
    if (e->kind != CLIP_KIND_TEXT || e->text == nullptr) continue;
    int score = clip_search_score(e->text, e->text_len, query, qlen);
    if (score < 0) continue;
    hits[found++] = clip_search_hit{e->id, score, i};
  }
  // Higher score first; among equals the newer clip (larger index) first.
  // No two hits share an index, so the order is total.
  std::sort(hits, hits + found, [](const clip_search_hit &a, const clip_search_hit &b) {
    return a.score != b.score ? a.score > b.score : a.index > b.index;
  });

  yyjson_mut_doc *doc = yyjson_mut_doc_new(clip_json_alc());
  if (doc == nullptr) {
    free(hits);
    clip_set_error("out of memory");
    return nullptr;
  }
  yyjson_mut_val *root = yyjson_mut_arr(doc);
  bool ok = root != nullptr;
  if (ok) yyjson_mut_doc_set_root(doc, root);
  int n = std::min(want, found);
  for (int h = 0; ok && h < n; ++h) {
    const clip_entry *e = &store->entries[hits[h].index];
    yyjson_mut_val *obj = yyjson_mut_obj(doc);
    ok = obj != nullptr &&
         yyjson_mut_obj_add_int(doc, obj, "id", e->id) &&
         yyjson_mut_obj_add_int(doc, obj, "ts", e->ts) &&
         yyjson_mut_obj_add_str(doc, obj, "kind", "text") &&
         yyjson_mut_obj_add_str(doc, obj, "preview",
                                e->preview != nullptr ? e->preview : "") &&
         yyjson_mut_obj_add_bool(doc, obj, "pinned", e->pinned != 0) &&
         yyjson_mut_obj_add_int(doc, obj, "score", hits[h].score) &&
         yyjson_mut_arr_append(root, obj);
  }
  free(hits);
  if (!ok) {
    // Results with hits silently left out would be a wrong answer.
    yyjson_mut_doc_free(doc);
    clip_set_error("out of memory");
    return nullptr;
  }
  char *out = clip_json_result(doc);
  yyjson_mut_doc_free(doc);
  if (out == nullptr) clip_set_error("failed to serialize search results");
  return out;
}
