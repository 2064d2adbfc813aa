// Small pieces that every unit of the command-line host uses: owners of the
// library's and yyjson's allocations, the bound on every read, the bounded
// read, writing standard output, and whole-file I/O.
#ifndef QUILLMAR_CLI_UTIL_H
#define QUILLMAR_CLI_UTIL_H

#include <yyjson.h>

#include <cstddef>
#include <cstdint>
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

// The integer v holds, read as yyjson has it (unsigned or signed); 0 when
// v is not an integer.
inline int64_t json_int(yyjson_val *v) {
  if (yyjson_is_uint(v)) return static_cast<int64_t>(yyjson_get_uint(v));
  return yyjson_get_sint(v);
}

// Bytes kept of any input (standard input, a file, a selection transfer):
// one beyond the image cap, so that the library refuses an image that is
// too big in its own words, and an endless input costs one bounded read.
constexpr size_t kReadLimit = size_t{CLIP_IMAGE_CAP} + 1;

// Reads fd until its end or until *out holds limit bytes, whichever comes
// first. *more says the input may go on beyond what was kept.
//
// With drain, it reads on to the end of fd instead, dropping what does not
// fit, so that the writer never meets a closed pipe; *more then says that
// something was dropped. *seen, when given, counts every byte read. On a
// non-blocking fd it stops when nothing more is there now: false with
// errno EAGAIN. On a failure errno is the read's.
bool read_capped(int fd, size_t limit, std::string *out, bool *more, std::string *error,
                 bool drain = false, uint64_t *seen = nullptr);

// Writes bytes to standard output (stdio's stream) and flushes it. False,
// with errno set, when either fails.
bool write_stdout(std::string_view bytes);

// The whole of the regular file at path, which may hold at most
// CLIP_IMAGE_CAP bytes (the largest file the host reads whole: an image).
bool read_whole_file(const std::string &path, std::string *out, std::string *error);

// Writes bytes to path, created or truncated, with exactly mode: an existing
// regular file of another mode is changed to it before anything is written,
// whatever the umask.
bool write_whole_file(const std::string &path, std::string_view bytes, int mode,
                      std::string *error);

// A file in memory (memfd) holding bytes, open for reading at its start; -1
// when it cannot be made.
int memory_file(const char *name, std::string_view bytes);

// What a command knows of its terminal: the process's own, or, while the
// server runs the command for another process (cli_server.h), that
// process's.
bool stdin_is_terminal();
bool stdout_is_terminal();
// The width of the terminal on standard output, else $COLUMNS, else 80.
int terminal_columns();

struct TerminalView {
  bool stdin_terminal = false;
  bool stdout_terminal = false;
  int columns = 0;  // 0: not known from the terminal itself
};
// Makes the three answer for view (nullptr: for the process itself again).
void view_terminal(const TerminalView *view);

// The store directory's name under the data directory, and the name a
// marker beside a store takes when the store's path has none of its own.
constexpr char kStoreName[] = "quillmar-clipboard-history";

// Creates the missing parents of path with mode 0700 (not path itself).
bool make_parents(const std::string &path, std::string *error);

}  // namespace host

#endif  // QUILLMAR_CLI_UTIL_H
