// What search matches: the words of a query, found in a text without regard
// to case, Unicode letters too. Case folding is libunistring's (Unicode's
// full case folding: "Straße" and "STRASSE" meet, and so do "ΕΛΛΗΝΙΚΆ" and
// "ελληνικά"); nothing here touches the store.
#ifndef QUILLMAR_CLI_MATCH_H
#define QUILLMAR_CLI_MATCH_H

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace host {

// Folds the case of UTF-8 text. ASCII is folded in place; every other
// character is asked of libunistring once and remembered, since a history's
// texts use few distinct characters and folding a megabyte a character at a
// time through the library would take most of a second.
class CaseFolder {
 public:
  // The folded form of text in *out (replaced). Bytes that do not form a
  // valid character are kept as they are.
  void fold(std::string_view text, std::string *out);

 private:
  std::unordered_map<uint32_t, std::string> known_;
};

// The score of text for the words of a query: 0 when a word does not occur
// in the folded text, else the sum of each word's score, which is the
// library's for a one-word query: 1500 - p for a word that occurs with its
// case intact at byte p < 500, 1000 when p is further on, 100 when it occurs
// only folded. Every word must occur, in any order. original_words are the
// words as typed; folded_text is folder's fold of text. With no words the
// score is 0 and the text matches: *matched says whether it did.
int score_words(std::string_view text, std::string_view folded_text,
                const std::vector<std::string> &original_words,
                const std::vector<std::string> &folded_words, bool *matched);

// The words of a query as typed: what lies between runs of white space
// (Unicode's). No words (an empty or blank query) match every clip.
std::vector<std::string> split_words(std::string_view query);

// Whether the UTF-8 text holds nothing but white space (Unicode's), or
// nothing at all.
bool is_blank_text(std::string_view text);

}  // namespace host

#endif  // QUILLMAR_CLI_MATCH_H
