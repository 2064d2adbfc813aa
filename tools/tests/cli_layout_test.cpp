// The host's judge of an index file (read_index) against the library's
// loader, through the library's public interface: each index file is put in
// a store of its own, judged by the host where it lies, then opened with
// clip_init. Both must give the same verdict (loaded, set aside as damaged,
// or refused) and, when it is loaded, the same clips in the same order.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "cli_layout.h"
#include "quillmar_clip.h"
#include "tests/scratch.h"

namespace {

namespace fs = std::filesystem;

struct Scratch : scratch::Dir {
  Scratch() : Dir("cli_layout_test") {}
};

using scratch::read_file;
using scratch::write_file;

enum class Verdict { loaded, set_aside, refused };

const char *name_of(Verdict v) {
  switch (v) {
    case Verdict::loaded:
      return "loaded";
    case Verdict::set_aside:
      return "set aside";
    case Verdict::refused:
      return "refused";
  }
  return "?";
}

struct Clip {
  int id = 0;
  bool image = false;
  std::string preview;
  bool operator==(const Clip &o) const {
    return id == o.id && image == o.image && preview == o.preview;
  }
};

std::ostream &operator<<(std::ostream &os, const Clip &c) {
  return os << "{" << c.id << (c.image ? " image " : " text ") << '"' << c.preview << "\"}";
}

struct Outcome {
  Verdict verdict = Verdict::loaded;
  std::vector<Clip> clips;  // the file's order: oldest first
};

// What the host's judge makes of the store in dir.
Outcome judged_by_host(const fs::path &dir) {
  std::vector<host::IndexedClip> clips;
  bool damaged = false;
  std::string error;
  Outcome out;
  if (!host::read_index(dir.string(), &clips, &damaged, &error)) {
    out.verdict = Verdict::refused;
    return out;
  }
  out.verdict = damaged ? Verdict::set_aside : Verdict::loaded;
  for (auto &c : clips) out.clips.push_back({c.id, c.image, c.preview});
  return out;
}

bool holds_set_aside_index(const fs::path &dir) {
  std::error_code ec;
  for (auto &e : fs::directory_iterator(dir, ec)) {
    if (e.path().filename().string().rfind("clips.json.corrupt.", 0) == 0) return true;
  }
  return false;
}

// What the library's loader makes of it: clip_init, then whether it set the
// index aside and what it lists.
Outcome loaded_by_library(const fs::path &dir) {
  Outcome out;
  if (clip_init(dir.c_str()) != 1) {
    out.verdict = Verdict::refused;
    return out;
  }
  out.verdict = holds_set_aside_index(dir) ? Verdict::set_aside : Verdict::loaded;
  char *list = clip_list(0, INT_MAX);
  if (list == nullptr) {
    ADD_FAILURE() << "clip_list: " << clip_last_error();
    return out;
  }
  yyjson_doc *doc = yyjson_read(list, strlen(list), 0);
  clip_free_string(list);
  yyjson_val *root = yyjson_doc_get_root(doc);
  EXPECT_TRUE(yyjson_is_arr(root));
  size_t i, max;
  yyjson_val *item;
  yyjson_arr_foreach(root, i, max, item) {
    yyjson_val *preview = yyjson_obj_get(item, "preview");
    // The listing is newest first.
    out.clips.insert(
        out.clips.begin(),
        {static_cast<int>(yyjson_get_sint(yyjson_obj_get(item, "id"))),
         yyjson_equals_str(yyjson_obj_get(item, "kind"), "image"),
         std::string(yyjson_get_str(preview), yyjson_get_len(preview))});
  }
  yyjson_doc_free(doc);
  return out;
}

// The preview rule, byte for byte at its edges.
TEST(TextPreview, MatchesTheLibrarysPreview) {
  constexpr size_t kMax = CLIP_PREVIEW_CHARS;
  std::string head(kMax - 3, 'a');  // what a cut preview keeps at most
  std::string e = "\xC3\xA9";       // two bytes
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"a\r\nb\tc", "a  b c"},
      {"v\vf\f", "v\vf\f"},
      {std::string(kMax, 'x'), std::string(kMax, 'x')},
      {std::string(kMax + 1, 'x'), std::string(kMax - 3, 'x') + "..."},
      // A character across the last byte kept is left out whole.
      {std::string(kMax - 4, 'a') + e + "tail", std::string(kMax - 4, 'a') + "..."},
      {head + e + "tail", head + "..."},
  };
  for (auto &c : cases) EXPECT_EQ(host::text_preview(c.in), c.out) << c.in;
}

struct Case {
  const char *name;
  // The index file's bytes; none: no index file at all.
  std::optional<std::string> index;
  Verdict verdict;
  std::vector<int> ids;  // of the clips loaded, in the file's order
};

// One entry of "clips" made of members (without braces).
std::string entry(const std::string &members) { return "{" + members + "}"; }

std::string index_of(const std::string &clips) {
  return "{\"next_id\": 9, \"clips\": [" + clips + "]}";
}

const std::string kText = R"("id": 1, "ts": 1700000001, "kind": "text", "preview": "one",
  "pinned": false, "hash": "0123456789abcdef", "truncated": false, "text": "one")";
const std::string kImage = R"("id": 2, "ts": 1700000002, "kind": "image",
  "preview": "[image 10 bytes: a cat]", "pinned": true, "hash": "0123456789abcdef",
  "truncated": false, "label": "a cat")";

std::vector<Case> cases() {
  std::string whole = index_of(entry(kText) + ",\n" + entry(kImage));
  return {
      {"no index file", std::nullopt, Verdict::loaded, {}},
      {"an empty file", "", Verdict::loaded, {}},
      {"a text and an image", whole, Verdict::loaded, {1, 2}},
      {"an empty list", index_of(""), Verdict::loaded, {}},
      {"no next_id", R"({"clips": [{"id": 5, "kind": "text", "preview": "p"}]})",
       Verdict::loaded, {5}},
      {"members of the list that are not objects are passed over",
       index_of("1, \"x\", null, [], " + entry(kText) + ", true"), Verdict::loaded, {1}},
      {"a fingerprint that matches nothing",
       index_of(entry(R"("id": 3, "kind": "text", "preview": "t", "hash": "zz", "text": "t")")),
       Verdict::loaded, {3}},
      {"members of the wrong types read as their defaults",
       index_of(entry(R"("id": 3, "ts": "x", "kind": "text", "preview": 5, "pinned": "yes",
                         "hash": 7, "truncated": [], "text": 8)") + "," +
                entry(R"("id": 4, "kind": "image", "preview": null, "label": 1)")),
       Verdict::loaded, {3, 4}},
      {"an id used twice",
       index_of(entry(R"("id": 3, "kind": "text", "preview": "a")") + "," +
                entry(R"("id": 3, "kind": "text", "preview": "b")")),
       Verdict::loaded, {3, 3}},
      {"ids out of range are cut to 32 bits",
       index_of(entry(R"("id": 0, "kind": "text", "preview": "zero")") + "," +
                entry(R"("id": -7, "kind": "text", "preview": "negative")") + "," +
                entry(R"("id": 4294967297, "kind": "text", "preview": "wraps to 1")") + "," +
                entry(R"("id": 2147483648, "kind": "text", "preview": "wraps to INT_MIN")") +
                "," + entry(R"("id": 2147483647, "kind": "text", "preview": "INT_MAX")")),
       Verdict::loaded, {0, -7, 1, INT_MIN, INT_MAX}},
      {"ids at and above next_id",
       R"({"next_id": 2, "clips": [{"id": 7, "kind": "text", "preview": "p"}]})",
       Verdict::loaded, {7}},
      {"a negative next_id",
       R"({"next_id": -3, "clips": [{"id": 1, "kind": "text", "preview": "p"}]})",
       Verdict::loaded, {1}},
      {"unknown members", R"({"version": 2, "clips": [], "extra": {"a": 1}})",
       Verdict::loaded, {}},
      {"cut short", whole.substr(0, whole.size() / 2), Verdict::set_aside, {}},
      {"cut before its last brace", whole.substr(0, whole.size() - 1), Verdict::set_aside, {}},
      {"only white space", " \n\t", Verdict::set_aside, {}},
      {"text after the document", whole + "x", Verdict::set_aside, {}},
      {"a second document after it", whole + whole, Verdict::set_aside, {}},
      {"a trailing comma", index_of(entry(kText) + ","), Verdict::set_aside, {}},
      {"a comment", "/* history */" + whole, Verdict::set_aside, {}},
      {"a byte order mark", "\xEF\xBB\xBF" + whole, Verdict::set_aside, {}},
      {"invalid UTF-8 in a string",
       index_of(entry("\"id\": 1, \"kind\": \"text\", \"preview\": \"\xC3\x28\"")),
       Verdict::set_aside, {}},
      {"NaN for a number", index_of(entry(R"("id": 1, "ts": NaN, "kind": "text")")),
       Verdict::set_aside, {}},
      // (appended: GCC 12 at -O2 warns of an overlap in "[" + a temporary)
      {"a root that is an array", std::string("[").append(entry(kText)).append("]"),
       Verdict::set_aside, {}},
      {"a root that is a string", "\"clips\"", Verdict::set_aside, {}},
      {"an empty object", "{}", Verdict::set_aside, {}},
      {"no clips member", R"({"next_id": 3})", Verdict::set_aside, {}},
      {"clips that is an object", R"({"next_id": 3, "clips": {"id": 1}})",
       Verdict::set_aside, {}},
      {"clips that is null", R"({"clips": null})", Verdict::set_aside, {}},
      {"an entry without an id",
       index_of(entry(kText) + "," + entry(R"("kind": "text", "preview": "p")")),
       Verdict::set_aside, {}},
      {"an id that is a string", index_of(entry(R"("id": "1", "kind": "text")")),
       Verdict::set_aside, {}},
      {"an id that is a real number", index_of(entry(R"("id": 1.0, "kind": "text")")),
       Verdict::set_aside, {}},
      {"an id that is true", index_of(entry(R"("id": true, "kind": "text")")),
       Verdict::set_aside, {}},
      {"an entry without a kind", index_of(entry(R"("id": 1, "preview": "p")")),
       Verdict::set_aside, {}},
      {"a kind of another name", index_of(entry(R"("id": 1, "kind": "file")")),
       Verdict::set_aside, {}},
      {"a kind in capitals", index_of(entry(R"("id": 1, "kind": "TEXT")")),
       Verdict::set_aside, {}},
      {"a kind that is a number", index_of(entry(R"("id": 1, "kind": 0)")),
       Verdict::set_aside, {}},
      {"a bad entry after good ones",
       index_of(entry(kText) + "," + entry(kImage) + "," + entry(R"("id": 3, "kind": "x")")),
       Verdict::set_aside, {}},
  };
}

Outcome expect_same(const fs::path &dir) {
  Outcome host_view = judged_by_host(dir);
  Outcome library_view = loaded_by_library(dir);
  EXPECT_EQ(name_of(host_view.verdict), std::string(name_of(library_view.verdict)));
  EXPECT_EQ(host_view.clips, library_view.clips);
  return library_view;
}

TEST(Judge, GivesTheLoadersVerdictOnEveryIndex) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path().empty());
  int n = 0;
  for (const Case &c : cases()) {
    SCOPED_TRACE(c.name);
    fs::path dir = scratch.path() / std::to_string(++n);
    fs::create_directories(dir);
    if (c.index) write_file(dir / "clips.json", *c.index);
    Outcome library_view = expect_same(dir);
    EXPECT_EQ(name_of(library_view.verdict), std::string(name_of(c.verdict)));
    std::vector<int> ids;
    for (auto &clip : library_view.clips) ids.push_back(clip.id);
    EXPECT_EQ(ids, c.ids);
  }
}

TEST(Judge, RefusesWhatTheLoaderRefuses) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path().empty());
  // An index that is no regular file: neither reads it, and neither sets
  // it aside.
  fs::path dir = scratch.path() / "store";
  fs::create_directories(dir / "clips.json");
  Outcome library_view = expect_same(dir);
  EXPECT_EQ(name_of(library_view.verdict), std::string(name_of(Verdict::refused)));
  EXPECT_TRUE(fs::is_directory(dir / "clips.json"));
}

// The index as the library writes it, with texts whose previews are cut
// (line breaks, tabs, a text longer than a preview and cut inside a
// character), and every shorter piece of it: whole, each is damaged.
TEST(Judge, AgreesOnTheLibrarysOwnIndexAndEveryPieceOfIt) {
  Scratch scratch;
  ASSERT_FALSE(scratch.path().empty());
  fs::path made = scratch.path() / "made";
  ASSERT_EQ(clip_init(made.c_str()), 1) << clip_last_error();
  std::string long_text(CLIP_PREVIEW_CHARS - 4, 'a');
  long_text += "\xE2\x82\xAC\xE2\x82\xAC tail";  // two euro signs across the cut
  for (const std::string &text : {std::string("one\ttwo\nthree\r"), long_text,
                                   std::string(CLIP_PREVIEW_CHARS, 'b'),
                                   std::string(CLIP_PREVIEW_CHARS + 1, 'c')}) {
    char *r = clip_push_text(text.c_str());
    ASSERT_NE(r, nullptr) << clip_last_error();
    clip_free_string(r);
  }
  std::string index = read_file(made / "clips.json");
  ASSERT_FALSE(index.empty());

  fs::path whole = scratch.path() / "whole";
  fs::create_directories(whole);
  write_file(whole / "clips.json", index);
  Outcome loaded = expect_same(whole);
  EXPECT_EQ(name_of(loaded.verdict), std::string(name_of(Verdict::loaded)));
  ASSERT_EQ(loaded.clips.size(), 4u);
  EXPECT_EQ(loaded.clips[0].preview, "one two three ");
  EXPECT_EQ(loaded.clips[1].preview, std::string(CLIP_PREVIEW_CHARS - 4, 'a') + "...");
  EXPECT_EQ(loaded.clips[1].preview, host::text_preview(long_text));
  EXPECT_EQ(loaded.clips[2].preview, std::string(CLIP_PREVIEW_CHARS, 'b'));
  EXPECT_EQ(loaded.clips[3].preview, std::string(CLIP_PREVIEW_CHARS - 3, 'c') + "...");

  // Cut at every 13th byte and just before the end.
  std::vector<size_t> cuts;
  for (size_t at = 1; at < index.size(); at += 13) cuts.push_back(at);
  cuts.push_back(index.size() - 1);
  for (size_t at : cuts) {
    SCOPED_TRACE("cut to " + std::to_string(at) + " bytes");
    fs::path dir = scratch.path() / ("cut" + std::to_string(at));
    fs::create_directories(dir);
    write_file(dir / "clips.json", index.substr(0, at));
    Outcome cut = expect_same(dir);
    EXPECT_EQ(name_of(cut.verdict), std::string(name_of(Verdict::set_aside)));
  }
}

}  // namespace
