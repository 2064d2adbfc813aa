// Text helpers of the command-line host: UTF-8 repair, durations, ages and
// terminal cells. None of them touches the store.
#ifndef QUILLMAR_CLI_TEXT_H
#define QUILLMAR_CLI_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace host {

// The eight bytes every PNG file starts with.
bool has_png_signature(std::string_view bytes);

struct Utf8Repair {
  std::string text;
  size_t invalid = 0;  // invalid sequences replaced with U+FFFD
  size_t nul = 0;      // NUL bytes replaced with U+FFFD
};

// Replaces every maximal invalid subsequence (the Unicode "substitution of
// maximal subparts" practice) and every NUL byte with U+FFFD. Valid UTF-8
// without NUL bytes comes back unchanged.
Utf8Repair repair_utf8(std::string_view in);

// The number of bytes at the end of in that start a character without
// finishing it (0 to 3): what a read that stopped early leaves behind.
size_t utf8_unfinished_tail(std::string_view in);

// The length of the longest prefix of the valid UTF-8 text that holds at
// most max bytes and ends between two characters.
size_t utf8_cut(std::string_view text, size_t max);

// ISO 8859-1 bytes (the X11 STRING target) as UTF-8.
std::string latin1_to_utf8(std::string_view in);

enum class Decimal { ok, not_decimal, out_of_range };

// A whole number written in decimal digits, with a leading "-" when min is
// negative. Leading zeros are decimal too ("010" is ten); anything else
// ("0x3", "+3", "1e3", " 3", "") is not_decimal.
Decimal parse_decimal(std::string_view s, int64_t min, int64_t max, int64_t *out);

// "30d", "12h", "90m", "45s", "2w" or a sequence of them ("1d12h"), into
// seconds. False for anything else, and for more than 100 years.
bool parse_duration(std::string_view s, int64_t *seconds);

// How long ago ts was at now: "12 s ago", "3 min ago", "5 h ago", "2 d ago",
// and the local date ("2026-01-31") from 60 days on.
std::string format_age(int64_t now, int64_t ts);

// One line of a table cell: line breaks shown as "↵", other control
// characters (C0, DEL, C1) as spaces, so nothing from a clip can steer the
// terminal; cut to at most width columns, ending in "…" when cut.
std::string terminal_cell(std::string_view utf8, int width);

// A text clip as one line of a picker: its line breaks (LF, CR LF or CR)
// shown as "↵", tabs and other control characters as spaces, cut between two
// characters to at most width columns and ending in "…" when cut. Only the
// start of the text is looked at, so a text of a megabyte costs no more than
// a short one.
std::string picker_text(std::string_view utf8, int width);

// A whole text for a terminal: invalid UTF-8 repaired, line breaks and tabs
// kept (CR LF as LF), every other control character (C0, DEL, C1) shown as
// a space, so that nothing of it steers the terminal.
std::string preview_text(std::string_view utf8);

// The number of terminal columns that terminal_cell's result occupies.
int terminal_width(std::string_view utf8);

// A byte count for people: "512 B", "12.3 KiB", "1.2 MiB".
std::string format_bytes(uint64_t n);

// A one-line label made of text offered beside an image: invalid UTF-8
// repaired, control characters and runs of white space as one space, trimmed,
// and cut to at most max bytes between two characters.
std::string label_from_text(std::string_view text, size_t max);

}  // namespace host

#endif  // QUILLMAR_CLI_TEXT_H
