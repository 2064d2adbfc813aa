// The rules that decide what a capture becomes, as pure functions of its
// bytes: whether input is text at all, how a picker shows an image, the
// label an image takes from the text offered beside it, and whether one
// selection grew out of another.
#ifndef QUILLMAR_CLI_CAPTURE_H
#define QUILLMAR_CLI_CAPTURE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace host {

// What bytes that are neither PNG nor text are ("a JPEG image", "binary data
// (it holds NUL bytes)"), or nullptr when they may be recorded: PNG, or text
// (valid or repairable UTF-8 without NUL bytes).
const char *binary_kind(std::string_view bytes);

// The width and height in a PNG file's header (its IHDR chunk, which the
// format puts first), from at least the first 24 bytes of the file. False
// when they do not hold one.
bool png_dimensions(std::string_view head, uint32_t *width, uint32_t *height);

// An image clip as a picker shows it: "[image 640x480, 12.3 KiB: label]",
// without the size when the header holds none (width 0) and without the
// label when it is empty.
std::string image_line(uint32_t width, uint32_t height, uint64_t bytes,
                       std::string_view label);

// A one-line label made of text offered beside an image: invalid UTF-8
// repaired, control characters and runs of white space as one space, trimmed,
// and cut to at most max bytes between two characters.
std::string label_from_text(std::string_view text, size_t max);

// Whether next is prev grown at one end (a mouse selection being dragged
// further): it starts or ends with prev and is longer.
bool grows_from(std::string_view prev, std::string_view next);

}  // namespace host

#endif  // QUILLMAR_CLI_CAPTURE_H
