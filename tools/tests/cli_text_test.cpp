#include "cli_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>

#include "cli_capture.h"
#include "cli_match.h"

namespace {

// n replacement characters.
std::string fffd(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "\xEF\xBF\xBD";
  return s;
}

TEST(RepairUtf8, ValidTextComesBackUnchanged) {
  for (const char *s :
       {"", "plain", "h\xC3\xA9llo w\xC3\xB6rld \xE2\x9C\x93 \xF0\x9F\x98\x80"}) {
    host::Utf8Repair r = host::repair_utf8(s);
    EXPECT_EQ(r.text, s);
    EXPECT_EQ(r.invalid, 0u);
    EXPECT_EQ(r.nul, 0u);
  }
}

TEST(RepairUtf8, ReplacesMaximalSubparts) {
  struct Case {
    std::string in;
    std::string out;
    size_t invalid;
  } cases[] = {
      {"a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b",
       1},
      // A lead byte and a continuation that breaks off: one replacement for both.
      {"\xE2\x9C"
       "x",
       "\xEF\xBF\xBD"
       "x",
       1},
      // Overlong forms and surrogates are replaced byte by byte.
      {"\xC0\xAF", fffd(2), 2},
      {"\xED\xA0\x80", fffd(3), 3},
      // Beyond U+10FFFF.
      {"\xF4\x90\x80\x80", fffd(4), 4},
      // A sequence cut at the end of the text.
      {"ok\xF0\x9F\x98", "ok\xEF\xBF\xBD", 1},
      {"\x80\x80", fffd(2), 2},
  };
  for (auto &c : cases) {
    host::Utf8Repair r = host::repair_utf8(c.in);
    EXPECT_EQ(r.text, c.out) << "input of " << c.in.size() << " bytes";
    EXPECT_EQ(r.invalid, c.invalid) << "input of " << c.in.size() << " bytes";
  }
}

TEST(RepairUtf8, NulBytesAreReplacedAndCountedApart) {
  host::Utf8Repair r = host::repair_utf8(std::string("a\0b\0", 4));
  EXPECT_EQ(r.text,
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  EXPECT_EQ(r.nul, 2u);
  EXPECT_EQ(r.invalid, 0u);
}

TEST(Utf8UnfinishedTail, CountsOnlyASequenceCutShort) {
  EXPECT_EQ(host::utf8_unfinished_tail(""), 0u);
  EXPECT_EQ(host::utf8_unfinished_tail("abc"), 0u);
  EXPECT_EQ(host::utf8_unfinished_tail("a\xC3\xA9"), 0u);
  EXPECT_EQ(host::utf8_unfinished_tail("a\xC3"), 1u);
  EXPECT_EQ(host::utf8_unfinished_tail("a\xE2\x9C"), 2u);
  EXPECT_EQ(host::utf8_unfinished_tail("a\xF0\x9F\x98"), 3u);
  EXPECT_EQ(host::utf8_unfinished_tail("a\xF0\x9F\x98\x80"), 0u);
  // A stray continuation byte is damage, not a cut.
  EXPECT_EQ(host::utf8_unfinished_tail("a\x80"), 0u);
}

TEST(Latin1, BecomesUtf8) {
  EXPECT_EQ(host::latin1_to_utf8("caf\xE9 \xFF"), "caf\xC3\xA9 \xC3\xBF");
}

TEST(ParseDecimal, DecimalDigitsOnly) {
  using host::Decimal;
  struct Case {
    const char *in;
    int64_t min, max;
    Decimal result;
    int64_t value;
  } cases[] = {
      {"7", 0, 100, Decimal::ok, 7},
      {"010", 0, 100, Decimal::ok, 10},  // leading zeros are not octal
      {"0008", 0, 100, Decimal::ok, 8},
      {"0", 0, 100, Decimal::ok, 0},
      {"-3", -100, 100, Decimal::ok, -3},
      {"-010", -100, 100, Decimal::ok, -10},
      {"2147483647", 1, INT32_MAX, Decimal::ok, INT32_MAX},
      {"-2147483648", INT32_MIN, INT32_MAX, Decimal::ok, INT32_MIN},
      {"-9223372036854775808", INT64_MIN, INT64_MAX, Decimal::ok, INT64_MIN},
      {"9223372036854775807", INT64_MIN, INT64_MAX, Decimal::ok, INT64_MAX},
      {"0x3", 0, 100, Decimal::not_decimal, 0},
      {"0X3", 0, 100, Decimal::not_decimal, 0},
      {"0b1", 0, 100, Decimal::not_decimal, 0},
      {"0o7", 0, 100, Decimal::not_decimal, 0},
      {"1e3", 0, 10000, Decimal::not_decimal, 0},
      {"+3", 0, 100, Decimal::not_decimal, 0},
      {" 3", 0, 100, Decimal::not_decimal, 0},
      {"3 ", 0, 100, Decimal::not_decimal, 0},
      {"3.0", 0, 100, Decimal::not_decimal, 0},
      {"", 0, 100, Decimal::not_decimal, 0},
      {"-", -100, 100, Decimal::not_decimal, 0},
      {"-3", 0, 100, Decimal::not_decimal, 0},  // no sign where none is allowed
      {"0", 1, 100, Decimal::out_of_range, 0},
      {"101", 0, 100, Decimal::out_of_range, 0},
      {"2147483648", 1, INT32_MAX, Decimal::out_of_range, 0},
      {"99999999999999999999", 0, INT64_MAX, Decimal::out_of_range, 0},
      {"-99999999999999999999", INT64_MIN, 0, Decimal::out_of_range, 0},
      {"9223372036854775808", INT64_MIN, INT64_MAX, Decimal::out_of_range, 0},
  };
  for (auto &c : cases) {
    int64_t v = -12345;
    EXPECT_EQ(host::parse_decimal(c.in, c.min, c.max, &v), c.result) << c.in;
    EXPECT_EQ(v, c.result == Decimal::ok ? c.value : -12345) << c.in;
  }
}

TEST(ParseDuration, UnitsAndSequences) {
  struct Case {
    const char *in;
    bool ok;
    int64_t seconds;
  } cases[] = {
      {"45s", true, 45},       {"90m", true, 5400},    {"5min", true, 300},
      {"12h", true, 43200},    {"30d", true, 2592000}, {"2w", true, 1209600},
      {"1d12h", true, 129600}, {"0s", true, 0},        {"", false, 0},
      {"30", false, 0},        {"d", false, 0},        {"3x", false, 0},
      {"-3d", false, 0},       {"1.5h", false, 0},     {"99999999999d", false, 0},
  };
  for (auto &c : cases) {
    int64_t s = -1;
    EXPECT_EQ(host::parse_duration(c.in, &s), c.ok) << c.in;
    if (c.ok) {
      EXPECT_EQ(s, c.seconds) << c.in;
    }
  }
}

TEST(FormatAge, Steps) {
  const int64_t now = 1800000000;
  EXPECT_EQ(host::format_age(now, now), "0 s ago");
  EXPECT_EQ(host::format_age(now, now + 30), "0 s ago");  // a clock that went back
  EXPECT_EQ(host::format_age(now, now - 59), "59 s ago");
  EXPECT_EQ(host::format_age(now, now - 180), "3 min ago");
  EXPECT_EQ(host::format_age(now, now - 5 * 3600 - 10), "5 h ago");
  EXPECT_EQ(host::format_age(now, now - 59 * 86400), "59 d ago");
  std::string old = host::format_age(now, now - 400 * 86400);
  EXPECT_EQ(old.size(), 10u);
  EXPECT_EQ(old[4], '-');
}

class TerminalCell : public ::testing::Test {
 protected:
  void SetUp() override { setlocale(LC_CTYPE, "C.UTF-8"); }
};

TEST_F(TerminalCell, ControlCharactersNeverReachTheTerminal) {
  EXPECT_EQ(host::terminal_cell("a\nb\tc\x1b[31md\x7f", 40),
            "a\xE2\x86\xB5"
            "b c [31md ");
  // C1 controls (U+0080..U+009F) too.
  EXPECT_EQ(host::terminal_cell("x\xC2\x9By", 40), "x y");
}

TEST_F(TerminalCell, CutsToTheWidthWithAnEllipsis) {
  EXPECT_EQ(host::terminal_cell("hello", 5), "hello");
  EXPECT_EQ(host::terminal_cell("hello!", 5), "hell\xE2\x80\xA6");
  // Wide characters take two columns: the cut never splits one.
  std::string wide = "\xE6\xBC\xA2\xE5\xAD\x97\xE6\xBC\xA2";  // 漢字漢
  EXPECT_EQ(host::terminal_width(wide), 6);
  std::string cut = host::terminal_cell(wide, 5);
  EXPECT_EQ(cut, "\xE6\xBC\xA2\xE5\xAD\x97\xE2\x80\xA6");
  EXPECT_LE(host::terminal_width(cut), 5);
  EXPECT_EQ(host::terminal_cell(wide, 4), "\xE6\xBC\xA2\xE2\x80\xA6");
  EXPECT_EQ(host::terminal_cell("abc", 0), "");
}

TEST(PngSignature, EightBytes) {
  EXPECT_TRUE(host::has_png_signature(std::string("\x89PNG\r\n\x1a\n", 8)));
  EXPECT_TRUE(host::has_png_signature(std::string("\x89PNG\r\n\x1a\nIHDR", 12)));
  EXPECT_FALSE(host::has_png_signature(std::string("\x89PNG\r\n\x1a", 7)));
  EXPECT_FALSE(host::has_png_signature("PNG image"));
}

TEST(FormatBytes, Units) {
  EXPECT_EQ(host::format_bytes(512), "512 B");
  EXPECT_EQ(host::format_bytes(12595), "12.3 KiB");
  EXPECT_EQ(host::format_bytes(1258291), "1.2 MiB");
}

TEST(BinaryKind, SignaturesAndNulBytesAreNotText) {
  using namespace std::string_literals;
  struct Case {
    std::string in;
    const char *kind;  // nullptr: recorded
  } cases[] = {
      {"\xFF\xD8\xFF\xE0\x00\x10JFIF"s, "a JPEG image"},
      {"GIF89a\x01\x00"s, "a GIF image"},
      {"GIF87a"s, "a GIF image"},
      {"RIFF\x24\x00\x00\x00WEBPVP8 "s, "a WebP image"},
      {"%PDF-1.7\n"s, "a PDF document"},
      {"a\0b"s, "binary data (it holds NUL bytes)"},
      {"\xFF\xFE"
       "a\0"s,
       "binary data (it holds NUL bytes)"},  // UTF-16
      // A PNG is recorded as an image, whatever follows its signature.
      {"\x89PNG\r\n\x1a\n\0\0\0\rIHDR"s, nullptr},
      // Text, valid or repairable, is recorded.
      {"plain text", nullptr},
      {"caf\xE9", nullptr},
      {"\xFF\xD8 not quite", nullptr},
      {"RIFF....AVI ", nullptr},
      {"GIF is a format", nullptr},
      {"", nullptr},
  };
  for (auto &c : cases) {
    const char *got = host::binary_kind(c.in);
    if (c.kind == nullptr) {
      EXPECT_EQ(got, nullptr) << c.in;
    } else {
      EXPECT_STREQ(got, c.kind) << c.in;
    }
  }
}

TEST_F(TerminalCell, PickerTextIsOneLineFromTheTextItself) {
  const std::string ell = "\xE2\x80\xA6";  // …
  const std::string ret = "\xE2\x86\xB5";  // ↵
  const std::string han = "\xE6\xBC\xA2";  // 漢, two columns
  struct Case {
    std::string in;
    int width;
    std::string out;
  } cases[] = {
      {"", 10, ""},
      {"one\ntwo", 20, "one" + ret + "two"},
      // CR LF is one line break, and so is a CR alone.
      {"one\r\ntwo\rthree", 20, "one" + ret + "two" + ret + "three"},
      {"\n\nlead", 20, ret + ret + "lead"},
      {"tab\there\x1b[31m", 20, "tab here [31m"},
      {"abcdefghij", 10, "abcdefghij"},
      {"abcdefghijk", 10, "abcdefghi" + ell},
      // Never inside a character, counted in columns.
      {han + han + han, 5, han + han + ell},
      // Far beyond what is looked at: still one cut, with its "…".
      {std::string(5000, 'x'), 10, std::string(9, 'x') + ell},
      // Combining marks take no column: a start that fits still says that
      // the text goes on.
      {std::string(2000, 'a') + "tail", 1000, std::string(999, 'a') + ell},
  };
  for (auto &c : cases) EXPECT_EQ(host::picker_text(c.in, c.width), c.out) << c.in;
  std::string marks;
  for (int i = 0; i < 100; ++i) marks += "e\xCC\x81";  // e and U+0301
  std::string line = host::picker_text(marks + std::string(100, 'z'), 20);
  EXPECT_LE(host::terminal_width(line), 20);
  EXPECT_EQ(line.substr(line.size() - 3), ell) << line;
}

TEST(PreviewText, KeepsLinesAndTabsOnly) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"one\ntwo\tcols\n", "one\ntwo\tcols\n"},
      {"crlf\r\nand cr\rend", "crlf\nand cr\nend"},
      {"esc\x1b[2Jbell\x07"
       "del\x7f",
       "esc [2Jbell del "},
      {"c1\xC2\x9B"
       "31m",
       "c1 31m"},
      {"caf\xE9", "caf\xEF\xBF\xBD"},
      {"\xC2\xA0nbsp", "\xC2\xA0nbsp"},
  };
  for (auto &c : cases) EXPECT_EQ(host::preview_text(c.in), c.out) << c.in;
}

TEST(PngDimensions, FromTheHeaderChunk) {
  using namespace std::string_literals;
  std::string sig = "\x89PNG\r\n\x1a\n"s;
  std::string ihdr = sig + "\0\0\0\rIHDR\0\0\x02\x80\0\0\x01\xe0"s;  // 640x480
  struct Case {
    std::string head;
    bool ok;
    uint32_t w, h;
  } cases[] = {
      {ihdr, true, 640, 480},
      {ihdr + "\x08\x06\0\0\0"s, true, 640, 480},
      {sig + "\0\0\0\rIHDR\xff\xff\xff\xff\0\0\0\x01"s, true, 4294967295u, 1},
      {ihdr.substr(0, 23), false, 0, 0},
      {sig + "\0\0\0\rIDAT\0\0\x02\x80\0\0\x01\xe0"s, false, 0, 0},
      {"\x88PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\x02\x80\0\0\x01\xe0"s, false, 0, 0},
      {sig + "\0\0\0\rIHDR\0\0\0\0\0\0\x01\xe0"s, false, 0, 0},
  };
  for (auto &c : cases) {
    uint32_t w = 0, h = 0;
    EXPECT_EQ(host::png_dimensions(c.head, &w, &h), c.ok) << c.head.size();
    if (c.ok) {
      EXPECT_EQ(w, c.w);
      EXPECT_EQ(h, c.h);
    }
  }
}

TEST_F(TerminalCell, ImageLineHasSizeBytesAndLabel) {
  EXPECT_EQ(host::image_line(640, 480, 12595, "login page"),
            "[image 640x480, 12.3 KiB: login page]");
  EXPECT_EQ(host::image_line(1, 1, 67, ""), "[image 1x1, 67 B]");
  EXPECT_EQ(host::image_line(0, 0, 14, "shot"), "[image 14 B: shot]");
  // A label cannot break the line or steer a terminal.
  EXPECT_EQ(host::image_line(2, 3, 10, "a\nb\x1b"),
            "[image 2x3, 10 B: a\xE2\x86\xB5"
            "b ]");
}

TEST(CaseFolder, FoldsUnicodeLettersLikeTheLibraryDoesWholeStrings) {
  host::CaseFolder folder;
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"Hello World 123", "hello world 123"},
      {"M\xC3\x9C"
       "NCHEN",
       "m\xC3\xBC"
       "nchen"},  // MÜNCHEN
      {"\xCE\x95\xCE\x9B\xCE\x9B\xCE\x97\xCE\x9D\xCE\x99\xCE\x9A\xCE\x86",
       "\xCE\xB5\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC"},  // ΕΛΛΗΝΙΚΆ
      {"Stra\xC3\x9F"
       "e",
       "strasse"},                               // full folding
      {"\xCF\x82\xCE\xA3", "\xCF\x83\xCF\x83"},  // ς and Σ: σ
      {"\xE2\x84\xAA"
       "elvin",
       "kelvin"},  // KELVIN SIGN
      {"\xE6\xBC\xA2"
       "A",
       "\xE6\xBC\xA2"
       "a"},                                     // no case
      {"bad \xFF\xC3 end", "bad \xFF\xC3 end"},  // kept as is
  };
  std::string got;
  // Twice: the second time from what the folder remembers.
  for (int round = 0; round < 2; ++round) {
    for (auto &c : cases) {
      folder.fold(c.in, &got);
      EXPECT_EQ(got, c.out) << c.in;
    }
  }
}

TEST(SplitWords, AtRunsOfUnicodeWhiteSpace) {
  using V = std::vector<std::string>;
  EXPECT_EQ(host::split_words(""), V{});
  EXPECT_EQ(host::split_words(" \t\n "), V{});
  EXPECT_EQ(host::split_words("  quick  brown\tfox\n"), (V{"quick", "brown", "fox"}));
  // NO-BREAK SPACE and IDEOGRAPHIC SPACE part words too.
  EXPECT_EQ(host::split_words("a\xC2\xA0"
                              "b\xE3\x80\x80"
                              "c"),
            (V{"a", "b", "c"}));
  EXPECT_EQ(host::split_words("M\xC3\xBCnchen"), V{"M\xC3\xBCnchen"});
}

TEST(IsBlankText, OnlyWhiteSpace) {
  for (const char *s : {"", " ", "\n\n", " \t\r\n\v\f", "\xC2\xA0", "\xE3\x80\x80\n"})
    EXPECT_TRUE(host::is_blank_text(s)) << s;
  for (const char *s : {"a", " .", "\n\xE2\x80\x8B", "\xFF", "\t_\t"})
    EXPECT_FALSE(host::is_blank_text(s)) << s;
}

TEST(ScoreWords, EveryWordInAnyOrder) {
  host::CaseFolder folder;
  std::string t500(500, '.');
  struct Case {
    std::string text, query;
    bool matched;
    int score;
  } cases[] = {
      // One word scores as the library does.
      {"Hello World", "World", true, 1494},
      {"Hello World", "world", true, 100},
      {"Hello World", "planet", false, 0},
      {"abc", "abc", true, 1500},
      {t500 + "abc", "abc", true, 1000},
      {"ABC" + t500 + "abc", "abc", true, 1000},
      // Several words: each must occur, in any order; the scores add up.
      {"The quick brown fox", "fox quick", true, (1500 - 16) + (1500 - 4)},
      {"The quick brown fox", "FOX QUICK brown", true, 100 + 100 + (1500 - 10)},
      {"The quick brown fox", "quick cat", false, 0},
      {"quick", "quick quick", true, 3000},
      // Unicode letters are folded.
      {"wir sehen uns in m\xC3\xBCnchen", "M\xC3\x9CNCHEN", true, 100},
      {"\xCE\xB5\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC",
       "\xCE\x95\xCE\x9B\xCE\x9B\xCE\x97\xCE\x9D\xCE\x99\xCE\x9A\xCE\x86", true, 100},
      {"Stra\xC3\x9F"
       "e 5",
       "STRASSE", true, 100},
      // No words: everything matches, with score 0.
      {"anything", "  ", true, 0},
  };
  for (auto &c : cases) {
    std::vector<std::string> words = host::split_words(c.query), folded(words.size());
    for (size_t i = 0; i < words.size(); ++i) folder.fold(words[i], &folded[i]);
    std::string folded_text;
    folder.fold(c.text, &folded_text);
    bool matched = false;
    int score = host::score_words(c.text, folded_text, words, folded, &matched);
    EXPECT_EQ(matched, c.matched) << c.query;
    EXPECT_EQ(score, c.score) << c.query;
  }
}

TEST(Utf8Cut, NeverSplitsACharacter) {
  std::string s =
      "ab\xE2\x9C\x93"
      "c";  // ab✓c
  EXPECT_EQ(host::utf8_cut(s, 10), 6u);
  EXPECT_EQ(host::utf8_cut(s, 5), 5u);
  EXPECT_EQ(host::utf8_cut(s, 4), 2u);
  EXPECT_EQ(host::utf8_cut(s, 3), 2u);
  EXPECT_EQ(host::utf8_cut(s, 0), 0u);
}

TEST(LabelFromText, OneLineCutBetweenCharacters) {
  struct Case {
    std::string in;
    size_t max;
    std::string out;
  } cases[] = {
      {"https://example.org/cat.png", 256, "https://example.org/cat.png"},
      {"  two\n\tlines \r\n here  ", 256, "two lines here"},
      {"bell\x07 esc\x1b[1m c1\xC2\x9B x", 256, "bell esc [1m c1 x"},
      {"caf\xE9", 256, "caf\xEF\xBF\xBD"},
      {"abcdefghij", 8, "abcde\xE2\x80\xA6"},
      {"abcd efghij", 8, "abcd\xE2\x80\xA6"},
      // Never inside a character: 漢 is three bytes.
      {"\xE6\xBC\xA2\xE6\xBC\xA2\xE6\xBC\xA2", 8, "\xE6\xBC\xA2\xE2\x80\xA6"},
      {"\n\t ", 256, ""},
  };
  for (auto &c : cases) EXPECT_EQ(host::label_from_text(c.in, c.max), c.out) << c.in;
}

TEST(GrowsFrom, AtEitherEndOnly) {
  struct Case {
    const char *prev;
    const char *next;
    bool grows;
  } cases[] = {
      {"quick", "quick brown", true},
      {"brown", "quick brown", true},
      {"quick", "quick", false},
      {"quick brown", "quick", false},
      {"row", "quick brown fox", false},
      {"", "anything", false},
      {"fox", "fox", false},
  };
  for (auto &c : cases)
    EXPECT_EQ(host::grows_from(c.prev, c.next), c.grows) << c.prev << " -> " << c.next;
}

}  // namespace
