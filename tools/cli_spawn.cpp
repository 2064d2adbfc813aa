#include "cli_spawn.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "cli_process.h"

namespace host {

std::string find_program(const char *name) {
  const char *path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    // An empty entry of PATH means the current directory.
    std::string candidate =
        (end > start ? dirs.substr(start, end - start) : std::string(".")) + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return "";
}

// The start of a tool's standard error that a failure message quotes.
constexpr size_t kToolErrorKeep = 512;

// How long a clipboard tool may take to read the clip and exit: they hand
// the selection to a child of their own at once, so one that takes longer
// is stuck (no display answering, a tool that never reads).
constexpr long kToolTimeoutMs = 10000;

bool run_with_input(const std::vector<std::string> &argv, const std::string &bytes,
                    std::string *err) {
  RunOptions o;
  o.in = Stream::pipe;
  o.input = bytes;
  o.err = Stream::pipe;
  o.err_keep = kToolErrorKeep;
  o.timeout_ms = kToolTimeoutMs;
  // The clipboard tools leave a child behind that serves the selection and
  // keeps the write end of the error pipe, so nothing may wait for the pipe
  // to end: only for the process we started.
  o.wait_for_outputs = false;
  RunResult r = run_program(argv, o);
  if (r.how == Ended::not_started) {
    *err = !r.setup_error.empty() ? r.setup_error
                                  : "cannot run " + argv[0] + ": " + strerror(r.code);
    return false;
  }
  if (r.how == Ended::exited && r.code == 0 && r.input_taken) return true;
  std::string line = r.err.substr(0, r.err.find('\n'));
  std::string name = argv[0].substr(argv[0].rfind('/') + 1);
  if (r.how == Ended::timed_out) {
    *err =
        name + " did not finish within " + std::to_string(kToolTimeoutMs / 1000) + " s";
  } else {
    *err = name + " failed" + (!line.empty() ? ": " + line : std::string());
  }
  return false;
}

}  // namespace host
