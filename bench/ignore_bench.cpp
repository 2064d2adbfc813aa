// The config file's ignore patterns against a captured text, the way store
// and watch judge every capture (host::Config::skip_reason), on texts of
// prose that match no pattern, so that each pattern is tried on every byte:
//
//   .*password         the worst of the plain ones for a backtracking matcher:
//                      every start tries every end, quadratic in the text
//   (?i).*password     the same, ignoring case
//   ^.*never-there     anchored: one pass
//   (x+x+)+y           nested repetition, exponential for a backtracking
//                      matcher on a run of x (the texts here hold none)
//   (?i)(password|secret|token|api[_-]?key)[:=]   a list people write
//
// Each row is the median (and the slowest) of several runs on one text
// size, with the figure per MiB so that sizes compare. For comparison the
// same first pattern runs, on the small texts only, through std::regex as
// the host matched before (ECMAScript, nosubs, libstdc++'s polynomial
// matcher): its time grows far faster than the text.
//
// Usage: ignore_bench [--runs N] [--no-std-regex]
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "cli_config.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string &what) {
  fprintf(stderr, "ignore_bench: %s\n", what.c_str());
  exit(1);
}

// Prose of a clipboard, ASCII, that none of the patterns matches.
std::string make_text(size_t bytes) {
  static const char *words[] = {"the",     "of",        "and",     "to",     "in",
                                "history", "function",  "return",  "value",  "struct",
                                "buffer",  "string",    "meeting", "review", "pass",
                                "word",    "secretary", "tokens",  "api",    "key"};
  uint64_t rng = 0x9e3779b97f4a7c15ULL;
  std::string out;
  out.reserve(bytes + 16);
  while (out.size() < bytes) {
    rng ^= rng << 13;
    rng ^= rng >> 7;
    rng ^= rng << 17;
    out += words[rng % (sizeof words / sizeof words[0])];
    out += (rng >> 32) % 9 == 0 ? '\n' : ' ';
  }
  out.resize(bytes);
  return out;
}

struct Stats {
  double median = 0, max = 0;
};

Stats stats_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.back()};
}

// A Config holding the one pattern, read from a file as the host reads it.
host::Config config_for(const std::string &pattern, const fs::path &dir) {
  fs::path file = dir / "config.toml";
  std::string escaped;
  for (char c : pattern) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  std::ofstream(file) << "ignore = [\"" << escaped << "\"]\n";
  host::Config config;
  std::string error;
  if (!host::load_config_file(file.string(), &config, &error)) die(error);
  return config;
}

// The first run, which builds the matcher's state and brings the text into
// the cache, is not counted.
template <typename F>
std::vector<double> time_runs(int runs, F &&f) {
  if (f()) die("a pattern matched the text");
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto t0 = Clock::now();
    if (f()) die("a pattern matched the text");
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  return ms;
}

void row(const std::string &what, size_t bytes, const std::vector<double> &ms) {
  Stats s = stats_of(ms);
  double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  printf("  %-52s %8zu %3zu %11.3f %11.3f %11.1f\n", what.c_str(), bytes, ms.size(),
         s.median, s.max, s.median / mib);
  fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  int runs = 7;
  bool std_regex = true;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = atoi(argv[++i]);
    } else if (a == "--no-std-regex") {
      std_regex = false;
    } else {
      die("usage: ignore_bench [--runs N] [--no-std-regex]");
    }
  }
  if (runs < 1) die("--runs takes a number of 1 or more");
  std::string tmpl = (fs::temp_directory_path() / "ignore_bench.XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) die("cannot make a temporary directory");
  fs::path dir = tmpl;

  const char *patterns[] = {".*password", "(?i).*password", "^.*never-there", "(x+x+)+y",
                            "(?i)(password|secret|token|api[_-]?key)[:=]"};
  const size_t small[] = {2048, 4096, 8192};
  const size_t kMiB = 1024 * 1024;
  printf("%-54s %8s %3s %11s %11s %11s\n", "pattern (RE2 unless said)", "bytes", "n",
         "median ms", "max ms", "ms per MiB");
  double re2_small = 0, std_small = 0;
  for (const char *p : patterns) {
    host::Config config = config_for(p, dir);
    for (size_t bytes : {small[0], small[1], small[2], kMiB}) {
      std::string text = make_text(bytes);
      std::vector<double> ms =
          time_runs(runs, [&] { return !config.skip_reason(text).empty(); });
      row(p, bytes, ms);
      if (bytes == small[2] && p == patterns[0]) re2_small = stats_of(ms).median;
    }
  }
  if (std_regex) {
    // The matcher the host used before, with the flags it used.
    auto flags = std::regex::ECMAScript | std::regex::nosubs
#if defined(__GLIBCXX__)
                 | std::regex_constants::__polynomial
#endif
        ;
    std::regex re(patterns[0], flags);
    for (size_t bytes : small) {
      std::string text = make_text(bytes);
      int n = std::min(runs, 3);  // seconds each on larger texts
      std::vector<double> ms =
          time_runs(n, [&] { return std::regex_search(text.begin(), text.end(), re); });
      row(std::string("std::regex ") + patterns[0], bytes, ms);
      if (bytes == small[2]) std_small = stats_of(ms).median;
    }
    printf("  ratio of medians on %zu bytes, std::regex / RE2, %s: %.0f\n", small[2],
           patterns[0], std_small / re2_small);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
