// How fast clip_search scans the largest history the store can hold: 500
// unpinned and 200 pinned texts of 1 MiB, written straight into an index and
// loaded with clip_init. Each query is timed several times and the median
// reported, beside what the same run measures for
//
//   memchr     the same texts, for a byte none of them holds;
//   read       the same texts read from four places at once, searching nothing
//              (what one core gets from memory at best);
//   reference  the plain folded comparison at every position with strstr for
//              the score (on every tenth text, scaled);
//   rg, grep   `rg -j1 -i -F -l` and `LC_ALL=C grep -r -i -F -l` over the
//              same texts written one per file (warm in the page cache).
//
// Queries of 1, 5, 20 and 100 bytes that never match, that match in seven
// texts halfway through, and that match in every text within its first 400
// bytes. A last table times texts built to defeat a scan that compares the
// query wherever its first bytes fit.
//
// Usage: search_scan [--reps N] [--no-tools] [--dir DIR]
#include <fcntl.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_history.h"
#include "clip_match.h"
#include "clip_search.h"
#include "clip_store.h"
#include "quillmar_clip.h"
#include "reference_match.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kTextBytes = CLIP_TEXT_CAP;
constexpr int kUnpinned = CLIP_MAX_UNPINNED;
constexpr int kPinned = CLIP_MAX_PINNED;
constexpr int kTexts = kUnpinned + kPinned;

[[noreturn]] void die(const std::string &what) {
  fprintf(stderr, "search_scan: %s\n", what.c_str());
  exit(1);
}

// splitmix64: fast and fixed, so that every run scans the same bytes.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

// Common words without j, q, x or z, so that those letters occur only where
// a query is planted.
const char *const kWords[] = {
    "the", "of", "and", "to", "in", "is", "that", "for", "it", "as", "was", "with", "be",
    "by", "on", "not", "he", "this", "are", "or", "his", "from", "at", "which", "but",
    "have", "an", "had", "they", "you", "were", "their", "one", "all", "we", "can", "her",
    "has", "there", "been", "if", "more", "when", "will", "would", "who", "so", "no",
    "she", "other", "its", "may", "these", "what", "them", "than", "some", "him", "time",
    "into", "only", "do", "could", "new", "about", "two", "then", "first", "also", "any",
    "like", "our", "over", "people", "after", "most", "made", "should", "well", "many",
    "such", "years", "between", "work", "through", "where", "before", "must", "state",
    "because", "each", "under", "those", "while", "world", "during", "might", "still",
    "without", "same", "government", "system", "number", "however", "part", "general",
    "group", "another", "country", "problem", "during", "report", "meeting", "design",
    "release", "server", "window", "button", "account", "password", "address", "street",
    "market", "history", "morning", "evening", "weather", "garden", "letter", "picture",
    "summer", "winter", "station", "library", "package", "version", "function", "return",
    "value", "string", "memory", "thread", "button", "screen", "clipboard", "history",
    "budget", "figures", "attached", "review", "action", "items", "listed", "below",
    "please", "thanks", "regards", "tomorrow", "yesterday", "invoice", "payment", "order",
    "delivery", "customer", "support", "ticket", "update", "change", "demand", "branch",
    "merge", "commit", "build", "failed", "passed", "error", "warning", "notice",
};
constexpr size_t kWordCount = sizeof kWords / sizeof kWords[0];

// Sentences of common words, capitalised and stopped, lines of about 80 bytes.
std::string make_text(Rng &rng, size_t len) {
  std::string s;
  s.reserve(len + 64);
  size_t line = 0;
  while (s.size() < len) {
    size_t words = 5 + rng.below(12);
    for (size_t w = 0; w < words; ++w) {
      std::string word = kWords[rng.below(kWordCount)];
      if (w == 0) word[0] = static_cast<char>(word[0] - 0x20);
      s += word;
      line += word.size() + 1;
      if (w + 1 == words) {
        s += '.';
      } else if (rng.below(10) == 0) {
        s += ',';
      }
      if (line > 80) {
        s += '\n';
        line = 0;
      } else {
        s += ' ';
      }
    }
  }
  s.resize(len);
  return s;
}

const std::string kEarly =
    "Meeting notes from the design review, with the open points and the action items "
    "listed below for all";
const std::string kRare =
    "bright orange kayaks drifted past the old lighthouse while a jovial crowd waved from "
    "the pier at dusk";

struct Query {
  const char *kind;
  std::string text;
};

std::vector<Query> queries() {
  return {
      {"never", "q"},
      {"never", "ocean"},
      {"never", "sunlit harbour walls"},
      {"never",
       std::string("Customer thanks the station for picture memory while evening letters "
                   "drift into the still blue pond of the park")
           .substr(0, 100)},
      {"rarely", "j"},
      {"rarely", "tonal"},
      {"rarely", kRare.substr(0, 20)},
      {"rarely", kRare.substr(0, 100)},
      {"early", kEarly.substr(0, 1)},
      {"early", kEarly.substr(0, 5)},
      {"early", kEarly.substr(0, 20)},
      {"early", kEarly.substr(0, 100)},
  };
}

// Every text, with the early sentence in its first 400 bytes; every hundredth
// also holds "j", "tonal" and the rare sentence halfway through.
std::vector<std::string> make_history() {
  std::vector<std::string> texts(kTexts);
  Rng rng{20240917};
  for (int i = 0; i < kTexts; ++i) {
    std::string &t = texts[i];
    t = make_text(rng, kTextBytes);
    t.replace(rng.below(300), kEarly.size(), kEarly);
    if (i % 100 == 37) {
      std::string planted = "j tonal " + kRare;
      t.replace(kTextBytes / 2 + rng.below(1000), planted.size(), planted);
    }
  }
  return texts;
}

// The index the library would have written for these texts, oldest first, the
// first 200 pinned.
void write_index(const fs::path &dir, const std::vector<std::string> &texts) {
  std::vector<bench::Record> records;
  for (int i = 0; i < kTexts; ++i) records.push_back({false, i < kPinned, texts[i], {}});
  if (bench::write_history(dir.string(), records) == 0) {
    die("cannot write " + (dir / "clips.json").string());
  }
}

void write_files(const fs::path &dir, const std::vector<std::string> &texts) {
  for (int i = 0; i < kTexts; ++i) {
    char name[32];
    snprintf(name, sizeof name, "clip_%03d.txt", i + 1);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(texts[i].data(), static_cast<std::streamsize>(texts[i].size()));
    if (!out.flush()) die("cannot write " + (dir / name).string());
  }
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs argv with its output in `out`; the wall time in seconds.
double run_tool(const std::vector<std::string> &argv, const char *const *envp,
                const fs::path &out) {
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid;
  Clock::time_point start = Clock::now();
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(),
                        const_cast<char *const *>(envp));
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) die(std::string("cannot run ") + args[0] + ": " + strerror(rc));
  int status = 0;
  waitpid(pid, &status, 0);
  double t = seconds_since(start);
  // grep and rg exit with 1 when nothing matched.
  if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) die(std::string(args[0]) + " failed");
  return t;
}

size_t count_lines(const fs::path &file) {
  std::ifstream in(file);
  size_t n = 0;
  std::string line;
  while (std::getline(in, line)) ++n;
  return n;
}

bool on_path(const char *tool) {
  const char *path = getenv("PATH");
  if (path == nullptr) return false;
  std::string p = path;
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    fs::path candidate = fs::path(p.substr(start, end - start)) / tool;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// The number of hits in a search result.
size_t hits_of(const char *json) {
  size_t n = 0;
  for (const char *p = json; (p = strstr(p, "\"score\":")) != nullptr; ++p) ++n;
  return n;
}

const char *scan_name(clip_scan scan) {
  switch (scan) {
    case CLIP_SCAN_AVX512: return "avx512";
    case CLIP_SCAN_AVX2: return "avx2";
    case CLIP_SCAN_SSE2: return "sse2";
    case CLIP_SCAN_TWOWAY: return "two-way";
    default: return "portable";
  }
}

std::string shown(const std::string &q) {
  std::string s = q.size() > 22 ? q.substr(0, 19) + "..." : q;
  return "\"" + s + "\"";
}

double gbps(double bytes, double secs) { return bytes / secs / 1e9; }

// Every byte of a text read from four places at once, the words OR-ed: as
// fast as one core here reads memory without searching anything.
uint64_t read_all(const char *text, size_t len) {
  const size_t part = len / 4 / 8 * 8;
  uint64_t acc[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < part; i += 8) {
    for (int k = 0; k < 4; ++k) {
      uint64_t w;
      memcpy(&w, text + static_cast<size_t>(k) * part + i, 8);
      acc[k] |= w;
    }
  }
  for (size_t i = 4 * part; i < len; ++i) acc[0] |= static_cast<unsigned char>(text[i]);
  return acc[0] | acc[1] | acc[2] | acc[3];
}

// Scores every text of the store with one scanner; seconds.
double time_scanner(clip_scan scan, const std::string &q) {
  Clock::time_point start = Clock::now();
  int sink = 0;
  for (int i = 0; i < g_store.count; ++i) {
    const clip_entry &e = g_store.entries[i];
    sink += clip_match_score_with(scan, e.text, e.text_len, q.data(), q.size());
  }
  double t = seconds_since(start);
  if (sink == 12345) puts("");
  return t;
}

void pathological(int reps) {
  const size_t n = kTextBytes;
  std::string ab;
  while (ab.size() < n) ab += "ab";
  std::string abq;
  while (abq.size() < 100) abq += "ab";
  abq[60] = 'b';
  Rng rng{99};
  std::string mixed(n, 'a');
  for (char &c : mixed) c = rng.below(2) ? 'a' : 'A';
  std::string mixedq(24, 'a');
  for (char &c : mixedq) c = rng.below(2) ? 'a' : 'A';
  struct Case {
    const char *what;
    std::string text, query;
  } cases[] = {
      {"1 MiB of a, query A x 99 + b", std::string(n, 'a'), std::string(99, 'A') + "b"},
      {"1 MiB of A, query a x 99 + A", std::string(n, 'A'), std::string(99, 'a') + "A"},
      {"1 MiB of ab, query abab... with bb", ab, abq},
      {"1 MiB of a/A at random, query of 24", mixed, mixedq},
  };
  // A scan of one such text takes well under a millisecond: more runs keep
  // the median clear of the other work of a busy machine.
  reps = std::max(reps, 15);
  printf("\nTexts that defeat comparing the query wherever it may start (median of %d):\n", reps);
  printf("  %-38s %6s %12s %12s %9s\n", "text and query", "score", "search GB/s",
         "refer. GB/s", "x refer.");
  for (const Case &c : cases) {
    std::vector<double> ours, ref;
    int score = 0, want = 0;
    for (int r = 0; r < reps; ++r) {
      Clock::time_point start = Clock::now();
      score = clip_match_score_with(CLIP_SCAN_BEST, c.text.data(), c.text.size(), c.query.data(), c.query.size());
      ours.push_back(seconds_since(start));
    }
    for (int r = 0; r < reps; ++r) {
      Clock::time_point start = Clock::now();
      want = reference_score(c.text.c_str(), c.query.c_str());
      ref.push_back(seconds_since(start));
    }
    if (score != want) die(std::string("wrong score for ") + c.what);
    double o = gbps(static_cast<double>(n), median(ours));
    double f = gbps(static_cast<double>(n), median(ref));
    printf("  %-38s %6d %12.2f %12.3f %9.1f\n", c.what, score, o, f, o / f);
  }
}

}  // namespace

int main(int argc, char **argv) {
  int reps = 5;
  bool tools = true;
  fs::path base;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--reps" && i + 1 < argc) {
      reps = std::max(1, atoi(argv[++i]));
    } else if (a == "--no-tools") {
      tools = false;
    } else if (a == "--dir" && i + 1 < argc) {
      base = argv[++i];
    } else {
      fprintf(stderr, "usage: search_scan [--reps N] [--no-tools] [--dir DIR]\n");
      return 2;
    }
  }
  if (base.empty()) base = fs::temp_directory_path();
  std::string tmpl = (base / "search-scan-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) die("cannot make a directory under " + base.string());
  const fs::path root = tmpl;
  const fs::path store = root / "store", files = root / "files", out = root / "out";
  fs::create_directories(store);
  fs::create_directories(files);

  Clock::time_point start = Clock::now();
  {
    std::vector<std::string> texts = make_history();
    write_index(store, texts);
    if (tools) write_files(files, texts);
  }
  if (clip_init(store.c_str()) != 1) die(std::string("clip_init: ") + clip_last_error());
  if (g_store.count != kTexts) die("the history did not load whole");
  const double total = static_cast<double>(kTexts) * kTextBytes;
  // The scanners below the best one are timed alone, over the same texts.
  const clip_scan others[] = {CLIP_SCAN_AVX2, CLIP_SCAN_SSE2, CLIP_SCAN_PORTABLE};
  clip_scan scanner = CLIP_SCAN_PORTABLE;
  for (clip_scan s : {CLIP_SCAN_SSE2, CLIP_SCAN_AVX2, CLIP_SCAN_AVX512}) {
    if (clip_match_scan_available(s)) scanner = s;
  }
  printf("History of %d texts of %zu bytes (%.0f MB), %d pinned; built in %.1f s.\n", kTexts,
         kTextBytes, total / 1e6, kPinned, seconds_since(start));
  printf("clip_search scans with %s; medians of %d runs; GB/s = 10^9 text bytes per second.\n",
         scan_name(scanner), reps);
  printf("search: the whole clip_search call, its result included; read: the same bytes\n"
         "read from four places at once and OR-ed, searching nothing; avx2, sse2, portab:\n"
         "those scanners alone. The reference runs on every tenth text; rg and grep read\n"
         "the texts from files.\n\n");

  bool have_rg = tools && on_path("rg");
  bool have_grep = tools && on_path("grep");
  const char *c_env[] = {"LC_ALL=C", nullptr};

  printf("%-6s %-24s %5s %4s | %7s %7s %6s %6s | %6s %6s %6s | %7s %6s | %7s %6s | %7s %6s\n",
         "match", "query", "bytes", "hits", "search", "memchr", "%mchr", "read", "avx2", "sse2",
         "portab", "refer.", "x", "rg", "x", "grep", "x");
  for (const Query &q : queries()) {
    std::vector<double> ours, mem, plain, ref, rg, grep;
    std::vector<double> alone[3];
    size_t hits = 0, rg_files = 0, grep_files = 0;
    double ref_bytes = 0;
    for (int r = 0; r < reps; ++r) {
      Clock::time_point t0 = Clock::now();
      char *json = clip_search(q.text.c_str(), kTexts);
      ours.push_back(seconds_since(t0));
      if (json == nullptr) die(std::string("clip_search: ") + clip_last_error());
      hits = hits_of(json);
      clip_free_string(json);

      t0 = Clock::now();
      size_t seen = 0;
      for (int i = 0; i < g_store.count; ++i) {
        const clip_entry &e = g_store.entries[i];
        seen += memchr(e.text, 0x01, e.text_len) == nullptr ? 1 : 0;
      }
      mem.push_back(seconds_since(t0));
      if (seen != static_cast<size_t>(kTexts)) die("memchr found a byte that is not there");

      t0 = Clock::now();
      uint64_t bits = 0;
      for (int i = 0; i < g_store.count; ++i) {
        bits |= read_all(g_store.entries[i].text, g_store.entries[i].text_len);
      }
      plain.push_back(seconds_since(t0));
      if (bits == 0) die("the texts read as zeros");

      for (int k = 0; k < 3; ++k) {
        if (clip_match_scan_available(others[k])) {
          alone[k].push_back(time_scanner(others[k], q.text));
        }
      }

      t0 = Clock::now();
      ref_bytes = 0;
      for (int i = 0; i < g_store.count; i += 10) {
        const clip_entry &e = g_store.entries[i];
        int want = reference_score(e.text, q.text.c_str());
        ref_bytes += static_cast<double>(e.text_len);
        if (r == 0 &&
            clip_match_score_with(CLIP_SCAN_BEST, e.text, e.text_len, q.text.data(), q.text.size()) != want) {
          die("the search and the reference disagree on text " + std::to_string(i + 1));
        }
      }
      ref.push_back(seconds_since(t0));

      if (have_rg) {
        rg.push_back(run_tool({"rg", "-j1", "-i", "-F", "-l", "--", q.text, files.string()},
                              environ, out));
        rg_files = count_lines(out);
      }
      if (have_grep) {
        grep.push_back(run_tool({"grep", "-r", "-i", "-F", "-l", "--", q.text, files.string()},
                                c_env, out));
        grep_files = count_lines(out);
      }
    }
    if (have_rg && rg_files != hits) die("rg and clip_search found different texts");
    if (have_grep && grep_files != hits) die("grep and clip_search found different texts");
    double o = gbps(total, median(ours));
    double m = gbps(total, median(mem));
    double f = gbps(ref_bytes, median(ref));
    printf("%-6s %-24s %5zu %4zu | %7.2f %7.2f %5.0f%% %6.2f | ", q.kind, shown(q.text).c_str(),
           q.text.size(), hits, o, m, 100 * o / m, gbps(total, median(plain)));
    for (const std::vector<double> &a : alone) {
      if (a.empty()) {
        printf("%6s ", "-");
      } else {
        printf("%6.2f ", gbps(total, median(a)));
      }
    }
    printf("| %7.3f %6.1f | ", f, o / f);
    if (have_rg) {
      double g = gbps(total, median(rg));
      printf("%7.2f %6.1f | ", g, o / g);
    } else {
      printf("%7s %6s | ", "-", "-");
    }
    if (have_grep) {
      double g = gbps(total, median(grep));
      printf("%7.2f %6.1f\n", g, o / g);
    } else {
      printf("%7s %6s\n", "-", "-");
    }
  }

  pathological(reps);

  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
