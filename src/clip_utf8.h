// UTF-8 (RFC 3629: no overlong forms, no surrogates, nothing above
// U+10FFFF): the check that keeps every stored string writable as JSON, the
// cut on a character boundary, and the measure of a text with its check in
// one pass. The index writer checks each character it copies with
// clip_utf8_char, under the same rules.
#ifndef QUILLMAR_CLIP_UTF8_H
#define QUILLMAR_CLIP_UTF8_H

#include <stddef.h>

// clip_utf8_span measures and checks a text this many bytes at a time, so
// that each byte is fetched from memory once for both.
#define CLIP_UTF8_SCAN_CHUNK 8192

// The length (2 to 4) of the character that the byte c from 0x80 up starts,
// with the range [*lo, *hi] its second byte must lie in; 1 when c cannot
// start a character (a continuation byte, C0, C1, F5..FF).
inline size_t clip_utf8_lead(unsigned char c, unsigned char *lo, unsigned char *hi) {
  *lo = 0x80;
  *hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) {
    if (c == 0xE0) *lo = 0xA0;  // overlong below U+0800
    if (c == 0xED) *hi = 0x9F;  // UTF-16 surrogates
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (c == 0xF0) *lo = 0x90;  // overlong below U+10000
    if (c == 0xF4) *hi = 0x8F;  // above U+10FFFF
    return 4;
  }
  return 1;
}

// The length of the valid character at p, whose first byte is from 0x80 up,
// or 0 when there is none before end.
inline size_t clip_utf8_char(const unsigned char *p, const unsigned char *end) {
  unsigned char lo, hi;
  size_t n = clip_utf8_lead(p[0], &lo, &hi);
  if (n == 1 || static_cast<size_t>(end - p) < n || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
  }
  return n;
}

// Whether len bytes are valid UTF-8. ASCII runs are checked a vector at a
// time (SSE2 on x86-64, a 64-bit word elsewhere).
bool clip_utf8_valid(const char *s, size_t len);

// The largest cut <= limit that does not fall inside a character of s: limit
// itself, or the start of the character that the byte at `limit` continues.
// s must hold at least limit + 1 bytes (the byte at `limit` is looked at);
// at most the three bytes before it are read.
size_t clip_utf8_cut(const char *s, size_t limit);

// What a capture keeps of a NUL-terminated text.
struct clip_text_span {
  size_t len;      // bytes kept: the whole text, or for a longer text than
                   // the limit, clip_utf8_cut(text, limit)
  bool truncated;  // the text is longer than the limit
  bool valid;      // the kept bytes are UTF-8 (len is then exact)
};

// Measures text and checks the bytes it keeps in one pass, reading at most
// limit + 1 bytes; bytes past the cut are never checked. Equivalent to
// strnlen, clip_utf8_cut and clip_utf8_valid in turn. A text found invalid
// may leave len short of its length.
clip_text_span clip_utf8_span(const char *text, size_t limit);

#endif  // QUILLMAR_CLIP_UTF8_H
