// What the interface unit offers the other units: the last-error message, the
// JSON allocator and the result helpers.
#ifndef QUILLMAR_CLIP_INTERNAL_H
#define QUILLMAR_CLIP_INTERNAL_H

#include <yyjson.h>

#define CLIP_ERR_CAP 512

extern "C" {

// Formats the last-error message (cut after 511 bytes).
void clip_set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Empties the last-error message.
void clip_clear_error(void);

}

// A new heap string formatted from fmt, or null when it cannot be allocated.
char *dup_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The allocator every yyjson call of the library uses: yyjson's default in the
// shipped library, one that goes through the fault seam in the test build.
const yyjson_alc *clip_json_alc();

// Serialises doc compact and copies the text into a new malloc block; null
// when serialisation or the copy fails.
char *clip_json_result(yyjson_mut_doc *doc);

#endif  // QUILLMAR_CLIP_INTERNAL_H
