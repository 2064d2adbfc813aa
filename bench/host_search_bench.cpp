// The host's search (quillmar-clip search: every word, Unicode case folding,
// image labels) beside the library's clip_search (one query, A-Z folded), on
// the heavy history of perf_tool: 500 texts of 64 KiB of ordinary prose, now
// and then a word beyond ASCII. Both are timed in one run, side by side, on
// the same loaded store, and each row gives the median and the slowest of
// several calls:
//
//   miss          a word that occurs nowhere: every text is read in full
//   late          a word that occurs near the end of a tenth of the texts
//   3 words       three words that occur together in a few texts
//   upper non-ASCII  GRÜSSE: found in every text only through folding
//                 (clip_search folds A-Z alone, so it finds nothing)
//
// Usage: host_search_bench [--dir DIR] [--runs N]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_history.h"
#include "cli_search.h"
#include "cli_store.h"
#include "quillmar_clip.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string &what) {
  fprintf(stderr, "host_search_bench: %s\n", what.c_str());
  exit(1);
}

// Writes 500 texts of 64 KiB into dir's index as the library would.
void write_history(const std::string &dir) {
  constexpr int kClips = 500;
  constexpr size_t kBytes = 64 * 1024;
  std::string corpus = bench::prose_corpus(3 << 20);
  fs::create_directories(dir);
  std::vector<std::string> texts;
  for (int i = 0; i < kClips; ++i) {
    std::string t = "clip " + std::to_string(i + 1) + "\n";
    size_t start = bench::next_random() % (corpus.size() - kBytes - 8);
    while (bench::is_continuation(static_cast<unsigned char>(corpus[start]))) ++start;
    t.append(
        corpus, start,
        bench::cut_back(corpus.data() + start, corpus.size() - start, kBytes - t.size()));
    if (i % 10 == 0) t += "\nsee the late-needle-zq below\n";
    if (i % 100 == 0) t += "quarterly invoice for march\n";
    texts.push_back(std::move(t));
  }
  std::vector<bench::Record> records;
  for (const std::string &t : texts) records.push_back({false, false, t, {}});
  if (bench::write_history(dir, records) == 0) die("cannot write the history");
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

size_t count_hits(const char *json) {
  size_t n = 0;
  for (const char *p = json; (p = strstr(p, "\"id\":")) != nullptr; ++p) ++n;
  return n;
}

}  // namespace

int main(int argc, char **argv) {
  std::string dir;
  int runs = 11;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, atoi(argv[++i]));
    } else {
      fprintf(stderr, "usage: host_search_bench [--dir DIR] [--runs N]\n");
      return 2;
    }
  }
  bool own_dir = dir.empty();
  if (own_dir) dir = (fs::temp_directory_path() / "host_search_bench").string();
  std::string store = dir + "/store";
  fs::remove_all(store);
  write_history(store);
  struct stat st;
  stat((store + "/clips.json").c_str(), &st);
  if (!clip_init(store.c_str())) die(clip_last_error());
  printf("heavy: 500 texts of 64 KiB, index %.1f MB, %d runs each\n",
         static_cast<double>(st.st_size) / 1e6, runs);
  printf("  %-16s %12s %6s %12s %6s %8s\n", "query", "clip_search", "hits", "host search",
         "hits", "ratio");
  struct Query {
    const char *name, *text;
  } queries[] = {
      {"miss", "xylophone-4217"},
      {"late", "late-needle-zq"},
      {"3 words", "march invoice quarterly"},
      {"upper non-ASCII", "GRÜSSE"},
  };
  for (auto &q : queries) {
    std::vector<double> lib, host_ms;
    size_t lib_hits = 0, host_hits = 0;
    // Side by side, alternating, so that both meet the same machine.
    for (int r = 0; r < runs; ++r) {
      auto t0 = Clock::now();
      char *res = clip_search(q.text, 500);
      lib.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      if (res == nullptr) die(clip_last_error());
      lib_hits = count_hits(res);
      clip_free_string(res);
      std::vector<host::ClipSummary> hits;
      t0 = Clock::now();
      if (!host::search_clips(q.text, 500, &hits)) die("the host's search failed");
      host_ms.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      host_hits = hits.size();
    }
    double l = median(lib), h = median(host_ms);
    printf("  %-16s %9.2f ms %6zu %9.2f ms %6zu %7.1fx\n", q.name, l, lib_hits, h,
           host_hits, h / l);
    fflush(stdout);
  }
  if (own_dir) fs::remove_all(dir);
  return 0;
}
