// Image capture: the record, its file and its result string, the argument
// checks in their order, the 10 MiB cap, the preview with and without a
// label and its 127-byte cut, the repeat of the newest clip, and every
// failing step with what it leaves on disk and in the list.
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <set>
#include <string>
#include <vector>

#include "clip_fault.h"
#include "clip_store.h"
#include "quillmar_clip.h"
#include "test_support.h"

namespace {

// Bytes that are no PNG at all, with NULs and high bytes, 2048 of them;
// `seed` makes each call's bytes differ.
std::string image_bytes(int seed, size_t len = 2048) {
  std::string png(len, '\0');
  for (size_t i = 0; i < len; ++i) png[i] = static_cast<char>(i * 31 + seed);
  return png;
}

class PushImageTest : public StoreTest {
 protected:
  // Replaces the store's files with text clips text_of(1)..text_of(n), the
  // ids in `images` image clips of the bytes png_of(id) with their files,
  // and opens the store again.
  void seed(int n, const std::set<int> &images, int next_id) {
    StoreTest::seed(numbered_clips(n, {}, images), next_id);
  }
};

TEST(PushImageFrame, RefusedUntilInitialized) {
  TempDir dir;
  write_file(dir.file("not-a-dir"), "x");
  clip_fault_reset();
  ASSERT_EQ(clip_init(dir.file("not-a-dir").c_str()), 0);
  const std::string png = image_bytes(1);
  EXPECT_EQ(take(clip_push_image(nullptr, 0, nullptr)), "<null>");
  EXPECT_EQ(last_error(), "not initialized");
  EXPECT_EQ(take(push_png(png, "logo")), "<null>");
  EXPECT_EQ(last_error(), "not initialized");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"not-a-dir"});
}

TEST_F(PushImageTest, NewClipIsRecordedWithItsFileAndAnsweredWithItsId) {
  seed(0, {}, 8);
  const std::string png = image_bytes(0);
  int64_t before = time(nullptr);
  EXPECT_EQ(take(push_png(png, "logo")), "{\"id\":8}");
  int64_t after = time(nullptr);
  EXPECT_EQ(last_error(), "");

  const clip_entry &e = newest();
  EXPECT_EQ(e.id, 8);
  EXPECT_GE(e.ts, before);
  EXPECT_LE(e.ts, after);
  EXPECT_EQ(e.kind, CLIP_KIND_IMAGE);
  EXPECT_STREQ(e.preview, "[image 2048 bytes: logo]");
  EXPECT_EQ(e.pinned, 0);
  EXPECT_EQ(e.hash, hash_of(png));
  EXPECT_EQ(e.truncated, 0);
  EXPECT_EQ(e.text, nullptr);
  EXPECT_STREQ(e.label, "logo");
  EXPECT_EQ(g_store.next_id, 9);

  // The bytes go to img_8.png unchanged, readable by the owner only.
  EXPECT_TRUE(read_file(image_path(8)) == png);
#if !defined(_WIN32)  // no file modes there
  struct stat st;
  ASSERT_EQ(stat(image_path(8).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
  EXPECT_EQ(list_dir(dir_.path()), (std::vector<std::string>{"clips.json", "img_8.png"}));

  reopen();
  EXPECT_EQ(take(clip_get(8)),
            "{\"image_path\":\"" + image_path(8) + "\",\"label\":\"logo\"}");
  EXPECT_EQ(newest().hash, hash_of(png));
}

TEST_F(PushImageTest, ArgumentsAreCheckedInOrderAndChangeNothing) {
  // Big enough for every length accepted up to the cap, and one more byte.
  const std::string png(static_cast<size_t>(CLIP_IMAGE_CAP) + 1, 'p');
  const auto *bytes = reinterpret_cast<const unsigned char *>(png.data());
  struct Case {
    const unsigned char *png;
    int len;
    const char *label;
    const char *message;
  };
  const Case cases[] = {
      {nullptr, 0, nullptr, "png is NULL"},
      {nullptr, -1, "\xFF", "png is NULL"},
      {bytes, 0, "\xFF", "png length must be > 0"},
      {bytes, -1, nullptr, "png length must be > 0"},
      {bytes, INT_MIN, nullptr, "png length must be > 0"},
      {bytes, CLIP_IMAGE_CAP + 1, "\xFF", "image exceeds 10MB cap"},
      {bytes, INT_MAX, nullptr, "image exceeds 10MB cap"},
      {bytes, 5, "caf\xE9", "label is not valid UTF-8"},
      {bytes, 5, "ab\xED\xA0\x80", "label is not valid UTF-8"},
      {bytes, 5, "\xC0\xAF", "label is not valid UTF-8"},
      {bytes, 5, "\xF0\x9F\x98", "label is not valid UTF-8"},
  };
  // A store whose next capture would evict, and whose next id is 501.
  seed(500, {1}, 501);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message + std::string(" ") + std::to_string(c.len));
    Snapshot before = snapshot();
    EXPECT_EQ(take(clip_push_image(c.png, c.len, c.label)), "<null>");
    EXPECT_EQ(last_error(), c.message);
    expect_unchanged(before);
  }

  // No id is left to take.
  seed(500, {1}, INT_MAX);
  Snapshot before = snapshot();
  EXPECT_EQ(take(push_png("new", nullptr)), "<null>");
  EXPECT_EQ(last_error(),
            "clip ids exhausted (next id 2147483647): wipe the store to start again at 1");
  expect_unchanged(before);
}

TEST_F(PushImageTest, AnImageOfExactlyTheCapIsStored) {
  const std::string png = image_bytes(3, CLIP_IMAGE_CAP);
  ASSERT_EQ(take(push_png(png, nullptr)), "{\"id\":1}") << last_error();
  EXPECT_STREQ(newest().preview, "[image 10485760 bytes]");
  EXPECT_TRUE(read_file(image_path(1)) == png);
}

// The preview names the length and a non-empty label, tabs and line breaks
// kept; one over 127 bytes is cut there, back to the start of a character the
// cut would split. The stored label is never cut.
TEST_F(PushImageTest, PreviewWithAndWithoutALabel) {
  const std::string prefix = "[image 2048 bytes: ";  // 19 bytes
  struct Case {
    std::string name;
    bool has_label;
    std::string label;
    std::string preview;
  };
  std::vector<Case> cases = {
      {"no label", false, "", "[image 2048 bytes]"},
      {"empty label", true, "", "[image 2048 bytes]"},
      {"label", true, "logo", "[image 2048 bytes: logo]"},
      {"line break and tab kept", true, "a\nb\tc", "[image 2048 bytes: a\nb\tc]"},
      {"127 bytes with the bracket", true, std::string(107, 'x'),
       prefix + std::string(107, 'x') + "]"},
      {"the bracket would be byte 128", true, std::string(108, 'x'),
       prefix + std::string(108, 'x')},
      {"a long label", true, std::string(4000, 'x'), prefix + std::string(108, 'x')},
  };
  const char *chars[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  for (const char *ch : chars) {
    size_t len = strlen(ch);
    for (size_t start = 127 - len; start <= 127; ++start) {
      std::string label = std::string(start - prefix.size(), 'x') + ch + "yz";
      size_t keep = start < 127 && start + len > 127 ? start : 127;
      cases.push_back({std::to_string(len) + "-byte character at byte " + std::to_string(start),
                       true, label, (prefix + label + "]").substr(0, keep)});
    }
  }
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const char *label = c.has_label ? c.label.c_str() : nullptr;
    ++n;
    ASSERT_EQ(take(push_png(image_bytes(n), label)), "{\"id\":" + std::to_string(n) + "}")
        << last_error();
    EXPECT_STREQ(newest().preview, c.preview.c_str());
    if (c.has_label) {
      EXPECT_STREQ(newest().label, c.label.c_str());
    } else {
      EXPECT_EQ(newest().label, nullptr);
    }
  }

  // The index holds every preview and label, and loads again.
  const std::string page = take(clip_list(0, 100));
  reopen();
  EXPECT_EQ(take(clip_list(0, 100)), page);
  for (size_t i = 0; i < cases.size(); ++i) {
    const clip_entry &e = g_store.entries[i];
    EXPECT_STREQ(e.preview, cases[i].preview.c_str());
    EXPECT_EQ(e.label != nullptr, cases[i].has_label);
    if (e.label != nullptr) {
      EXPECT_EQ(e.label, cases[i].label);
    }
  }
}

// Only the bytes are compared, and only with the newest clip: its label,
// kind and pin state play no part, and a repeat writes no file.
TEST_F(PushImageTest, RepeatOfTheNewestClipChangesNothing) {
  seed(3, {3}, 4);
  ASSERT_EQ(clip_pin(3, 1), 1);
  Snapshot before = snapshot();
  EXPECT_EQ(take(push_png(png_of(3), "another label")), "{\"id\":3,\"dedup\":1}");
  EXPECT_EQ(last_error(), "");
  expect_unchanged(before);
  EXPECT_EQ(newest().label, nullptr);

  // A text clip of the same bytes.
  seed(2, {}, 3);
  before = snapshot();
  EXPECT_EQ(take(push_png(text_of(2), "x")), "{\"id\":2,\"dedup\":1}");
  expect_unchanged(before);

  // The answer to a repeat cannot be allocated.
  clip_fault_arm(CLIP_FAULT_ALLOC, 1);
  EXPECT_EQ(take(push_png(text_of(2), "x")), "<null>");
  EXPECT_TRUE(clip_fault_fired());
  EXPECT_EQ(last_error(), "out of memory");
  expect_unchanged(before);

  // An older clip is not compared.
  seed(3, {2}, 4);
  EXPECT_EQ(take(push_png(png_of(2), nullptr)), "{\"id\":4}");
  EXPECT_TRUE(file_exists(image_path(4)));
}

TEST_F(PushImageTest, EvictsTheOldestUnpinnedClipWithItsFile) {
  seed(500, {1, 2}, 501);
  EXPECT_EQ(take(push_png(image_bytes(0), nullptr)), "{\"id\":501}");
  EXPECT_EQ(ids().front(), 2);
  EXPECT_FALSE(file_exists(image_path(1)));
  EXPECT_TRUE(file_exists(image_path(2)));
  EXPECT_TRUE(file_exists(image_path(501)));
  reopen();
  EXPECT_EQ(ids().front(), 2);
  EXPECT_EQ(ids().back(), 501);
}

// Each allocation of a capture with a label made to fail in turn, in a fresh
// store: the label copy (1st), the preview (2nd), the append (3rd, the list's
// first growth), the index write (the document and its text) and the answer
// (last). Until the append the image file is gone again afterwards; from the
// append on it stays with the clip.
TEST_F(PushImageTest, EveryFailingAllocationLeavesWhatItsStepSays) {
  const std::string png = image_bytes(7);
  size_t failures = 0;
  for (long n = 1;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    TempDir dir;
    clip_fault_reset();
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);
    const std::string index_before = read_file(dir.file("clips.json"));
    clip_fault_arm(CLIP_FAULT_ALLOC, n);
    std::string result = take(push_png(png, "label"));
    if (!clip_fault_fired()) {
      EXPECT_EQ(result, "{\"id\":1}");
      // The sweep has passed the label, the preview, the append, the index
      // write and the answer.
      EXPECT_GE(failures, 5u);
      break;
    }
    clip_fault_reset();
    ++failures;
    EXPECT_EQ(result, "<null>");
    EXPECT_EQ(g_store.next_id, 2);
    const std::string message = last_error();
    const std::string index_after = read_file(dir.file("clips.json"));
    const bool listed = g_store.count == 1;
    EXPECT_EQ(listed, n > 3);
    if (listed) {
      EXPECT_STREQ(newest().label, "label");
    }
    EXPECT_EQ(list_dir(dir.path()),
              listed ? (std::vector<std::string>{"clips.json", "img_1.png"})
                     : (std::vector<std::string>{"clips.json"}));
    if (!listed) {
      EXPECT_EQ(message, "out of memory");
    } else if (index_after == index_before) {
      EXPECT_TRUE(message == "out of memory" || message == "failed to serialize clips.json")
          << message;
    } else {
      // Only the answer failed: the clip is stored and the index names it.
      EXPECT_EQ(message, "out of memory");
      EXPECT_TRUE(listed);
      EXPECT_NE(index_after.find("\"label\""), std::string::npos);
    }
    // The id stays used; the next write holds whatever is in the list.
    ASSERT_EQ(take(push_png(image_bytes(8), nullptr)), "{\"id\":2}");
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);
    EXPECT_EQ(ids(), listed ? (std::vector<int>{1, 2}) : (std::vector<int>{2}));
  }
}

// The file operations of the image write and of the index write made to fail:
// the image's own failures leave no file for the id (temporary file
// included); a failed index write leaves the clip listed with its file. The
// id is used up either way and the index stays as it was.
TEST_F(PushImageTest, FailedFileWritesLeaveWhatTheirStepSays) {
  struct Case {
    clip_fault_op op;
    long nth;
    const char *message;
    bool listed;
  };
  const Case cases[] = {
      {CLIP_FAULT_OPEN, 1, "failed to open blob tmp: Permission denied", false},
      {CLIP_FAULT_WRITE, 1, "short write on blob", false},
      {CLIP_FAULT_SYNC, 1, "failed to flush blob", false},
      {CLIP_FAULT_CLOSE, 1, "failed to flush blob", false},
      {CLIP_FAULT_RENAME, 1, "rename blob failed: Input/output error", false},
      {CLIP_FAULT_OPEN, 2, "failed to open clips.json.tmp: Permission denied", true},
      {CLIP_FAULT_RENAME, 2, "atomic rename failed: Input/output error", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    seed(2, {1}, 3);
    const std::string before = index();
    clip_fault_arm(c.op, c.nth);
    EXPECT_EQ(take(push_png(image_bytes(0), "label")), "<null>");
    clip_fault_reset();
    EXPECT_EQ(last_error(), c.message);
    EXPECT_EQ(index(), before);
    EXPECT_EQ(g_store.next_id, 4);
    EXPECT_EQ(ids(), c.listed ? (std::vector<int>{1, 2, 3}) : (std::vector<int>{1, 2}));
    EXPECT_EQ(list_dir(dir_.path()),
              c.listed ? (std::vector<std::string>{"clips.json", "img_1.png", "img_3.png"})
                       : (std::vector<std::string>{"clips.json", "img_1.png"}));

    EXPECT_EQ(take(push_png(image_bytes(9), nullptr)), "{\"id\":4}");
    reopen();
    EXPECT_EQ(ids(), c.listed ? (std::vector<int>{1, 2, 3, 4}) : (std::vector<int>{1, 2, 4}));
  }
}

}  // namespace
