// Soak: random operations on a full history (500 unpinned and 200 pinned
// clips, small texts and a few images) for a bounded time, through the
// exported calls only, printing the resident memory (VmRSS) at the start,
// every so often and at the end. A history held at its caps must not grow
// in memory however long it runs.
//
//   soak [seconds, default 180] [report every N seconds, default 15]
//
// The store lives in a new directory under TMPDIR (or /tmp), removed at
// the end.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "proc_status.h"
#include "quillmar_clip.h"

namespace {

long rss_kb() { return proc_status_kib("VmRSS:"); }

std::string random_text(std::mt19937 &rng) {
  static const char *const words[] = {"copy", "paste", "Meeting", "notes", "é", "漢字", "🙂",
                                      "https://example.org/a?b=c", "\t", "\n", "password"};
  size_t words_n = sizeof words / sizeof *words;
  std::string s;
  for (int n = 1 + static_cast<int>(rng() % 24); n > 0; --n) {
    s += words[rng() % words_n];
    s += ' ';
  }
  s += std::to_string(rng());
  return s;
}

struct Counts {
  long ops = 0, failed = 0;
};

// Ids of the history as the newest page of at most 1000 lists them.
std::vector<std::pair<int, bool>> listed() {
  std::vector<std::pair<int, bool>> out;
  char *json = clip_list(0, 1000);
  if (json == nullptr) return out;
  for (char *p = strstr(json, "{\"id\":"); p != nullptr; p = strstr(p + 1, "{\"id\":")) {
    int id = atoi(p + 6);
    char *pinned = strstr(p, "\"pinned\":");
    out.emplace_back(id, pinned != nullptr && strncmp(pinned + 9, "true", 4) == 0);
  }
  clip_free_string(json);
  return out;
}

// A clip picked from a listing may have been evicted since: "not found"
// is no failure.
void check(bool ok, Counts &c) {
  ++c.ops;
  if (!ok && strstr(clip_last_error(), "not found") == nullptr) {
    if (c.failed++ < 5) fprintf(stderr, "soak: call failed: %s\n", clip_last_error());
  }
}

}  // namespace

int main(int argc, char **argv) {
  const long seconds = argc > 1 ? atol(argv[1]) : 180;
  const long every = argc > 2 ? atol(argv[2]) : 15;
  const char *tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quillmar-soak-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  if (!clip_init(dir.c_str())) {
    fprintf(stderr, "clip_init: %s\n", clip_last_error());
    return 1;
  }
  std::mt19937 rng(12345);
  std::string png(4096, '\0');
  auto push_image = [&](Counts &c) {
    png.resize(512 + rng() % 8192);
    for (char &b : png) b = static_cast<char>(rng());
    char *r = clip_push_image(reinterpret_cast<const unsigned char *>(png.data()),
                              static_cast<int>(png.size()), rng() % 2 ? "screenshot" : nullptr);
    check(r != nullptr, c);
    clip_free_string(r);
  };

  // Fill: 200 pinned clips, then 500 unpinned ones.
  Counts fill;
  for (int i = 0; i < 200; ++i) {
    char *r = clip_push_text(random_text(rng).c_str());
    check(r != nullptr, fill);
    int id = r != nullptr ? atoi(strchr(r, ':') + 1) : 0;
    clip_free_string(r);
    check(clip_pin(id, 1) == 1, fill);
  }
  for (int i = 0; i < 500; ++i) {
    if (i % 20 == 0) {
      push_image(fill);
    } else {
      char *r = clip_push_text(random_text(rng).c_str());
      check(r != nullptr, fill);
      clip_free_string(r);
    }
  }
  std::vector<std::pair<int, bool>> ids = listed();
  long start_rss = rss_kb();
  printf("soak: %zu clips after the fill (%ld failed calls); VmRSS at start %ld kB\n", ids.size(),
         fill.failed, start_rss);
  fflush(stdout);

  Counts c;
  auto t0 = std::chrono::steady_clock::now();
  auto next_report = t0 + std::chrono::seconds(every);
  std::string previous;
  for (;;) {
    auto now = std::chrono::steady_clock::now();
    if (now >= next_report) {
      printf("soak: %4lds  %8ld calls  %ld failed  VmRSS %ld kB\n",
             static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - t0).count()),
             c.ops, c.failed, rss_kb());
      fflush(stdout);
      next_report += std::chrono::seconds(every);
    }
    if (now - t0 >= std::chrono::seconds(seconds)) break;
    if (c.ops % 64 == 0) ids = listed();
    int pick = ids.empty() ? 0 : ids[rng() % ids.size()].first;
    uint32_t roll = rng() % 100;
    if (roll < 50) {
      // Now and then the same text twice: a repeat of the newest clip.
      std::string text = rng() % 10 == 0 && !previous.empty() ? previous : random_text(rng);
      char *r = clip_push_text(text.c_str());
      check(r != nullptr, c);
      clip_free_string(r);
      previous = text;
    } else if (roll < 55) {
      push_image(c);
    } else if (roll < 65) {
      // Unpin one clip and pin another, so that about 200 stay pinned.
      int pinned = 0;
      for (auto &e : ids) pinned += e.second;
      for (auto &e : ids) {
        if (e.first == pick) {
          bool want = pinned < 200;
          check(clip_pin(pick, want ? 1 : 0) == 1, c);
          e.second = want;
          break;
        }
      }
    } else if (roll < 70) {
      check(clip_delete(pick) == 1, c);
    } else if (roll < 80) {
      char *r = clip_list(static_cast<int>(rng() % 700), static_cast<int>(rng() % 60));
      check(r != nullptr, c);
      clip_free_string(r);
    } else if (roll < 88) {
      char *r = clip_get(pick);
      check(r != nullptr, c);
      clip_free_string(r);
    } else if (roll < 98) {
      static const char *const queries[] = {"", "NOTES", "copy paste", "漢", "zzz", "example.org"};
      char *r = clip_search(queries[rng() % 6], static_cast<int>(rng() % 80));
      check(r != nullptr, c);
      clip_free_string(r);
    } else {
      check(clip_init(dir.c_str()) == 1, c);
    }
  }
  long end_rss = rss_kb();
  ids = listed();
  int pinned = 0;
  for (auto &e : ids) pinned += e.second;
  printf("soak: %ld s, %ld calls (%ld failed), %zu clips (%d pinned); VmRSS start %ld kB, end %ld kB\n",
         seconds, c.ops, c.failed, ids.size(), pinned, start_rss, end_rss);

  clip_wipe();
  DIR *d = opendir(dir.c_str());
  while (d != nullptr) {
    struct dirent *e = readdir(d);
    if (e == nullptr) break;
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
      unlink((dir + "/" + e->d_name).c_str());
    }
  }
  if (d != nullptr) closedir(d);
  rmdir(dir.c_str());
  return c.failed == 0 && fill.failed == 0 ? 0 : 1;
}
