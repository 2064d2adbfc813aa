// The search command: every word of a query found, in any order and without
// regard to case (Unicode's), in a text clip's text or an image clip's
// label. It is built on the library's listing and fetching, beside the
// library's own search (one query, A-Z folded), which stays as it is.
#ifndef QUILLMAR_CLI_SEARCH_H
#define QUILLMAR_CLI_SEARCH_H

#include <string>
#include <vector>

#include "cli_store.h"

namespace host {

// The clips of the open store that match query, best first, at most limit
// of them (every one for 0 or less): the score as cli_match.h says, ties
// newest first. An empty or blank query matches every clip, each with score
// 0. False after a message when the store cannot be read.
bool search_clips(const std::string &query, int limit, std::vector<ClipSummary> *hits);

int cmd_search(const std::string &store, const std::string &query, int limit, bool json);

}  // namespace host

#endif  // QUILLMAR_CLI_SEARCH_H
