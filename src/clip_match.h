// The case-insensitive matcher of the search: whether a query occurs in a
// text with the letters A-Z folded to a-z, and the score of where it first
// occurs with its case intact. It answers what a byte-by-byte folded
// comparison at every start position followed by strstr would answer, at
// memory speed: the scanner (AVX-512BW, AVX2, SSE2 or a portable one) is
// chosen by what the processor runs, probed on first use.
#ifndef QUILLMAR_CLIP_MATCH_H
#define QUILLMAR_CLIP_MATCH_H

#include <stddef.h>

// The ways the matcher can look through a text. All give the same answers;
// CLIP_SCAN_BEST is the best one the processor runs, and the others can be
// chosen so that each is checked wherever the processor runs it.
enum clip_scan {
  CLIP_SCAN_BEST,
  CLIP_SCAN_PORTABLE,  // memchr for a rare byte of the query, then a comparison
  CLIP_SCAN_SSE2,      // 16 bytes at a time
  CLIP_SCAN_AVX2,      // 32 bytes at a time
  CLIP_SCAN_AVX512,    // 64 bytes at a time (AVX-512BW)
  CLIP_SCAN_TWOWAY,    // the linear-time search the others fall back to
};

// One byte of the query that a scan looks for at its distance `off` from the
// start: `a` and `b` are its two cases when folding a letter, else the byte
// twice. The vector scanners test it in one step as (byte | m) == v: the two
// cases of a letter differ only in bit 0x20, so m is 0x20 and v the lower case
// for a folded letter, else m is 0 and v the byte itself.
struct clip_match_probe {
  size_t off;
  unsigned char a, b, m, v;
};

// What a scan looks for: the query and up to three of its rarest bytes, all
// of which must be in place before the whole query is compared.
struct clip_match_plan {
  const unsigned char *q;
  size_t qlen;
  int probes;  // 1 for a one-byte query, 2 for two bytes, else 3
  clip_match_probe pr[3];
  size_t offmax;
  unsigned char head[16];  // a query shorter than 16 bytes (folded), then zeros
};

// A query prepared once for the texts of one search. It points into the
// query, which must outlive it.
struct clip_query {
  clip_match_plan folded;
  clip_match_plan exact;
  clip_scan scan;  // never CLIP_SCAN_BEST: the scanner it stands for
};

// Whether this build and this processor can run `scan`.
bool clip_match_scan_available(clip_scan scan);

// Prepares the qlen bytes of query for `scan`, which must be available.
void clip_match_prepare(clip_query *q, clip_scan scan, const char *query, size_t qlen);

// The score of the len bytes of text for a prepared query: -1 when the query
// does not occur in it under A-Z case folding; else 0 for the empty query,
// 100 when it does not occur with its case intact, 1500 - p for a first
// exact occurrence at p < 500, and 1000 beyond.
int clip_match_score(const clip_query *q, const char *text, size_t len);

// clip_match_score of a query prepared for this one text.
int clip_match_score_with(clip_scan scan, const char *text, size_t len, const char *query,
                          size_t qlen);

#endif  // QUILLMAR_CLIP_MATCH_H
