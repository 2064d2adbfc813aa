// Content functions: the fingerprint that recognises a repeated capture, and
// the UTF-8 checks that keep every stored string writable as JSON.
#ifndef QUILLMAR_CLIP_HASH_H
#define QUILLMAR_CLIP_HASH_H

#include <stddef.h>

#define CLIP_HASH_CHARS 17  // 16 lowercase hex digits and a NUL

extern "C" {

// 64-bit FNV-1a of len bytes, as 16 lowercase hexadecimal digits.
void clip_hash_bytes(const void *data, size_t len, char out[CLIP_HASH_CHARS]);
// The same; a null text counts as the empty text whatever len says.
void clip_hash_text(const char *text, size_t len, char out[CLIP_HASH_CHARS]);

}

// Whether len bytes are valid UTF-8 (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF). ASCII runs are checked a word at a time.
bool clip_utf8_valid(const char *s, size_t len);

// The largest cut <= limit that does not fall inside a character of s, given
// that s holds at least limit + 1 bytes when limit < its length (the byte at
// `limit` is looked at). Backs up over at most three continuation bytes.
size_t clip_utf8_cut(const char *s, size_t limit);

#endif  // QUILLMAR_CLIP_HASH_H
