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

// The ways the matcher can look through a text. All give the same answers;
// clip_search_score uses the best one the processor runs, and the others can
// be chosen so that each is checked wherever the processor runs it.
enum clip_scan {
  CLIP_SCAN_BEST,
  CLIP_SCAN_PORTABLE,  // memchr for a rare byte of the query, then a comparison
  CLIP_SCAN_SSE2,      // 16 bytes at a time
  CLIP_SCAN_AVX2,      // 32 bytes at a time
  CLIP_SCAN_AVX512,    // 64 bytes at a time (AVX-512BW)
  CLIP_SCAN_TWOWAY,    // the linear-time search the others fall back to
};

// Whether this build and this processor can run `scan`.
bool clip_search_scan_available(clip_scan scan);

// clip_search_score through the given scanner, which must be available.
int clip_search_score_with(clip_scan scan, const char *text, size_t len,
                           const char *query, size_t qlen);

// The score by the plainest possible means, kept as the measure the fast
// matcher is checked and timed against: the folded comparison at every start
// position, then strstr for the first exact occurrence. Both strings are
// NUL-terminated.
int clip_search_score_reference(const char *text, const char *query);

#endif  // QUILLMAR_CLIP_SEARCH_H
