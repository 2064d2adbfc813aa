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
#include <yyjson.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

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

uint64_t g_rng = 0x9e3779b97f4a7c15ULL;
uint64_t next_random() {
  g_rng ^= g_rng << 13;
  g_rng ^= g_rng >> 7;
  g_rng ^= g_rng << 17;
  return g_rng;
}

// Ordinary prose of a clipboard, as perf_tool makes it: common words most of
// the time, now and then a quotation, a path or a word beyond ASCII.
std::string make_corpus(size_t bytes) {
  static const char *words[] = {"the",        "of",
                                "and",        "to",
                                "in",         "is",
                                "that",       "for",
                                "it",         "as",
                                "was",        "with",
                                "be",         "by",
                                "on",         "not",
                                "he",         "this",
                                "are",        "or",
                                "his",        "from",
                                "at",         "which",
                                "but",        "have",
                                "an",         "had",
                                "they",       "you",
                                "were",       "their",
                                "one",        "all",
                                "we",         "can",
                                "her",        "has",
                                "there",      "been",
                                "if",         "more",
                                "when",       "will",
                                "would",      "who",
                                "so",         "no",
                                "clipboard",  "history",
                                "function",   "return",
                                "value",      "struct",
                                "const",      "file",
                                "index",      "buffer",
                                "string",     "merge",
                                "request",    "review",
                                "meeting",    "tomorrow",
                                "café",       "naïve",
                                "Grüße",      "日本語",
                                "—",          "emoji 🙂",
                                "\"quoted\"", "C:\\Users\\me\\notes.txt",
                                "\ttabbed",   "https://example.org/a/b?c=d"};
  constexpr size_t kWords = sizeof words / sizeof words[0];
  std::string out;
  out.reserve(bytes + 64);
  size_t line = 0;
  while (out.size() < bytes) {
    uint64_t r = next_random();
    size_t w = (r & 7) != 0 ? (r >> 8) % 48 : (r >> 8) % kWords;
    out += words[w];
    line += strlen(words[w]);
    if (line > 40 + (r >> 40) % 50) {
      out += '\n';
      line = 0;
    } else {
      out += ' ';
      ++line;
    }
  }
  return out;
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

size_t cut_back(const std::string &s, size_t n) {
  if (n >= s.size()) return s.size();
  while (n > 0 && is_continuation(static_cast<unsigned char>(s[n]))) --n;
  return n;
}

std::string preview_of(const std::string &t) {
  std::string p = t.substr(0, t.size() > 120 ? cut_back(t, 117) : t.size());
  for (char &c : p) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return t.size() > 120 ? p + "..." : p;
}

// Writes 500 texts of 64 KiB into dir's index as the library would.
void write_history(const std::string &dir) {
  constexpr int kClips = 500;
  constexpr size_t kBytes = 64 * 1024;
  std::string corpus = make_corpus(3 << 20);
  fs::create_directories(dir);
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_int(doc, root, "next_id", kClips + 1);
  yyjson_mut_val *arr = yyjson_mut_arr(doc);
  yyjson_mut_obj_add_val(doc, root, "clips", arr);
  for (int i = 0; i < kClips; ++i) {
    std::string t = "clip " + std::to_string(i + 1) + "\n";
    size_t start = next_random() % (corpus.size() - kBytes - 8);
    while (is_continuation(static_cast<unsigned char>(corpus[start]))) ++start;
    t += corpus.substr(start, cut_back(corpus.substr(start), kBytes - t.size()));
    if (i % 10 == 0) t += "\nsee the late-needle-zq below\n";
    if (i % 100 == 0) t += "quarterly invoice for march\n";
    yyjson_mut_val *o = yyjson_mut_arr_add_obj(doc, arr);
    yyjson_mut_obj_add_int(doc, o, "id", i + 1);
    yyjson_mut_obj_add_int(doc, o, "ts", 1757762400 + i);
    yyjson_mut_obj_add_str(doc, o, "kind", "text");
    yyjson_mut_obj_add_strcpy(doc, o, "preview", preview_of(t).c_str());
    yyjson_mut_obj_add_bool(doc, o, "pinned", false);
    yyjson_mut_obj_add_str(doc, o, "hash", "");
    yyjson_mut_obj_add_bool(doc, o, "truncated", false);
    yyjson_mut_obj_add_strncpy(doc, o, "text", t.data(), t.size());
  }
  size_t len = 0;
  char *json = yyjson_mut_write_opts(doc, YYJSON_WRITE_PRETTY, nullptr, &len, nullptr);
  if (json == nullptr) die("cannot serialise the history");
  FILE *f = fopen((dir + "/clips.json").c_str(), "wb");
  if (f == nullptr || fwrite(json, 1, len, f) != len || fclose(f) != 0)
    die("cannot write the history");
  free(json);
  yyjson_mut_doc_free(doc);
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
