#include "clip_utf8.h"

#include <assert.h>
#include <stdint.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the character that c starts; 1 for ASCII and for every byte
// that cannot start a character (continuation bytes, C0, C1, F5..FF).
size_t sequence_length(unsigned char c) {
  unsigned char lo, hi;
  return clip_utf8_lead(c, &lo, &hi);
}

// The first byte from i on (before n) with its high bit set, or n.
size_t skip_ascii(const unsigned char *s, size_t i, size_t n) {
#if defined(__SSE2__)
  // One vector first, for the short ASCII runs between the characters of
  // mixed text; then four a round while the text stays ASCII, and one at a
  // time again to find the byte that stopped them.
  if (n - i >= 16) {
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i))));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
    i += 16;
  }
  while (n - i >= 64) {
    const __m128i *p = reinterpret_cast<const __m128i *>(s + i);
    __m128i any = _mm_or_si128(
        _mm_or_si128(_mm_loadu_si128(p), _mm_loadu_si128(p + 1)),
        _mm_or_si128(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3)));
    if (_mm_movemask_epi8(any) != 0) break;
    i += 64;
  }
  while (n - i >= 16) {
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i))));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
    i += 16;
  }
#else
  while (n - i >= 8) {
    uint64_t w;
    memcpy(&w, s + i, 8);
    if ((w & 0x8080808080808080ULL) != 0) break;
    i += 8;
  }
#endif
  while (i < n && s[i] < 0x80) ++i;
  return i;
}

// Checks s[0, n) as UTF-8 up to a last character that would need bytes past
// n: its start goes to *end unjudged, for a caller that either has more bytes
// or knows there are none. False at the first character that can never be
// valid, wherever the text goes on.
bool check_prefix(const unsigned char *s, size_t n, size_t *end) {
  size_t i = 0;
  for (;;) {
    i = skip_ascii(s, i, n);
    // Multi-byte characters tend to come in runs (accented words, CJK):
    // stay here until the next ASCII byte.
    while (i < n && s[i] >= 0x80) {
      unsigned char lo, hi;  // the range of the second byte
      size_t need = clip_utf8_lead(s[i], &lo, &hi);
      if (need == 1) return false;
      if (n - i < need) {
        *end = i;
        return true;
      }
      if (s[i + 1] < lo || s[i + 1] > hi) return false;
      if (need > 2 && !is_continuation(s[i + 2])) return false;
      if (need > 3 && !is_continuation(s[i + 3])) return false;
      i += need;
    }
    if (i >= n) {
      *end = n;
      return true;
    }
  }
}

}  // namespace

bool clip_utf8_valid(const char *s, size_t len) {
  size_t end = 0;
  return check_prefix(reinterpret_cast<const unsigned char *>(s), len, &end) &&
         end == len;
}

size_t clip_utf8_cut(const char *str, size_t limit) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(str);
  if (!is_continuation(s[limit])) return limit;
  // A character is at most four bytes long: its start, if the byte at
  // `limit` belongs to it, is among the three bytes before.
  for (size_t back = 1; back <= 3 && back <= limit; ++back) {
    unsigned char c = s[limit - back];
    if (!is_continuation(c)) {
      return sequence_length(c) > back ? limit - back : limit;
    }
  }
  return limit;
}

clip_text_span clip_utf8_span(const char *text, size_t limit) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
  size_t measured = 0;  // bytes known to come before the NUL
  size_t checked = 0;   // of these, the bytes of whole characters checked
  bool ended = false;   // the NUL was found
  while (measured < limit) {
    size_t want = limit - measured < CLIP_UTF8_SCAN_CHUNK
                      ? limit - measured
                      : CLIP_UTF8_SCAN_CHUNK;
    size_t n = strnlen(text + measured, want);
    measured += n;
    // The chunk is in the cache now; a character cut by the chunk's end is
    // checked again with the next chunk.
    size_t end = 0;
    if (!check_prefix(s + checked, measured - checked, &end)) {
      return {measured, false, false};
    }
    checked += end;
    if (n < want) {
      ended = true;
      break;
    }
  }
  clip_text_span r;
  r.truncated = !ended && s[measured] != '\0';
  r.len = r.truncated ? clip_utf8_cut(text, limit) : measured;
  // What is left unchecked (at most one character) is now complete, cut
  // away, or cut short by the NUL.
  assert(r.len >= checked);
  r.valid = clip_utf8_valid(text + checked, r.len - checked);
  return r;
}
