// The fingerprint that recognises a repeated capture.
#ifndef QUILLMAR_CLIP_HASH_H
#define QUILLMAR_CLIP_HASH_H

#include <stddef.h>

#define CLIP_HASH_CHARS 17  // 16 lowercase hex digits and a NUL

// 64-bit FNV-1a of len bytes, as 16 lowercase hexadecimal digits.
void clip_hash_bytes(const void *data, size_t len, char out[CLIP_HASH_CHARS]);
// The same; a null text counts as the empty text whatever len says.
void clip_hash_text(const char *text, size_t len, char out[CLIP_HASH_CHARS]);

#endif  // QUILLMAR_CLIP_HASH_H
