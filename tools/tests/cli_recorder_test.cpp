// The host's Recorder against the library's internal units with the fault
// seam: a repeat that moves to the top keeps the user's clip whatever call
// fails, and a PRIMARY selection being dragged replaces only the clip it
// made itself.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "cli_capture.h"
#include "cli_config.h"
#include "cli_store.h"
#include "clip_fault.h"
#include "quillmar_clip.h"
#include "tests/scratch.h"

namespace {

namespace fs = std::filesystem;

using scratch::read_file;
using scratch::write_file;

struct Scratch : scratch::Dir {
  Scratch() : Dir("cli_recorder_test") {}
};

std::string png(const std::string &body) { return "\x89PNG\r\n\x1a\n" + body; }

// What a clip holds: its text, or its picture's bytes.
struct Held {
  bool image = false;
  std::string bytes;
  bool pinned = false;
  bool operator==(const Held &o) const { return image == o.image && bytes == o.bytes; }
};

// The history in the store dir as a fresh load finds it, by id.
std::map<int, Held> load(const std::string &dir) {
  std::map<int, Held> out;
  EXPECT_EQ(clip_init(dir.c_str()), 1) << clip_last_error();
  std::vector<host::ClipSummary> clips;
  EXPECT_TRUE(host::all_clips(&clips));
  for (auto &c : clips) {
    char *got = clip_get(c.id);
    if (got == nullptr) {
      ADD_FAILURE() << "clip " << c.id << ": " << clip_last_error();
      continue;
    }
    Held h;
    h.image = c.image;
    h.pinned = c.pinned;
    h.bytes = got;
    clip_free_string(got);
    if (h.image) {
      yyjson_doc *doc = yyjson_read(h.bytes.data(), h.bytes.size(), 0);
      const char *path =
          yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc), "image_path"));
      h.bytes = path != nullptr ? read_file(path) : "<no path>";
      yyjson_doc_free(doc);
    }
    out[c.id] = h;
  }
  return out;
}

// An index of count unpinned clips with ids 1..count: "text N", except the
// picture of image_id (0: none), whose file is written beside it.
void seed(const fs::path &dir, int count, int image_id) {
  fs::create_directories(dir);
  std::string json = "{\"next_id\": " + std::to_string(count + 1) + ", \"clips\": [";
  for (int i = 1; i <= count; ++i) {
    if (i > 1) json += ",";
    std::string id = std::to_string(i), ts = std::to_string(1700000000 + i);
    if (i == image_id) {
      std::string bytes = png("picture " + id);
      write_file(dir / ("img_" + id + ".png"), bytes);
      json += "\n {\"id\": " + id + ", \"ts\": " + ts +
              ", \"kind\": \"image\", \"preview\": \"[image " +
              std::to_string(bytes.size()) +
              " bytes: precious]\", \"pinned\": false, \"hash\": \"\", \"label\": "
              "\"precious\"}";
    } else {
      json += "\n {\"id\": " + id + ", \"ts\": " + ts +
              ", \"kind\": \"text\", \"preview\": \"text " + id +
              "\", \"pinned\": false, \"hash\": \"\", \"text\": \"text " + id + "\"}";
    }
  }
  write_file(dir / "clips.json", json + "\n]}");
}

host::Capture capture_of(const Held &h) {
  host::Capture c;
  c.kind = h.image ? host::ClipKind::image : host::ClipKind::text;
  c.bytes = h.bytes;
  c.seen = h.bytes.size();
  c.origin = "the test";
  return c;
}

const clip_fault_op kOps[] = {CLIP_FAULT_ALLOC,  CLIP_FAULT_OPEN,   CLIP_FAULT_READ,
                              CLIP_FAULT_WRITE,  CLIP_FAULT_SYNC,   CLIP_FAULT_CLOSE,
                              CLIP_FAULT_RENAME, CLIP_FAULT_UNLINK, CLIP_FAULT_STAT};

// A repeat of an older clip, run again with each file operation or
// allocation of the library failing in turn. Whatever fails, the repeated
// content stays in the history (once or, when only the older copy's delete
// failed, twice), nothing else but what a new clip evicts is lost, and a
// refused capture leaves the history exactly as it was.
TEST(MoveToTop, NoFailureLosesTheRepeatedClip) {
  struct Case {
    const char *what;
    int count;     // clips in the history, all unpinned
    int repeated;  // the id of the clip captured again
    int image;     // the id of the one picture (0: none)
  } cases[] = {
      {"history with room", 499, 250, 0},
      {"full history, the oldest clip", 500, 1, 0},
      {"full history, a clip in the middle", 500, 250, 0},
      {"full history, the oldest clip a picture", 500, 1, 1},
      {"full history, a picture in the middle", 500, 250, 250},
  };
  host::Config config;
  for (const auto &c : cases) {
    Scratch scratch;
    fs::path seeded = scratch.path() / "seeded";
    seed(seeded, c.count, c.image);
    const std::map<int, Held> before = load(seeded.string());
    const Held repeated = before.at(c.repeated);
    bool full = c.count >= CLIP_MAX_UNPINNED;
    for (clip_fault_op op : kOps) {
      for (long nth = 1;; ++nth) {
        std::string where = std::string(c.what) + ", " + clip_fault_op_name(op) + " " +
                            std::to_string(nth) + " failing";
        fs::path dir = scratch.path() / "store";
        fs::remove_all(dir);
        fs::copy(seeded, dir);
        host::Recorder recorder(dir.string(), config);
        ASSERT_TRUE(recorder.open()) << where;
        recorder.release();
        host::Recorded rec;
        testing::internal::CaptureStderr();
        clip_fault_arm(op, nth);
        bool ok = recorder.record(capture_of(repeated), &rec);
        bool fired = clip_fault_fired();
        clip_fault_reset();
        std::string said = testing::internal::GetCapturedStderr();

        std::map<int, Held> after = load(dir.string());
        int copies = 0;
        for (auto &[id, h] : after) {
          EXPECT_FALSE(h.pinned) << where << ": clip " << id << " is pinned";
          copies += h == repeated ? 1 : 0;
        }
        EXPECT_TRUE(copies == 1 || copies == 2) << where << ": " << copies << " copies";
        EXPECT_LE(after.size(), size_t{CLIP_MAX_UNPINNED}) << where;
        for (auto &[id, h] : before) {
          if (id == c.repeated || (full && id == 1)) continue;
          EXPECT_TRUE(after.count(id) == 1 && after.at(id) == h)
              << where << ": clip " << id << " was lost";
        }
        if (!ok) {
          // The library may have stored the new copy before it failed (to
          // answer, say); the older one stays all the same.
          EXPECT_NE(said, "") << where << ": refused without a word";
          if (!full || c.repeated != 1) {
            EXPECT_EQ(after.count(c.repeated), 1u) << where;
          }
        } else if (rec.replaced == c.repeated) {
          EXPECT_EQ(copies, 1) << where;
          EXPECT_EQ(after.rbegin()->first, rec.id) << where << ": not at the top";
          EXPECT_EQ(after.size(), size_t(full && c.repeated != 1 ? c.count - 1 : c.count))
              << where;
        }
        // Otherwise the older copy was not found (its look-up failed) or
        // could not be deleted, and the new one is a clip of its own.
        if (!fired) {
          EXPECT_TRUE(ok && rec.replaced == c.repeated) << where << ": " << said;
          break;
        }
        ASSERT_LT(nth, 100000) << where;
      }
    }
  }
}

// Each step is a capture (PRIMARY or CLIPBOARD, as the X11 watcher makes
// them) or something another process does; the texts the history ends with
// are newest first.
TEST(SelectionMerge, ReplacesOnlyWhatTheSelectionMade) {
  enum Kind { primary, clipboard, wipe, push };
  struct Step {
    Kind kind;
    const char *text;
  };
  struct Case {
    const char *what;
    std::vector<Step> steps;
    std::vector<std::string> texts;
  } cases[] = {
      {"a selection dragged further",
       {{primary, "foo"}, {primary, "foobar"}, {primary, "the foobar"}},
       {"the foobar"}},
      {"a clip copied in between",
       {{primary, "foo"}, {clipboard, "other"}, {primary, "foobar"}},
       {"foobar", "other"}},
      {"the selection copied with Ctrl-C",
       {{primary, "foo"}, {clipboard, "foo"}, {primary, "foobar"}},
       {"foobar", "foo"}},
      {"the selection copied after another clip, so moved to the top",
       {{primary, "foo"}, {clipboard, "other"}, {clipboard, "foo"}, {primary, "foobar"}},
       {"foobar", "foo", "other"}},
      {"a selection that repeated a clip copied on purpose",
       {{clipboard, "foo"}, {primary, "foo"}, {primary, "foobar"}},
       {"foobar", "foo"}},
      {"the history wiped and another clip taking the id",
       {{primary, "foo"}, {wipe, ""}, {push, "unrelated"}, {primary, "foobar"}},
       {"foobar", "unrelated"}},
  };
  host::Config config;
  for (const auto &c : cases) {
    Scratch scratch;
    std::string dir = (scratch.path() / "store").string();
    host::Recorder recorder(dir, config);
    for (const Step &s : c.steps) {
      if (s.kind == wipe || s.kind == push) {
        // Another process: the Recorder sees clips.json change.
        ASSERT_EQ(clip_init(dir.c_str()), 1);
        if (s.kind == wipe) {
          ASSERT_EQ(clip_wipe(), 1);
        } else {
          char *r = clip_push_text(s.text);
          ASSERT_NE(r, nullptr);
          clip_free_string(r);
        }
        continue;
      }
      host::Capture cap;
      cap.bytes = s.text;
      cap.seen = cap.bytes.size();
      cap.origin = "the test";
      cap.selection = s.kind == primary;
      host::Recorded rec;
      ASSERT_TRUE(recorder.record(cap, &rec)) << c.what;
    }
    std::vector<std::string> texts;
    std::map<int, Held> after = load(dir);
    for (auto it = after.rbegin(); it != after.rend(); ++it)
      texts.push_back(it->second.bytes);
    EXPECT_EQ(texts, c.texts) << c.what;
  }
}

// The selection's clip is the oldest of a full history, and its growth is
// the newest clip already: the push answers with that clip and evicts
// nothing, so the selection's clip must still be deleted.
TEST(SelectionMerge, GrowthThatRepeatsTheNewestClipOfAFullHistory) {
  Scratch scratch;
  std::string dir = (scratch.path() / "store").string();
  host::Config config;
  host::Recorder recorder(dir, config);
  host::Capture cap;
  cap.bytes = "foo";
  cap.seen = 3;
  cap.origin = "the test";
  cap.selection = true;
  host::Recorded rec;
  ASSERT_TRUE(recorder.record(cap, &rec));
  ASSERT_EQ(clip_init(dir.c_str()), 1);
  for (int i = 2; i <= CLIP_MAX_UNPINNED; ++i) {
    std::string text = i == CLIP_MAX_UNPINNED ? "foobar" : "filler " + std::to_string(i);
    char *r = clip_push_text(text.c_str());
    ASSERT_NE(r, nullptr) << clip_last_error();
    clip_free_string(r);
  }
  cap.bytes = "foobar";
  cap.seen = 6;
  ASSERT_TRUE(recorder.record(cap, &rec));
  EXPECT_TRUE(rec.dedup && rec.id == CLIP_MAX_UNPINNED && rec.grown && rec.replaced == 1);
  std::map<int, Held> after = load(dir);
  EXPECT_EQ(after.count(1), 0u) << "the selection's clip stayed";
  EXPECT_EQ(after.size(), size_t{CLIP_MAX_UNPINNED} - 1);
}

}  // namespace
