#include "clip_hash.h"

#include <stdint.h>
#include <string.h>

namespace {

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

void to_hex(uint64_t h, char out[CLIP_HASH_CHARS]) {
  static const char digits[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i) {
    out[i] = digits[h & 0xf];
    h >>= 4;
  }
  out[16] = '\0';
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

extern "C" void clip_hash_bytes(const void *data, size_t len,
                                char out[CLIP_HASH_CHARS]) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  uint64_t h = kFnvOffset;
  for (size_t i = 0; i < len; ++i) {
    h ^= p[i];
    h *= kFnvPrime;
  }
  to_hex(h, out);
}

extern "C" void clip_hash_text(const char *text, size_t len,
                               char out[CLIP_HASH_CHARS]) {
  clip_hash_bytes(text, text == nullptr ? 0 : len, out);
}

bool clip_utf8_valid(const char *str, size_t len) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(str);
  size_t i = 0;
  while (i < len) {
    // Skip ASCII eight bytes at a time.
    while (i + 8 <= len) {
      uint64_t w;
      memcpy(&w, s + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= len) break;
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;       // overlong
      else if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;       // overlong
      else if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;  // stray continuation, C0, C1, F5..FF
    }
    if (len - i <= need) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (size_t k = 2; k <= need; ++k) {
      if (!is_continuation(s[i + k])) return false;
    }
    i += need + 1;
  }
  return true;
}

size_t clip_utf8_cut(const char *str, size_t limit) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(str);
  size_t n = limit;
  for (int k = 0; k < 3 && n > 0 && is_continuation(s[n]); ++k) --n;
  return n;
}
