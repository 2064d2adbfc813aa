// Capture latency through the host's recording path (host::Recorder), the
// way `store` and `watch` record a clip, on the heavy and worst histories of
// perf_tool:
//
//   heavy         500 texts of 64 KiB
//   worst         500 unpinned and 200 pinned texts of 1 MiB
//   alike         heavy, every text starting with the same 120 bytes, so that
//                 every preview matches and the search for a repeat fetches
//                 and compares every clip (the oldest one pinned)
//
// Each row is the median (and the slowest) of several captures of a new
// text of the history's size, which evicts the oldest unpinned clip, so the
// index keeps its size:
//
//   load per clip   a Recorder of its own for each capture, which loads the
//                   history first: what store does, and what watch did
//                   before it kept the store open
//   kept open       one Recorder for every capture, which loads the history
//                   only when clips.json changed under it: watch today
//   ... + repeats   the same with the search for an older copy of the text
//                   (the default); without it: --keep-duplicates
//   repeat moved    a capture of an older clip's text, which adds the new
//                   copy and then deletes the older one (two index writes)
//   pinned repeat   a capture of the oldest (pinned) clip's text: the search
//                   for a repeat alone, which finds it last and writes nothing
//
// Usage: capture_bench [--dir DIR] [--runs N] [--only heavy,worst,alike]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_history.h"
#include "cli_capture.h"
#include "cli_config.h"
#include "cli_store.h"
#include "quillmar_clip.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string &what) {
  fprintf(stderr, "capture_bench: %s\n", what.c_str());
  exit(1);
}

struct Shape {
  const char *name;
  int unpinned, pinned;
  size_t text_bytes;
  bool alike;  // every text starts with the same 120 bytes
};

constexpr Shape kShapes[] = {
    {"heavy", 500, 0, 64 * 1024, false},
    {"worst", 500, 200, 1024 * 1024, false},
    {"alike", 500, 1, 64 * 1024, true},
};

struct History {
  Shape shape;
  std::string corpus;
  std::string common;  // the shared start of every text, for alike
  std::vector<std::string> texts;  // oldest first, the pinned ones first of all
};

std::string make_text(History &h, const std::string &tag) {
  size_t want = h.shape.text_bytes;
  std::string t = h.common + tag + "\n";
  size_t start = bench::next_random() % (h.corpus.size() - want);
  t.append(h.corpus, start, want > t.size() ? want - t.size() : 0);
  return t;
}

// Writes the history's index as the library would (the oldest clips pinned).
void write_history(History &h, const std::string &dir) {
  fs::create_directories(dir);
  int total = h.shape.unpinned + h.shape.pinned;
  for (int i = 0; i < total; ++i)
    h.texts.push_back(make_text(h, "clip " + std::to_string(i + 1)));
  std::vector<bench::Record> records;
  for (int i = 0; i < total; ++i) {
    records.push_back({false, i < h.shape.pinned, h.texts[static_cast<size_t>(i)], {}});
  }
  if (bench::write_history(dir, records) == 0) die("cannot write the history");
}

struct Stats {
  double median, max;
};

Stats stats_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return {n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.back()};
}

double capture_ms(host::Recorder &r, std::string text, bool repeat = false) {
  host::Capture c;
  c.kind = host::ClipKind::text;
  c.seen = text.size();
  c.bytes = std::move(text);
  c.origin = "the benchmark";
  host::Recorded out;
  auto start = Clock::now();
  if (!r.record(std::move(c), &out)) die("a capture failed");
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (out.dedup != repeat || !out.skipped.empty())
    die("a capture was not recorded as planned");
  return ms;
}

void row(const char *what, const std::vector<double> &ms) {
  Stats s = stats_of(ms);
  printf("  %-34s %3zu  %10.1f %10.1f\n", what, ms.size(), s.median, s.max);
  fflush(stdout);
}

void run(History &h, const std::string &base, int runs) {
  const Shape &s = h.shape;
  std::string store = base + "/store-" + s.name;
  h.corpus = bench::ascii_corpus(std::max<size_t>(s.text_bytes * 3, 1 << 20));
  if (s.alike) h.common = h.corpus.substr(0, 120);
  write_history(h, store);
  struct stat st;
  stat((store + "/clips.json").c_str(), &st);
  printf("\n== %s: %d unpinned and %d pinned texts of %zu bytes, index %.1f MB\n", s.name,
         s.unpinned, s.pinned, s.text_bytes, static_cast<double>(st.st_size) / 1e6);
  printf("  %-34s %3s  %10s %10s\n", "capture of a new text", "n", "median ms", "max ms");
  int serial = 0;
  auto fresh = [&] { return make_text(h, "new clip " + std::to_string(++serial)); };
  host::Config keep, search;
  keep.keep_duplicates = true;
  // The two load-per-clip kinds take turns, so that the disk's moods fall
  // on both alike.
  std::vector<double> once_keep, once_search, open_keep, open_search, moved;
  host::Recorder kept_keep(store, keep), kept_search(store, search);
  capture_ms(kept_keep, fresh());  // warm-up, and the first load of each
  capture_ms(kept_search, fresh());
  for (int i = 0; i < runs; ++i) {
    // A process keeps the history loaded between openings: a load per clip
    // is what a process of its own for each clip pays.
    {
      host::forget_loaded_store();
      host::Recorder r(store, keep);
      once_keep.push_back(capture_ms(r, fresh()));
    }
    {
      host::forget_loaded_store();
      host::Recorder r(store, search);
      once_search.push_back(capture_ms(r, fresh()));
    }
  }
  // Each kept-open run starts with a capture that is not counted, a
  // warm-up.
  capture_ms(kept_keep, fresh());
  for (int i = 0; i < runs; ++i) open_keep.push_back(capture_ms(kept_keep, fresh()));
  capture_ms(kept_search, fresh());
  for (int i = 0; i < runs; ++i) open_search.push_back(capture_ms(kept_search, fresh()));
  // An older clip's text again: the newest unpinned texts written at the
  // start are still there, the evictions took the oldest.
  for (int i = 0; i < runs; ++i) {
    const std::string &t = h.texts[h.texts.size() - 1 - static_cast<size_t>(i)];
    moved.push_back(capture_ms(kept_search, t));
  }
  std::vector<double> pinned;
  for (int i = 0; i < runs && s.pinned > 0; ++i)
    pinned.push_back(capture_ms(kept_search, h.texts.front(), true));
  row("load per clip (store; watch before)", once_keep);
  row("load per clip + repeats", once_search);
  row("kept open (watch)", open_keep);
  row("kept open + repeats", open_search);
  row("repeat moved to the top, kept open", moved);
  if (!pinned.empty()) row("pinned repeat: the search alone", pinned);
  printf(
      "  ratios of medians: kept open / load per clip %.2f; + repeats / without %.2f "
      "(kept open), %.2f (load per clip)\n",
      stats_of(open_keep).median / stats_of(once_keep).median,
      stats_of(open_search).median / stats_of(open_keep).median,
      stats_of(once_search).median / stats_of(once_keep).median);
  fs::remove_all(store);
}

}  // namespace

int main(int argc, char **argv) {
  std::string parent = fs::temp_directory_path().string();
  int runs = 7;
  std::vector<std::string> only = {"heavy", "worst", "alike"};
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc) {
      parent = argv[++i];
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, atoi(argv[++i]));
    } else if (a == "--only" && i + 1 < argc) {
      only.clear();
      std::string list = argv[++i];
      for (size_t p = 0; p <= list.size();) {
        size_t q = std::min(list.find(',', p), list.size());
        only.push_back(list.substr(p, q - p));
        p = q + 1;
      }
    } else {
      fprintf(stderr,
              "usage: capture_bench [--dir DIR] [--runs N] [--only heavy,worst,alike]\n");
      return 2;
    }
  }
  std::string base = parent + "/quillmar-capture-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) die("cannot create a directory in " + parent);
  for (const Shape &s : kShapes) {
    if (std::find(only.begin(), only.end(), s.name) == only.end()) continue;
    History h{s, {}, {}, {}};
    run(h, base, runs);
  }
  fs::remove_all(base);
  return 0;
}
