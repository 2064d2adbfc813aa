#include "clip_search.h"

#include <string.h>

#include <algorithm>

#include "clip_error.h"
#include "clip_match.h"
#include "clip_sys.h"

clip_search_hit *clip_search_rank(const clip_store *store, const char *query, int *found) {
  clip_search_hit *hits = static_cast<clip_search_hit *>(
      clip_calloc(static_cast<size_t>(store->count) + 1, sizeof(clip_search_hit)));
  if (hits == nullptr) {
    clip_set_error("out of memory");
    return nullptr;
  }
  clip_query q;
  clip_match_prepare(&q, CLIP_SCAN_BEST, query, strlen(query));
  int n = 0;
  for (int i = 0; i < store->count; ++i) {
    const clip_entry *e = &store->entries[i];
    if (e->kind != CLIP_KIND_TEXT || e->text == nullptr) continue;
    int s = clip_match_score(&q, e->text, e->text_len);
    if (s < 0) continue;
    hits[n++] = clip_search_hit{s, i};
  }
  // Higher score first; among equals the newer clip (larger index) first.
  // No two hits share an index, so the order is total.
  std::sort(hits, hits + n, [](const clip_search_hit &a, const clip_search_hit &b) {
    return a.score != b.score ? a.score > b.score : a.index > b.index;
  });
  *found = n;
  return hits;
}
