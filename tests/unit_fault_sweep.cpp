// Fault sweep: one scenario that uses all eleven exports, run once with no
// fault and then again for every kind of allocation or file operation and
// every N until the scenario no longer reaches an Nth call of that kind, with
// that call made to fail. In every run each call must answer as the model of
// the history says (or, for the call that met the fault, fail with a message
// and leave only what a failure may leave), the index on disk must always be
// readable and hold every acknowledged change, and once the fault has passed
// the following calls must succeed. Whatever fails, every image the index on
// disk names is on disk.
#include <filesystem>
#include <functional>

#include "clip_fault.h"
#include "history_model.h"
#include "quillmar_clip.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// The sweep writes some ten thousand small files; QUILLMAR_SWEEP_ON_DISK=1
// keeps them in the default temporary directory.
const bool kOnMemoryFs = model::prefer_memory_fs("QUILLMAR_SWEEP_ON_DISK");

std::string png_bytes(int n, size_t len) {
  std::string s = "\x89PNG\r\n\x1a\n";
  while (s.size() < len) s += static_cast<char>('a' + (s.size() * 7 + static_cast<size_t>(n)) % 26);
  return s;
}

// Runs the scenario against a model, checking every call. One instance per run.
class ScenarioRun {
 public:
  ScenarioRun(const fs::path &root, const fs::path &seed_store, const model::History &seeded)
      : fresh_((root / "fresh").string()), store_((root / "store").string()), seeded_(seeded) {
    fs::copy(seed_store, store_);
  }

  // What the run saw of the fault.
  int failed_calls = 0;
  // Until its fault fires a run repeats the run with no fault, whose every
  // index write is checked, so the disk is checked from the fault on.
  bool check_every_write = false;

  void scenario() {
    init(fresh_, model::History{});
    init(store_, seeded_);
    int alpha = push_text("alpha beta gamma, the first of the day");
    push_text("alpha beta gamma, the first of the day");  // the newest again
    push_text(std::string(300, 'x') + " long enough for a cut preview ✓");
    int logo = push_image(png_bytes(1, 3000), "logo ✓");
    push_image(png_bytes(2, 100), nullptr);
    list(0, 0);
    list(1, 2);
    get(alpha);
    get(logo);
    get(99999);
    search("ALPHA");
    search("");
    pin(alpha, 1);
    pin(alpha, 0);
    pin(99999, 1);
    remove(logo);
    remove(alpha);
    wipe();
    push_text("after the wipe");
    push_image(png_bytes(3, 500), "");
    list(0, 0);
    push_text("the last word");
  }

  // At both caps: 200 pinned clips and 500 unpinned ones, the oldest of
  // them an image. The store is loaded before the fault is armed.
  void prepare_at_the_caps() { init(store_, seeded_); }
  void at_the_caps() {
    int newest = push_text("evicts the oldest unpinned clip, an image");
    push_image(png_bytes(4, 700), "evicts a text");
    pin(newest, 1);  // refused: 200 are pinned
    pin(1, 0);       // 501 unpinned now
    push_text("evicts two");
    pin(newest, 1);
    remove(newest);
  }

  // Once the fault is lifted the next change succeeds and writes whatever
  // memory held ahead of the file; a fresh start then finds exactly what the
  // calls acknowledged.
  void final_checks() {
    clip_fault_reset();
    int failed = failed_calls;
    push_text("closing the run");
    EXPECT_EQ(failed_calls, failed) << "the change after the fault failed";
    EXPECT_EQ(model::diff(history_, model::from_store(g_store)), "") << "memory at the end";
    expect_disk_is_memory("at the end");
    ASSERT_EQ(clip_init(store_.c_str()), 1) << clip_last_error();
    EXPECT_EQ(model::diff(history_, model::from_store(g_store)), "") << "reloaded";
    for (const std::string &name : list_dir(store_)) {
      EXPECT_EQ(name.rfind("clips.json", 0) == 0 && name != "clips.json", false)
          << "left in the store: " << name;
    }
  }

  // Every failure leaves a message and every success none.
  void expect_message(bool ok, const char *call) {
    if (ok) {
      EXPECT_EQ(last_error(), "") << call << " succeeded";
    } else {
      EXPECT_NE(last_error(), "") << call << " failed";
      ++failed_calls;
    }
  }

  void expect_disk_is_memory(const std::string &when) {
    model::Disk disk = model::read_index(dir_);
    ASSERT_EQ(disk.state, model::Disk::OK) << when << ": " << disk.why;
    EXPECT_EQ(model::diff(history_, disk.history), "") << when << ": index";
    EXPECT_EQ(model::check_images(dir_, history_), "") << when;
  }

  // A change. `apply` is the model's version; `call` the library's.
  void change(const std::string &what, const std::function<model::Outcome(model::History &)> &apply,
              const std::function<model::Outcome()> &call) {
    model::History before = history_;
    model::History after = before;
    model::Outcome want = apply(after);
    std::string index_before = read_file(dir_ + "/clips.json");
    bool had_index = file_exists(dir_ + "/clips.json");
    model::Outcome got = call();
    expect_message(got.ok, what.c_str());
    EXPECT_EQ(model::check_named_images(dir_), "") << what;
    model::History memory = model::from_store(g_store);
    if (got.ok) {
      EXPECT_TRUE(want.ok) << what << ": succeeded where it must fail";
      EXPECT_EQ(got.id, want.id) << what;
      EXPECT_EQ(got.dedup, want.dedup) << what;
      EXPECT_EQ(model::diff(after, memory), "") << what << ": memory";
      history_ = after;
      // A repeat writes the index too when memory was ahead of it.
      if (check_every_write || clip_fault_fired()) expect_disk_is_memory(what);
      return;
    }
    if (!want.ok) {
      EXPECT_EQ(model::diff(before, memory), "") << what << ": a refused call changed memory";
      history_ = before;
      return;
    }
    EXPECT_TRUE(clip_fault_fired()) << what << " failed with no fault: " << last_error();
    // A failed change leaves memory as it was, or with the id used up and
    // the evictions done, or with the change made but not written.
    model::History used_up = after;
    if (want.id != 0 && !want.dedup && !used_up.clips.empty()) used_up.clips.pop_back();
    if (model::diff(before, memory).empty()) {
      history_ = before;
    } else if (model::diff(after, memory).empty()) {
      history_ = after;
    } else if (model::diff(used_up, memory).empty()) {
      history_ = used_up;
    } else {
      ADD_FAILURE() << what << " failed (" << last_error()
                    << ") and left memory as no failure may: " << model::diff(after, memory);
      history_ = memory;
    }
    // The file holds the former state, or all of the change when only the
    // answer could not be made; a wipe may have removed it.
    model::Disk disk = model::read_index(dir_);
    ASSERT_NE(disk.state, model::Disk::DAMAGED) << what << ": " << disk.why;
    bool former = file_exists(dir_ + "/clips.json") == had_index &&
                  read_file(dir_ + "/clips.json") == index_before;
    bool whole = disk.state == model::Disk::OK && model::diff(after, disk.history).empty();
    bool wiped = disk.state == model::Disk::MISSING && after.clips.empty();
    EXPECT_TRUE(former || whole || wiped) << what << " failed (" << last_error()
                                          << ") and the index is neither the former one"
                                          << " nor the new one";
  }

  void init(const std::string &dir, const model::History &expected) {
    std::string index_before = read_file(dir + "/clips.json");
    int ok = clip_init(dir.c_str());
    expect_message(ok, "clip_init");
    EXPECT_EQ(model::check_named_images(dir), "") << "clip_init";
    if (!ok) {
      EXPECT_TRUE(clip_fault_fired()) << last_error();
      EXPECT_EQ(g_store.initialized, 0);
      // Nothing set aside, nothing rewritten.
      EXPECT_EQ(read_file(dir + "/clips.json"), index_before);
      if (fs::exists(dir)) {
        for (const std::string &name : list_dir(dir)) {
          EXPECT_EQ(name.rfind("clips.json.", 0), std::string::npos) << name;
        }
      }
      // Once the fault has passed, the host's next try works.
      ok = clip_init(dir.c_str());
      ASSERT_EQ(ok, 1) << "retry: " << clip_last_error();
    }
    dir_ = dir;
    history_ = expected;
    EXPECT_EQ(model::diff(history_, model::from_store(g_store)), "") << "loaded " << dir;
    expect_disk_is_memory("after clip_init");
  }

  int push_text(const std::string &text) {
    model::Outcome o;
    change(
        "push_text", [&](model::History &h) { return o = model::push_text(h, text); },
        [&] { return model::answer_of(clip_push_text(text.c_str())); });
    return o.id;
  }

  int push_image(const std::string &png, const char *label) {
    model::Outcome o;
    change(
        "push_image",
        [&](model::History &h) { return o = model::push_image(h, png, label); },
        [&] { return model::answer_of(push_png(png, label)); });
    return o.id;
  }

  void pin(int id, int pinned) {
    change("pin " + std::to_string(id), [&](model::History &h) { return model::pin(h, id, pinned); },
           [&] { return model::Outcome{clip_pin(id, pinned) == 1, 0, false}; });
  }

  void remove(int id) {
    change("delete " + std::to_string(id), [&](model::History &h) { return model::remove(h, id); },
           [&] { return model::Outcome{clip_delete(id) == 1, 0, false}; });
  }

  void wipe() {
    change("wipe", [](model::History &h) { return model::wipe(h); },
           [] { return model::Outcome{clip_wipe() == 1, 0, false}; });
  }

  // Reads: an answer that agrees with the model, or a failure that the
  // fault explains; never a change.
  void read(const char *what, char *result, const std::function<void(const std::string &)> &check,
            bool must_fail = false) {
    std::string got = take(result);
    expect_message(result != nullptr, what);
    if (result != nullptr) {
      EXPECT_FALSE(must_fail) << what;
      check(got);
    } else if (!must_fail) {
      EXPECT_TRUE(clip_fault_fired()) << what << " failed with no fault: " << last_error();
    }
    EXPECT_EQ(model::diff(history_, model::from_store(g_store)), "") << what << " changed memory";
  }

  void list(int offset, int limit) {
    std::vector<int> want;
    int n = static_cast<int>(history_.clips.size());
    for (int i = n - 1 - offset; i >= 0 && static_cast<int>(want.size()) < (limit > 0 ? limit : 50);
         --i) {
      want.push_back(history_.clips[static_cast<size_t>(i)].id);
    }
    read("clip_list", clip_list(offset, limit),
         [&](const std::string &json) { EXPECT_EQ(ints_of(json, "id"), want) << json; });
  }

  void get(int id) {
    int i = model::find(history_, id);
    read(
        "clip_get", clip_get(id),
        [&](const std::string &got) {
          const model::Clip &c = history_.clips[static_cast<size_t>(i)];
          if (c.kind == CLIP_KIND_TEXT) {
            EXPECT_EQ(got, c.text);
          } else {
            EXPECT_NE(got.find("img_" + std::to_string(id) + ".png"), std::string::npos) << got;
          }
        },
        i < 0);
    if (i < 0) {
      EXPECT_EQ(last_error(), "clip id " + std::to_string(id) + " not found");
    }
  }

  void search(const std::string &query) {
    std::vector<int> want;  // every query here occurs only in another case: newest first
    std::string folded = query;
    for (char &ch : folded) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    for (auto c = history_.clips.rbegin(); c != history_.clips.rend(); ++c) {
      if (c->kind == CLIP_KIND_TEXT && c->text.find(folded) != std::string::npos) {
        want.push_back(c->id);
      }
    }
    read("clip_search", clip_search(query.c_str(), 0),
         [&](const std::string &json) { EXPECT_EQ(ints_of(json, "id"), want) << json; });
  }


 private:
  std::string fresh_, store_, dir_;
  model::History seeded_, history_;
};

class FaultSweep : public ::testing::Test {
 protected:
  // The store every run starts from: two texts and an image, one pinned.
  void SetUp() override {
    clip_fault_reset();
    seed_ = seed_dir_.path() + "/store";
    ASSERT_EQ(clip_init(seed_.c_str()), 1);
    model::push_text(seeded_, "seed one");
    ASSERT_NE(take(clip_push_text("seed one")), "<null>");
    std::string png = png_bytes(0, 2000);
    model::push_image(seeded_, png, "cover");
    ASSERT_NE(take(push_png(png, "cover")), "<null>");
    model::push_text(seeded_, "seed two");
    ASSERT_NE(take(clip_push_text("seed two")), "<null>");
    model::pin(seeded_, 1, 1);
    ASSERT_EQ(clip_pin(1, 1), 1);
  }
  void TearDown() override { clip_fault_reset(); }

  TempDir seed_dir_;
  std::string seed_;
  model::History seeded_;
};

// Runs `body` once with no fault, then once for every fault point it reaches,
// each time on a fresh copy of the seed store; `prepare` runs before the
// fault is armed. Returns the number of fault points per kind.
template <class Prepare, class Body>
std::string sweep(const std::string &seed, const model::History &seeded, int refusals,
                  Prepare prepare, Body body) {
  {
    TempDir root;
    clip_fault_reset();
    ScenarioRun run(root.path(), seed, seeded);
    run.check_every_write = true;
    prepare(run);
    run.failed_calls = 0;
    body(run);
    EXPECT_EQ(run.failed_calls, refusals) << "calls refused with no fault";
    run.final_checks();
  }
  if (::testing::Test::HasFailure()) return "the scenario disagrees with the model";

  std::string report;
  long total = 0, failing_runs = 0;
  for (int k = 0; k < CLIP_FAULT_OP_COUNT; ++k) {
    const clip_fault_op kind = static_cast<clip_fault_op>(k);
    long points = 0;
    for (long n = 1;; ++n) {
      TempDir root;
      clip_fault_reset();
      ScenarioRun run(root.path(), seed, seeded);
      prepare(run);
      run.failed_calls = 0;
      clip_fault_arm(kind, n);
      SCOPED_TRACE(std::string(clip_fault_op_name(kind)) + " call " + std::to_string(n) +
                   " fails");
      body(run);
      bool fired = clip_fault_fired();
      run.final_checks();
      if (::testing::Test::HasFailure()) {
        ADD_FAILURE() << "stopped at the first faulty run";
        return report;
      }
      if (!fired) break;
      ++points;
      if (run.failed_calls > refusals) ++failing_runs;
    }
    report += std::string(k > 0 ? " " : "") + clip_fault_op_name(kind) + " " +
              std::to_string(points);
    total += points;
  }
  return report + "; " + std::to_string(total) + " in all, " + std::to_string(failing_runs) +
         " made a call fail (stores " + (kOnMemoryFs ? "in memory" : "on disk") + ")";
}

TEST_F(FaultSweep, EveryFailingCallOfEveryKindLeavesAStoreThatLoadsWithWhatWasAcknowledged) {
  std::string report = sweep(
      seed_, seeded_, 2, [](ScenarioRun &) {}, [](ScenarioRun &run) { run.scenario(); });
  printf("fault points per kind, all eleven exports: %s\n", report.c_str());
}

TEST_F(FaultSweep, FailuresAtBothCapsLeaveEvictionsAndPinsConsistent) {
  TempDir seed_dir;
  std::string seed = seed_dir.path() + "/store";
  model::History seeded;
  for (int i = 1; i <= 200; ++i) {
    model::push_text(seeded, "pinned " + std::to_string(i));
    model::pin(seeded, i, 1);
  }
  model::push_image(seeded, png_bytes(5, 900), nullptr);
  for (int i = 202; i <= 700; ++i) model::push_text(seeded, "unpinned " + std::to_string(i));
  seed_history(seed, seeded.clips, seeded.next_id);

  std::string report = sweep(
      seed, seeded, 1, [](ScenarioRun &run) { run.prepare_at_the_caps(); },
      [](ScenarioRun &run) { run.at_the_caps(); });
  printf("fault points per kind, at both caps: %s\n", report.c_str());
}

}  // namespace
