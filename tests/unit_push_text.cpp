// Text capture: the new record and its result string, the 1 MiB cut at a
// character boundary, the repeat of the newest clip, eviction down to 499
// unpinned clips, refused texts, and every failing step with what it leaves
// behind, each followed by a reload of the index it left.
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "clip_fault.h"
#include "clip_store.h"
#include "quillmar_clip.h"
#include "test_support.h"

namespace {

const std::string kNoUtf8 = "text is not valid UTF-8";

class PushTextTest : public StoreTest {
 protected:
  bool image_file(int id) const { return file_exists(image_path(id)); }

  static std::string push(const std::string &text) { return take(clip_push_text(text.c_str())); }
};

TEST(PushTextFrame, RefusedUntilInitialized) {
  TempDir dir;
  write_file(dir.file("not-a-dir"), "x");
  clip_fault_reset();
  ASSERT_EQ(clip_init(dir.file("not-a-dir").c_str()), 0);
  EXPECT_EQ(take(clip_push_text(nullptr)), "<null>");
  EXPECT_EQ(last_error(), "not initialized");
  EXPECT_EQ(take(clip_push_text("hello")), "<null>");
  EXPECT_EQ(last_error(), "not initialized");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"not-a-dir"});
}

TEST_F(PushTextTest, NewClipIsRecordedAndAnsweredWithItsId) {
  seed({}, 7);
  const std::string text = "hello\tworld\r\n";
  int64_t before = time(nullptr);
  EXPECT_EQ(push(text), "{\"id\":7,\"dedup\":0}");
  int64_t after = time(nullptr);
  EXPECT_EQ(last_error(), "");

  const clip_entry &e = newest();
  EXPECT_EQ(e.id, 7);
  EXPECT_GE(e.ts, before);
  EXPECT_LE(e.ts, after);
  EXPECT_EQ(e.kind, CLIP_KIND_TEXT);
  EXPECT_STREQ(e.preview, "hello world  ");
  EXPECT_EQ(e.pinned, 0);
  EXPECT_EQ(e.hash, hash_of(text));
  EXPECT_EQ(e.truncated, 0);
  EXPECT_EQ(std::string(e.text, e.text_len), text);
  EXPECT_EQ(e.label, nullptr);
  EXPECT_EQ(g_store.next_id, 8);

  reopen();
  EXPECT_EQ(take(clip_get(7)), text);
  EXPECT_EQ(newest().hash, hash_of(text));
  EXPECT_EQ(g_store.next_id, 8);
  EXPECT_EQ(push("next"), "{\"id\":8,\"dedup\":0}");
}

// At most 1048576 bytes are kept, never ending inside a character; the
// fingerprint covers the bytes kept, and the index holds them after a reload.
TEST_F(PushTextTest, KeepsAtMostOneMebibyteOfWholeCharacters) {
  const size_t cap = CLIP_TEXT_CAP;
  struct Case {
    std::string name;
    std::string text;
    size_t kept;
    int truncated;
  };
  std::vector<Case> cases = {
      {"empty", "", 0, 0},
      {"exactly the cap", std::string(cap, 'a'), cap, 0},
      {"one byte over", std::string(cap + 1, 'a'), cap, 1},
      {"twice the cap", std::string(2 * cap, 'a'), cap, 1},
      {"a character ending at the cap", std::string(cap - 2, 'a') + "\xC3\xA9", cap, 0},
      {"malformed bytes past the cut are not looked at",
       std::string(cap, 'a') + "\xFF\xC0\xED\xA0\x80", cap, 1},
  };
  const char *chars[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  for (const char *ch : chars) {
    size_t len = strlen(ch);
    for (size_t start = cap - len; start <= cap; ++start) {
      size_t kept = start < cap && start + len > cap ? start : cap;
      cases.push_back({std::to_string(len) + "-byte character at " + std::to_string(start),
                       std::string(start, 'a') + ch + "bc", kept, 1});
    }
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);
    ASSERT_EQ(push(c.text), "{\"id\":1,\"dedup\":0}") << last_error();
    const std::string kept = c.text.substr(0, c.kept);
    const clip_entry &e = newest();
    EXPECT_EQ(e.text_len, c.kept);
    EXPECT_TRUE(std::string(e.text, e.text_len) == kept);
    EXPECT_EQ(e.truncated, c.truncated);
    EXPECT_EQ(e.hash, hash_of(kept));
    EXPECT_EQ(strlen(e.preview), std::min<size_t>(c.kept, 120));

    ASSERT_EQ(clip_init(dir.path().c_str()), 1) << clip_last_error();
    ASSERT_EQ(g_store.count, 1);
    EXPECT_EQ(newest().truncated, c.truncated);
    EXPECT_TRUE(take(clip_get(1)) == kept);
    EXPECT_EQ(strings_of(take(clip_list(0, 0)), "preview"),
              std::vector<std::string>{newest().preview});
  }
}

// Texts over 120 bytes keep whole characters before the "..." of their
// preview, and the index written with them loads again.
TEST_F(PushTextTest, PreviewCutsKeepWholeCharacters) {
  std::vector<std::string> want;
  const char *chars[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  for (const char *ch : chars) {
    size_t len = strlen(ch);
    for (size_t start = 117 - len; start <= 117; ++start) {
      std::string text = std::string(start, 'x') + ch + std::string(40, 'y');
      size_t keep = start < 117 && start + len > 117 ? start : 117;
      ASSERT_NE(push(text), "<null>") << last_error();
      want.insert(want.begin(), text.substr(0, keep) + "...");
    }
  }
  const std::string page = take(clip_list(0, 100));
  EXPECT_EQ(strings_of(page, "preview"), want);
  reopen();
  EXPECT_EQ(take(clip_list(0, 100)), page);
}

// Only the newest clip is compared, by fingerprint alone: not its kind, pin
// state, label or truncated flag. A repeat changes nothing at all.
TEST_F(PushTextTest, RepeatOfTheNewestClipChangesNothing) {
  const std::string cap_text(CLIP_TEXT_CAP, 'r');
  struct Case {
    const char *name;
    std::function<void()> setup;
    std::string text;
    std::string result;
  };
  const std::vector<Case> cases = {
      {"the same text again", [&] { seed(numbered_clips(3), 4); }, text_of(3),
       "{\"id\":3,\"dedup\":1}"},
      {"the newest clip pinned", [&] { seed(numbered_clips(3, {3}), 4); }, text_of(3),
       "{\"id\":3,\"dedup\":1}"},
      {"the newest clip an image of the same bytes, with a label",
       [&] {
         seed(numbered_clips(1), 2);
         ASSERT_EQ(take(push_png("same bytes", "logo")), "{\"id\":2}");
       },
       "same bytes", "{\"id\":2,\"dedup\":1}"},
      {"the first mebibyte of a longer text",
       [&] {
         seed(numbered_clips(1), 2);
         ASSERT_EQ(push(cap_text), "{\"id\":2,\"dedup\":0}");
       },
       cap_text + "more", "{\"id\":2,\"dedup\":1}"},
      {"a whole text against a truncated clip",
       [&] {
         seed(numbered_clips(1), 2);
         ASSERT_EQ(push(cap_text + "x"), "{\"id\":2,\"dedup\":0}");
       },
       cap_text, "{\"id\":2,\"dedup\":1}"},
      {"the clip before a deleted newest one",
       [&] {
         seed(numbered_clips(3), 4);
         ASSERT_EQ(clip_delete(3), 1);
       },
       text_of(2), "{\"id\":2,\"dedup\":1}"},
      {"500 unpinned clips: nothing is evicted",
       [&] { seed(numbered_clips(500, {}, {1}), 501); }, text_of(500),
       "{\"id\":500,\"dedup\":1}"},
      {"no ids left: a repeat is still answered",
       [&] { seed(numbered_clips(2), INT_MAX); }, text_of(2), "{\"id\":2,\"dedup\":1}"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    c.setup();
    Snapshot before = snapshot();
    EXPECT_EQ(push(c.text), c.result);
    EXPECT_EQ(last_error(), "");
    expect_unchanged(before);
  }

  // Older clips are never compared, and fingerprints are compared whole.
  seed(numbered_clips(3), 4);
  EXPECT_EQ(push(text_of(2)), "{\"id\":4,\"dedup\":0}");
  EXPECT_EQ(push(text_of(3)), "{\"id\":5,\"dedup\":0}");
  g_store.entries[g_store.count - 1].hash[15] ^= 1;
  EXPECT_EQ(push(text_of(3)), "{\"id\":6,\"dedup\":0}");
  // The empty history matches nothing, not even the empty text.
  seed({}, 1);
  EXPECT_EQ(push(""), "{\"id\":1,\"dedup\":0}");
  EXPECT_EQ(push(""), "{\"id\":1,\"dedup\":1}");
}

// Before a new clip is added, the oldest unpinned clips go until 499 are
// left, image files with them; pinned clips stay however old they are.
TEST_F(PushTextTest, EvictsTheOldestUnpinnedClipsDownTo499) {
  struct Case {
    const char *name;
    int n;
    std::set<int> pinned, images, evicted;
  };
  const Case cases[] = {
      {"499 unpinned: nothing goes", 499, {}, {1}, {}},
      {"500 unpinned: the oldest goes, with its image file", 503, {1, 2, 3}, {4, 10}, {4}},
      {"503 unpinned: four go", 503, {}, {2, 5}, {1, 2, 3, 4}},
      {"pinned clips among the oldest are passed over", 505, {1, 3, 5}, {2, 3}, {2, 4, 6}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    seed(numbered_clips(c.n, c.pinned, c.images), c.n + 1);
    EXPECT_EQ(push("new"), "{\"id\":" + std::to_string(c.n + 1) + ",\"dedup\":0}");
    std::vector<int> want;
    for (int id = 1; id <= c.n + 1; ++id) {
      if (!c.evicted.count(id)) want.push_back(id);
    }
    EXPECT_EQ(ids(), want);
    EXPECT_LE(clip_list_count_unpinned(&g_store), CLIP_MAX_UNPINNED);
    EXPECT_EQ(clip_list_count_pinned(&g_store), static_cast<int>(c.pinned.size()));
    for (int id : c.images) EXPECT_EQ(image_file(id), c.evicted.count(id) == 0) << id;
    reopen();
    EXPECT_EQ(ids(), want);
  }
}

// Refused texts leave the history, the index and every file as they were,
// also in a store whose next capture would evict.
TEST_F(PushTextTest, RefusalsChangeNothing) {
  const std::string cap_minus_one(CLIP_TEXT_CAP - 1, 'a');
  struct Case {
    const char *name;
    const char *text;
    std::string message;
  };
  const std::string invalid_before_cut = cap_minus_one + "\xFF" "bc";
  const std::string truncated_before_cut = cap_minus_one + "\xE2(bc";
  const Case cases[] = {
      {"null text", nullptr, "text is NULL"},
      {"lone surrogate", "ab\xED\xA0\x80", kNoUtf8},
      {"overlong slash", "\xC0\xAF", kNoUtf8},
      {"stray continuation byte", "caf\xA9", kNoUtf8},
      {"Latin-1 e acute", "caf\xE9 au lait", kNoUtf8},
      {"character cut short at the end", "abc\xE2\x82", kNoUtf8},
      {"above U+10FFFF", "\xF4\x90\x80\x80", kNoUtf8},
      {"FE and FF", "\xFE\xFF", kNoUtf8},
      {"malformed byte just before the cut", invalid_before_cut.c_str(), kNoUtf8},
      {"character cut short just before the cut", truncated_before_cut.c_str(), kNoUtf8},
  };
  seed(numbered_clips(500, {}, {1}), 501);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Snapshot before = snapshot();
    EXPECT_EQ(take(clip_push_text(c.text)), "<null>");
    EXPECT_EQ(last_error(), c.message);
    expect_unchanged(before);
  }

  // The repeat's answer cannot be allocated.
  Snapshot before = snapshot();
  clip_fault_arm(CLIP_FAULT_ALLOC, 1);
  EXPECT_EQ(push(text_of(500)), "<null>");
  EXPECT_TRUE(clip_fault_fired());
  EXPECT_EQ(last_error(), "out of memory");
  expect_unchanged(before);

  // No id is left to take: refused before anything is evicted.
  seed(numbered_clips(500, {}, {1}), INT_MAX);
  before = snapshot();
  EXPECT_EQ(push("new"), "<null>");
  EXPECT_EQ(last_error(),
            "clip ids exhausted (next id 2147483647): wipe the store to start again at 1");
  expect_unchanged(before);
  reopen();
  EXPECT_EQ(strings_of(take(clip_list(0, 1)), "preview"),
            std::vector<std::string>{text_of(500)});
}

// Each allocation of a capture made to fail in turn, in a fresh store: the
// text copy (1st), the preview (2nd), the append (3rd, the list's first
// growth), the index write (the document and its text) and the answer (last).
TEST_F(PushTextTest, EveryFailingAllocationLeavesWhatItsStepSays) {
  enum Step { kBeforeAppend, kIndexWrite, kAnswer };
  struct Outcome {
    std::string result, message, index_before, index_after;
    std::vector<int> ids;
    int next_id;
  };
  std::vector<Outcome> outcomes;
  for (long n = 1;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    TempDir dir;
    clip_fault_reset();
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);
    Outcome o;
    o.index_before = read_file(dir.file("clips.json"));
    clip_fault_arm(CLIP_FAULT_ALLOC, n);
    o.result = take(clip_push_text("hello"));
    if (!clip_fault_fired()) {
      EXPECT_EQ(o.result, "{\"id\":1,\"dedup\":0}");
      break;
    }
    clip_fault_reset();
    o.message = last_error();
    o.index_after = read_file(dir.file("clips.json"));
    o.ids = ids();
    o.next_id = g_store.next_id;
    outcomes.push_back(o);
    // The id is used up, and the next write holds whatever is in the list.
    ASSERT_EQ(take(clip_push_text("world")), "{\"id\":2,\"dedup\":0}");
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);
    const std::vector<int> want = o.ids.empty() ? std::vector<int>{2} : std::vector<int>{1, 2};
    EXPECT_EQ(ids(), want);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"clips.json"});
  }
  const size_t last = outcomes.size();
  ASSERT_GE(last, 5u) << "the index write allocates";
  for (size_t i = 0; i < last; ++i) {
    const Outcome &o = outcomes[i];
    SCOPED_TRACE("allocation " + std::to_string(i + 1));
    Step step = i < 3 ? kBeforeAppend : i + 1 < last ? kIndexWrite : kAnswer;
    EXPECT_EQ(o.result, "<null>");
    EXPECT_EQ(o.next_id, 2);
    if (step == kIndexWrite) {
      EXPECT_TRUE(o.message == "out of memory" || o.message == "failed to serialize clips.json")
          << o.message;
    } else {
      EXPECT_EQ(o.message, "out of memory");
    }
    EXPECT_EQ(o.ids, step == kBeforeAppend ? std::vector<int>{} : std::vector<int>{1});
    if (step == kAnswer) {
      EXPECT_NE(o.index_after.find("\"hello\""), std::string::npos);
    } else {
      EXPECT_EQ(o.index_after, o.index_before);
    }
  }
}

// A capture whose index write failed stays in memory; repeating it must not
// be answered as a repeat of a stored clip while it is not on disk. The
// repeat writes the index first and answers only once that worked. Texts and
// images alike, with the write failing on a directory in the temporary
// file's place and through the fault seam.
TEST_F(PushTextTest, ARepeatOfACaptureThatNeverReachedTheDiskWritesItFirst) {
  const std::string png = "png bytes held in memory";
  struct Capture {
    const char *name;
    std::function<char *()> call;
    const char *stored;
    long renames_first;  // the image file's own rename comes before the index's
  };
  const Capture captures[] = {
      {"text", [] { return clip_push_text("held in memory"); }, "\"held in memory\"", 0},
      {"image", [&] { return push_png(png, "held"); }, "\"held\"", 1},
  };
  struct Failure {
    const char *name;
    std::function<void(const std::string &dir, long renames_first)> start;
    std::function<void(const std::string &dir)> stop;
    const char *message;
  };
  const Failure failures[] = {
      {"directory on clips.json.tmp",
       [](const std::string &dir, long) {
         ASSERT_EQ(mkdir((dir + "/clips.json.tmp").c_str(), 0700), 0);
       },
       [](const std::string &dir) { ASSERT_EQ(rmdir((dir + "/clips.json.tmp").c_str()), 0); },
       "failed to open clips.json.tmp: Is a directory"},
      {"rename fails",
       [](const std::string &, long renames_first) {
         clip_fault_arm(CLIP_FAULT_RENAME, renames_first + 1, 0);
       },
       [](const std::string &) { clip_fault_reset(); },
       "atomic rename failed: Input/output error"},
  };
  for (const Capture &cap : captures) {
    for (const Failure &f : failures) {
      SCOPED_TRACE(std::string(cap.name) + ", " + f.name);
      seed(numbered_clips(3), 4);
      const std::string before = index();
      f.start(dir_.path(), cap.renames_first);
      EXPECT_EQ(take(cap.call()), "<null>");
      EXPECT_EQ(last_error(), f.message);
      EXPECT_EQ(newest().id, 4);  // held in memory
      // Still failing: the repeat tries the write and reports it.
      EXPECT_EQ(take(cap.call()), "<null>");
      EXPECT_EQ(last_error(), f.message);
      EXPECT_EQ(index(), before);
      f.stop(dir_.path());

      EXPECT_EQ(take(cap.call()), "{\"id\":4,\"dedup\":1}");
      EXPECT_EQ(last_error(), "");
      EXPECT_NE(index().find(cap.stored), std::string::npos);
      // In step again: a further repeat writes nothing.
      clip_fault_reset();
      EXPECT_EQ(take(cap.call()), "{\"id\":4,\"dedup\":1}");
      EXPECT_EQ(clip_fault_calls(CLIP_FAULT_OPEN), 0);
      reopen();
      EXPECT_EQ(ids(), range(1, 4));
    }
  }
}

// A capture that failed after evicting (here the image write) leaves memory
// ahead of the file too: a repeat of the newest clip writes the evictions.
TEST_F(PushTextTest, ARepeatAfterAnEvictionThatWasNotWrittenWritesIt) {
  seed(numbered_clips(500, {}, {1}), 501);
  const unsigned char png[] = {1, 2, 3};
  ASSERT_EQ(mkdir(dir_.file("img_501.png.tmp").c_str(), 0700), 0);
  EXPECT_EQ(take(clip_push_image(png, 3, nullptr)), "<null>");
  EXPECT_EQ(last_error(), "failed to open blob tmp: Is a directory");
  EXPECT_EQ(ids().front(), 2);
  EXPECT_TRUE(image_file(1));  // the index on disk still names clip 1

  EXPECT_EQ(push(text_of(500)), "{\"id\":500,\"dedup\":1}");
  EXPECT_FALSE(image_file(1));
  reopen();
  EXPECT_EQ(ids(), range(2, 500));
}

// A capture that failed once its id was taken (here the copy of its text)
// leaves next_id ahead of the file: a repeat of the newest clip writes it, so
// that a restart never hands the id out again.
TEST_F(PushTextTest, ARepeatAfterAnIdWasUsedUpWritesTheRaisedNextId) {
  seed(numbered_clips(3), 4);
  clip_fault_arm(CLIP_FAULT_ALLOC, 1);
  EXPECT_EQ(push("never stored"), "<null>");
  EXPECT_EQ(last_error(), "out of memory");
  clip_fault_reset();
  EXPECT_NE(index().find("\"next_id\": 4,"), std::string::npos);  // as seeded

  EXPECT_EQ(push(text_of(3)), "{\"id\":3,\"dedup\":1}");
  EXPECT_NE(index().find("\"next_id\": 5,"), std::string::npos);
  reopen();
  EXPECT_EQ(push("stored"), "{\"id\":5,\"dedup\":0}");
}

// A failed index write keeps the new clip in the list and the evictions; the
// index stays as it was until a later write, and so do the image files it
// names.
TEST_F(PushTextTest, FailedIndexWriteKeepsTheClipAndTheEvictions) {
  struct Case {
    clip_fault_op op;
    const char *message;
  };
  const Case cases[] = {
      {CLIP_FAULT_OPEN, "failed to open clips.json.tmp: Permission denied"},
      {CLIP_FAULT_RENAME, "atomic rename failed: Input/output error"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    seed(numbered_clips(500, {}, {1, 2}), 501);
    const std::string before = index();
    clip_fault_arm(c.op, 1);
    EXPECT_EQ(push("new"), "<null>");
    clip_fault_reset();
    EXPECT_EQ(last_error(), c.message);
    EXPECT_EQ(ids().front(), 2);
    EXPECT_EQ(newest().id, 501);
    EXPECT_EQ(g_store.next_id, 502);
    EXPECT_TRUE(image_file(1));  // evicted, but still named on disk
    EXPECT_TRUE(image_file(2));
    EXPECT_EQ(index(), before);
    EXPECT_FALSE(file_exists(dir_.file("clips.json.tmp")));

    EXPECT_EQ(push("newer"), "{\"id\":502,\"dedup\":0}");
    EXPECT_FALSE(image_file(1));
    EXPECT_FALSE(image_file(2));  // evicted by this capture
    reopen();
    EXPECT_EQ(ids().front(), 3);
    EXPECT_EQ(ids().back(), 502);
    EXPECT_EQ(ids()[ids().size() - 2], 501);
  }
}

// Whatever fails once the eviction is done (an allocation, any file
// operation of the image or index write), the evicted clip stays gone from
// memory and the id stays used; its image file stays exactly as long as the
// index on disk names it, a new image file exists exactly for a clip in the
// list, and the store opens again. An allocation that fails before the
// eviction (queuing the evicted image files) changes nothing. Both kinds of
// capture.
TEST_F(PushTextTest, EvictionsStayWhateverFailsLater) {
  const std::string png = "new image bytes";
  struct Capture {
    const char *name;
    std::function<char *()> call;
  };
  const Capture captures[] = {
      {"text", [] { return clip_push_text("new"); }},
      {"image", [&] { return push_png(png, "label"); }},
  };
  const clip_fault_op ops[] = {CLIP_FAULT_ALLOC, CLIP_FAULT_OPEN,  CLIP_FAULT_WRITE,
                               CLIP_FAULT_SYNC,  CLIP_FAULT_CLOSE, CLIP_FAULT_RENAME};
  for (const Capture &cap : captures) {
    for (clip_fault_op op : ops) {
      for (long n = 1;; ++n) {
        SCOPED_TRACE(std::string(cap.name) + ", " + clip_fault_op_name(op) + " " +
                     std::to_string(n));
        seed(numbered_clips(500, {}, {1}), 501);
        clip_fault_reset();
        clip_fault_arm(op, n);
        std::string result = take(cap.call());
        bool fired = clip_fault_fired();
        clip_fault_reset();
        if (result == "<null>") {
          EXPECT_NE(last_error(), "");
        }
        if (ids().front() == 1) {
          EXPECT_EQ(op, CLIP_FAULT_ALLOC);
          EXPECT_EQ(last_error(), "out of memory");
          EXPECT_EQ(g_store.next_id, 501);
        } else {
          EXPECT_EQ(ids().front(), 2);
          EXPECT_EQ(g_store.next_id, 502);
        }
        bool listed = newest().id == 501;
        EXPECT_TRUE(listed || result == "<null>");
        if (cap.name == std::string("image")) {
          EXPECT_EQ(image_file(501), listed);
        }
        bool first_file = image_file(1);
        reopen();
        EXPECT_EQ(g_store.count, 500);
        EXPECT_EQ(first_file, ids().front() == 1) << "the file of clip 1 against the index";
        EXPECT_EQ(image_file(1), ids().front() == 1);
        if (!fired) break;
      }
    }
  }
}

}  // namespace
