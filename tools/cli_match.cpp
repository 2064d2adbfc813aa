#include "cli_match.h"

#include <unicase.h>
#include <unictype.h>
#include <unistr.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace host {
namespace {

// The character at the start of s (at least one byte): its code point and
// length, or false for bytes that do not form one.
bool next_char(std::string_view s, ucs4_t *cp, size_t *len) {
  int n = u8_mbtoucr(cp, reinterpret_cast<const uint8_t *>(s.data()), s.size());
  if (n <= 0) return false;
  *len = static_cast<size_t>(n);
  return true;
}

}  // namespace

void CaseFolder::fold(std::string_view text, std::string *out) {
  // Written through a pointer into a buffer of the text's size, grown only
  // when a folded character is longer than itself: the ASCII of a 64 KiB
  // text is folded eight bytes at a time.
  out->resize(text.size());
  char *o = out->data();
  size_t i = 0, j = 0;
  const char *p = text.data();
  constexpr uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
  while (i < text.size()) {
    while (i + 8 <= text.size()) {
      uint64_t v;
      memcpy(&v, p + i, 8);
      if ((v & kHigh) != 0) break;
      // Bytes from 'A' to 'Z' get 0x20 added: their high bits mark them.
      uint64_t upper = (v + (0x80 - 'A') * kOnes) & ~(v + (0x7F - 'Z') * kOnes) & kHigh;
      v |= upper >> 2;
      memcpy(o + j, &v, 8);
      i += 8;
      j += 8;
    }
    if (i >= text.size()) break;
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (c < 0x80) {
      o[j++] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c);
      ++i;
      continue;
    }
    ucs4_t cp = 0;
    size_t len = 1;
    if (!next_char(text.substr(i), &cp, &len)) {
      o[j++] = static_cast<char>(c);
      ++i;
      continue;
    }
    auto it = known_.find(cp);
    if (it == known_.end()) {
      // Full case folding is context-free (no language is given), so one
      // character folds alike wherever it stands.
      size_t n = 0;
      uint8_t *folded = u8_casefold(reinterpret_cast<const uint8_t *>(p + i), len,
                                    nullptr, nullptr, nullptr, &n);
      std::string f = folded != nullptr ? std::string(reinterpret_cast<char *>(folded), n)
                                        : std::string(text.substr(i, len));
      free(folded);
      it = known_.emplace(cp, std::move(f)).first;
    }
    const std::string &f = it->second;
    i += len;
    if (j + f.size() + (text.size() - i) > out->size()) {
      out->resize(std::max(out->size() * 2, j + f.size() + (text.size() - i)));
      o = out->data();
    }
    memcpy(o + j, f.data(), f.size());
    j += f.size();
  }
  out->resize(j);
}

std::vector<std::string> split_words(std::string_view query) {
  std::vector<std::string> words;
  std::string word;
  size_t i = 0;
  while (i < query.size()) {
    ucs4_t cp = 0;
    size_t len = 1;
    bool space = next_char(query.substr(i), &cp, &len) && uc_is_property_white_space(cp);
    if (space) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word.append(query.substr(i, len));
    }
    i += len;
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

bool is_blank_text(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    ucs4_t cp = 0;
    size_t len = 1;
    if (!next_char(text.substr(i), &cp, &len) || !uc_is_property_white_space(cp))
      return false;
    i += len;
  }
  return true;
}

namespace {

// The first byte offset of needle in haystack, or npos: glibc's memmem, whose
// two-way search does not slow down on a needle whose first letter is common.
size_t find_in(std::string_view haystack, std::string_view needle) {
  const void *at = memmem(haystack.data(), haystack.size(), needle.data(), needle.size());
  return at == nullptr
             ? std::string_view::npos
             : static_cast<size_t>(static_cast<const char *>(at) - haystack.data());
}

}  // namespace

int score_words(std::string_view text, std::string_view folded_text,
                const std::vector<std::string> &original_words,
                const std::vector<std::string> &folded_words, bool *matched) {
  int score = 0;
  *matched = false;
  for (size_t w = 0; w < folded_words.size(); ++w) {
    if (find_in(folded_text, folded_words[w]) == std::string_view::npos) return 0;
    size_t p = find_in(text, original_words[w]);
    if (p == std::string_view::npos) {
      score += 100;
    } else {
      score += p < 500 ? 1500 - static_cast<int>(p) : 1000;
    }
  }
  *matched = true;
  return score;
}

}  // namespace host
