#include "cli_png.h"

#include <png.h>

#include <cstdio>
#include <cstring>

#include "cli_text.h"

namespace host {
namespace {

struct PngInput {
  const unsigned char *data;
  size_t size, pos;
  char error[160];
};

void read_memory(png_structp png, png_bytep out, size_t n) {
  auto *in = static_cast<PngInput *>(png_get_io_ptr(png));
  if (in->size - in->pos < n) png_error(png, "the file ends early");
  memcpy(out, in->data + in->pos, n);
  in->pos += n;
}

void fail(png_structp png, png_const_charp message) {
  auto *in = static_cast<PngInput *>(png_get_error_ptr(png));
  snprintf(in->error, sizeof in->error, "%s", message);
  png_longjmp(png, 1);
}

void ignore_warning(png_structp, png_const_charp) {}

// Plain C inside: libpng leaves by longjmp, past no destructor.
bool decode(PngInput *in, GreyImage *out, uint64_t max_pixels) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, in, fail, ignore_warning);
  if (png == nullptr) {
    snprintf(in->error, sizeof in->error, "out of memory");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  png_bytep volatile row = nullptr;
  bool whole = false;
  if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
    png_set_read_fn(png, in, read_memory);
    png_read_info(png, info);
    png_uint_32 width = png_get_image_width(png, info);
    png_uint_32 height = png_get_image_height(png, info);
    if (out != nullptr) {
      if (static_cast<uint64_t>(width) * height > max_pixels) {
        snprintf(in->error, sizeof in->error, "it has %llu million pixels, more than %llu",
                 static_cast<unsigned long long>(static_cast<uint64_t>(width) * height /
                                                 1000000),
                 static_cast<unsigned long long>(max_pixels / 1000000));
        png_longjmp(png, 1);
      }
      // Whatever the colour type and depth: 8-bit grey, on white.
      png_set_expand(png);
      png_set_strip_16(png);
      png_set_rgb_to_gray_fixed(png, 1, -1, -1);
      png_color_16 white = {0, 255, 255, 255, 255};
      png_set_background_fixed(png, &white, PNG_BACKGROUND_GAMMA_SCREEN, 0, PNG_FP_1);
    }
    int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    size_t row_bytes = png_get_rowbytes(png, info);
    if (out != nullptr) {
      out->width = width;
      out->height = height;
      out->pixels.assign(static_cast<size_t>(width) * height, 0);
      if (row_bytes != width) png_error(png, "the image does not decode to grey levels");
    } else {
      row = static_cast<png_bytep>(png_malloc(png, row_bytes));
    }
    for (int pass = 0; pass < passes; ++pass) {
      for (png_uint_32 y = 0; y < height; ++y) {
        png_read_row(png, out != nullptr ? out->pixels.data() + size_t{y} * width : row,
                     nullptr);
      }
    }
    png_read_end(png, nullptr);
    whole = true;
  } else if (info == nullptr) {
    snprintf(in->error, sizeof in->error, "out of memory");
  }
  if (row != nullptr) png_free(png, row);
  png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
  return whole;
}

}  // namespace

bool decode_png(std::string_view bytes, GreyImage *out, uint64_t max_pixels,
                std::string *why) {
  if (!has_png_signature(bytes)) {
    *why = "it is not a PNG image";
    return false;
  }
  PngInput in{reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), 0, ""};
  if (decode(&in, out, max_pixels)) return true;
  if (out != nullptr) out->pixels.clear();
  *why = strncmp(in.error, "it has ", 7) == 0
             ? std::string(in.error)
             : std::string("it is not a whole PNG image (") + in.error + ")";
  return false;
}

}  // namespace host
