// Reading screenshots for words, measured:
//
//   capture     a 1920x1080 screenshot with three lines of text recorded
//               through the host's recording path (host::Recorder) into an
//               empty store, without reading it and with it: the time until
//               the clip is on disk, and until its words are (with reading,
//               one and the same moment: the image is recorded with them)
//   accuracy    a set of rendered images (three fonts, three sizes, plain,
//               dark and busy backgrounds): words read right / words shown,
//               each word of the text counted once where it was read
//
// The images are rendered with ImageMagick's convert into a temporary
// directory, with the DejaVu fonts. Figures are medians of --runs runs.
//
// Usage: ocr_bench [--runs N]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli_capture.h"
#include "cli_capture_queue.h"
#include "cli_config.h"
#include "cli_ocr.h"
#include "quillmar_clip.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string &what) {
  fprintf(stderr, "ocr_bench: %s\n", what.c_str());
  exit(1);
}

std::string quoted(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string render(const fs::path &dir, const std::string &name, const std::string &args) {
  fs::path out = dir / (name + ".png");
  std::string cmd = "convert " + args + " -strip " + quoted(out.string()) + " 2>&1";
  if (system(cmd.c_str()) != 0 || !fs::exists(out)) die("convert failed: " + cmd);
  std::ifstream in(out, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

std::vector<std::string> words_of(const std::string &s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// Words of truth found among the words read, each read word used once.
size_t words_right(const std::string &truth, const std::string &read) {
  std::map<std::string, int> got;
  for (auto &w : words_of(read)) ++got[w];
  size_t right = 0;
  for (auto &w : words_of(truth)) {
    auto it = got.find(w);
    if (it != got.end() && it->second > 0) {
      --it->second;
      ++right;
    }
  }
  return right;
}

}  // namespace

int main(int argc, char **argv) {
  int runs = 7;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = atoi(argv[++i]);
    } else {
      die("usage: ocr_bench [--runs N]");
    }
  }
  std::string why = host::ocr_unavailable({"eng"});
  if (!why.empty()) die("images cannot be read: " + why);
  char tmpl[] = "/tmp/ocr-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) die("mkdtemp failed");
  fs::path dir = tmpl;

  // --- capture of a screenshot ---------------------------------------------
  const char *lines[] = {"Invoice number INV-2026-0412", "Amount due: 1,284.50 EUR",
                         "ssh deploy@build.example.org -p 2222"};
  std::string shot_args =
      "-size 1920x1080 xc:'#f4f4f4' -font DejaVu-Sans -fill '#202020' -pointsize 28";
  for (int i = 0; i < 3; ++i) {
    shot_args += " -annotate +120+" + std::to_string(200 + 60 * i) + " " + quoted(lines[i]);
  }
  std::string shot = render(dir, "screenshot", shot_args);
  host::Config off, on;
  off.ocr_set = true;
  off.ocr = false;
  std::vector<double> plain, read_ms, with_words;
  std::string words;
  for (int r = 0; r < runs; ++r) {
    for (int reading = 0; reading < 2; ++reading) {
      fs::path store = dir / ("store-" + std::to_string(r) + "-" + std::to_string(reading));
      const host::Config &config = reading ? on : off;
      host::Recorder recorder(store.string(), config);
      if (!recorder.open()) die("cannot open " + store.string());
      recorder.release();
      auto t0 = Clock::now();
      host::QueuedCapture q;
      q.capture.kind = host::ClipKind::image;
      q.capture.bytes = shot;
      q.capture.seen = shot.size();
      q.name = "bench";
      host::read_words_now(&q, config, false);
      double read_done = ms_since(t0);
      host::Recorded rec;
      if (!recorder.record(std::move(q.capture), &rec)) die("the capture failed");
      double on_disk = ms_since(t0);
      if (reading) {
        read_ms.push_back(read_done);
        with_words.push_back(on_disk);
        words = q.words;
      } else {
        plain.push_back(on_disk);
      }
    }
  }
  printf("capture of a 1920x1080 screenshot (%zu bytes), median of %d:\n", shot.size(), runs);
  printf("  without reading: clip on disk            %8.1f ms\n", median(plain));
  printf("  with reading:    words read               %8.1f ms\n", median(read_ms));
  printf("                   clip and words on disk   %8.1f ms  (%.1fx)\n",
         median(with_words), median(with_words) / median(plain));
  std::string truth = std::string(lines[0]) + " " + lines[1] + " " + lines[2];
  printf("  words right: %zu of %zu (\"%s\")\n\n", words_right(truth, words),
         words_of(truth).size(), words.c_str());

  // --- accuracy ---------------------------------------------------------------
  struct Background {
    const char *name, *args, *ink;
  } backgrounds[] = {
      {"plain", "xc:white", "black"},
      {"dark", "xc:'#1e1e1e'", "'#d4d4d4'"},
      {"busy", "-seed 7 plasma:'#c8d8f0'-'#f0e0c8'", "'#101010'"},
  };
  const char *fonts[] = {"DejaVu-Sans", "DejaVu-Serif", "DejaVu-Sans-Mono"};
  int sizes[] = {14, 20, 32};
  const char *texts[] = {"Error: connection refused on port 5432",
                         "Total 93.50 EUR due by 2026-12-31",
                         "git push origin feature/clipboard-search"};
  printf("accuracy: words read right / words shown\n");
  printf("  %-18s %-6s %6s %6s %6s\n", "font", "back", "14px", "20px", "32px");
  size_t all_right = 0, all_total = 0;
  int n = 0;
  for (const char *font : fonts) {
    for (const Background &b : backgrounds) {
      printf("  %-18s %-6s", font, b.name);
      for (int size : sizes) {
        const char *text = texts[n % 3];
        std::string args = std::string("-size 900x") + std::to_string(size * 4) + " " +
                           b.args + " -font " + font + " -fill " + b.ink + " -pointsize " +
                           std::to_string(size) + " -annotate +20+" +
                           std::to_string(size * 2) + " " + quoted(text);
        std::string png = render(dir, "fixture-" + std::to_string(n++), args);
        host::OcrReader reader({"eng"});
        std::string got;
        if (!reader.read(png, host::kOcrDeadlineMs, &got, &why)) got.clear();
        size_t right = words_right(text, got), total = words_of(text).size();
        all_right += right;
        all_total += total;
        printf(" %3zu/%-2zu", right, total);
      }
      printf("\n");
    }
  }
  printf("  all: %zu of %zu words (%.1f%%)\n", all_right, all_total,
         100.0 * static_cast<double>(all_right) / static_cast<double>(all_total));
  fs::remove_all(dir);
  return 0;
}
