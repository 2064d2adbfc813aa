// Pinning, deleting and wiping: what each call leaves in memory, in the index
// and in the store directory, on success and on every way it fails.
#include <errno.h>
#include <limits.h>
#include <string.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "clip_fault.h"
#include "clip_store.h"
#include "quillmar_clip.h"
#include "test_support.h"

namespace {

const char kEmptyIndex[] = "{\n    \"next_id\": 1,\n    \"clips\": []\n}";

// What the index file in dir holds, as far as these calls change it.
struct Index {
  int next_id = 0;
  std::vector<int> ids;
  std::set<int> pinned;
};

Index index_in(const std::string &dir) {
  model::Disk disk = model::read_index(dir);
  EXPECT_EQ(disk.state, model::Disk::OK) << disk.why;
  Index out;
  out.next_id = disk.history.next_id;
  for (const model::Clip &c : disk.history.clips) {
    out.ids.push_back(c.id);
    if (c.pinned) out.pinned.insert(c.id);
  }
  return out;
}

class ManageTest : public StoreTest {
 protected:
  Index on_disk() const { return index_in(dir_.path()); }

  static int pinned_flag(int id) {
    int index = clip_list_find_index(&g_store, id);
    EXPECT_GE(index, 0) << id;
    return index >= 0 ? g_store.entries[index].pinned : -1;
  }
};

// ---------------------------------------------------------------------------
// clip_pin

TEST_F(ManageTest, PinStoresOneOrZeroAndAlwaysRewritesTheIndex) {
  int id = push_text("pin me");
  push_text("newer");
  struct Case {
    int flag;
    int stored;
  };
  // Pinning a pinned clip and unpinning an unpinned one still write the index.
  const Case cases[] = {{5, 1}, {1, 1}, {-1, 1}, {INT_MIN, 1}, {0, 0}, {0, 0}, {INT_MAX, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE("flag " + std::to_string(c.flag));
    write_file(dir_.file("clips.json"), "stale");
    EXPECT_EQ(clip_pin(id, c.flag), 1);
    EXPECT_EQ(last_error(), "");
    EXPECT_EQ(pinned_flag(id), c.stored);
    Index disk = on_disk();
    EXPECT_EQ(disk.ids, (std::vector<int>{id, id + 1}));
    EXPECT_EQ(disk.pinned.count(id), static_cast<size_t>(c.stored));
  }
  // Pinning does not move the clip.
  EXPECT_EQ(ids(), (std::vector<int>{id, id + 1}));
}

TEST_F(ManageTest, PinCapIsCheckedOnlyWhenAnUnpinnedClipIsPinned) {
  std::set<int> pinned;
  for (int id = 1; id <= CLIP_MAX_PINNED; ++id) pinned.insert(id);
  seed(numbered_clips(CLIP_MAX_PINNED + 2, pinned), CLIP_MAX_PINNED + 3);
  const int extra = CLIP_MAX_PINNED + 1;
  struct Step {
    int id, flag, result;
    const char *message;
  };
  const Step steps[] = {
      {extra, 1, 0, "pinned cap reached (200)"},
      {extra, -9, 0, "pinned cap reached (200)"},
      {CLIP_MAX_PINNED, 1, 1, ""},  // already pinned
      {CLIP_MAX_PINNED + 2, 0, 1, ""},  // unpinning an unpinned clip
      {1, 0, 1, ""},
      {extra, 1, 1, ""},
      {1, 1, 0, "pinned cap reached (200)"},
  };
  for (const Step &s : steps) {
    SCOPED_TRACE("pin " + std::to_string(s.id) + " " + std::to_string(s.flag));
    const std::string before = index();
    const int was = pinned_flag(s.id);
    EXPECT_EQ(clip_pin(s.id, s.flag), s.result);
    EXPECT_EQ(last_error(), s.message);
    if (s.result == 0) {
      EXPECT_EQ(pinned_flag(s.id), was);
      EXPECT_EQ(index(), before);
    } else {
      EXPECT_EQ(pinned_flag(s.id), s.flag != 0 ? 1 : 0);
      EXPECT_EQ(on_disk().pinned.count(s.id), s.flag != 0 ? 1u : 0u);
    }
    EXPECT_LE(clip_list_count_pinned(&g_store), CLIP_MAX_PINNED);
  }
}

TEST_F(ManageTest, PinWhoseIndexWriteFailsKeepsTheFlagInMemory) {
  int id = push_text("pin me");
  const std::string before = index();
  clip_fault_arm(CLIP_FAULT_OPEN, 1);
  EXPECT_EQ(clip_pin(id, 1), 0);
  EXPECT_EQ(last_error(), "failed to open clips.json.tmp: Permission denied");
  EXPECT_EQ(pinned_flag(id), 1);
  EXPECT_EQ(index(), before);
  EXPECT_EQ(list_dir(dir_.path()), (std::vector<std::string>{"clips.json"}));
  // The next successful write carries the flag.
  push_text("later");
  EXPECT_EQ(on_disk().pinned, (std::set<int>{id}));
}

TEST_F(ManageTest, UnpinningPastTheLimitIsEvictedByTheNextCapture) {
  seed(numbered_clips(CLIP_MAX_UNPINNED + 1, {1}), CLIP_MAX_UNPINNED + 2);
  ASSERT_EQ(clip_pin(1, 0), 1);
  EXPECT_EQ(clip_list_count_unpinned(&g_store), CLIP_MAX_UNPINNED + 1);
  EXPECT_EQ(on_disk().ids, range(1, CLIP_MAX_UNPINNED + 1));

  EXPECT_EQ(push_text("one more"), CLIP_MAX_UNPINNED + 2);
  EXPECT_EQ(ids(), range(3, CLIP_MAX_UNPINNED + 2));
  EXPECT_EQ(on_disk().ids, range(3, CLIP_MAX_UNPINNED + 2));
}

// ---------------------------------------------------------------------------
// clip_delete

TEST_F(ManageTest, DeleteRemovesAnImageFileOnlyOnceTheIndexNoLongerNamesIt) {
  struct Case {
    bool write_fails;
    int result;
    const char *message;
  };
  const Case cases[] = {
      {false, 1, ""},
      {true, 0, "atomic rename failed: Input/output error"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.write_fails ? "index write fails" : "index written");
    int before_id = push_text("before " + std::to_string(c.write_fails));
    int image = push_image(std::string("\x89PNG-") + (c.write_fails ? "a" : "b"), "shot");
    int after_id = push_text("after " + std::to_string(c.write_fails));
    ASSERT_TRUE(file_exists(image_path(image)));
    if (c.write_fails) clip_fault_arm(CLIP_FAULT_RENAME, 1);
    EXPECT_EQ(clip_delete(image), c.result);
    EXPECT_EQ(last_error(), c.message);
    clip_fault_reset();
    // The index on disk still names the clip after a failed write: its file
    // stays until a write that no longer names it succeeds.
    EXPECT_EQ(file_exists(image_path(image)), c.write_fails);
    EXPECT_FALSE(file_exists(dir_.file("clips.json.tmp")));
    std::vector<int> mem = ids();
    EXPECT_EQ(std::vector<int>(mem.end() - 2, mem.end()), (std::vector<int>{before_id, after_id}));
    std::vector<int> disk = on_disk().ids;
    const std::vector<int> named = c.write_fails ? std::vector<int>{before_id, image, after_id}
                                                 : std::vector<int>{before_id, after_id};
    EXPECT_EQ(std::vector<int>(disk.end() - static_cast<long>(named.size()), disk.end()), named);
    // A pin is the next write: it succeeds and leaves no orphan behind.
    ASSERT_EQ(clip_pin(before_id, 0), 1);
    EXPECT_FALSE(file_exists(image_path(image)));
    disk = on_disk().ids;
    EXPECT_EQ(std::vector<int>(disk.end() - 2, disk.end()), (std::vector<int>{before_id, after_id}));
  }
}

TEST_F(ManageTest, DeletingTheNewestMakesTheOneBeforeItTheNewest) {
  struct Case {
    const char *again;
    const char *result;
  };
  const Case cases[] = {
      {"second", "{\"id\":3,\"dedup\":0}"},
      {"first", "{\"id\":1,\"dedup\":1}"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.again);
    TempDir dir;
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);
    ASSERT_EQ(push_text("first"), 1);
    ASSERT_EQ(push_text("second"), 2);
    ASSERT_EQ(clip_delete(2), 1);
    EXPECT_EQ(index_in(dir.path()).ids, std::vector<int>{1});
    EXPECT_EQ(take(clip_push_text(c.again)), c.result);
  }
}

TEST_F(ManageTest, UnknownIdsChangeNothing) {
  push_text("one");
  ASSERT_EQ(push_text("two"), 2);
  ASSERT_EQ(clip_delete(2), 1);
  ASSERT_EQ(clip_pin(1, 1), 1);
  const std::string before = index();
  for (const UnknownId &c : kUnknownIds) {
    for (int flag : {1, 0}) {
      EXPECT_EQ(clip_pin(c.id, flag), 0);
      EXPECT_EQ(last_error(), c.message);
    }
    EXPECT_EQ(clip_delete(c.id), 0);
    EXPECT_EQ(last_error(), c.message);
  }
  EXPECT_EQ(ids(), std::vector<int>{1});
  EXPECT_EQ(pinned_flag(1), 1);
  EXPECT_EQ(index(), before);
  EXPECT_EQ(push_text("three"), 3);
}

// ---------------------------------------------------------------------------
// clip_wipe

TEST_F(ManageTest, WipeRemovesEveryFileButLeavesSubdirectories) {
  struct Case {
    const char *name;
    bool unlink_fails;  // every removal of the wipe fails
  };
  const Case cases[] = {{"files removed", false}, {"files cannot be removed", true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    push_text("text");
    int image = push_image("\x89PNG-wipe", "shot");
    push_text("newest");
    for (const char *name : {"notes.txt", ".hidden", "clips.json.tmp", "clips.json.corrupt.1",
                             "img_99.png"}) {
      write_file(dir_.file(name), "not made by the store");
    }
    std::filesystem::create_directories(dir_.file("sub/deeper"));
    write_file(dir_.file("sub/keep.txt"), "kept");
    write_file(dir_.file("sub/deeper/.keep"), "kept too");
    const std::vector<std::string> before = list_dir(dir_.path());
    ASSERT_TRUE(file_exists(image_path(image)));

    // The wipe removes each name once, the index first; the fresh index's
    // own removal of the stale temporary file then works.
    if (c.unlink_fails) clip_fault_arm(CLIP_FAULT_UNLINK, 1, static_cast<long>(before.size()));
    EXPECT_EQ(clip_wipe(), 1);
    EXPECT_EQ(last_error(), "");
    clip_fault_reset();

    // The fresh index goes through clips.json.tmp, which it renames away.
    std::vector<std::string> left = {"clips.json", "sub"};
    if (c.unlink_fails) {
      left = before;
      std::erase(left, "clips.json.tmp");
    }
    EXPECT_EQ(list_dir(dir_.path()), left);
    EXPECT_EQ(read_file(dir_.file("sub/keep.txt")), "kept");
    EXPECT_EQ(read_file(dir_.file("sub/deeper/.keep")), "kept too");
    EXPECT_EQ(index(), kEmptyIndex);
    EXPECT_EQ(take(clip_list(0, 0)), "[]");
    EXPECT_EQ(g_store.count, 0);
    EXPECT_EQ(push_text("first again"), 1);
    // Start the next case from a directory without the leftovers.
    std::filesystem::remove_all(dir_.file("sub"));
    ASSERT_EQ(clip_wipe(), 1);
  }
}

TEST_F(ManageTest, WipeWhoseIndexWriteFailsLeavesAnEmptyStore) {
  push_text("one");
  push_image("\x89PNG-gone", "shot");
  write_file(dir_.file("other.txt"), "x");
  clip_fault_arm(CLIP_FAULT_WRITE, 1);
  EXPECT_EQ(clip_wipe(), 0);
  EXPECT_EQ(last_error(), "failed to write clips.json.tmp");
  clip_fault_reset();
  EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{});
  EXPECT_EQ(g_store.count, 0);
  EXPECT_EQ(g_store.next_id, 1);
  EXPECT_EQ(take(clip_list(0, 0)), "[]");

  // A directory without an index opens as an empty store.
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(index(), kEmptyIndex);
  EXPECT_EQ(push_text("first again"), 1);
}

TEST_F(ManageTest, WipeThatCannotOpenTheDirectoryChangesNothing) {
  struct Case {
    int err;  // the message is "opendir failed: " and its text
    std::function<void(const TempDir &)> break_it;
  };
  const Case cases[] = {
      {ENOENT, [](const TempDir &d) { std::filesystem::remove_all(fs_path(d.path())); }},
      {EIO, [](const TempDir &) { clip_fault_arm(CLIP_FAULT_OPENDIR, 1); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(strerror(c.err));
    TempDir dir;
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);
    push_text("one");
    push_text("two");
    const std::string page = take(clip_list(0, 0));
    const std::vector<std::string> files = list_dir(dir.path());
    c.break_it(dir);
    EXPECT_EQ(clip_wipe(), 0);
    EXPECT_EQ(last_error(), "opendir failed: " + error_text(c.err));
    clip_fault_reset();
    EXPECT_EQ(take(clip_list(0, 0)), page);
    EXPECT_EQ(g_store.next_id, 3);
    if (file_exists(dir.path())) {
      EXPECT_EQ(list_dir(dir.path()), files);
      const std::vector<int> both = {1, 2};
      EXPECT_EQ(index_in(dir.path()).ids, both);
    }
  }
}

// ---------------------------------------------------------------------------

TEST_F(ManageTest, ChangesRefuseUntilTheStoreIsOpen) {
  push_text("kept");
  write_file(dir_.file("plain"), "not a directory");
  const std::vector<std::string> files = list_dir(dir_.path());
  const std::string before = index();
  ASSERT_EQ(clip_init(dir_.file("plain").c_str()), 0);
  EXPECT_EQ(clip_pin(1, 1), 0);
  EXPECT_EQ(last_error(), "not initialized");
  EXPECT_EQ(clip_delete(1), 0);
  EXPECT_EQ(last_error(), "not initialized");
  EXPECT_EQ(clip_wipe(), 0);
  EXPECT_EQ(last_error(), "not initialized");
  EXPECT_EQ(list_dir(dir_.path()), files);
  EXPECT_EQ(index(), before);
}

}  // namespace
