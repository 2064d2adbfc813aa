// Small pieces that every unit of the command-line host uses: owners of the
// library's and yyjson's allocations, the bound on every read, and
// whole-file I/O.
#ifndef QUILLMAR_CLI_UTIL_H
#define QUILLMAR_CLI_UTIL_H

#include <yyjson.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "quillmar_clip.h"

namespace host {

struct ClipFree {
  void operator()(char *s) const { clip_free_string(s); }
};
// A result string of the library.
using ClipString = std::unique_ptr<char, ClipFree>;

struct DocFree {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using Doc = std::unique_ptr<yyjson_doc, DocFree>;

struct MutDocFree {
  void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
using MutDoc = std::unique_ptr<yyjson_mut_doc, MutDocFree>;

// Bytes kept of any input (standard input, a file, a selection transfer):
// one beyond the image cap, so that the library refuses an image that is
// too big in its own words, and an endless input costs one bounded read.
constexpr size_t kReadLimit = size_t{CLIP_IMAGE_CAP} + 1;

// Reads fd until its end or until *out holds limit bytes, whichever comes
// first. *more says the input may go on beyond what was kept.
bool read_capped(int fd, size_t limit, std::string *out, bool *more, std::string *error);

// The whole of the regular file at path, which may hold at most
// CLIP_IMAGE_CAP bytes (the largest file the host reads whole: an image).
bool read_whole_file(const std::string &path, std::string *out, std::string *error);

// Writes bytes to path, created or truncated, with exactly mode: an existing
// regular file of another mode is changed to it before anything is written,
// whatever the umask.
bool write_whole_file(const std::string &path, std::string_view bytes, int mode,
                      std::string *error);

}  // namespace host

#endif  // QUILLMAR_CLI_UTIL_H
