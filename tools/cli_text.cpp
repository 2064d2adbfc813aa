#include "cli_text.h"

#include <time.h>
#include <wchar.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace host {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// For a lead byte: the length of its sequence and the range its second byte
// must lie in (which rules out overlong forms, surrogates and values above
// U+10FFFF). 0 when c cannot start a sequence.
int lead_length(unsigned char c, unsigned char *lo, unsigned char *hi) {
  *lo = 0x80;
  *hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c == 0xE0) {
    *lo = 0xA0;
    return 3;
  }
  if (c >= 0xE1 && c <= 0xEC) return 3;
  if (c == 0xED) {
    *hi = 0x9F;
    return 3;
  }
  if (c == 0xEE || c == 0xEF) return 3;
  if (c == 0xF0) {
    *lo = 0x90;
    return 4;
  }
  if (c >= 0xF1 && c <= 0xF3) return 4;
  if (c == 0xF4) {
    *hi = 0x8F;
    return 4;
  }
  return 0;
}

// Decodes the valid character at s[i] (the caller knows it is valid).
char32_t decode_at(std::string_view s, size_t i, size_t *len) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    *len = 1;
    return c;
  }
  unsigned char lo, hi;
  int n = lead_length(c, &lo, &hi);
  char32_t cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
  for (int k = 1; k < n; ++k)
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  *len = static_cast<size_t>(n);
  return cp;
}

// The length of the valid character at s[i], or 0 when none starts there;
// *valid_prefix is then the length of the maximal subpart to replace.
size_t valid_length(std::string_view s, size_t i, size_t *valid_prefix) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  unsigned char lo, hi;
  int n = lead_length(c, &lo, &hi);
  *valid_prefix = 1;
  if (n == 0) return 0;
  for (int k = 1; k < n; ++k) {
    if (i + static_cast<size_t>(k) >= s.size()) return 0;
    unsigned char b = static_cast<unsigned char>(s[i + k]);
    bool ok = k == 1 ? (b >= lo && b <= hi) : is_continuation(b);
    if (!ok) return 0;
    *valid_prefix = static_cast<size_t>(k) + 1;
  }
  return static_cast<size_t>(n);
}

int column_width(char32_t cp) {
  int w = wcwidth(static_cast<wchar_t>(cp));
  // Outside a UTF-8 locale wcwidth knows nothing beyond ASCII.
  return w < 0 ? 1 : w;
}

}  // namespace

bool has_png_signature(std::string_view bytes) {
  return bytes.size() >= 8 &&
         bytes.substr(0, 8) == std::string_view("\x89PNG\r\n\x1a\n", 8);
}

Utf8Repair repair_utf8(std::string_view in) {
  Utf8Repair r;
  r.text.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    if (in[i] == '\0') {
      r.text += kReplacement;
      ++r.nul;
      ++i;
      continue;
    }
    size_t prefix = 1;
    size_t n = valid_length(in, i, &prefix);
    if (n == 0) {
      r.text += kReplacement;
      ++r.invalid;
      i += prefix;
      continue;
    }
    r.text.append(in.substr(i, n));
    i += n;
  }
  return r;
}

size_t utf8_unfinished_tail(std::string_view in) {
  size_t n = in.size();
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    unsigned char c = static_cast<unsigned char>(in[n - back]);
    if (is_continuation(c)) continue;
    unsigned char lo, hi;
    int len = lead_length(c, &lo, &hi);
    return len > 0 && static_cast<size_t>(len) > back ? back : 0;
  }
  return 0;
}

size_t utf8_cut(std::string_view text, size_t max) {
  if (text.size() <= max) return text.size();
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

std::string latin1_to_utf8(std::string_view in) {
  std::string out;
  out.reserve(in.size() + in.size() / 4);
  for (char ch : in) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

Decimal parse_decimal(std::string_view s, int64_t min, int64_t max, int64_t *out) {
  bool negative = !s.empty() && s[0] == '-' && min < 0;
  size_t i = negative ? 1 : 0;
  if (i == s.size()) return Decimal::not_decimal;
  // Counted in the negative range, which holds INT64_MIN as well.
  int64_t v = 0;
  bool overflow = false;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return Decimal::not_decimal;
    int d = s[i] - '0';
    if (v < (INT64_MIN + d) / 10) overflow = true;
    if (!overflow) v = v * 10 - d;
  }
  if (!negative) {
    if (v == INT64_MIN) {
      overflow = true;
    } else {
      v = -v;
    }
  }
  if (overflow || v < min || v > max) return Decimal::out_of_range;
  *out = v;
  return Decimal::ok;
}

bool parse_duration(std::string_view s, int64_t *seconds) {
  constexpr int64_t kMax = 100LL * 366 * 86400;
  if (s.empty()) return false;
  int64_t total = 0;
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] < '0' || s[i] > '9') return false;
    int64_t n = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      n = n * 10 + (s[i] - '0');
      if (n > kMax) return false;
      ++i;
    }
    size_t u = i;
    while (i < s.size() && ((s[i] >= 'a' && s[i] <= 'z') || (s[i] >= 'A' && s[i] <= 'Z')))
      ++i;
    std::string_view unit = s.substr(u, i - u);
    int64_t scale;
    if (unit == "s") {
      scale = 1;
    } else if (unit == "m" || unit == "min") {
      scale = 60;
    } else if (unit == "h") {
      scale = 3600;
    } else if (unit == "d") {
      scale = 86400;
    } else if (unit == "w") {
      scale = 7 * 86400;
    } else {
      return false;
    }
    total += n * scale;
    if (total > kMax) return false;
  }
  *seconds = total;
  return true;
}

std::string format_age(int64_t now, int64_t ts) {
  int64_t d = now - ts;
  char buf[64];
  if (d < 0) d = 0;
  if (d < 60) {
    snprintf(buf, sizeof buf, "%lld s ago", static_cast<long long>(d));
  } else if (d < 3600) {
    snprintf(buf, sizeof buf, "%lld min ago", static_cast<long long>(d / 60));
  } else if (d < 86400) {
    snprintf(buf, sizeof buf, "%lld h ago", static_cast<long long>(d / 3600));
  } else if (d < 60 * 86400) {
    snprintf(buf, sizeof buf, "%lld d ago", static_cast<long long>(d / 86400));
  } else {
    time_t t = static_cast<time_t>(ts);
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr ||
        strftime(buf, sizeof buf, "%Y-%m-%d", &tm) == 0) {
      snprintf(buf, sizeof buf, "@%lld", static_cast<long long>(ts));
    }
  }
  return buf;
}

std::string terminal_cell(std::string_view utf8, int width) {
  Utf8Repair clean = repair_utf8(utf8);
  std::string_view s = clean.text;
  std::string out;
  // After each character taken: the bytes of out and the columns used, so
  // that a cut can step back until the ellipsis fits.
  std::vector<std::pair<size_t, int>> marks;
  int used = 0;
  size_t i = 0;
  while (i < s.size()) {
    size_t len = 1;
    char32_t cp = decode_at(s, i, &len);
    std::string_view bytes;
    int w = 1;
    if (cp == '\n') {
      bytes = "\xE2\x86\xB5";  // ↵
    } else if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
      bytes = " ";
    } else {
      bytes = s.substr(i, len);
      w = column_width(cp);
    }
    i += len;
    if (used + w > width) {
      while (!marks.empty() && marks.back().second > width - 1) marks.pop_back();
      out.resize(marks.empty() ? 0 : marks.back().first);
      if (width > 0) out += "\xE2\x80\xA6";  // …
      return out;
    }
    out += bytes;
    used += w;
    marks.emplace_back(out.size(), used);
  }
  return out;
}

std::string picker_text(std::string_view utf8, int width) {
  // Four bytes a column is more than any character takes, so that the cut
  // below, and not this one, is what the reader sees.
  size_t look = static_cast<size_t>(std::max(width, 0)) * 4 + 4;
  bool more = utf8.size() > look;
  std::string head;
  head.reserve(std::min(utf8.size(), look));
  for (size_t i = 0; i < utf8.size() && i < look; ++i) {
    char c = utf8[i];
    if (c == '\r') {
      if (i + 1 < utf8.size() && utf8[i + 1] == '\n') continue;
      c = '\n';
    }
    head.push_back(c);
  }
  // A text that goes on beyond what was looked at ends in "…" either way:
  // as the last character when the start fits, or by the cut.
  if (more) head += "\xE2\x80\xA6";
  return terminal_cell(head, width);
}

std::string preview_text(std::string_view utf8) {
  std::string s = repair_utf8(utf8).text;
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    if (c == '\r') c = '\n';
    bool c1 =
        c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0;
    if (c1) ++i;
    out.push_back((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F || c1
                      ? ' '
                      : static_cast<char>(c));
  }
  return out;
}

int terminal_width(std::string_view utf8) {
  int cols = 0;
  size_t i = 0;
  while (i < utf8.size()) {
    size_t len = 1;
    size_t prefix = 1;
    if (valid_length(utf8, i, &prefix) == 0) {
      ++cols;
      i += prefix;
      continue;
    }
    char32_t cp = decode_at(utf8, i, &len);
    cols += cp < 0x20 ? 1 : column_width(cp);
    i += len;
  }
  return cols;
}

std::string format_bytes(uint64_t n) {
  char buf[32];
  if (n < 1024) {
    snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(n));
  } else if (n < 1024 * 1024) {
    snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(n) / 1024.0);
  } else if (n < 1024ULL * 1024 * 1024) {
    snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(n) / (1024.0 * 1024.0));
  } else {
    snprintf(buf, sizeof buf, "%.1f GiB",
             static_cast<double>(n) / (1024.0 * 1024.0 * 1024.0));
  }
  return buf;
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

}  // namespace host
