// The JSON the library hands out: the allocator every yyjson call uses, the
// copy of a serialised document into a result string, the formatted result
// string, the escapes of JSON strings, and the one summary object of a clip
// that listings and search results share. Calls only the allocator and yyjson.
#ifndef QUILLMAR_CLIP_JSON_H
#define QUILLMAR_CLIP_JSON_H

#include <stdint.h>

#include <yyjson.h>

// The allocator every yyjson call of the library uses: yyjson's default in the
// shipped library, one that goes through the fault seam in the test build.
const yyjson_alc *clip_json_alc();

// Serialises doc compact and copies the text into a new malloc block; null
// when serialisation or the copy fails.
char *clip_json_result(yyjson_mut_doc *doc);

// A result formatted from fmt, such as {"id":7,"dedup":0}, in a new malloc
// block; null when it cannot be allocated (or formatted). Sets no message.
char *clip_json_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The escape of each byte below 0x20, of '"' and of '\\' in a JSON string:
// the two-character forms where JSON has one ("\b", "\t", "\n", "\f", "\r",
// "\"", "\\"), else "\u00XX". Every byte from 0x20 up but '"' and '\\' stands
// for itself. The index is written with upper-case hexadecimal digits, as
// yyjson writes them; clip_get's image result with lower-case ones. Each
// text is padded to 8 bytes so that a writer may copy it whole.
struct clip_json_escapes {
  char text[96][8];
  unsigned char len[96];
  constexpr explicit clip_json_escapes(bool upper) : text(), len() {
    const char *hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (int c = 0; c < 0x20; ++c) {
      const char six[8] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF], 0, 0};
      for (int i = 0; i < 8; ++i) text[c][i] = six[i];
      len[c] = 6;
    }
    const char shorts[][2] = {{'"', '"'}, {'\\', '\\'}, {'\b', 'b'}, {'\t', 't'},
                              {'\n', 'n'}, {'\f', 'f'}, {'\r', 'r'}};
    for (const auto &s : shorts) {
      int c = static_cast<unsigned char>(s[0]);
      text[c][0] = '\\';
      text[c][1] = s[1];
      len[c] = 2;
    }
  }
  // Whether byte c must be escaped.
  static constexpr bool needed(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }
};

inline constexpr clip_json_escapes kJsonEscapesUpper{true};
inline constexpr clip_json_escapes kJsonEscapesLower{false};

// s as a JSON string with its quotation marks, escaped by kJsonEscapesLower
// and every other byte copied as it is, in a new malloc block; null when it
// cannot be allocated.
char *clip_json_quote(const char *s);

// The summary of a clip in a listing or a search result, members in this
// order: "id", "ts", "kind" ("image" or "text"), "preview" ("" for none),
// "pinned". Null when any part of it cannot be allocated.
yyjson_mut_val *clip_json_summary(yyjson_mut_doc *doc, int id, int64_t ts, bool image,
                                  const char *preview, bool pinned);

#endif  // QUILLMAR_CLIP_JSON_H
