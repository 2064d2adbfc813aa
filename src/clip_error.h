// The last-error message: one line of at most 511 bytes, set by whichever
// unit meets a failure and emptied by every export before it starts, so
// that after a call it belongs to that call alone. The bottom of the
// library: it calls nothing but the C library.
#ifndef QUILLMAR_CLIP_ERROR_H
#define QUILLMAR_CLIP_ERROR_H

#define CLIP_ERR_CAP 512

// Formats the last-error message (cut after 511 bytes).
void clip_set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Empties the last-error message.
void clip_clear_error();

// The message of the last failure, "" when the last call did not fail.
// Owned here, overwritten by the next failure.
const char *clip_error_message();

#endif  // QUILLMAR_CLIP_ERROR_H
