// The in-memory list below the C interface: growth of the array, the handover
// of a record's strings on append, removal, eviction, lookups and counts.
#include <string.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "clip_fault.h"
#include "clip_store.h"
#include "clip_error.h"
#include "test_support.h"

namespace {

char *dup(const std::string &s) { return strdup(s.c_str()); }

// A text clip (or an image clip) whose strings name its id, so that a record
// that moved or lost its strings shows up in ids_and_texts().
clip_entry make_entry(int id, int pinned = 0, int kind = CLIP_KIND_TEXT) {
  clip_entry e{};
  e.id = id;
  e.kind = kind;
  e.pinned = pinned;
  e.preview = dup(numbered("p", id));
  if (kind == CLIP_KIND_TEXT) {
    e.text = dup(numbered("t", id));
    e.text_len = strlen(e.text);
  } else {
    e.label = dup(numbered("l", id));
  }
  return e;
}

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clip_fault_reset();
    snprintf(store_.store_dir, sizeof store_.store_dir, "%s", dir_.path().c_str());
    store_.next_id = 1;
    store_.initialized = 1;
  }
  void TearDown() override {
    clip_fault_reset();
    clip_list_clear(&store_);
  }

  void append(int id, int pinned = 0, int kind = CLIP_KIND_TEXT) {
    clip_entry e = make_entry(id, pinned, kind);
    ASSERT_TRUE(clip_list_append(&store_, &e));
  }

  // A fresh list of text clips 1, 2, ... with these pinned flags.
  void fill(const std::vector<int> &pinned) {
    clip_list_clear(&store_);
    for (size_t i = 0; i < pinned.size(); ++i) append(static_cast<int>(i) + 1, pinned[i]);
  }

  // "id:text" per record, front to back; image clips show their label.
  std::string ids_and_texts() const {
    std::string out;
    for (int i = 0; i < store_.count; ++i) {
      const clip_entry &e = store_.entries[i];
      if (!out.empty()) out += ' ';
      out += std::to_string(e.id) + ":" + (e.kind == CLIP_KIND_TEXT ? e.text : e.label);
    }
    return out;
  }

  TempDir dir_;
  clip_store store_{};
};

TEST_F(ListTest, ArrayStartsAt64SlotsAndDoubles) {
  struct Step {
    int appends;  // records in the list after this step
    int capacity;
  };
  const Step steps[] = {{1, 64}, {64, 64}, {65, 128}, {128, 128}, {129, 256}};
  EXPECT_EQ(store_.entries, nullptr);
  int n = 0;
  for (const Step &s : steps) {
    while (n < s.appends) append(++n);
    EXPECT_EQ(store_.count, s.appends);
    EXPECT_EQ(store_.capacity, s.capacity) << "after " << s.appends;
  }
  // Growing moved every record whole.
  for (int i = 0; i < store_.count; ++i) {
    ASSERT_EQ(store_.entries[i].id, i + 1);
    ASSERT_EQ(std::string(store_.entries[i].text), numbered("t", i + 1));
  }
}

TEST_F(ListTest, AppendTakesTheStringsOver) {
  clip_entry e = make_entry(7, 1, CLIP_KIND_IMAGE);
  e.ts = -3;
  e.truncated = 1;
  memcpy(e.hash, "0123456789abcdef", 17);
  char *preview = e.preview;
  char *label = e.label;
  ASSERT_TRUE(clip_list_append(&store_, &e));

  EXPECT_EQ(e.preview, nullptr);
  EXPECT_EQ(e.text, nullptr);
  EXPECT_EQ(e.label, nullptr);
  clip_list_free_entry(&e);  // owns nothing any more: no double release

  const clip_entry &kept = store_.entries[0];
  EXPECT_EQ(kept.preview, preview);
  EXPECT_EQ(kept.label, label);
  EXPECT_EQ(kept.text, nullptr);
  EXPECT_EQ(kept.id, 7);
  EXPECT_EQ(kept.ts, -3);
  EXPECT_EQ(kept.kind, CLIP_KIND_IMAGE);
  EXPECT_EQ(kept.pinned, 1);
  EXPECT_EQ(kept.truncated, 1);
  EXPECT_STREQ(kept.hash, "0123456789abcdef");
  // Append assigns nothing: the counter is the caller's to advance.
  EXPECT_EQ(store_.next_id, 1);
}

TEST_F(ListTest, FailedGrowthLeavesStoreAndRecordAsTheyWere) {
  struct Case {
    const char *name;
    int before;  // records appended before the failing one
  };
  const Case cases[] = {{"first slot", 0}, {"full array of 64", 64}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    clip_list_clear(&store_);
    for (int i = 1; i <= c.before; ++i) append(i);
    clip_entry *entries = store_.entries;
    int capacity = store_.capacity;
    clip_entry e = make_entry(1000);
    char *preview = e.preview;
    char *text = e.text;

    clip_fault_arm(CLIP_FAULT_ALLOC, 1);
    EXPECT_FALSE(clip_list_append(&store_, &e));
    EXPECT_TRUE(clip_fault_fired());
    clip_fault_reset();
    EXPECT_EQ(last_error(), "out of memory");
    EXPECT_EQ(store_.count, c.before);
    EXPECT_EQ(store_.capacity, capacity);
    EXPECT_EQ(store_.entries, entries);
    EXPECT_EQ(e.preview, preview);
    EXPECT_EQ(e.text, text);
    EXPECT_STREQ(e.text, "t1000");

    // The record is still whole: a second try stores it.
    ASSERT_TRUE(clip_list_append(&store_, &e));
    EXPECT_EQ(store_.entries[store_.count - 1].text, text);
  }
}

TEST_F(ListTest, AppendRefusesToGrowPastTheLargestArray) {
  // A list of 2^30 records cannot double without overflowing its size; the
  // array is never touched, so a store that only claims to be that full
  // shows the refusal.
  clip_store huge{};
  huge.capacity = 1 << 30;
  huge.count = huge.capacity;
  clip_entry e = make_entry(1);
  EXPECT_FALSE(clip_list_append(&huge, &e));
  EXPECT_EQ(last_error(), "out of memory");
  EXPECT_EQ(huge.capacity, 1 << 30);
  EXPECT_EQ(huge.entries, nullptr);
  EXPECT_NE(e.text, nullptr);
  clip_list_free_entry(&e);
}

TEST_F(ListTest, RemoveAtClosesTheGapInOrder) {
  struct Case {
    int index;
    bool result;
    const char *left;
  };
  const Case cases[] = {
      {-1, 0, "1:t1 2:t2 3:t3"},
      {3, 0, "1:t1 2:t2 3:t3"},
      {INT32_MIN, 0, "1:t1 2:t2 3:t3"},
      {0, 1, "2:t2 3:t3"},
      {1, 1, "1:t1 3:t3"},
      {2, 1, "1:t1 2:t2"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.index);
    clip_list_clear(&store_);
    append(1);
    append(2);
    append(3);
    clip_entry *entries = store_.entries;
    clip_set_error("earlier");
    EXPECT_EQ(clip_list_remove_at(&store_, c.index), c.result);
    EXPECT_EQ(ids_and_texts(), c.left);
    EXPECT_EQ(store_.capacity, 64);
    EXPECT_EQ(store_.entries, entries);
    EXPECT_EQ(last_error(), "earlier");  // no message of its own
  }
}

TEST_F(ListTest, RemovingAnImageClipDeletesItsFileAfterTheCall) {
  append(1, 0, CLIP_KIND_IMAGE);
  append(2, 0, CLIP_KIND_IMAGE);
  append(3);
  write_file(dir_.file("img_1.png"), "one");
  // img_2.png is already gone: the removal goes ahead all the same.
  ASSERT_TRUE(clip_list_remove_at(&store_, 1));
  ASSERT_TRUE(clip_list_remove_at(&store_, 0));
  EXPECT_EQ(ids_and_texts(), "3:t3");
  // The file stays until the index that still names the clip is replaced.
  EXPECT_TRUE(file_exists(dir_.file("img_1.png")));
  clip_store_unlink_doomed(&store_);
  EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{});
  EXPECT_EQ(store_.doomed_count, 0);
}

TEST_F(ListTest, FileOfARepeatedImageIdStaysWhileAnotherClipNamesIt) {
  append(5, 0, CLIP_KIND_IMAGE);
  append(5, 0, CLIP_KIND_IMAGE);
  append(6, 0, CLIP_KIND_IMAGE);
  append(6);
  write_file(dir_.file("img_5.png"), "five");
  write_file(dir_.file("img_6.png"), "six");
  ASSERT_TRUE(clip_list_remove_at(&store_, 0));  // the other id 5 is an image
  ASSERT_TRUE(clip_list_remove_at(&store_, 1));  // the other id 6 is a text
  clip_store_unlink_doomed(&store_);
  EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"img_5.png"});
}

// The file of a removed image clip must neither go while an index may still
// name the clip nor stay behind unnamed: when its id cannot be queued, the
// removal does not happen.
TEST_F(ListTest, ImageClipsWhoseFilesCannotBeQueuedAreNotRemoved) {
  append(1, 0, CLIP_KIND_IMAGE);
  append(2);
  append(3, 0, CLIP_KIND_IMAGE);
  write_file(dir_.file("img_1.png"), "one");
  write_file(dir_.file("img_3.png"), "three");
  struct Case {
    const char *what;
    std::function<int()> remove;
    int result;
  };
  const Case cases[] = {
      {"remove_at", [&] { return clip_list_remove_at(&store_, 0); }, 0},
      {"evict", [&] { return clip_list_evict_oldest_unpinned_n(&store_, 2); }, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    clip_fault_reset();
    clip_fault_arm(CLIP_FAULT_ALLOC, 1);
    EXPECT_EQ(c.remove(), c.result);
    EXPECT_TRUE(clip_fault_fired());
    EXPECT_EQ(last_error(), "out of memory");
    EXPECT_EQ(ids_and_texts(), "1:l1 2:t2 3:l3");
    EXPECT_EQ(store_.doomed_count, 0);
    clip_store_unlink_doomed(&store_);
    EXPECT_EQ(list_dir(dir_.path()), (std::vector<std::string>{"img_1.png", "img_3.png"}));
  }
  // A text clip needs no room in the queue.
  clip_fault_arm(CLIP_FAULT_ALLOC, 1, 0);
  EXPECT_TRUE(clip_list_remove_at(&store_, 1));
  EXPECT_EQ(ids_and_texts(), "1:l1 3:l3");
}

TEST_F(ListTest, EvictionTakesTheOldestUnpinnedClip) {
  struct Case {
    std::vector<int> pinned;  // pinned flag of clips 1, 2, ...
    int result;
    const char *left;
  };
  const Case cases[] = {
      {{1, 0, 1, 0}, 1, "1:t1 3:t3 4:t4"},
      {{0, 0}, 1, "2:t2"},
      {{2, -1, 0}, 1, "1:t1 2:t2"},  // any value but 0 pins
      {{1, 1}, 0, "1:t1 2:t2"},
      {{}, 0, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.pinned));
    fill(c.pinned);
    clip_set_error("earlier");
    EXPECT_EQ(clip_list_evict_oldest_unpinned_n(&store_, 1), c.result);
    EXPECT_EQ(ids_and_texts(), c.left);
    EXPECT_EQ(last_error(), "earlier");
  }
}

TEST_F(ListTest, EvictingManyAtOnceTakesTheUnpinnedNearestTheFront) {
  // Mixed lists of texts and images, pinned and not; n from none to more
  // clips than are unpinned.
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    const int size = static_cast<int>(rng() % 40);
    const int n = static_cast<int>(rng() % 45);
    SCOPED_TRACE("size " + std::to_string(size) + ", n " + std::to_string(n));
    std::vector<int> pinned(size), kind(size);
    for (int i = 0; i < size; ++i) {
      pinned[i] = rng() % 3 == 0;
      kind[i] = rng() % 4 == 0 ? CLIP_KIND_IMAGE : CLIP_KIND_TEXT;
    }
    auto build = [&] {
      clip_list_clear(&store_);
      for (int i = 0; i < size; ++i) append(i + 1, pinned[i], kind[i]);
    };

    // The oracle: n evictions one at a time, each of the unpinned clip
    // nearest the front, whose file is queued when it is an image.
    int one_by_one = 0;
    std::string want_list;
    std::vector<int> want_doomed;
    for (int i = 0; i < size; ++i) {
      if (one_by_one < n && !pinned[i]) {
        ++one_by_one;
        if (kind[i] == CLIP_KIND_IMAGE) want_doomed.push_back(i + 1);
        continue;
      }
      if (!want_list.empty()) want_list += ' ';
      want_list += std::to_string(i + 1) + (kind[i] == CLIP_KIND_TEXT ? ":t" : ":l") +
                   std::to_string(i + 1);
    }

    build();
    EXPECT_EQ(clip_list_evict_oldest_unpinned_n(&store_, n), one_by_one);
    EXPECT_EQ(ids_and_texts(), want_list);
    EXPECT_EQ(std::vector<int>(store_.doomed, store_.doomed + store_.doomed_count), want_doomed);
  }
}

TEST_F(ListTest, FindIndexTakesTheFirstMatchFromTheFront) {
  EXPECT_EQ(clip_list_find_index(&store_, 1), -1);
  for (int id : {4, 9, 4, -2, 0}) append(id);
  struct Case {
    int id;
    int index;
  };
  const Case cases[] = {{4, 0}, {9, 1}, {-2, 3}, {0, 4}, {5, -1}, {INT32_MAX, -1}};
  for (const Case &c : cases) {
    EXPECT_EQ(clip_list_find_index(&store_, c.id), c.index) << "id " << c.id;
  }
}

TEST_F(ListTest, CountsTreatEveryNonZeroFlagAsPinned) {
  struct Case {
    std::vector<int> pinned;
    int pinned_count;
    int unpinned_count;
  };
  const Case cases[] = {
      {{}, 0, 0}, {{0, 0, 0}, 0, 3}, {{1, 2, -1}, 3, 0}, {{0, 1, 0, 2}, 2, 2}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.pinned));
    fill(c.pinned);
    EXPECT_EQ(clip_list_count_pinned(&store_), c.pinned_count);
    EXPECT_EQ(clip_list_count_unpinned(&store_), c.unpinned_count);
  }
}

TEST_F(ListTest, ClearReleasesTheListAndKeepsDirectoryAndState) {
  for (int i = 1; i <= 70; ++i) append(i, 0, i % 2 ? CLIP_KIND_TEXT : CLIP_KIND_IMAGE);
  ASSERT_TRUE(clip_list_remove_at(&store_, 1));  // queues img_2.png
  write_file(dir_.file("img_4.png"), "four");
  write_file(dir_.file("clips.json"), "index");
  store_.next_id = 71;

  clip_list_clear(&store_);
  EXPECT_EQ(store_.entries, nullptr);
  EXPECT_EQ(store_.count, 0);
  EXPECT_EQ(store_.capacity, 0);
  EXPECT_EQ(store_.next_id, 1);
  EXPECT_EQ(store_.doomed, nullptr);
  EXPECT_EQ(store_.doomed_count, 0);
  EXPECT_EQ(std::string(store_.store_dir), dir_.path());
  EXPECT_EQ(store_.initialized, 1);
  // Files are not the list's to touch.
  EXPECT_EQ(list_dir(dir_.path()), (std::vector<std::string>{"clips.json", "img_4.png"}));
  EXPECT_EQ(read_file(dir_.file("clips.json")), "index");

  append(1);
  EXPECT_EQ(store_.capacity, 64);
  clip_list_clear(nullptr);
}

TEST_F(ListTest, FreeEntryReleasesOnlyTheStrings) {
  clip_entry e = make_entry(3, 1, CLIP_KIND_IMAGE);
  e.ts = 11;
  clip_list_free_entry(&e);
  EXPECT_EQ(e.preview, nullptr);
  EXPECT_EQ(e.text, nullptr);
  EXPECT_EQ(e.label, nullptr);
  EXPECT_EQ(e.id, 3);
  EXPECT_EQ(e.ts, 11);
  EXPECT_EQ(e.pinned, 1);
  clip_list_free_entry(&e);
  clip_list_free_entry(nullptr);
}

}  // namespace
