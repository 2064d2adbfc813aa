// The per-capture content work over a 1 MiB text, ASCII and mixed (mostly
// ASCII with 2-, 3- and 4-byte characters every few words): the fingerprint,
// the UTF-8 check and the one-pass measure-and-check beside memchr, strnlen
// and memcpy over the same bytes, the preview, and a whole clip_push_text.
// Every figure is in bytes of the 1 MiB text per second, so the stages of a
// capture compare directly; the preview reads only its first 120 bytes.
//
// Run from the release build: content_bench --benchmark_repetitions=5
// --benchmark_report_aggregates_only=true (medians are the figures to quote).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <string>

#include "clip_hash.h"
#include "clip_store.h"
#include "clip_utf8.h"
#include "quillmar_clip.h"

namespace {

constexpr size_t kSize = CLIP_TEXT_CAP;

std::string make_text(bool mixed) {
  const std::string unit =
      mixed ? "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln, \xE6\x9D\xB1\xE4\xBA\xAC and "
              "na\xC3\xAF" "ve caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x82\xAC" "12, then plain words. "
            : "The quick brown fox jumps over the lazy dog; 0123456789. ";
  std::string s;
  while (s.size() < kSize) s += unit;
  // Cut back to a character boundary, still exactly valid UTF-8.
  s.resize(clip_utf8_cut(s.c_str(), kSize));
  return s;
}

const std::string &text(int mixed) {
  static const std::string ascii = make_text(false);
  static const std::string other = make_text(true);
  return mixed ? other : ascii;
}

void label(benchmark::State &state, const std::string &s) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(s.size()));
  state.SetLabel(state.range(0) ? "mixed" : "ascii");
}

void BM_Fingerprint(benchmark::State &state) {
  const std::string &s = text(static_cast<int>(state.range(0)));
  char out[CLIP_HASH_CHARS];
  for (auto _ : state) {
    clip_hash_bytes(s.data(), s.size(), out);
    benchmark::DoNotOptimize(out);
  }
  label(state, s);
}

void BM_Utf8Valid(benchmark::State &state) {
  const std::string &s = text(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    bool ok = clip_utf8_valid(s.data(), s.size());
    benchmark::DoNotOptimize(ok);
  }
  label(state, s);
}

// The floor for the check: one library scan over the same bytes, for a byte
// that is not there.
void BM_Memchr(benchmark::State &state) {
  const std::string &s = text(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const void *p = memchr(s.data(), 0x01, s.size());
    benchmark::DoNotOptimize(p);
  }
  label(state, s);
}

// What clip_push_text does first: find the NUL, cut, and check what is kept.
void BM_Utf8Span(benchmark::State &state) {
  const std::string &s = text(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    clip_text_span span = clip_utf8_span(s.c_str(), CLIP_TEXT_CAP);
    benchmark::DoNotOptimize(span);
  }
  label(state, s);
}

void BM_Strnlen(benchmark::State &state) {
  const std::string &s = text(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    size_t n = strnlen(s.c_str(), CLIP_TEXT_CAP + 1);
    benchmark::DoNotOptimize(n);
  }
  label(state, s);
}

void BM_Copy(benchmark::State &state) {
  const std::string &s = text(static_cast<int>(state.range(0)));
  std::string dst(s.size(), '\0');
  for (auto _ : state) {
    memcpy(dst.data(), s.data(), s.size());
    benchmark::ClobberMemory();
  }
  label(state, s);
}

void BM_Preview(benchmark::State &state) {
  const std::string &s = text(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    char *p = clip_store_make_preview(s.data(), s.size());
    benchmark::DoNotOptimize(p);
    free(p);
  }
  label(state, s);
}

// A whole capture into an empty store: measure and check, fingerprint, copy,
// preview, and the index written (1 MiB of JSON, fsync'd, renamed). The clip
// is deleted again outside the timing, so every capture starts alike.
void BM_PushText(benchmark::State &state) {
  const std::string &s = text(static_cast<int>(state.range(0)));
  std::string dir = (std::filesystem::temp_directory_path() / "content-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr || !clip_init(dir.c_str())) {
    state.SkipWithError("cannot open a store");
    return;
  }
  for (auto _ : state) {
    char *r = clip_push_text(s.c_str());
    state.PauseTiming();
    if (r == nullptr) {
      state.SkipWithError(clip_last_error());
      break;
    }
    clip_free_string(r);
    clip_wipe();
    state.ResumeTiming();
  }
  label(state, s);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace

BENCHMARK(BM_Fingerprint)->Arg(0)->Arg(1);
BENCHMARK(BM_Utf8Valid)->Arg(0)->Arg(1);
BENCHMARK(BM_Memchr)->Arg(0)->Arg(1);
BENCHMARK(BM_Utf8Span)->Arg(0)->Arg(1);
BENCHMARK(BM_Strnlen)->Arg(0)->Arg(1);
BENCHMARK(BM_Copy)->Arg(0)->Arg(1);
BENCHMARK(BM_Preview)->Arg(0)->Arg(1);
BENCHMARK(BM_PushText)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
