// Running the clipboard tools (xclip, wl-copy) that put a clip back on the
// clipboard.
#ifndef QUILLMAR_CLI_SPAWN_H
#define QUILLMAR_CLI_SPAWN_H

#include <string>
#include <vector>

namespace host {

// The path of the executable name in $PATH (an empty entry is the current
// directory), or "" when there is none.
std::string find_program(const char *name);

// Runs argv (argv[0] a path) with bytes on its standard input and its
// standard output on /dev/null; true when it read them all and exited with
// status 0 within 10 s (past that it is killed). Otherwise *err says why, quoting the first line of the tool's
// standard error, which is taken through a pipe (never a file: the tool may
// echo the clip).
bool run_with_input(const std::vector<std::string> &argv, const std::string &bytes,
                    std::string *err);

}  // namespace host

#endif  // QUILLMAR_CLI_SPAWN_H
