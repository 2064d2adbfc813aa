// Listing and fetching: the list page byte for byte, paging, string escapes,
// the fetch results of text and image clips, and every way the two reads
// fail, each leaving the history and its files as they were.
#include <limits.h>

#include <set>
#include <string>
#include <vector>

#include <yyjson.h>

#include "clip_fault.h"
#include "clip_store.h"
#include "quillmar_clip.h"
#include "test_support.h"

namespace {

std::string str_member(yyjson_val *obj, const char *key) {
  yyjson_val *v = yyjson_obj_get(obj, key);
  EXPECT_TRUE(yyjson_is_str(v)) << key;
  return v ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : std::string();
}

class ReadTest : public StoreTest {
 protected:
  // len bytes that differ from those of the image before, so that none is
  // taken for a repeat.
  std::string image_bytes(size_t len) {
    std::string png(len, '\0');
    ++images_;
    for (size_t i = 0; i < len; ++i) png[i] = static_cast<char>(i * 7 + images_);
    return png;
  }

  clip_entry &entry(int id) {
    static clip_entry missing{};
    int index = clip_list_find_index(&g_store, id);
    EXPECT_GE(index, 0) << id;
    return index >= 0 ? g_store.entries[index] : missing;
  }

  int images_ = 0;
};

TEST_F(ReadTest, ListWritesCompactSummariesNewestFirst) {
  EXPECT_EQ(take(clip_list(0, 0)), "[]");
  g_store.next_id = 7;
  ASSERT_EQ(push_text("hello world"), 7);
  ASSERT_EQ(clip_pin(7, 1), 1);
  ASSERT_EQ(push_image(image_bytes(2048), "logo"), 8);
  entry(7).ts = 1757762400;
  entry(8).ts = 1757762526;
  const std::string page =
      "[{\"id\":8,\"ts\":1757762526,\"kind\":\"image\",\"preview\":\"[image 2048 bytes: logo]\","
      "\"pinned\":false},{\"id\":7,\"ts\":1757762400,\"kind\":\"text\",\"preview\":\"hello "
      "world\",\"pinned\":true}]";
  EXPECT_EQ(take(clip_list(0, 0)), page);
  EXPECT_EQ(last_error(), "");

  // The same page from the index, once reloaded.
  ASSERT_TRUE(clip_store_save(&g_store));
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(take(clip_list(0, 0)), page);
}

TEST_F(ReadTest, ListPagesFromTheNewestWithPinnedClipsInPlace) {
  const std::set<int> pinned = {1, 30, 60};
  seed(numbered_clips(60, pinned), 61);
  const std::string before = index();
  struct Case {
    int offset, limit;
    std::vector<int> ids;
  };
  const Case cases[] = {
      {0, 0, down(60, 11)},
      {50, 0, down(10, 1)},
      {58, 5, {2, 1}},
      {-5, 0, down(60, 11)},
      {INT_MIN, 3, {60, 59, 58}},
      {0, -1, down(60, 11)},
      {0, INT_MIN, down(60, 11)},
      {10, 3, {50, 49, 48}},
      {59, 1, {1}},
      {0, 60, down(60, 1)},
      {0, INT_MAX, down(60, 1)},
      {60, 0, {}},
      {61, 5, {}},
      {INT_MAX, INT_MAX, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("offset " + std::to_string(c.offset) + " limit " + std::to_string(c.limit));
    std::string page = take(clip_list(c.offset, c.limit));
    EXPECT_EQ(last_error(), "");
    if (c.ids.empty()) {
      EXPECT_EQ(page, "[]");
      continue;
    }
    EXPECT_EQ(ints_of(page, "id"), c.ids);
    std::vector<int> flags;
    for (int id : c.ids) flags.push_back(pinned.count(id) ? 1 : 0);
    EXPECT_EQ(ints_of(page, "pinned"), flags);
    std::vector<int> ts;
    for (int id : c.ids) ts.push_back(static_cast<int>(kSeedTs + id));
    EXPECT_EQ(ints_of(page, "ts"), ts);
  }
  EXPECT_EQ(index(), before);
}

TEST_F(ReadTest, ListEscapesPreviewsTheWayTheJsonWriterDoes) {
  struct Case {
    const char *text;
    const char *json;  // the "preview" value as listed
  };
  const Case cases[] = {
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\tmp/a/b", "\"C:\\\\tmp/a/b\""},
      {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93 \xE6\x97\xA5\xF0\x9F\x98\x80",
       "\"Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93 \xE6\x97\xA5\xF0\x9F\x98\x80\""},
      {"one\r\ntwo\tthree", "\"one  two three\""},
      {"\x01vt\x0B" "ff\x0C" "end\x7F", "\"\\u0001vt\\u000Bff\\fend\x7F\""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    int id = push_text(c.text);
    entry(id).ts = 5;
    std::string page = take(clip_list(0, 1));
    EXPECT_EQ(page, "[{\"id\":" + std::to_string(id) + ",\"ts\":5,\"kind\":\"text\",\"preview\":" +
                        c.json + ",\"pinned\":false}]");
    // A reader gets the stored preview back byte for byte.
    yyjson_doc *doc = yyjson_read(page.data(), page.size(), 0);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(str_member(yyjson_arr_get_first(yyjson_doc_get_root(doc)), "preview"),
              entry(id).preview);
    yyjson_doc_free(doc);
  }
}

TEST_F(ReadTest, PreviewsThatAreMissingOrNotUtf8) {
  seed(numbered_clips(3), 4);
  const std::string before = index();
  clip_entry &middle = entry(2);
  free(middle.preview);
  middle.preview = nullptr;
  EXPECT_EQ(take(clip_list(1, 1)),
            "[{\"id\":2,\"ts\":" + std::to_string(kSeedTs + 2) +
                ",\"kind\":\"text\",\"preview\":\"\",\"pinned\":false}]");

  middle.preview = strdup("bad \xFF\xFE byte");
  struct Case {
    int offset, limit;
    std::vector<int> ids;  // empty: the page holds clip 2 and cannot be written
  };
  const Case cases[] = {{0, 0, {}}, {1, 1, {}}, {0, 1, {3}}, {2, 0, {1}}};
  for (const Case &c : cases) {
    SCOPED_TRACE("offset " + std::to_string(c.offset) + " limit " + std::to_string(c.limit));
    std::string page = take(clip_list(c.offset, c.limit));
    if (c.ids.empty()) {
      EXPECT_EQ(page, "<null>");
      EXPECT_EQ(last_error(), "failed to serialize list");
    } else {
      EXPECT_EQ(ints_of(page, "id"), c.ids);
      EXPECT_EQ(last_error(), "");
    }
  }
  EXPECT_EQ(g_store.count, 3);
  EXPECT_EQ(index(), before);
}

TEST_F(ReadTest, GetReturnsTextsUnchanged) {
  const std::string texts[] = {
      "plain",
      "",
      "quote \" backslash \\ line\nbreak\r\ntab\there \x0B\x0C",
      "\xE2\x9C\x93 {\"json\": \"not parsed\"}",
      std::string(130, 'x') + "\n" + std::string(10, 'y'),
  };
  for (const std::string &text : texts) {
    SCOPED_TRACE(text);
    int id = push_text(text);
    EXPECT_EQ(take(clip_get(id)), text);
    EXPECT_EQ(last_error(), "");
  }
  // A text clip without a text reads as the empty text.
  int id = push_text("soon without text");
  clip_entry &e = entry(id);
  free(e.text);
  e.text = nullptr;
  e.text_len = 0;
  EXPECT_EQ(take(clip_get(id)), "");
  EXPECT_EQ(last_error(), "");
}

TEST_F(ReadTest, GetOfAnImageGivesItsPathAndLabel) {
  struct Case {
    const char *label;
    const char *tail;  // what follows the "image_path" member
  };
  const Case cases[] = {
      {"logo", ",\"label\":\"logo\"}"},
      {"", ",\"label\":\"\"}"},
      {nullptr, "}"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label ? c.label : "no label");
    int id = push_image(image_bytes(64), c.label);
    EXPECT_EQ(take(clip_get(id)), "{\"image_path\":\"" + image_path(id) + "\"" + c.tail);
    EXPECT_EQ(last_error(), "");
  }
  // The file is not looked at: a missing one is still named.
  int id = push_image(image_bytes(32), "gone");
  ASSERT_EQ(remove(image_path(id).c_str()), 0);
  EXPECT_EQ(take(clip_get(id)),
            "{\"image_path\":\"" + image_path(id) + "\",\"label\":\"gone\"}");
}

TEST_F(ReadTest, GetEscapesPathAndLabelSoThatAReaderRecoversThem) {
  SKIP_ON_WINDOWS("a Windows name cannot hold a quotation mark, a line break or a tab");
  const std::string store = dir_.file("q\"uo\\te\nline\tend");
  ASSERT_EQ(clip_init(store.c_str()), 1) << clip_last_error();
  const std::string label = "say \"cheese\" \\o/\r\n\t\x01\x1F \xE2\x9C\x93";
  int id = push_image(image_bytes(16), label.c_str());
  std::string got = take(clip_get(id));

  yyjson_doc *doc = yyjson_read(got.data(), got.size(), 0);
  ASSERT_NE(doc, nullptr) << got;
  yyjson_val *root = yyjson_doc_get_root(doc);
  EXPECT_EQ(yyjson_obj_size(root), 2u);
  const std::string path = str_member(root, "image_path");
  EXPECT_EQ(path, store + "/img_" + std::to_string(id) + ".png");
  EXPECT_EQ(str_member(root, "label"), label);
  yyjson_doc_free(doc);
  EXPECT_TRUE(file_exists(path));
  // Two-character escapes where JSON has one, \u00XX for the other controls.
  EXPECT_NE(got.find("\"label\":\"say \\\"cheese\\\" \\\\o/\\r\\n\\t\\u0001\\u001f \xE2\x9C\x93\"}"),
            std::string::npos)
      << got;
}

TEST_F(ReadTest, GetOfAnUnknownIdNamesIt) {
  push_text("one");
  ASSERT_EQ(push_text("two"), 2);
  ASSERT_EQ(clip_delete(2), 1);
  const std::string before = index();
  for (const UnknownId &c : kUnknownIds) {
    EXPECT_EQ(take(clip_get(c.id)), "<null>");
    EXPECT_EQ(last_error(), c.message);
  }
  EXPECT_EQ(take(clip_get(1)), "one");
  EXPECT_EQ(index(), before);
}

// Makes each allocation of `call` fail in turn, from the first on, until one
// run needs no failed allocation; every failed run must give null with a
// message, and a run that survived a failure must still give `whole`.
template <class Call>
std::vector<std::string> messages_when_memory_runs_out(Call call, const std::string &whole) {
  std::vector<std::string> messages;
  for (long n = 1; n < 10000; ++n) {
    clip_fault_reset();
    clip_fault_arm(CLIP_FAULT_ALLOC, n);
    std::string got = take(call());
    bool fired = clip_fault_fired();
    clip_fault_reset();
    if (!fired) {
      EXPECT_EQ(got, whole);
      return messages;
    }
    if (got != "<null>") {
      EXPECT_EQ(got, whole) << "allocation " << n;
    } else {
      messages.push_back(last_error());
    }
  }
  ADD_FAILURE() << "allocations never ran out";
  return messages;
}

TEST_F(ReadTest, ListOutOfMemoryFailsWholeAndChangesNothing) {
  seed(numbered_clips(60, {2}), 61);
  const std::string before = index();
  const std::string page = take(clip_list(1, 0));
  std::vector<std::string> messages =
      messages_when_memory_runs_out([] { return clip_list(1, 0); }, page);
  ASSERT_GE(messages.size(), 3u);
  // The document itself, then the parts of the page (never a page with a
  // clip left out), and last the writer's buffer or the copy of its text.
  EXPECT_EQ(messages.front(), "out of memory");
  EXPECT_EQ(messages.back(), "failed to serialize list");
  for (const std::string &m : messages) {
    EXPECT_TRUE(m == "out of memory" || m == "failed to serialize list") << m;
  }
  EXPECT_EQ(take(clip_list(1, 0)), page);
  EXPECT_EQ(index(), before);
  EXPECT_EQ(g_store.next_id, 61);
}

TEST_F(ReadTest, GetOutOfMemoryFailsAndChangesNothing) {
  int text = push_text("some text");
  int labelled = push_image(image_bytes(8), "logo");
  int bare = push_image(image_bytes(9), nullptr);
  const std::string before = index();
  for (int id : {text, labelled, bare}) {
    SCOPED_TRACE(id);
    const std::string whole = take(clip_get(id));
    std::vector<std::string> messages =
        messages_when_memory_runs_out([id] { return clip_get(id); }, whole);
    EXPECT_FALSE(messages.empty());
    for (const std::string &m : messages) EXPECT_EQ(m, "out of memory");
    EXPECT_EQ(take(clip_get(id)), whole);
  }
  EXPECT_EQ(index(), before);
}

TEST_F(ReadTest, ReadsRefuseUntilTheStoreIsOpen) {
  int id = push_text("kept");
  const std::string before = index();
  write_file(dir_.file("plain"), "not a directory");
  ASSERT_EQ(clip_init(dir_.file("plain").c_str()), 0);
  EXPECT_EQ(take(clip_list(0, 0)), "<null>");
  EXPECT_EQ(last_error(), "not initialized");
  EXPECT_EQ(take(clip_get(id)), "<null>");
  EXPECT_EQ(last_error(), "not initialized");
  EXPECT_EQ(read_file(dir_.file("clips.json")), before);
}

}  // namespace
