// The search: the text clips of the list whose text holds a query under
// A-Z case folding, ranked by where the query first occurs with its case
// intact (clip_match), the newer clip first among equals.
#ifndef QUILLMAR_CLIP_SEARCH_H
#define QUILLMAR_CLIP_SEARCH_H

#include <stddef.h>

#include "clip_list.h"

struct clip_search_hit {
  int score;
  int index;  // the clip's index in the list at the time of the call
};

// The hits of every text clip of the list for query, best first, in a new
// zero-filled array of count + 1 records (release with free), their number
// in *found; null with "out of memory".
clip_search_hit *clip_search_rank(const clip_store *store, const char *query, int *found);

#endif  // QUILLMAR_CLIP_SEARCH_H
