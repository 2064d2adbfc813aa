// Store directories that no run of the library leaves behind, but a user, a
// sync tool or a full disk might: huge and deeply nested indexes, repeated
// ids, ids at the end of their range, and files of the wrong type where the
// library expects its own. Each gets a clear outcome and no crash or hang.
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "clip_fault.h"
#include "clip_store.h"
#include "history_model.h"
#include "quillmar_clip.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

std::vector<int> listed_ids(int offset, int limit) {
  return ints_of(take(clip_list(offset, limit)), "id");
}

std::vector<std::string> set_aside(const TempDir &dir) {
  std::vector<std::string> out;
  for (const std::string &name : list_dir(dir.path())) {
    if (name.rfind("clips.json.corrupt.", 0) == 0) out.push_back(name);
  }
  return out;
}

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override { clip_fault_reset(); }
  TempDir dir_;
};

// ---------------------------------------------------------------------------
// Size and shape of the index

TEST_F(Hostile, AnIndexOfTwentyThousandClipsLoadsWholeAndTheNextCaptureEvictsDownToTheCap) {
  std::vector<model::Clip> clips;
  for (int id = 1; id <= 20000; ++id) {
    if (id % 10 == 0) {
      // Only the oldest image and the newest have a file.
      const std::string png = id == 10 || id == 20000 ? "png" : "";
      clips.push_back(image_clip(id, png, numbered("shot ", id).c_str()));
    } else {
      clips.push_back(text_clip(id, text_of(id), id % 50 == 1));
    }
  }
  seed_history(dir_.path(), clips, 20001);

  ASSERT_EQ(clip_init(dir_.path().c_str()), 1) << clip_last_error();
  EXPECT_EQ(g_store.count, 20000);  // loaded as it is, over both caps
  EXPECT_EQ(clip_list_count_pinned(&g_store), 400);
  EXPECT_EQ(listed_ids(0, 3), (std::vector<int>{20000, 19999, 19998}));
  EXPECT_EQ(take(clip_search("CLIP 19999", 0)).find("\"id\":19999"), 2u);
  EXPECT_EQ(take(clip_get(12345)), "clip 12345");
  EXPECT_EQ(clip_pin(2, 1), 0);
  EXPECT_EQ(last_error(), "pinned cap reached (200)");

  // One capture evicts the 19101 oldest unpinned clips at once; the 400
  // pinned ones stay, over the cap, since pinned clips are never evicted.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(take(clip_push_text("the newest")), "{\"id\":20001,\"dedup\":0}");
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  RecordProperty("evicting_capture_seconds", std::to_string(seconds));
  EXPECT_EQ(g_store.count, 900);
  EXPECT_EQ(clip_list_count_unpinned(&g_store), 500);
  EXPECT_FALSE(file_exists(dir_.file("img_10.png")));
  EXPECT_TRUE(file_exists(dir_.file("img_20000.png")));  // among the 499 newest

  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(g_store.count, 900);
  EXPECT_EQ(set_aside(dir_), std::vector<std::string>{});
}

// The parser takes nesting of any depth without recursion; whatever is
// nested where a clip should be is passed over or set aside whole.
TEST_F(Hostile, NestingAHundredThousandLevelsDeepNeverCrashesTheLoad) {
  const size_t depth = 100000;
  std::string arrays = std::string(depth, '[') + std::string(depth, ']');
  std::string objects;
  for (size_t i = 0; i < depth; ++i) objects += "{\"a\":";
  objects += "1" + std::string(depth, '}');

  struct Case {
    const char *what;
    std::string index;
    bool set_aside;
    std::vector<int> ids;
  } cases[] = {
      {"a root of nested arrays", arrays, true, {}},
      {"a root of nested objects", objects, true, {}},
      {"nested arrays cut short", std::string(depth, '['), true, {}},
      {"nested arrays among the clips",
       "{\"next_id\":9,\"clips\":[" + arrays +
           ",{\"id\":3,\"kind\":\"text\",\"text\":\"kept\"},[" + objects + "]]}",
       false,
       {3}},
      {"nested objects as the label and the text",
       "{\"next_id\":9,\"clips\":[{\"id\":4,\"kind\":\"image\",\"label\":" + objects +
           "},{\"id\":5,\"kind\":\"text\",\"text\":" + arrays + "}]}",
       false,
       {5, 4}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    write_file(dir.file("clips.json"), c.index);
    ASSERT_EQ(clip_init(dir.path().c_str()), 1) << clip_last_error();
    EXPECT_EQ(last_error(), "");
    EXPECT_EQ(set_aside(dir).size(), c.set_aside ? 1u : 0u);
    EXPECT_EQ(listed_ids(0, 0), c.ids);
    if (c.ids.size() == 2) {
      EXPECT_EQ(take(clip_get(5)), "");  // a text that is not a string is empty
      EXPECT_EQ(take(clip_get(4)).find("label"), std::string::npos);
    }
  }
}

// ---------------------------------------------------------------------------
// Ids

// An index may repeat an id: lookups take the oldest clip with it, and an
// image file stays as long as any image clip still names it.
TEST_F(Hostile, RepeatedIdsAreServedOldestFirstAndShareTheirImageFile) {
  seed_history(dir_.path(),
               {text_clip(5, "first"), image_clip(5, "png", "a"),
                image_clip(5, "png", "b"), text_clip(5, "last")},
               6);
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(listed_ids(0, 0), (std::vector<int>{5, 5, 5, 5}));

  EXPECT_EQ(take(clip_get(5)), "first");
  EXPECT_EQ(clip_delete(5), 1);
  EXPECT_NE(take(clip_get(5)).find("\"label\":\"a\""), std::string::npos);
  EXPECT_EQ(clip_pin(5, 1), 1);
  EXPECT_EQ(g_store.entries[0].pinned, 1);
  EXPECT_EQ(g_store.entries[1].pinned, 0);

  EXPECT_EQ(clip_delete(5), 1);  // image "a"; image "b" still names the file
  EXPECT_TRUE(file_exists(dir_.file("img_5.png")));
  EXPECT_EQ(clip_delete(5), 1);  // image "b": the last one
  EXPECT_FALSE(file_exists(dir_.file("img_5.png")));
  EXPECT_EQ(take(clip_get(5)), "last");

  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(listed_ids(0, 0), (std::vector<int>{5}));
  EXPECT_EQ(take(clip_push_text("next")), "{\"id\":6,\"dedup\":0}");
}

// An index edited by hand whose next_id is at or below an existing id: new
// clips take ids above every loaded one, and no image file is overwritten.
TEST_F(Hostile, ALowNextIdNeverMakesANewClipTakeAnExistingId) {
  struct Case {
    int next_id;
    int first_new;
  } cases[] = {{1, 8}, {5, 8}, {7, 8}, {8, 8}, {20, 20}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.next_id);
    TempDir dir;
    seed_history(
        dir.path(),
        {text_clip(7, "seven"), image_clip(5, "the pinned picture", "pinned", true),
         text_clip(2, "two")},
        c.next_id);
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);
    const unsigned char png[] = {4, 5, 6};
    EXPECT_EQ(take(clip_push_image(png, 3, nullptr)),
              "{\"id\":" + std::to_string(c.first_new) + "}");
    for (int k = 1; k <= 5; ++k) {
      EXPECT_EQ(take(clip_push_text(("new " + std::to_string(k)).c_str())),
                "{\"id\":" + std::to_string(c.first_new + k) + ",\"dedup\":0}");
    }
    EXPECT_EQ(read_file(dir.file("img_5.png")), "the pinned picture");
    EXPECT_EQ(read_file(dir.file("img_" + std::to_string(c.first_new) + ".png")),
              std::string("\x04\x05\x06"));
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);
    EXPECT_EQ(g_store.next_id, c.first_new + 6);
    EXPECT_EQ(listed_ids(0, 0).size(), 9u);
  }
}

TEST_F(Hostile, IdsAtTheEndOfTheirRangeAreRefusedNeverWrappedOrRepeated) {
  const std::string exhausted = "clip ids exhausted (next id 2147483647): wipe the store to start again at 1";
  seed_history(dir_.path(), {text_clip(INT_MAX - 2, "older")}, INT_MAX - 1);
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);

  EXPECT_EQ(take(clip_push_text("the last id")), "{\"id\":2147483646,\"dedup\":0}");
  std::string index = read_file(dir_.file("clips.json"));
  EXPECT_NE(index.find("\"next_id\": 2147483647"), std::string::npos);

  // Every further capture is refused before it evicts or writes anything;
  // a repeat of the newest clip is still recognised.
  EXPECT_EQ(take(clip_push_text("one more")), "<null>");
  EXPECT_EQ(last_error(), exhausted);
  const unsigned char png[] = {1, 2, 3};
  EXPECT_EQ(take(clip_push_image(png, 3, "x")), "<null>");
  EXPECT_EQ(last_error(), exhausted);
  EXPECT_EQ(take(clip_push_text("the last id")), "{\"id\":2147483646,\"dedup\":1}");
  EXPECT_EQ(read_file(dir_.file("clips.json")), index);
  EXPECT_EQ(g_store.next_id, INT_MAX);
  EXPECT_EQ(g_store.count, 2);

  // Reloaded, the store is as full as before; a wipe starts again at 1.
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(take(clip_push_text("one more")), "<null>");
  EXPECT_EQ(last_error(), exhausted);
  ASSERT_EQ(clip_wipe(), 1);
  EXPECT_EQ(take(clip_push_text("one more")), "{\"id\":1,\"dedup\":0}");
}

TEST_F(Hostile, NextIdsOutOfRangeStartAgainAtOne) {
  struct Case {
    const char *next_id;
    int want;
  } cases[] = {
      {"2147483648", 1},           // low 32 bits negative
      {"4294967295", 1},           // -1
      {"4294967298", 2},           // low 32 bits 2
      {"-2147483648", 1},
      {"18446744073709551615", 1}, // largest JSON integer yyjson keeps exact
      {"1e3", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.next_id);
    TempDir dir;
    write_file(dir.file("clips.json"), std::string("{\"next_id\":") + c.next_id + ",\"clips\":[]}");
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);
    EXPECT_EQ(take(clip_push_text("x")), "{\"id\":" + std::to_string(c.want) + ",\"dedup\":0}");
  }
}

// ---------------------------------------------------------------------------
// Files of the wrong type

TEST_F(Hostile, AnIndexThatIsADirectoryOrAFifoIsRefusedWithoutWaiting) {
  struct Case {
    const char *what;
    int (*make)(const char *);
  } cases[] = {
      {"directory", [](const char *p) { return mkdir(p, 0700); }},
      {"fifo", [](const char *p) { return mkfifo(p, 0600); }},
      {"link to a device", [](const char *p) { return symlink("/dev/zero", p); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string index = dir.file("clips.json");
    ASSERT_EQ(c.make(index.c_str()), 0);
    alarm(20);  // a load that waits for a writer would hang here
    EXPECT_EQ(clip_init(dir.path().c_str()), 0);
    alarm(0);
    EXPECT_EQ(last_error(), "clips.json is not a regular file: " + index);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"clips.json"});
    EXPECT_EQ(take(clip_list(0, 0)), "<null>");
  }
}

TEST_F(Hostile, ALinkedIndexIsReadThroughAndReplacedByAFileOfItsOwn) {
  TempDir elsewhere;
  seed_history(elsewhere.path(), {text_clip(2, "linked")}, 3);
  std::string target = elsewhere.file("clips.json");
  const std::string original = read_file(target);
  ASSERT_EQ(symlink(target.c_str(), dir_.file("clips.json").c_str()), 0);
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(take(clip_get(2)), "linked");

  EXPECT_EQ(take(clip_push_text("new")), "{\"id\":3,\"dedup\":0}");
  struct stat st;
  ASSERT_EQ(lstat(dir_.file("clips.json").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(read_file(target), original);  // what the link pointed to is left alone

  // A link to nothing counts as no index: a fresh one takes its place.
  TempDir dangling;
  std::string nowhere = elsewhere.file("missing.json");
  ASSERT_EQ(symlink(nowhere.c_str(), dangling.file("clips.json").c_str()), 0);
  ASSERT_EQ(clip_init(dangling.path().c_str()), 1) << clip_last_error();
  ASSERT_EQ(lstat(dangling.file("clips.json").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_FALSE(file_exists(nowhere));
  EXPECT_EQ(listed_ids(0, 0), std::vector<int>{});
}

// Whatever non-directory squats on a temporary name (a stale file of a wider
// mode, a link of either kind to a file elsewhere, a link to nothing or to a
// directory, a FIFO) is removed and the file made fresh, 0600: nothing is
// written through to another file, nothing waits, and the mode of what the
// store holds is its own. A directory on the name fails the write with a
// message naming it, and once it is gone the writes work again.
TEST_F(Hostile, WhateverHoldsATemporaryNameIsReplacedByAFreshFileButADirectory) {
  TempDir elsewhere;
  const std::string victim = elsewhere.file("victim");
  const std::string outside_dir = elsewhere.file("dir");
  ASSERT_EQ(mkdir(outside_dir.c_str(), 0700), 0);
  write_file(victim, "keep me");
  ASSERT_EQ(chmod(victim.c_str(), 0644), 0);
  struct Case {
    const char *what;
    std::function<int(const char *)> make;
  } cases[] = {
      {"stale file of mode 0644",
       [](const char *p) {
         write_file(p, "stale");
         return chmod(p, 0644);
       }},
      {"symbolic link to a file", [&](const char *p) { return symlink(victim.c_str(), p); }},
      {"hard link to a file", [&](const char *p) { return link(victim.c_str(), p); }},
      {"link to nothing", [&](const char *p) { return symlink(elsewhere.file("none").c_str(), p); }},
      {"link to a directory", [&](const char *p) { return symlink(outside_dir.c_str(), p); }},
      {"fifo", [](const char *p) { return mkfifo(p, 0644); }},
  };
  const unsigned char png[] = {9, 8, 7};
  auto mode_of = [](const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_mode & 07777 : 0u;
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);

    ASSERT_EQ(c.make(dir.file("clips.json.tmp").c_str()), 0);
    alarm(20);  // a write that waited for a reader would hang here
    EXPECT_EQ(take(clip_push_text("text")), "{\"id\":1,\"dedup\":0}");
    alarm(0);
    EXPECT_EQ(mode_of(dir.file("clips.json")), 0600u);

    ASSERT_EQ(c.make(dir.file("img_2.png.tmp").c_str()), 0);
    alarm(20);
    EXPECT_EQ(take(clip_push_image(png, 3, nullptr)), "{\"id\":2}");
    alarm(0);
    EXPECT_EQ(mode_of(dir.file("img_2.png")), 0600u);
    EXPECT_EQ(read_file(dir.file("img_2.png")), std::string("\x09\x08\x07"));

    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"clips.json", "img_2.png"}));
    EXPECT_EQ(read_file(victim), "keep me");
    EXPECT_EQ(mode_of(victim), 0644u);
    EXPECT_EQ(list_dir(outside_dir), std::vector<std::string>{});
    EXPECT_EQ(take(clip_push_text("later")), "{\"id\":3,\"dedup\":0}");
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);
    EXPECT_EQ(listed_ids(0, 0), (std::vector<int>{3, 2, 1}));
  }
}

TEST_F(Hostile, ADirectoryOnATemporaryNameFailsTheWriteAndNothingElse) {
  const unsigned char png[] = {9, 8, 7};
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  const std::string index = read_file(dir_.file("clips.json"));

  ASSERT_EQ(mkdir(dir_.file("clips.json.tmp").c_str(), 0700), 0);
  EXPECT_EQ(take(clip_push_text("held in memory")), "<null>");
  EXPECT_EQ(last_error(), "failed to open clips.json.tmp: Is a directory");
  EXPECT_EQ(read_file(dir_.file("clips.json")), index);
  ASSERT_EQ(rmdir(dir_.file("clips.json.tmp").c_str()), 0);

  ASSERT_EQ(mkdir(dir_.file("img_2.png.tmp").c_str(), 0700), 0);
  EXPECT_EQ(take(clip_push_image(png, 3, nullptr)), "<null>");
  EXPECT_EQ(last_error(), "failed to open blob tmp: Is a directory");
  EXPECT_FALSE(file_exists(dir_.file("img_2.png")));
  ASSERT_EQ(rmdir(dir_.file("img_2.png.tmp").c_str()), 0);

  // The clip held in memory is written with the next change.
  EXPECT_EQ(take(clip_push_image(png, 3, nullptr)), "{\"id\":3}");
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(listed_ids(0, 0), (std::vector<int>{3, 1}));
}

// A directory where an image file should be is not removed (unlink leaves
// directories alone) but never stops a delete, an eviction or a wipe.
TEST_F(Hostile, ImageFilesReplacedByDirectoriesNeverStopARemoval) {
  // Two image clips without files, whose names are then taken by directories.
  std::vector<model::Clip> clips = {image_clip(1, "", "one"), image_clip(2, "", "two")};
  for (int id = 3; id <= 501; ++id) clips.push_back(text_clip(id, numbered("t", id)));
  seed_history(dir_.path(), clips, 502);
  ASSERT_EQ(mkdir(dir_.file("img_1.png").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(dir_.file("img_2.png").c_str(), 0700), 0);
  write_file(dir_.file("img_2.png") + "/inside", "x");
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);

  EXPECT_NE(take(clip_get(1)).find("img_1.png"), std::string::npos);  // the path is not opened
  EXPECT_EQ(clip_delete(1), 1);
  EXPECT_EQ(take(clip_push_text("evicts clip 2")), "{\"id\":502,\"dedup\":0}");
  EXPECT_EQ(clip_list_find_index(&g_store, 2), -1);
  EXPECT_TRUE(fs::is_directory(dir_.file("img_1.png")));
  EXPECT_TRUE(fs::is_directory(dir_.file("img_2.png")));

  // A new image whose file name is taken by a directory fails, and uses up
  // its id; the next one gets the following id.
  ASSERT_EQ(mkdir(dir_.file("img_503.png").c_str(), 0700), 0);
  const unsigned char png[] = {1, 2, 3};
  EXPECT_EQ(take(clip_push_image(png, 3, nullptr)), "<null>");
  EXPECT_EQ(last_error(), "rename blob failed: Is a directory");
  EXPECT_FALSE(file_exists(dir_.file("img_503.png.tmp")));
  EXPECT_EQ(take(clip_push_image(png, 3, nullptr)), "{\"id\":504}");

  EXPECT_EQ(clip_wipe(), 1);
  EXPECT_EQ(list_dir(dir_.path()),
            (std::vector<std::string>{"clips.json", "img_1.png", "img_2.png", "img_503.png"}));
  EXPECT_EQ(listed_ids(0, 0), std::vector<int>{});
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1);
  EXPECT_EQ(take(clip_push_text("fresh")), "{\"id\":1,\"dedup\":0}");
}

}  // namespace
