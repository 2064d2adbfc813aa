// The content functions: the fingerprint against published and hand-checked
// values, the text preview, and the UTF-8 check, cut and one-pass measure
// against malformed input placed at every alignment of the vector path.
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "clip_fault.h"
#include "clip_hash.h"
#include "clip_store.h"
#include "clip_utf8.h"
#include "test_support.h"

namespace {

std::string text_hash_of(const char *text, size_t len) {
  char out[CLIP_HASH_CHARS];
  clip_hash_text(text, len, out);
  return out;
}

bool valid(const std::string &s) { return clip_utf8_valid(s.data(), s.size()); }

std::string preview_of(const std::string &text) {
  char *p = clip_store_make_preview(text.data(), text.size());
  EXPECT_NE(p, nullptr);
  std::string out = p != nullptr ? p : "";
  free(p);
  return out;
}

// A well-formedness check written the other way round from the library's:
// decode the code point from the bit patterns, then reject what Unicode
// forbids (overlong forms, surrogates, values above U+10FFFF).
bool reference_valid(const std::string &str) {
  const auto *s = reinterpret_cast<const unsigned char *>(str.data());
  size_t n = str.size(), i = 0;
  while (i < n) {
    unsigned c = s[i];
    size_t len;
    unsigned cp, min;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

struct Utf8Case {
  const char *name;
  std::string bytes;
  bool valid;
};

const std::vector<Utf8Case> &utf8_cases() {
  static const std::vector<Utf8Case> cases = {
      {"NUL inside the length", std::string("a\0b", 3), true},
      {"U+0080, first C1 control", "\xC2\x80", true},
      {"U+009F, last C1 control", "\xC2\x9F", true},
      {"U+07FF, last 2-byte", "\xDF\xBF", true},
      {"U+0800, first 3-byte", "\xE0\xA0\x80", true},
      {"U+D7FF, before the surrogates", "\xED\x9F\xBF", true},
      {"U+E000, after the surrogates", "\xEE\x80\x80", true},
      {"U+FFFE, a noncharacter", "\xEF\xBF\xBE", true},
      {"U+10000, first 4-byte", "\xF0\x90\x80\x80", true},
      {"U+10FFFF, the last code point", "\xF4\x8F\xBF\xBF", true},
      {"e acute, euro, emoji", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},
      {"stray continuation 0x80", "\x80", false},
      {"stray continuation 0xBF", "\xBF", false},
      {"continuation after a whole character", "\xC3\xA9\xA9", false},
      {"overlong NUL C0 80", "\xC0\x80", false},
      {"overlong C1 BF", "\xC1\xBF", false},
      {"overlong 3-byte E0 80 80", "\xE0\x80\x80", false},
      {"overlong 3-byte E0 9F BF", "\xE0\x9F\xBF", false},
      {"overlong 4-byte F0 80 80 80", "\xF0\x80\x80\x80", false},
      {"overlong 4-byte F0 8F BF BF", "\xF0\x8F\xBF\xBF", false},
      {"lone high surrogate ED A0 80", "\xED\xA0\x80", false},
      {"lone low surrogate ED BF BF", "\xED\xBF\xBF", false},
      {"surrogate pair as CESU-8", "\xED\xA0\xBD\xED\xB8\x80", false},
      {"U+110000, above the last code point", "\xF4\x90\x80\x80", false},
      {"F5 lead", "\xF5\x80\x80\x80", false},
      {"F7 lead", "\xF7\xBF\xBF\xBF", false},
      {"5-byte form F8", "\xF8\x88\x80\x80\x80", false},
      {"6-byte form FC", "\xFC\x84\x80\x80\x80\x80", false},
      {"FE", "\xFE", false},
      {"FF", "\xFF", false},
      {"2-byte cut short at the end", "\xC3", false},
      {"3-byte cut short at the end", "\xE2\x82", false},
      {"4-byte cut short at the end", "\xF0\x9F\x98", false},
      {"2-byte cut short by ASCII", "\xC3(", false},
      {"3-byte cut short by ASCII", "\xE2\x82(", false},
      {"4-byte cut short by ASCII", "\xF0\x9F\x98(", false},
      {"3-byte with a bad second byte", "\xE2(\xA1", false},
      {"a lead after a lead", "\xC3\xC3\xA9", false},
  };
  return cases;
}

}  // namespace

TEST(Fingerprint, KnownValues) {
  struct Case {
    std::string bytes;
    const char *hash;
  };
  const Case cases[] = {
      {"", "cbf29ce484222325"},
      {"a", "af63dc4c8601ec8c"},
      {"abc", "e71fa2190541574b"},
      {"foobar", "85944171f73967e8"},
      // Leading zeros are written.
      {"baa", "0039231913392937"},
      {"\xC3\xA9", "0ac21707b7181e01"},
      // Bytes from 0x80 up count 128 to 255; sign-extended they would give
      // 509c0cb379fdec5f and 509c41b379fe466e.
      {"\x80", "af643d4c8602915f"},
      {"\xFF", "af64724c8602eb6e"},
      // A NUL inside the length is a byte like any other.
      {std::string("\0", 1), "af63bd4c8601b7df"},
      {std::string("a\0", 2), "089be207b544f1e4"},
      {std::string("a\0b", 3), "e5d29919042666b2"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(hash_of(c.bytes), c.hash);
    EXPECT_EQ(text_hash_of(c.bytes.data(), c.bytes.size()), c.hash);
  }
  // A null text is the empty text, whatever the length says.
  EXPECT_EQ(text_hash_of(nullptr, 5), "cbf29ce484222325");
}

TEST(Preview, Table) {
  const std::string x117(117, 'x');
  struct Case {
    std::string name;
    std::string text;
    std::string preview;
  };
  std::vector<Case> cases = {
      {"empty", "", ""},
      {"tabs and line breaks become spaces", "a\r\nb\tc", "a  b c"},
      {"other control bytes stay", "\x0B\x0C\x01\x7F x", "\x0B\x0C\x01\x7F x"},
      {"spaces are neither merged nor trimmed", "  a  \n", "  a   "},
      {"120 bytes kept whole", std::string(120, 'x'), std::string(120, 'x')},
      {"121 bytes cut to 117 and ...", std::string(121, 'x'), x117 + "..."},
      {"line breaks past the cut are never looked at",
       x117 + std::string(CLIP_TEXT_CAP - 117, '\n'), x117 + "..."},
      {"line breaks before the cut become spaces", "\t" + std::string(200, 'x'),
       " " + std::string(116, 'x') + "..."},
      {"a 3-byte character ending at byte 120 is kept",
       std::string(117, 'x') + "\xE2\x82\xAC", std::string(117, 'x') + "\xE2\x82\xAC"},
  };
  // A character around the cut at byte 117 is kept only when it ends there.
  const char *chars[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  for (const char *ch : chars) {
    size_t len = strlen(ch);
    for (size_t start = 117 - len; start <= 117; ++start) {
      std::string text = std::string(start, 'x') + ch + std::string(200, 'y');
      size_t keep = start + len <= 117 ? 117 : start;
      cases.push_back({"character at byte " + std::to_string(start) + " of " +
                               std::to_string(len),
                       text, text.substr(0, keep) + "..."});
    }
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string p = preview_of(c.text);
    EXPECT_EQ(p, c.preview);
    EXPECT_LE(p.size(), 120u);
    EXPECT_TRUE(valid(p));
  }
}

TEST(Preview, NullWhenItCannotBeAllocated) {
  clip_fault_reset();
  clip_fault_arm(CLIP_FAULT_ALLOC, 1);
  EXPECT_EQ(clip_store_make_preview("abc", 3), nullptr);
  EXPECT_TRUE(clip_fault_fired());
  clip_fault_reset();
}

// Each sequence, alone and inside ASCII or multi-byte text, at every offset
// of the 16-byte vectors and the 64-byte rounds, and with tails that end the
// buffer inside a vector or on its boundary.
TEST(Utf8Valid, MalformedInputAtEveryAlignment) {
  const std::string leads[] = {"", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x80"};
  for (const Utf8Case &c : utf8_cases()) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(reference_valid(c.bytes), c.valid);
    EXPECT_EQ(valid(c.bytes), c.valid);
    for (const std::string &lead : leads) {
      for (size_t offset = 0; offset <= 80; ++offset) {
        for (size_t tail : {0, 1, 15, 16, 63, 64}) {
          std::string s = std::string(offset, 'x') + lead + c.bytes + std::string(tail, 'y');
          ASSERT_EQ(valid(s), c.valid) << "offset " << offset << " tail " << tail;
        }
      }
    }
  }
}

// Every first and second byte, completed with continuation bytes to the
// length the first byte asks for, checked against the reference decoder,
// with the first byte at the start of a vector and as its last byte.
TEST(Utf8Valid, EveryLeadAndSecondByteAgreesWithADecoder) {
  for (unsigned lead = 0; lead < 256; ++lead) {
    for (unsigned second = 0; second < 256; ++second) {
      std::string seq = {static_cast<char>(lead), static_cast<char>(second)};
      size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
      while (seq.size() < want) seq += '\x80';
      for (size_t offset : {0, 15, 63}) {
        std::string s = std::string(offset, 'x') + seq + "z";
        ASSERT_EQ(valid(s), reference_valid(s)) << std::hex << lead << " " << second;
      }
    }
  }
}

TEST(Utf8Valid, OnlyTheBytesWithinTheLengthCount) {
  EXPECT_TRUE(clip_utf8_valid("a\xFF", 1));
  EXPECT_FALSE(clip_utf8_valid("\xC3\xA9", 1));
  EXPECT_TRUE(clip_utf8_valid("", 0));
  EXPECT_TRUE(clip_utf8_valid(nullptr, 0));
}

TEST(Utf8Cut, BacksUpToTheStartOfASplitCharacterOnly) {
  constexpr size_t kLimit = 8;
  struct Case {
    std::string name;
    std::string s;
    size_t limit, cut;
  };
  std::vector<Case> cases = {
      {"limit 0", "\x80\x80", 0, 0},
      {"ASCII", std::string(kLimit + 1, 'a'), kLimit, kLimit},
      // Past the limit the text may be anything; the cut still falls only
      // where a character of the kept bytes would be split.
      {"stray continuation after a 4-byte character",
       "ab\xF0\x9F\x98\x80\xC3\xA9\x80\x80", kLimit, kLimit},
      {"stray continuations after ASCII", std::string(kLimit, 'a') + "\x80\x80\x80",
       kLimit, kLimit},
      {"a lead that starts no character", "abcdefg\xF8\x80", kLimit, kLimit},
  };
  const char *chars[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  for (const char *ch : chars) {
    size_t len = strlen(ch);
    for (size_t start = kLimit - len; start <= kLimit; ++start) {
      std::string s = std::string(start, 'a') + ch + "zzzz";
      size_t cut = start < kLimit && start + len > kLimit ? start : kLimit;
      cases.push_back({std::to_string(len) + "-byte character at " + std::to_string(start),
                       s, kLimit, cut});
    }
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(clip_utf8_cut(c.s.c_str(), c.limit), c.cut);
  }
}

// The one-pass measure agrees with measuring, cutting and checking in turn,
// for characters and malformed sequences around the chunk boundaries and the
// limit, and texts that end before, at and after the limit.
TEST(Utf8Span, AgreesWithMeasureCutAndCheck) {
  constexpr size_t kChunk = CLIP_UTF8_SCAN_CHUNK;
  constexpr size_t kLimit = 2 * kChunk + 5;
  const std::string seqs[] = {"\xC3\xA9",        "\xE2\x82\xAC",     "\xF0\x9F\x98\x80",
                              "\xE2\x82",        "\x80",             "\xED\xA0\x80",
                              "\xF4\x90\x80\x80", "\xF0\x9F\x98\x80\x80"};
  std::vector<size_t> starts;
  for (size_t edge : {kChunk, 2 * kChunk, kLimit}) {
    for (size_t s = edge - 4; s <= edge + 1; ++s) starts.push_back(s);
  }
  for (const std::string &seq : seqs) {
    for (size_t start : starts) {
      for (size_t len : {start + seq.size(), start + seq.size() + 1, kLimit, kLimit + 1,
                         kLimit + 300}) {
        // The text ends at len, which may cut the sequence short.
        std::string text(std::max(len, start + seq.size()), 'x');
        text.replace(start, seq.size(), seq);
        text.resize(len);
        size_t measured = strnlen(text.c_str(), kLimit + 1);
        bool truncated = measured > kLimit;
        size_t kept = truncated ? clip_utf8_cut(text.c_str(), kLimit) : measured;
        bool ok = clip_utf8_valid(text.c_str(), kept);

        clip_text_span span = clip_utf8_span(text.c_str(), kLimit);
        ASSERT_EQ(span.valid, ok) << testing::PrintToString(seq) << " at " << start
                                  << ", length " << len;
        if (ok) {
          ASSERT_EQ(span.len, kept) << start << " " << len;
          ASSERT_EQ(span.truncated, truncated) << start << " " << len;
        }
      }
    }
  }
}

// Reads at most limit + 1 bytes: run under AddressSanitizer, a read past
// these exact-size buffers is an error.
TEST(Utf8Span, ReadsNoFurtherThanTheByteAfterTheLimit) {
  constexpr size_t kLimit = 3 * CLIP_UTF8_SCAN_CHUNK + 7;
  std::vector<char> longer(kLimit + 1, 'a');
  clip_text_span span = clip_utf8_span(longer.data(), kLimit);
  EXPECT_TRUE(span.valid);
  EXPECT_TRUE(span.truncated);
  EXPECT_EQ(span.len, kLimit);

  std::vector<char> exact(kLimit + 1, 'a');
  exact[kLimit] = '\0';
  span = clip_utf8_span(exact.data(), kLimit);
  EXPECT_TRUE(span.valid);
  EXPECT_FALSE(span.truncated);
  EXPECT_EQ(span.len, kLimit);

  span = clip_utf8_span("", 0);
  EXPECT_TRUE(span.valid);
  EXPECT_FALSE(span.truncated);
  EXPECT_EQ(span.len, 0u);
}
