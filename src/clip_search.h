// Case-insensitive text search over the text clips, ranked by where the query
// first occurs with its case intact.
#ifndef QUILLMAR_CLIP_SEARCH_H
#define QUILLMAR_CLIP_SEARCH_H

#include <stddef.h>

#include "clip_store.h"

struct clip_search_hit {
  int id;
  int score;
  int index;  // the clip's index in the list at the time of the call
};

// The search behind clip_search(): a JSON array of the best `limit` hits
// (CLIP_DEFAULT_LIMIT when limit <= 0), or null with a message.
char *clip_search_impl(clip_store *store, const char *query, int limit);

// The score of a text for a query: -1 when the query does not occur in it
// under A-Z case folding; else 0 for the empty query, 100 when it does not
// occur with its case intact, 1500 - p for a first exact occurrence at p < 500,
// and 1000 beyond.
int clip_search_score(const char *text, size_t len, const char *query,
                      size_t qlen);

#endif  // QUILLMAR_CLIP_SEARCH_H
