// The text search: every scanner of the matcher against the plain folded
// comparison and strstr on random and pathological texts, then clip_search as
// the host sees it: scores, order, limits, the result byte for byte, and
// every way it fails, each leaving the history and its files as they were.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <yyjson.h>

#include "clip_fault.h"
#include "clip_match.h"
#include "clip_search.h"
#include "clip_store.h"
#include "quillmar_clip.h"
#include "reference_match.h"
#include "test_support.h"

namespace {

constexpr clip_scan kScans[] = {CLIP_SCAN_BEST, CLIP_SCAN_PORTABLE, CLIP_SCAN_SSE2,
                                CLIP_SCAN_AVX2, CLIP_SCAN_AVX512, CLIP_SCAN_TWOWAY};

const char *scan_name(clip_scan scan) {
  switch (scan) {
    case CLIP_SCAN_BEST: return "best";
    case CLIP_SCAN_PORTABLE: return "portable";
    case CLIP_SCAN_SSE2: return "sse2";
    case CLIP_SCAN_AVX2: return "avx2";
    case CLIP_SCAN_AVX512: return "avx512";
    case CLIP_SCAN_TWOWAY: return "two-way";
  }
  return "?";
}

char fold_for_test(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c; }

// Printable form of a short string for failure messages.
std::string shown(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size() && i < 200; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  if (s.size() > 200) out += "...(" + std::to_string(s.size()) + " bytes)";
  return out;
}

// Scores the text with every scanner this processor runs, each reading from
// heap blocks of exactly the text's and the query's size (no terminator), so
// that a read past either end is an error under AddressSanitizer; fails the
// test for any scanner that disagrees with `want`.
void expect_all_scans(const std::string &text, const std::string &query, int want) {
  std::unique_ptr<char[]> tp(new char[text.size()]);
  std::unique_ptr<char[]> qp(new char[query.size()]);
  memcpy(tp.get(), text.data(), text.size());
  memcpy(qp.get(), query.data(), query.size());
  for (clip_scan scan : kScans) {
    if (!clip_match_scan_available(scan)) continue;
    int got = clip_match_score_with(scan, tp.get(), text.size(), qp.get(), query.size());
    ASSERT_EQ(got, want) << scan_name(scan) << " scanner\n  text  (" << text.size()
                         << " bytes): " << shown(text) << "\n  query (" << query.size()
                         << " bytes): " << shown(query);
  }
}

// Random texts and queries over an alphabet, with occurrences of the query
// (in its own case or another) planted where the scanners change gear.
class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  std::string random(const std::string &alphabet, size_t n) {
    std::string s(n, '\0');
    for (char &c : s) c = alphabet[below(alphabet.size())];
    return s;
  }

  // Some letters of s in the other case.
  std::string recase(std::string s) {
    for (char &c : s) {
      unsigned char u = static_cast<unsigned char>(c);
      if (below(3) == 0 && ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z'))) c ^= 0x20;
    }
    return s;
  }

  // A start position for a query of qlen bytes in a text of len bytes:
  // mostly next to a vector width, the score's 500-byte edge or the end.
  size_t place(size_t len, size_t qlen) {
    static const size_t kSpots[] = {0,  1,  15, 16, 17,  31,  32,  33,  47,  63,
                                    64, 65, 95, 96, 127, 128, 498, 499, 500, 501};
    size_t last = len - qlen;
    switch (below(4)) {
      case 0: return last;
      case 1: return below(last + 1);
      default: {
        size_t spot = kSpots[below(sizeof kSpots / sizeof kSpots[0])];
        return spot <= last ? spot : last;
      }
    }
  }

 private:
  std::mt19937 rng_;
};

// ---------------------------------------------------------------------------
// The matcher

TEST(SearchMatcher, EveryScannerAgreesWithThePlainReference) {
  // Letters on both sides of A-Z and a-z, bytes from 0x80 up (the Latin-1
  // and UTF-8 forms of letters that must not fold), and small alphabets
  // whose texts are full of near misses.
  const std::string alphabets[] = {
      "aAbB@[`{zZ \x80\xc3\xa4\xc4\xe4\xff",
      "aA",
      "aAb",
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ .,\n",
  };
  const size_t lengths[] = {0, 1, 7, 40, 130, 600, 1100, 4000};
  Generator g(20240917);
  for (int round = 0; round < 3000; ++round) {
    const std::string &abc = alphabets[g.below(4)];
    size_t len = lengths[g.below(8)];
    len = len + g.below(len / 4 + 2);
    std::string text = g.random(abc, len);
    std::string query;
    switch (g.below(5)) {
      case 0:  // a query that may or may not be there
        query = g.random(abc, g.below(6));
        break;
      case 1:  // longer than the text
        query = g.random(abc, len + 1 + g.below(3));
        break;
      default: {  // planted, with its case intact or not, maybe twice
        query = g.random(abc, 1 + g.below(g.below(4) == 0 ? 120 : 12));
        if (query.size() > len) break;
        text.replace(g.place(len, query.size()), query.size(), g.recase(query));
        if (g.below(2) == 0) text.replace(g.place(len, query.size()), query.size(), query);
        break;
      }
    }
    int want = reference_score(text.c_str(), query.c_str());
    expect_all_scans(text, query, want);
    if (HasFatalFailure()) return;
  }
}

// Texts where nearly every position is a candidate: the scanners must still
// answer right when they hand over to the linear-time search part way.
TEST(SearchMatcher, PeriodicTextsAgreeWithThePlainReference) {
  Generator g(7);
  const std::string units[] = {"a", "aA", "ab", "aab", "abA", "aaaaaaaB"};
  for (int round = 0; round < 40; ++round) {
    const std::string &unit = units[g.below(6)];
    std::string text;
    while (text.size() < 20000 + g.below(20000)) text += g.recase(unit);
    std::string query;
    while (query.size() < 8 + g.below(100)) query += unit;
    // A twist at the start, in the middle or at the end, sometimes none.
    if (g.below(4) != 0) query[g.below(query.size())] ^= static_cast<char>(g.below(2) ? 0x20 : 0x03);
    if (g.below(3) == 0) {
      text.replace(g.place(text.size(), query.size()), query.size(), g.recase(query));
    }
    if (g.below(3) == 0) text.replace(g.place(text.size(), query.size()), query.size(), query);
    int want = reference_score(text.c_str(), query.c_str());
    expect_all_scans(text, query, want);
    if (HasFatalFailure()) return;
  }
}

// A query that agrees with the text at every byte but one, for every byte and
// for lengths around the 16-byte blocks the comparison works in: changed to
// the other case it still matches folded (score 100); changed to another
// letter it does not match at all.
TEST(SearchMatcher, NearMissesAtEveryByteOfTheQuery) {
  Generator g(11);
  const std::string abc = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (size_t qlen : {1, 2, 3, 15, 16, 17, 31, 32, 33, 47, 64, 100}) {
    std::string query = g.random(abc, qlen);
    for (size_t i = 0; i < qlen; ++i) {
      for (bool recase : {true, false}) {
        std::string miss = query;
        char lower = fold_for_test(miss[i]);
        miss[i] = static_cast<char>(recase ? miss[i] ^ 0x20 : lower == 'z' ? 'y' : lower + 1);
        // Short texts (the comparison may not read 16 bytes past the
        // candidate) and long ones, the near miss at a random place.
        for (size_t len : {qlen, qlen + 5, qlen + 300}) {
          std::string text = g.random("0123456789 ", len);
          text.replace(g.place(len, qlen), qlen, miss);
          SCOPED_TRACE(std::to_string(qlen) + " bytes, byte " + std::to_string(i));
          expect_all_scans(text, query, recase ? 100 : -1);
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

// A text and query with a common period, where every other position is a
// candidate that fails only after 41 bytes: the scanners hand over to two-way
// early on, and must find the one occurrence wherever it sits, before or
// after the hand-over, folded (after a case-only copy of the query at 0)
// and exact.
TEST(SearchMatcher, OccurrenceFoundAcrossTheHandOverToTwoWay) {
  std::string base;
  while (base.size() < 4000) base += "ab";
  std::string query;
  while (query.size() < 40) query += "ab";
  query += "ba";  // the only "bb": an occurrence must line up with it
  std::string upper = query;
  for (char &c : upper) c = static_cast<char>(c - 0x20);
  std::vector<size_t> places;
  for (size_t p = 0; p < 800; ++p) places.push_back(p);
  for (size_t p : {1500, 2500, 4000 - 42}) places.push_back(p);
  for (size_t p : places) {
    SCOPED_TRACE(p);
    std::string text = base;
    text.replace(p, query.size(), upper);
    expect_all_scans(text, query, 100);
    if (p >= query.size()) {
      text = base;
      text.replace(0, upper.size(), upper);
      text.replace(p, query.size(), query);
      expect_all_scans(text, query, p < 500 ? 1500 - static_cast<int>(p) : 1000);
    }
    if (HasFatalFailure()) return;
  }
}

// A long text is scanned as four stretches of start positions in turn (the
// first three each n / 4 rounded down to a multiple of 1024): occurrences,
// folded and exact, one or several, on either side of where one stretch ends
// and the next begins, in plain and in periodic texts (where a stretch hands
// over to two-way).
TEST(SearchMatcher, LongTextsFindTheFirstOccurrenceWhicheverStretchHoldsIt) {
  Generator g(5);
  const std::string letters = "abcdefghijklmnopqrstuvwxyz ";
  std::string periodic_query;
  while (periodic_query.size() < 40) periodic_query += "ab";
  periodic_query += "ba";
  for (int round = 0; round < 60; ++round) {
    const bool periodic = round % 6 == 0;
    const size_t len = 65536 + g.below(200000);
    std::string text;
    std::string query;
    if (periodic) {
      while (text.size() < len) text += "ab";
      text.resize(len);
      query = periodic_query;
    } else {
      text = g.random(letters, len);
      // Long enough in the first rounds not to occur by chance.
      query = g.random(letters, round < 6 ? 24 : 1 + g.below(g.below(2) ? 6 : 40));
    }
    const size_t qlen = query.size();
    const size_t part = (len - qlen + 1) / 4 / 1024 * 1024;
    // First, copies that open two of the upper stretches, the lowest one
    // holding none: the lower copy, with its case intact, must be the one
    // found, or the exact search would start after it and score 100.
    if (round < 6) {
      const size_t pairs[][2] = {{1, 2}, {2, 3}, {1, 3}};
      std::string upper = query;
      for (char &c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c;
      text.replace(pairs[round % 3][0] * part, qlen, query);
      text.replace(pairs[round % 3][1] * part, qlen, upper);
    }
    for (size_t copies = round < 6 ? 0 : 1 + g.below(3); copies > 0; --copies) {
      size_t at;
      if (g.below(3) == 0) {
        at = g.below(len - qlen + 1);
      } else {
        const long deltas[] = {-static_cast<long>(qlen), -1, 0, 1};
        long edge = static_cast<long>((1 + g.below(3)) * part) + deltas[g.below(4)];
        at = static_cast<size_t>(std::max(0L, edge));
      }
      text.replace(at, qlen, g.below(2) ? query : g.recase(query));
    }
    SCOPED_TRACE(round);
    int want = reference_score(text.c_str(), query.c_str());
    expect_all_scans(text, query, want);
    if (HasFatalFailure()) return;
  }
}

// Whole-size worst cases, answered by hand (the plain reference would take
// too long under the sanitizers).
TEST(SearchMatcher, PathologicalMegabyteTexts) {
  const size_t n = CLIP_TEXT_CAP;
  const std::string as(n, 'a');
  const std::string big_a(n, 'A');
  std::string ab;
  while (ab.size() < n) ab += "ab";
  const std::string a_then_b = std::string(n - 1, 'a') + "B";
  const std::string a99 = std::string(99, 'A');
  struct Case {
    const char *what;
    const std::string *text;
    std::string query;
    int want;
  } cases[] = {
      {"a run against A...Ab", &as, a99 + "b", -1},
      {"a run against A...AB at its end", &a_then_b, a99 + "b", 100},
      {"a run against a...aB at its end", &a_then_b, std::string(99, 'a') + "B", 1000},
      {"a run against its own prefix", &as, std::string(1000, 'a'), 1500},
      {"A run against a...aA", &big_a, std::string(99, 'a') + "A", 100},
      {"ab repeated against AB...ABx", &ab, std::string("AB") + std::string(98, 'a') + "x", -1},
      {"ab repeated against abab...a with a twist", &ab,
       [] { std::string q; while (q.size() < 100) q += "ab"; q[60] = 'b'; return q; }(), -1},
      {"ab repeated against ba...", &ab, "babababa", 1499},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    expect_all_scans(*c.text, c.query, c.want);
  }
}

// ---------------------------------------------------------------------------
// clip_search

// One clip as a test means it.
struct Clip {
  int id;
  bool image;
  std::string preview;
  bool pinned;
  std::string content;  // the text, or the label of an image
};

class SearchTest : public StoreTest {
 protected:
  // Replaces the history with `clips` and opens the store again.
  void load(const std::vector<Clip> &clips) {
    std::vector<model::Clip> seeded;
    int next = 1;
    for (const Clip &c : clips) {
      model::Clip m = c.image
                          ? image_clip(c.id, png_of(c.id), c.content.c_str(), c.pinned)
                          : text_clip(c.id, c.content, c.pinned);
      m.preview = c.preview;
      seeded.push_back(m);
      next = std::max(next, c.id + 1);
    }
    seed(seeded, next);
    ASSERT_EQ(g_store.count, static_cast<int>(clips.size()));
  }

  // Text clips with ids 1..n, their preview the text itself.
  void load_texts(const std::vector<std::string> &texts, const std::vector<int> &pinned = {}) {
    std::vector<Clip> clips;
    for (size_t i = 0; i < texts.size(); ++i) {
      int id = static_cast<int>(i) + 1;
      bool pin = std::find(pinned.begin(), pinned.end(), id) != pinned.end();
      clips.push_back({id, false, texts[i].substr(0, 120), pin, texts[i]});
    }
    load(clips);
  }

  std::string search(const char *query, int limit = 0) {
    std::string out = take(clip_search(query, limit));
    EXPECT_EQ(last_error(), "") << query;
    return out;
  }

  // (id, score) of every hit, in result order.
  std::vector<std::pair<int, int>> hits(const char *query, int limit = 0) {
    std::string json = search(query, limit);
    std::vector<std::pair<int, int>> out;
    for_each_in_array(json, [&](yyjson_val *obj) {
      out.emplace_back(static_cast<int>(yyjson_get_int(yyjson_obj_get(obj, "id"))),
                       static_cast<int>(yyjson_get_int(yyjson_obj_get(obj, "score"))));
    });
    return out;
  }
};

using Hits = std::vector<std::pair<int, int>>;

TEST_F(SearchTest, ScoresFollowTheFirstOccurrenceWithItsCaseIntact) {
  // A text of len dots with the given strings at the given places.
  auto dots = [](size_t len, std::vector<std::pair<size_t, std::string>> parts) {
    std::string s(len, '.');
    for (const auto &[pos, what] : parts) s.replace(pos, what.size(), what);
    return s;
  };
  struct Case {
    const char *what;
    std::string text;
    const char *query;
    int want;  // -1: no hit
  } cases[] = {
      {"exact at 6", "Hello World", "World", 1494},
      {"only folded", "Hello World", "world", 100},
      {"absent", "Hello World", "planet", -1},
      {"empty query", "Hello World", "", 0},
      {"exact at 0", dots(1000, {{0, "needle"}}), "needle", 1500},
      {"exact at 499", dots(1000, {{499, "needle"}}), "needle", 1001},
      {"exact at 500", dots(1000, {{500, "needle"}}), "needle", 1000},
      {"exact at 700", dots(1000, {{700, "needle"}}), "needle", 1000},
      {"folded at 3, exact at 700", dots(1000, {{3, "NEEDLE"}, {700, "needle"}}), "needle", 1000},
      {"folded at 3, exact at 400", dots(1000, {{3, "Needle"}, {400, "needle"}}), "needle", 1100},
      {"a finds A", "AAA", "a", 100},
      {"A finds a", "aaa", "A", 100},
      {"\xc3\xa4 does not find \xc3\x84", "\xc3\x84pfel", "\xc3\xa4", -1},
      {"\xc3\x84 does not find \xc3\xa4", "\xc3\xa4pfel", "\xc3\x84", -1},
      {"@ is not `", "a`b", "@", -1},
      {"[ is not {", "a{b", "[", -1},
      {"` is not @", "a@b", "`", -1},
      {"Z folds to z", "zebra", "ZEB", 100},
      {"query longer than the text", "abc", "abcd", -1},
      {"query beyond the preview", dots(1000, {{300, "deep inside"}}), "DEEP INSIDE", 100},
      {"the text's last bytes", dots(5004, {{5000, "tail"}}), "tail", 1000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    load_texts({c.text});
    EXPECT_EQ(clip_match_score_with(CLIP_SCAN_BEST, c.text.data(), c.text.size(), c.query, strlen(c.query)), c.want);
    EXPECT_EQ(hits(c.query), (c.want < 0 ? Hits{} : Hits{{1, c.want}}));
  }
}

TEST_F(SearchTest, ResultIsCompactWithSixMembersInOrder) {
  load({{12, false, "meeting notes", true, "meeting notes"},
        {30, false, "Notes", false, "Notes"},
        {31, false, "notes for friday", false, "notes for friday"},
        {32, true, "notes.png", false, "notes"}});
  EXPECT_EQ(search("notes"),
            "[{\"id\":31,\"ts\":1757760031,\"kind\":\"text\",\"preview\":\"notes for friday\","
            "\"pinned\":false,\"score\":1500},"
            "{\"id\":12,\"ts\":1757760012,\"kind\":\"text\",\"preview\":\"meeting notes\","
            "\"pinned\":true,\"score\":1492},"
            "{\"id\":30,\"ts\":1757760030,\"kind\":\"text\",\"preview\":\"Notes\","
            "\"pinned\":false,\"score\":100}]");
  EXPECT_EQ(search("planet"), "[]");
}

TEST_F(SearchTest, PreviewIsEscapedOnlyWhereJsonNeedsIt) {
  load({{1, false, "say \"hi\" \\ a/b \x01 caf\xc3\xa9", false, "hi"}});
  EXPECT_EQ(search("hi"),
            "[{\"id\":1,\"ts\":1757760001,\"kind\":\"text\","
            "\"preview\":\"say \\\"hi\\\" \\\\ a/b \\u0001 caf\xc3\xa9\","
            "\"pinned\":false,\"score\":1500}]");
  // A clip without a preview shows the empty one.
  char *preview = g_store.entries[0].preview;
  g_store.entries[0].preview = nullptr;
  std::string out = search("hi");
  g_store.entries[0].preview = preview;
  EXPECT_NE(out.find("\"preview\":\"\","), std::string::npos) << out;
}

TEST_F(SearchTest, OrderIsScoreThenNewestAndPinningGivesNoBonus) {
  load_texts({"fox", "the fox", "fox", "FOX", "a fox", "fox", "Fox"}, {1, 3});
  EXPECT_EQ(hits("fox"),
            (Hits{{6, 1500}, {3, 1500}, {1, 1500}, {5, 1498}, {2, 1496}, {7, 100}, {4, 100}}));
  // The empty query matches every text clip with score 0, newest first.
  EXPECT_EQ(hits(""),
            (Hits{{7, 0}, {6, 0}, {5, 0}, {4, 0}, {3, 0}, {2, 0}, {1, 0}}));
}

TEST_F(SearchTest, ImageClipsAreNeverSearchedNorReturned) {
  load({{1, true, "cat picture", false, "cat"}, {2, true, "", false, "cat"}});
  for (const char *q : {"", "cat", "picture"}) EXPECT_EQ(search(q), "[]") << q;
  load({{1, true, "cat picture", false, "cat"},
        {2, false, "a cat", false, "a cat"},
        {3, true, "cat", true, "cat"}});
  EXPECT_EQ(hits("cat"), (Hits{{2, 1498}}));
  EXPECT_EQ(hits(""), (Hits{{2, 0}}));
}

TEST_F(SearchTest, LimitCutsAfterOrdering) {
  // 60 clips that match late, and the best one among the oldest.
  std::vector<std::string> texts(60, std::string(600, '-') + "match");
  texts[4] = "match first";
  texts[9] = "MATCH";
  load_texts(texts);
  struct Case {
    int limit;
    size_t count;
  } cases[] = {{0, 50}, {-7, 50}, {1, 1}, {3, 3}, {59, 59}, {1000, 60}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.limit);
    Hits got = hits("match", c.limit);
    ASSERT_EQ(got.size(), c.count);
    EXPECT_EQ(got[0], (std::pair<int, int>{5, 1500}));
    if (c.count > 1) {
      EXPECT_EQ(got[1], (std::pair<int, int>{60, 1000}));
    }
    if (c.count == 60) {
      EXPECT_EQ(got.back(), (std::pair<int, int>{10, 100}));
    }
  }
}

TEST_F(SearchTest, RefusesBeforeInitEvenWithoutAQuery) {
  TempDir other;
  write_file(other.file("file"), "x");
  // A store directory under a regular file cannot be made: the store stays
  // uninitialised.
  ASSERT_EQ(clip_init(other.file("file/store").c_str()), 0);
  for (const char *q : {"x", static_cast<const char *>(nullptr)}) {
    EXPECT_EQ(take(clip_search(q, 5)), "<null>");
    EXPECT_EQ(last_error(), "not initialized");
  }
}

TEST_F(SearchTest, NullQueryIsRefused) {
  load_texts({"one", "two"});
  const std::string before = index();
  EXPECT_EQ(take(clip_search(nullptr, 0)), "<null>");
  EXPECT_EQ(last_error(), "query is NULL");
  EXPECT_EQ(hits("o"), (Hits{{1, 1500}, {2, 1498}}));
  EXPECT_EQ(index(), before);
}

// Every allocation of a search made to fail in turn: the hit buffer and the
// document fail with "out of memory", as does any part of the result (no hit
// is silently left out); the serialiser's buffer and the copy of its text fail
// with "failed to serialize search results". Nothing changes either way.
TEST_F(SearchTest, EachAllocationFailureLeavesTheHistoryAsItWas) {
  load_texts({"alpha beta", "beta", "gamma", "Beta, again"});
  const std::string want = search("beta");
  const std::string listed = take(clip_list(0, 0));
  const std::string before = index();
  std::vector<std::string> messages;
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    clip_fault_reset();
    clip_fault_arm(CLIP_FAULT_ALLOC, n);
    char *out = clip_search("beta", 0);
    bool fired = clip_fault_fired();
    std::string err = last_error();
    clip_fault_reset();
    if (!fired) {
      EXPECT_EQ(take(out), want);
      break;
    }
    EXPECT_EQ(out, nullptr);
    if (out != nullptr) clip_free_string(out);
    messages.push_back(err);
    EXPECT_EQ(take(clip_list(0, 0)), listed);
    EXPECT_EQ(index(), before);
    ASSERT_LT(n, 1000);
  }
  // Out of memory while building, then failure to serialise, in that order.
  ASSERT_GE(messages.size(), 4u);
  EXPECT_EQ(messages[0], "out of memory");  // the hit buffer
  EXPECT_EQ(messages[1], "out of memory");  // the document
  EXPECT_EQ(messages.back(), "failed to serialize search results");  // the copy
  size_t first_serialize = 0;
  while (messages[first_serialize] == "out of memory") ++first_serialize;
  for (size_t i = first_serialize; i < messages.size(); ++i) {
    EXPECT_EQ(messages[i], "failed to serialize search results") << i;
  }
}

// A hit whose preview is not valid UTF-8 cannot be written; one beyond the
// limit is never looked at.
TEST_F(SearchTest, InvalidPreviewFailsOnlyWhenReturned) {
  load_texts({"older match", "newer match"});
  char *preview = g_store.entries[0].preview;
  char bad[] = "older \xff";
  g_store.entries[0].preview = bad;
  EXPECT_EQ(take(clip_search("match", 0)), "<null>");
  EXPECT_EQ(last_error(), "failed to serialize search results");
  EXPECT_EQ(hits("match", 1), (Hits{{2, 1494}}));
  g_store.entries[0].preview = preview;
}

// The query itself is never written out, so any bytes will do.
TEST_F(SearchTest, QueryMayHoldAnyBytes) {
  load_texts({"plain", "caf\xc3\xa9"});
  EXPECT_EQ(hits("\xff"), Hits{});
  EXPECT_EQ(hits("\xc3"), (Hits{{2, 1497}}));
}

}  // namespace
