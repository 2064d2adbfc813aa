// The plainest possible matcher, the oracle the search's matcher is checked
// and timed against: the folded comparison at every start position, then
// strstr for the first exact occurrence. It shares no code with the library.
#ifndef QUILLMAR_TEST_REFERENCE_MATCH_H
#define QUILLMAR_TEST_REFERENCE_MATCH_H

// The score of a NUL-terminated text for a NUL-terminated query, as the
// library's clip_match_score defines it: -1 when the query does not occur
// under A-Z folding, 0 for the empty query, 100 when it does not occur with
// its case intact, 1500 - p for a first exact occurrence at p < 500, 1000
// beyond.
int reference_score(const char *text, const char *query);

#endif  // QUILLMAR_TEST_REFERENCE_MATCH_H
