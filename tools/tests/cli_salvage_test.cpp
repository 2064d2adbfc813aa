#include "cli_salvage.h"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <string>
#include <vector>

#include "quillmar_clip.h"

namespace {

// One clip as the library keeps it. Image clips hold the bytes that their
// file img_<id>.png would hold.
struct Rec {
  int id;
  bool image;
  bool pinned;
  std::string content;  // a text, or an image's bytes
  bool has_label = false;
  std::string label;
};

std::string image_bytes(int id) {
  return "\x89PNG\r\n\x1a\n" + std::string(static_cast<size_t>(10 + id * 7), 'a' + id);
}

Rec text(int id, bool pinned, std::string content) {
  return {id, false, pinned, std::move(content), false, ""};
}

Rec image(int id, bool pinned, const char *label) {
  return {
      id, true, pinned, image_bytes(id), label != nullptr, label != nullptr ? label : ""};
}

std::string preview_of(const Rec &r) {
  if (r.image)
    return host::image_preview(r.content.size(), r.has_label ? &r.label : nullptr);
  bool cut = r.content.size() > CLIP_PREVIEW_CHARS;
  std::string p = r.content.substr(0, cut ? CLIP_PREVIEW_CHARS - 3 : CLIP_PREVIEW_CHARS);
  for (char &c : p) {
    if (c == '\n' || c == '\t' || c == '\r') c = ' ';
  }
  return cut ? p + "..." : p;
}

// The index the library writes: yyjson's pretty layout, members in order.
std::string index_of(const std::vector<Rec> &recs) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_int(doc, root, "next_id", 100);
  yyjson_mut_val *clips = yyjson_mut_obj_add_arr(doc, root, "clips");
  for (auto &r : recs) {
    yyjson_mut_val *o = yyjson_mut_arr_add_obj(doc, clips);
    yyjson_mut_obj_add_int(doc, o, "id", r.id);
    yyjson_mut_obj_add_int(doc, o, "ts", 1700000000 + r.id);
    yyjson_mut_obj_add_str(doc, o, "kind", r.image ? "image" : "text");
    yyjson_mut_obj_add_strcpy(doc, o, "preview", preview_of(r).c_str());
    yyjson_mut_obj_add_bool(doc, o, "pinned", r.pinned);
    yyjson_mut_obj_add_strcpy(doc, o, "hash", host::fingerprint(r.content).c_str());
    yyjson_mut_obj_add_bool(doc, o, "truncated", false);
    if (!r.image) {
      yyjson_mut_obj_add_strncpy(doc, o, "text", r.content.data(), r.content.size());
    } else if (r.has_label) {
      yyjson_mut_obj_add_strncpy(doc, o, "label", r.label.data(), r.label.size());
    }
  }
  size_t len = 0;
  char *json = yyjson_mut_write(doc, YYJSON_WRITE_PRETTY, &len);
  std::string out(json, len);
  free(json);
  yyjson_mut_doc_free(doc);
  return out;
}

// A history of every kind of clip: escapes, a "record start" inside a
// text, characters beyond ASCII, pins, labels (empty, long, none), a long
// text and an empty one.
std::vector<Rec> sample() {
  return {
      text(1, true, "first"),
      text(2, false,
           "quote \" backslash \\ line\nbreak\ttab {\"id\": 9, \"kind\": \"text\"} "
           "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80"),
      image(3, true, "login page"),
      image(4, false, nullptr),
      text(5, false, std::string(300, 'x') + " tail"),
      image(6, false, ""),
      text(7, false, ""),
      image(8, false, std::string(130, 'L').c_str()),
  };
}

// Where each record of an index in the library's layout ends (one past its
// "}"): a closing brace indented by eight spaces, never inside a string.
std::vector<size_t> record_ends(const std::string &index) {
  std::vector<size_t> ends;
  for (size_t p = index.find("\n        }"); p != std::string::npos;
       p = index.find("\n        }", p + 1))
    ends.push_back(p + 10);
  return ends;
}

std::vector<size_t> record_starts(const std::string &index) {
  std::vector<size_t> starts;
  for (size_t p = index.find("        {\n"); p != std::string::npos;
       p = index.find("        {\n", p + 1))
    starts.push_back(p + 8);
  return starts;
}

// What recover checks of an image clip against the store, where the image
// records of recs have their files: that its file is there and holds the
// bytes its fingerprint names, and that its label makes its preview.
bool passes_image_checks(const host::SalvagedClip &c, const std::vector<Rec> &recs) {
  if (!c.image) return true;
  bool file = std::any_of(recs.begin(), recs.end(),
                          [&](const Rec &r) { return r.image && r.id == c.id; });
  return file && c.hash == host::fingerprint(image_bytes(c.id)) &&
         host::image_preview(image_bytes(c.id).size(),
                             c.has_label ? &c.label : nullptr) == c.preview;
}

// Whether c, once through recover's checks, gives back exactly r: what a
// user gets from it.
bool gives_back(const host::SalvagedClip &c, const Rec &r) {
  if (c.image != r.image || c.pinned != r.pinned) return false;
  if (!r.image) return c.text == r.content && c.hash == host::fingerprint(r.content);
  return c.id == r.id && c.has_label == r.has_label && c.label == r.label;
}

TEST(Salvage, WholeIndexComesBackWhole) {
  std::vector<Rec> recs = sample();
  std::string index = index_of(recs);
  host::Salvage s = host::salvage_index(index);
  ASSERT_EQ(s.clips.size(), recs.size());
  EXPECT_EQ(s.records, recs.size());
  EXPECT_TRUE(s.lost.empty());
  EXPECT_FALSE(s.cut_short);
  std::vector<size_t> starts = record_starts(index);
  for (size_t k = 0; k < recs.size(); ++k) {
    EXPECT_TRUE(passes_image_checks(s.clips[k], recs) && gives_back(s.clips[k], recs[k]))
        << "record " << k + 1;
    EXPECT_EQ(s.clips[k].record, k + 1);
    EXPECT_EQ(s.clips[k].offset, starts[k]);
  }
}

// A file cut at any byte gives back exactly the records that lie whole
// before the cut, in order, and says that something is missing.
TEST(Salvage, TruncatedAtEveryByte) {
  std::vector<Rec> recs = sample();
  std::string index = index_of(recs);
  std::vector<size_t> starts = record_starts(index), ends = record_ends(index);
  ASSERT_EQ(ends.size(), recs.size());
  for (size_t len = 0; len < index.size(); ++len) {
    host::Salvage s = host::salvage_index(std::string_view(index).substr(0, len));
    size_t whole = static_cast<size_t>(
        std::count_if(ends.begin(), ends.end(), [&](size_t e) { return e <= len; }));
    ASSERT_EQ(s.clips.size(), whole) << "cut at byte " << len;
    for (size_t k = 0; k < whole; ++k) {
      EXPECT_TRUE(passes_image_checks(s.clips[k], recs) &&
                  gives_back(s.clips[k], recs[k]))
          << "cut at " << len << ", record " << k + 1;
    }
    if (len > 0) {
      EXPECT_TRUE(s.cut_short || !s.lost.empty()) << "cut at byte " << len;
    }
    // A record cut after its first member is named, with where it starts.
    bool mid_record = false;
    for (size_t k = 0; k < recs.size(); ++k)
      mid_record |= len > index.find(':', starts[k]) && len < ends[k];
    if (mid_record) {
      EXPECT_FALSE(s.lost.empty()) << "cut at byte " << len;
    }
  }
}

// One byte changed anywhere: every record it is not in comes back, and
// whatever comes back is a record of the history exactly. Nothing tells
// whether the end of a label longer than its preview shows is as it was:
// a byte changed there may come back changed (but never as a text, a pin
// or an image that was not there).
TEST(Salvage, FlippedByteAnywhere) {
  std::vector<Rec> recs = sample();
  std::string index = index_of(recs);
  std::vector<size_t> starts = record_starts(index), ends = record_ends(index);
  std::vector<std::pair<size_t, size_t>> unchecked;  // label ends beyond the previews
  for (auto &r : recs) {
    std::string shown = preview_of(r);
    if (!r.has_label || shown.back() == ']') continue;
    size_t at = index.find("\"label\": \"" + r.label) + 10;
    size_t prefix = shown.size() - shown.find(": ") - 2;
    unchecked.push_back({at + prefix, at + r.label.size()});
  }
  auto flips = [](char c) {
    std::vector<char> out;
    for (int x : {0x01, 0x20, 0x80}) out.push_back(static_cast<char>(c ^ x));
    for (char r : {'"', '\\', '{', '}', '\n', ','}) out.push_back(r);
    return out;
  };
  size_t damaged = 0;
  for (size_t p = 0; p < index.size(); ++p) {
    for (char b : flips(index[p])) {
      if (b == index[p]) continue;
      std::string bad = index;
      bad[p] = b;
      host::Salvage s = host::salvage_index(bad);
      std::vector<bool> back(recs.size(), false);
      bool refused = false;  // by recover's checks of the image files
      for (auto &c : s.clips) {
        if (!passes_image_checks(c, recs)) {
          refused = true;
          continue;
        }
        bool known = false;
        bool label_unchecked =
            std::any_of(unchecked.begin(), unchecked.end(),
                        [&](auto &u) { return p >= u.first && p < u.second; });
        for (size_t k = 0; k < recs.size(); ++k) {
          Rec r = recs[k];
          if (label_unchecked && c.image && c.has_label &&
              c.label.size() == r.label.size())
            r.label = c.label;
          if (!back[k] && gives_back(c, r)) {
            back[k] = known = true;
            break;
          }
        }
        ASSERT_TRUE(known) << "byte " << p << " made '" << b
                           << "': a clip that was not in the history, record "
                           << c.record;
      }
      for (size_t k = 0; k < recs.size(); ++k) {
        bool inside = p >= starts[k] && p < ends[k];
        if (!inside) {
          EXPECT_TRUE(back[k]) << "byte " << p << " made '" << b << "' lost record "
                               << k + 1;
        } else if (!back[k]) {
          ++damaged;
          EXPECT_TRUE(refused || !s.lost.empty())
              << "byte " << p << ": record " << k + 1 << " is lost without a word";
        }
      }
    }
  }
  EXPECT_GT(damaged, 0u);
}

TEST(Salvage, DamageOfEveryKind) {
  std::vector<Rec> recs = {text(1, false, "one"), text(2, true, "two"),
                           text(3, false, "three")};
  std::string whole = index_of(recs);
  auto with = [&](const std::string &from, const std::string &to) {
    std::string s = whole;
    size_t p = s.find(from);
    EXPECT_NE(p, std::string::npos) << from;
    return s.replace(p, from.size(), to);
  };
  struct Case {
    const char *what;
    std::string index;
    std::vector<std::string> back;  // the texts that come back, in order
    std::string why;                // the reason given for the one lost
  } cases[] = {
      {"a flipped byte in a text",
       with("\"text\": \"two\"", "\"text\": \"twO\""),
       {"one", "three"},
       "its text does not match its fingerprint (\"hash\")"},
      {"an invalid UTF-8 sequence",
       with("\"text\": \"two\"", "\"text\": \"t\xFFo\""),
       {"one", "three"},
       "it is not valid JSON"},
      {"a truncated UTF-8 sequence",
       with("\"text\": \"two\"", "\"text\": \"tw\xC3\""),
       {"one", "three"},
       "it is not valid JSON"},
      {"no kind",
       with("\"kind\": \"text\",\n            \"preview\": \"two\"",
            "\"preview\": \"two\""),
       {"one", "three"},
       "its \"kind\" is not \"text\" or \"image\""},
      {"another kind",
       with("\"kind\": \"text\",\n            \"preview\": \"two\"",
            "\"kind\": \"file\",\n            \"preview\": \"two\""),
       {"one", "three"},
       "its \"kind\" is not \"text\" or \"image\""},
      {"no text",
       with(",\n            \"text\": \"two\"", ""),
       {"one", "three"},
       "it has no \"text\""},
      {"no pin", with("\"pinned\": true,", ""), {"one", "three"}, "it has no \"pinned\""},
      {"no fingerprint",
       with("\"hash\": \"" + host::fingerprint("two") + "\",", ""),
       {"one", "three"},
       "it has no fingerprint"},
      {"an id that is not an integer",
       with("\"id\": 2", "\"id\": 2.5"),
       {"one", "three"},
       "its \"id\" is not an integer"},
      {"a NUL in the text",
       with("\"text\": \"two\"", "\"text\": \"t\\u0000o\""),
       {"one", "three"},
       "its text holds a NUL character"},
      {"a record's start damaged",
       with("{\n            \"id\": 2", "[\n            \"id\": 2"),
       {"one", "three"},
       "the remains of a record whose start is damaged"},
      {"a record's end damaged",
       with("\"two\"\n        }", "\"two\"\n        )"),
       {"one", "three"},
       "it does not end before the next record"},
      {"the separator between records damaged",
       with("},\n        {", "}.\n        {"),
       {"one", "two", "three"},
       ""},
      {"the header damaged",
       with("\"next_id\": 100", "\"next_id\" 1x0"),
       {"one", "two", "three"},
       ""},
      {"the list's end cut off",
       whole.substr(0, whole.rfind(']')),
       {"one", "two", "three"},
       ""},
      {"a zero-length file", "", {}, ""},
      {"not an index", "[1, 2, 3]", {}, ""},
      {"an empty history", "{\n    \"next_id\": 1,\n    \"clips\": []\n}", {}, ""},
  };
  for (auto &c : cases) {
    host::Salvage s = host::salvage_index(c.index);
    std::vector<std::string> back;
    for (auto &clip : s.clips) back.push_back(clip.text);
    EXPECT_EQ(back, c.back) << c.what;
    if (c.why.empty()) {
      EXPECT_TRUE(s.lost.empty()) << c.what << ": " << s.lost.front().why;
    } else {
      ASSERT_EQ(s.lost.size(), 1u) << c.what;
      EXPECT_EQ(s.lost[0].why.substr(0, c.why.size()), c.why) << c.what;
      EXPECT_LE(s.lost[0].offset, c.index.find("two")) << c.what;
    }
  }
}

// An index another program rewrote (one line, members in another order,
// members the library does not know) and one written by hand without
// fingerprints still give their clips back.
TEST(Salvage, OtherLayouts) {
  std::string minified =
      "{\"clips\":[{\"text\":\"a\",\"id\":1,\"kind\":\"text\",\"pinned\":1,\"hash\":\"" +
      host::fingerprint("a") +
      "\",\"note\":{\"x\":[1]}},{\"id\":2,\"kind\":\"text\",\"pinned\":false,\"hash\":"
      "\"\","
      "\"text\":\"by hand\"},{\"id\":3,\"kind\":\"image\",\"pinned\":false,\"hash\":\"\","
      "\"preview\":\"[image 5 bytes]\",\"label\":null}],\"next_id\":4}";
  host::Salvage s = host::salvage_index(minified);
  ASSERT_EQ(s.clips.size(), 3u);
  EXPECT_TRUE(s.lost.empty());
  EXPECT_FALSE(s.cut_short);
  EXPECT_EQ(s.clips[0].text, "a");
  EXPECT_TRUE(s.clips[0].pinned);
  EXPECT_EQ(s.clips[1].text, "by hand");
  EXPECT_TRUE(s.clips[2].image);
  EXPECT_FALSE(s.clips[2].has_label);
  // Cut inside the second record: the first stays.
  s = host::salvage_index(minified.substr(0, minified.find("by hand")));
  ASSERT_EQ(s.clips.size(), 1u);
  ASSERT_EQ(s.lost.size(), 1u);
  EXPECT_EQ(s.lost[0].why, "the file ends inside it");
  EXPECT_EQ(s.lost[0].record, 2u);
}

TEST(Salvage, TextLongerThanAClip) {
  host::Salvage s = host::salvage_index(
      index_of({text(1, false, std::string(CLIP_TEXT_CAP + 1, 'a'))}));
  EXPECT_TRUE(s.clips.empty());
  ASSERT_EQ(s.lost.size(), 1u);
  EXPECT_EQ(s.lost[0].why, "its text is longer than a clip may be");
}

TEST(Fingerprint, PublishedValues) {
  EXPECT_EQ(host::fingerprint(""), "cbf29ce484222325");
  EXPECT_EQ(host::fingerprint("a"), "af63dc4c8601ec8c");
  EXPECT_EQ(host::fingerprint("abc"), "e71fa2190541574b");
  EXPECT_EQ(host::fingerprint("\xFF"), "af64724c8602eb6e");
}

TEST(ImagePreview, AsTheLibraryFormsIt) {
  std::string logo = "logo", empty;
  EXPECT_EQ(host::image_preview(2048, nullptr), "[image 2048 bytes]");
  EXPECT_EQ(host::image_preview(2048, &empty), "[image 2048 bytes]");
  EXPECT_EQ(host::image_preview(2048, &logo), "[image 2048 bytes: logo]");
  // Cut at 127 bytes, never inside a character: "[image 5 bytes: " is 16
  // bytes, so the 56th two-byte character would end at byte 128.
  std::string wide;
  for (int i = 0; i < 60; ++i) wide += "\xC3\xA9";
  std::string p = host::image_preview(5, &wide);
  EXPECT_EQ(p.size(), 126u);
  EXPECT_EQ(p, "[image 5 bytes: " + wide.substr(0, 110));
  std::string ascii(200, 'x');
  EXPECT_EQ(host::image_preview(5, &ascii).size(), 127u);
}

}  // namespace
