// Content functions: the fingerprint that recognises a repeated capture, and
// the UTF-8 checks that keep every stored string writable as JSON.
#ifndef QUILLMAR_CLIP_HASH_H
#define QUILLMAR_CLIP_HASH_H

#include <stddef.h>

#define CLIP_HASH_CHARS 17  // 16 lowercase hex digits and a NUL

// clip_utf8_span measures and checks a text this many bytes at a time, so
// that each byte is fetched from memory once for both.
#define CLIP_UTF8_SCAN_CHUNK 8192

extern "C" {

// 64-bit FNV-1a of len bytes, as 16 lowercase hexadecimal digits.
void clip_hash_bytes(const void *data, size_t len, char out[CLIP_HASH_CHARS]);
// The same; a null text counts as the empty text whatever len says.
void clip_hash_text(const char *text, size_t len, char out[CLIP_HASH_CHARS]);

}

// Whether len bytes are valid UTF-8 (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF). ASCII runs are checked a vector at a
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

#endif  // QUILLMAR_CLIP_HASH_H
