#include "cli_capture.h"

#include <cstring>

#include "cli_text.h"

namespace host {
namespace {

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

}  // namespace

const char *binary_kind(std::string_view bytes) {
  using namespace std::string_view_literals;
  if (has_png_signature(bytes)) return nullptr;
  if (starts_with(bytes, "\xFF\xD8\xFF"sv)) return "a JPEG image";
  if (starts_with(bytes, "GIF87a"sv) || starts_with(bytes, "GIF89a"sv))
    return "a GIF image";
  if (starts_with(bytes, "RIFF"sv) && bytes.size() >= 12 &&
      bytes.substr(8, 4) == "WEBP"sv)
    return "a WebP image";
  if (starts_with(bytes, "%PDF-"sv)) return "a PDF document";
  if (memchr(bytes.data(), '\0', bytes.size()) != nullptr)
    return "binary data (it holds NUL bytes)";
  return nullptr;
}

bool png_dimensions(std::string_view head, uint32_t *width, uint32_t *height) {
  using namespace std::string_view_literals;
  if (head.size() < 24 || !has_png_signature(head) || head.substr(12, 4) != "IHDR"sv)
    return false;
  auto be32 = [&](size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
      v = (v << 8) | static_cast<unsigned char>(head[at + i]);
    return v;
  };
  *width = be32(16);
  *height = be32(20);
  return *width > 0 && *height > 0;
}

std::string image_line(uint32_t width, uint32_t height, uint64_t bytes,
                       std::string_view label) {
  std::string out = "[image ";
  if (width > 0) out += std::to_string(width) + "x" + std::to_string(height) + ", ";
  out += format_bytes(bytes);
  if (!label.empty()) out += ": " + terminal_cell(label, 80);
  return out + "]";
}

std::string label_from_text(std::string_view text, size_t max) {
  std::string clean = repair_utf8(text).text;
  std::string out;
  bool space = false;
  for (size_t i = 0; i < clean.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(clean[i]);
    // C1 controls are U+0080..U+009F, encoded as C2 80..C2 9F.
    bool c1 = c == 0xC2 && i + 1 < clean.size() &&
              static_cast<unsigned char>(clean[i + 1]) < 0xA0;
    if (c <= 0x20 || c == 0x7F || c1) {
      space = !out.empty();
      if (c1) ++i;
      continue;
    }
    if (space) out += ' ';
    space = false;
    out += static_cast<char>(c);
  }
  if (out.size() <= max) return out;
  constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // …
  if (max < kEllipsis.size()) return out.substr(0, utf8_cut(out, max));
  out.resize(utf8_cut(out, max - kEllipsis.size()));
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out + std::string(kEllipsis);
}

bool grows_from(std::string_view prev, std::string_view next) {
  if (prev.empty() || next.size() <= prev.size()) return false;
  return starts_with(next, prev) || next.substr(next.size() - prev.size()) == prev;
}

}  // namespace host
