#include "reference_match.h"

#include <string.h>

namespace {

// 1 when the needle occurs in the haystack with the letters A-Z (0x41 to
// 0x5A) counted as a-z, comparing byte by byte at every start position.
int ci_contains_reference(const char *haystack, const char *needle) {
  auto folded = [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x41 && u <= 0x5A ? u + 0x20 : u;
  };
  size_t hlen = strlen(haystack), nlen = strlen(needle);
  if (nlen == 0) return 1;
  if (hlen < nlen) return 0;
  for (size_t s = 0; s <= hlen - nlen; ++s) {
    size_t k = 0;
    while (k < nlen && folded(haystack[s + k]) == folded(needle[k])) ++k;
    if (k == nlen) return 1;
  }
  return 0;
}

}  // namespace

int reference_score(const char *text, const char *query) {
  if (!ci_contains_reference(text, query)) return -1;
  if (query[0] == '\0') return 0;
  const char *p = strstr(text, query);
  if (p == nullptr) return 100;
  return p - text < 500 ? 1500 - static_cast<int>(p - text) : 1000;
}
