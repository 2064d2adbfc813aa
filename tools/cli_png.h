// PNG images decoded with libpng, quietly: what is wrong with a file is
// said once, in our words, never by libpng on standard error.
#ifndef QUILLMAR_CLI_PNG_H
#define QUILLMAR_CLI_PNG_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// An image as 8-bit grey levels, one byte a pixel, row after row, any
// transparency laid on white.
struct GreyImage {
  uint32_t width = 0, height = 0;
  std::vector<unsigned char> pixels;
};

// Decodes every row of the PNG image in bytes, so that a file cut short or
// damaged anywhere (a chunk's CRC, the compressed data, a missing IEND) is
// found. With out, keeps the rows as grey levels, and refuses an image of
// more than max_pixels (checked before any row is decoded). False, with
// *why ("it is not a whole PNG image (...)"), when it cannot be decoded.
bool decode_png(std::string_view bytes, GreyImage *out, uint64_t max_pixels,
                std::string *why);

}  // namespace host

#endif  // QUILLMAR_CLI_PNG_H
