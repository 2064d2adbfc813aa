#include "clip_hash.h"

#include <stdint.h>

namespace {

// FNV-1a: one pass, no table, no allocation, and stable across versions, so
// fingerprints written to the index by an earlier build still compare equal.
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

}  // namespace

void clip_hash_bytes(const void *data, size_t len, char out[CLIP_HASH_CHARS]) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  uint64_t h = kFnvOffset;
  for (size_t i = 0; i < len; ++i) {
    h ^= p[i];
    h *= kFnvPrime;
  }
  to_hex(h, out);
}

void clip_hash_text(const char *text, size_t len, char out[CLIP_HASH_CHARS]) {
  clip_hash_bytes(text, text == nullptr ? 0 : len, out);
}
