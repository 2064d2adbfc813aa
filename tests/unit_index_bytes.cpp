// The index writer against yyjson: for lists of every shape the bytes of
// clips.json must be exactly what yyjson_mut_write_opts(YYJSON_WRITE_PRETTY)
// makes of the plain document of the list, a list yyjson refuses must be
// refused too, and loading the file must give the list back.
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include <yyjson.h>

#include "clip_fault.h"
#include "clip_store.h"
#include "clip_sys.h"
#include "test_support.h"

namespace {

// One clip as the test means it; null strings are absent.
struct Clip {
  int id = 0;
  int64_t ts = 0;
  int kind = CLIP_KIND_TEXT;
  std::optional<std::string> preview;
  int pinned = 0;
  std::string hash;
  int truncated = 0;
  std::optional<std::string> text;
  std::optional<std::string> label;
};

struct List {
  int next_id = 1;
  std::vector<Clip> clips;
};

char *heap_copy(const std::optional<std::string> &s) {
  return s ? clip_strndup(s->data(), s->size()) : nullptr;
}

// A store holding the list, its directory `dir`.
void fill_store(clip_store *store, const std::string &dir, const List &list) {
  *store = clip_store{};
  snprintf(store->store_dir, sizeof store->store_dir, "%s", dir.c_str());
  store->next_id = list.next_id;
  for (const Clip &c : list.clips) {
    clip_entry e{};
    e.id = c.id;
    e.ts = c.ts;
    e.kind = c.kind;
    e.preview = heap_copy(c.preview);
    e.pinned = c.pinned;
    snprintf(e.hash, sizeof e.hash, "%s", c.hash.c_str());
    e.truncated = c.truncated;
    e.text = heap_copy(c.text);
    e.text_len = c.text ? c.text->size() : 0;
    e.label = heap_copy(c.label);
    ASSERT_TRUE(clip_list_append(store, &e));
  }
}

// What yyjson writes for the list: the document built the plain way, every
// member added in its order with its string copied. Null when yyjson refuses.
std::optional<std::string> yyjson_index(const List &list) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_int(doc, root, "next_id", list.next_id);
  yyjson_mut_val *clips = yyjson_mut_arr(doc);
  yyjson_mut_obj_add_val(doc, root, "clips", clips);
  for (const Clip &c : list.clips) {
    yyjson_mut_val *o = yyjson_mut_arr_add_obj(doc, clips);
    const bool image = c.kind == CLIP_KIND_IMAGE;
    const std::string preview = c.preview.value_or("");
    yyjson_mut_obj_add_int(doc, o, "id", c.id);
    yyjson_mut_obj_add_int(doc, o, "ts", c.ts);
    yyjson_mut_obj_add_str(doc, o, "kind", image ? "image" : "text");
    yyjson_mut_obj_add_strncpy(doc, o, "preview", preview.data(), preview.size());
    yyjson_mut_obj_add_bool(doc, o, "pinned", c.pinned != 0);
    yyjson_mut_obj_add_strncpy(doc, o, "hash", c.hash.data(), c.hash.size());
    yyjson_mut_obj_add_bool(doc, o, "truncated", c.truncated != 0);
    if (image) {
      if (c.label) yyjson_mut_obj_add_strncpy(doc, o, "label", c.label->data(), c.label->size());
    } else {
      const std::string text = c.text.value_or("");
      yyjson_mut_obj_add_strncpy(doc, o, "text", text.data(), text.size());
    }
  }
  size_t len = 0;
  char *json = yyjson_mut_write_opts(doc, YYJSON_WRITE_PRETTY, nullptr, &len, nullptr);
  yyjson_mut_doc_free(doc);
  if (json == nullptr) return std::nullopt;
  std::string out(json, len);
  free(json);
  return out;
}

// The list as a load gives it back: next_id at least 1 and above every id,
// flags as 0 or 1, a kind other than image as text, absent strings as the
// empty ones the index holds, a text cut at a NUL.
List as_loaded(List list) {
  if (list.next_id <= 0) list.next_id = 1;
  for (Clip &c : list.clips) {
    if (c.id >= list.next_id) list.next_id = c.id == INT_MAX ? INT_MAX : c.id + 1;
    c.pinned = c.pinned != 0;
    c.truncated = c.truncated != 0;
    if (c.kind != CLIP_KIND_IMAGE) c.kind = CLIP_KIND_TEXT;
    if (!c.preview) c.preview = "";
    if (c.kind == CLIP_KIND_TEXT) {
      if (!c.text) c.text = "";
      c.text = c.text->substr(0, strnlen(c.text->c_str(), c.text->size()));
      c.label.reset();
    } else {
      c.text.reset();
    }
  }
  return list;
}

std::string show(const std::optional<std::string> &s) {
  return s ? "'" + *s + "'" : "null";
}

// A line per clip, short enough to read in a failure, exact enough to compare.
std::string describe(const clip_store &store) {
  std::string out = "next " + std::to_string(store.next_id);
  for (int i = 0; i < store.count; ++i) {
    const clip_entry &e = store.entries[i];
    std::optional<std::string> text, label, preview;
    if (e.text) text = std::string(e.text, e.text_len);
    if (e.label) label = e.label;
    if (e.preview) preview = e.preview;
    out += "\n" + std::to_string(e.id) + " ts " + std::to_string(e.ts) + " kind " +
           std::to_string(e.kind) + " pinned " + std::to_string(e.pinned) + " truncated " +
           std::to_string(e.truncated) + " hash '" + e.hash + "' preview " + show(preview) +
           " text " + show(text) + " label " + show(label);
    if (e.text && strlen(e.text) != e.text_len) out += " (text_len does not match)";
  }
  return out;
}

std::string describe(const List &list, const std::string &dir) {
  clip_store store;
  fill_store(&store, dir, list);
  std::string out = describe(store);
  clip_list_clear(&store);
  return out;
}

// ---------------------------------------------------------------------------
// Random lists

// Pieces that strings are made of: every byte that needs an escape, the
// characters around them, and characters of every UTF-8 length.
const char *const kPieces[] = {
    "\"", "\\", "/", "\b", "\f", "\n", "\r", "\t", "\x01", "\x1f", "\x7f", "\x0b",
    "\x1b", " ", "a", "Z", "0", "{", "}", "[", "]", ",", ":", "u0000",
    "\xc2\x80",                 // U+0080
    "\xc3\xa9",                 // é
    "\xdf\xbf",                 // U+07FF
    "\xe0\xa0\x80",             // U+0800
    "\xe2\x80\xa8",             // U+2028
    "\xe6\x97\xa5",             // 日
    "\xef\xbf\xbf",             // U+FFFF
    "\xf0\x90\x80\x80",         // U+10000
    "\xf0\x9f\x99\x82",         // 🙂
    "\xf4\x8f\xbf\xbf",         // U+10FFFF
    "hello world, ", "C:\\Users\\me", "line one\nline two\n"};

class Gen {
 public:
  explicit Gen(uint32_t seed) : rng_(seed) {}

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  // A valid UTF-8 string of about `bytes` bytes; runs of one piece now and
  // then, so that long runs of escapes and of multi-byte characters occur.
  std::string str(size_t bytes) {
    std::string s;
    constexpr int kCount = sizeof kPieces / sizeof kPieces[0];
    while (s.size() < bytes) {
      const char *piece = kPieces[pick(kCount)];
      int repeat = pick(8) == 0 ? 1 + pick(4000) : 1;
      for (int i = 0; i < repeat && s.size() < bytes; ++i) s += piece;
    }
    return s;
  }

  // Mostly short strings, sometimes empty, sometimes long enough to cross
  // the writer's buffer.
  std::string any_str(bool may_be_long) {
    switch (pick(8)) {
      case 0: return "";
      case 1: return may_be_long ? str(static_cast<size_t>(300000 + pick(2500000))) : str(300);
      default: return str(static_cast<size_t>(pick(200)));
    }
  }

  int64_t any_int64() {
    static const int64_t edges[] = {0, 1, -1, INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN,
                                    1757762400, 9999999999};
    if (pick(2) == 0) return edges[pick(sizeof edges / sizeof edges[0])];
    return static_cast<int64_t>(std::uniform_int_distribution<uint64_t>()(rng_));
  }

  int any_int() {
    static const int edges[] = {0, 1, -1, 7, INT_MAX, INT_MIN, 1000000};
    if (pick(2) == 0) return edges[pick(sizeof edges / sizeof edges[0])];
    return static_cast<int>(std::uniform_int_distribution<uint32_t>()(rng_));
  }

  int flag() {
    static const int values[] = {0, 1, 0, 1, 2, -1};
    return values[pick(6)];
  }

  List list(int max_clips, bool with_long) {
    List l;
    l.next_id = any_int();
    int n = pick(max_clips + 1);
    for (int i = 0; i < n; ++i) {
      Clip c;
      c.id = pick(3) == 0 ? any_int() : i + 1;
      c.ts = any_int64();
      c.kind = pick(3) == 0 ? CLIP_KIND_IMAGE : pick(10) == 0 ? 5 : CLIP_KIND_TEXT;
      if (pick(10) != 0) c.preview = any_str(false);
      c.pinned = flag();
      c.truncated = flag();
      // At most 16 bytes, cut at a character.
      std::string h = str(static_cast<size_t>(pick(17)));
      size_t cut = std::min<size_t>(h.size(), 16);
      while (cut > 0 && cut < h.size() && (static_cast<unsigned char>(h[cut]) & 0xC0) == 0x80) {
        --cut;
      }
      c.hash = pick(4) == 0 ? h.substr(0, cut) : "0123456789abcdef";
      if (pick(6) != 0) c.text = any_str(with_long);
      if (c.text && pick(4) == 0) {
        size_t at = c.text->size() / 2;
        while (at > 0 && (static_cast<unsigned char>((*c.text)[at]) & 0xC0) == 0x80) --at;
        c.text->insert(at, 1, '\0');
      }
      if (pick(3) != 0) c.label = pick(5) == 0 ? "" : any_str(false);
      l.clips.push_back(std::move(c));
    }
    return l;
  }

 private:
  std::mt19937 rng_;
};

class IndexBytesTest : public ::testing::Test {
 protected:
  void SetUp() override { clip_fault_reset(); }
  void TearDown() override {
    clip_list_clear(&store_);
    clip_fault_reset();
  }

  // Saves the list; checks the bytes against yyjson's, and the load against
  // the list.
  void check_round_trip(const List &list) {
    TempDir dir;
    fill_store(&store_, dir.path(), list);
    const std::optional<std::string> want = yyjson_index(list);
    ASSERT_TRUE(want.has_value()) << "the list holds valid UTF-8 only";
    ASSERT_TRUE(clip_store_save(&store_)) << last_error();
    EXPECT_EQ(last_error(), "");
    const std::string got = read_file(dir.file("clips.json"));
    ASSERT_EQ(got.size(), want->size());
    ASSERT_TRUE(got == *want) << "first difference at byte "
                              << std::mismatch(got.begin(), got.end(), want->begin()).first -
                                     got.begin();
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"clips.json"});
    clip_list_clear(&store_);

    clip_store loaded{};
    snprintf(loaded.store_dir, sizeof loaded.store_dir, "%s", dir.path().c_str());
    loaded.next_id = 1;
    ASSERT_TRUE(clip_store_load(&loaded)) << last_error();
    List expected = as_loaded(list);
    EXPECT_EQ(describe(loaded), describe(expected, dir.path()));
    clip_list_clear(&loaded);
  }

  clip_store store_{};
};

// ---------------------------------------------------------------------------

TEST_F(IndexBytesTest, EmptyAndSmallListsMatchYyjson) {
  check_round_trip(List{});
  check_round_trip(List{-5, {}});

  List one;
  one.next_id = 2;
  Clip text;
  text.id = 1;
  text.ts = 1757762400;
  text.preview = "hello";
  text.hash = "0123456789abcdef";
  text.text = "hello";
  one.clips.push_back(text);
  check_round_trip(one);

  // An image without a label has seven members; with an empty one, eight.
  List images;
  Clip image;
  image.kind = CLIP_KIND_IMAGE;
  image.id = 2;
  image.preview = "[image 3 bytes]";
  images.clips.push_back(image);
  image.id = 3;
  image.label = "";
  images.clips.push_back(image);
  image.id = 4;
  image.label = "logo \"ünïcode\" \\ /";
  images.clips.push_back(image);
  check_round_trip(images);
}

// Each byte below 0x80 alone in a text, and the characters at the edges of
// every UTF-8 length.
TEST_F(IndexBytesTest, EveryEscapeAndEveryCharacterLength) {
  List list;
  for (int c = 1; c < 0x80; ++c) {
    Clip clip;
    clip.id = c;
    clip.text = std::string(1, static_cast<char>(c));
    clip.preview = std::string("<") + static_cast<char>(c) + ">";
    list.clips.push_back(clip);
  }
  for (const char *s : {"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
                        "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    Clip clip;
    clip.id = 1000;
    clip.text = s;
    clip.kind = CLIP_KIND_IMAGE;
    clip.label = s;
    list.clips.push_back(clip);
  }
  check_round_trip(list);
}

TEST_F(IndexBytesTest, RandomListsMatchYyjson) {
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Gen gen(seed);
    check_round_trip(gen.list(12, false));
    if (HasFatalFailure()) return;
  }
}

// Texts longer than the writer's buffer, so that plain runs, escapes and
// multi-byte characters fall across its edges at every offset.
TEST_F(IndexBytesTest, LongTextsMatchYyjson) {
  for (uint32_t seed = 1000; seed < 1012; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Gen gen(seed);
    check_round_trip(gen.list(6, true));
    if (HasFatalFailure()) return;
  }
  // Runs longer than the buffer of nothing but escapes, of six-byte escapes,
  // of four-byte characters, and of plain bytes, one after another.
  List list;
  size_t shift = 0;
  for (const std::string unit : {"\n", "\x01", "\xf0\x9f\x99\x82", "abc", "\xc3\xa9\""}) {
    Clip clip;
    clip.id = static_cast<int>(++shift);
    std::string text(shift, 'x');
    while (text.size() < 1300000) text += unit;
    clip.text = text;
    list.clips.push_back(clip);
  }
  check_round_trip(list);
}

// A string that is not valid UTF-8, in any of the four string members: yyjson
// refuses the document, and the save fails the same way, leaving the
// directory as it was.
TEST_F(IndexBytesTest, InvalidUtf8IsRefusedLikeYyjson) {
  const std::string bad[] = {"\xff", "\xc3", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                             "\xe6\x97", "\x80"};
  int where_count = 4;
  for (const std::string &b : bad) {
    for (int where = 0; where < where_count; ++where) {
      SCOPED_TRACE("member " + std::to_string(where));
      List list;
      Clip ok;
      ok.id = 1;
      ok.text = std::string(2000000, 'a');  // the bad string comes after a write
      list.clips.push_back(ok);
      Clip c;
      c.id = 2;
      c.hash = "h";
      c.text = "fine";
      std::string s = "before " + b + " after";
      switch (where) {
        case 0: c.preview = s; break;
        case 1: c.text = std::string(1500000, 'b') + s; break;
        case 2: c.hash = b; break;
        case 3:
          c.kind = CLIP_KIND_IMAGE;
          c.label = s;
          break;
      }
      list.clips.push_back(c);
      EXPECT_FALSE(yyjson_index(list).has_value());

      TempDir dir;
      write_file(dir.file("clips.json"), "previous");
      fill_store(&store_, dir.path(), list);
      EXPECT_FALSE(clip_store_save(&store_));
      EXPECT_EQ(last_error(), "failed to serialize clips.json");
      EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"clips.json"});
      EXPECT_EQ(read_file(dir.file("clips.json")), "previous");
      clip_list_clear(&store_);
    }
  }
}

// An index written in several pieces: a write that fails at any of them, and
// the sync after them, leave the previous index and no temporary file.
TEST_F(IndexBytesTest, FailuresPartWayThroughLeaveThePreviousIndex) {
  List list;
  for (int i = 1; i <= 3; ++i) {
    Clip c;
    c.id = i;
    c.text = std::string(1500000, static_cast<char>('a' + i));
    list.clips.push_back(c);
  }
  TempDir dir;
  fill_store(&store_, dir.path(), list);
  ASSERT_TRUE(clip_store_save(&store_));
  const std::string previous = read_file(dir.file("clips.json"));
  store_.next_id = 99;

  clip_fault_reset();
  ASSERT_TRUE(clip_store_save(&store_));
  const long writes = clip_fault_calls(CLIP_FAULT_WRITE);
  ASSERT_GE(writes, 3) << "the index is written in pieces";
  const std::string saved = read_file(dir.file("clips.json"));
  write_file(dir.file("clips.json"), previous);

  struct Case {
    clip_fault_op op;
    long nth;
    const char *message;
  };
  std::vector<Case> cases;
  for (long n = 1; n <= writes; ++n) {
    cases.push_back({CLIP_FAULT_WRITE, n, "failed to write clips.json.tmp"});
  }
  cases.push_back({CLIP_FAULT_SYNC, 1, "failed to write clips.json.tmp"});
  cases.push_back({CLIP_FAULT_ALLOC, 1, "out of memory"});
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(clip_fault_op_name(c.op)) + " " + std::to_string(c.nth));
    clip_fault_reset();
    clip_fault_arm(c.op, c.nth);
    EXPECT_FALSE(clip_store_save(&store_));
    EXPECT_TRUE(clip_fault_fired());
    clip_fault_reset();
    EXPECT_EQ(last_error(), c.message);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"clips.json"});
    EXPECT_TRUE(read_file(dir.file("clips.json")) == previous);
    EXPECT_EQ(store_.next_id, 99);
  }
  ASSERT_TRUE(clip_store_save(&store_));
  EXPECT_TRUE(read_file(dir.file("clips.json")) == saved);
}

}  // namespace
