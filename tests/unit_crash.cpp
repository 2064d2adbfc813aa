// Crash consistency: a child process changes the history through the exported
// calls and reports every call it completes, while the parent kills it with
// SIGKILL at a random moment. The store must then load without being set
// aside, hold exactly the history after the last reported call or after the
// one in flight, and have every image it names on disk with its exact bytes.
//
// The history starts full (500 unpinned clips, 195 pinned ones), so that
// evictions and refused pins are among the calls that get killed.
//
// QUILLMAR_CRASH_TRIALS (default 1000) and QUILLMAR_CRASH_SECONDS (default 20)
// bound the run, whichever ends it first; QUILLMAR_CRASH_SEED picks the
// sequence of operations.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "clip_fault.h"
#include "clip_store.h"
#include "history_model.h"
#include "quillmar_clip.h"
#include "test_support.h"

namespace {

// QUILLMAR_CRASH_ON_DISK=1 runs the store in the default temporary directory.
const bool kOnMemoryFs = model::prefer_memory_fs("QUILLMAR_CRASH_ON_DISK");

long env_long(const char *name, long fallback) {
  const char *v = getenv(name);
  return v != nullptr && *v != '\0' ? strtol(v, nullptr, 10) : fallback;
}

// ---------------------------------------------------------------------------
// Content, made again from a seed on both sides of the pipe

std::string text_for(uint32_t seed) {
  std::mt19937 rng(seed);
  static const char *const pieces[] = {"a", "b", "Q", " ", "\n", "\t", "\"", "\\", "é", "漢字", "🙂"};
  size_t len;
  uint32_t r = rng() % 1000;
  if (r < 920) {
    len = 1 + rng() % 120;
  } else if (r < 998) {
    len = 121 + rng() % 2000;
  } else {
    len = 20000 + rng() % 20000;
  }
  std::string s;
  while (s.size() < len) s += pieces[rng() % (sizeof pieces / sizeof *pieces)];
  return s;
}

std::string image_for(uint32_t seed) {
  std::mt19937 rng(seed ^ 0x9e3779b9u);
  size_t len = rng() % 50 == 0 ? 100000 + rng() % 100000 : 1 + rng() % 4096;
  std::string s = "\x89PNG\r\n\x1a\n";
  s.resize(std::max(len, s.size()));
  for (size_t i = 8; i < s.size(); ++i) s[i] = static_cast<char>(rng());
  return s.substr(0, len);
}

// A short label; the caller passes none for seed 0.
std::string label_for(uint32_t seed) { return std::string("label ") + std::to_string(seed % 97) + (seed % 5 == 0 ? "" : " ✓"); }

// ---------------------------------------------------------------------------
// What the child reports

enum Op : int32_t { OP_INIT, OP_TEXT, OP_IMAGE, OP_PIN, OP_DELETE, OP_WIPE };

struct Record {
  int32_t done;  // 0: the call is about to start; 1: it returned
  int32_t op;
  uint32_t a;    // content seed, or the clip id
  uint32_t b;    // label seed (0: no label), or the pinned flag
  int32_t ok;    // from here on, only when done
  int32_t id;
  int32_t dedup;
};

void send(int fd, const Record &r) {
  if (write(fd, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(4);
}

int pick_id(std::mt19937 &rng) {
  if (g_store.count == 0 || rng() % 20 == 0) return static_cast<int>(rng() % 1000);
  return g_store.entries[rng() % static_cast<uint32_t>(g_store.count)].id;
}

// Runs until killed. Never returns into the test framework.
[[noreturn]] void run_child(const std::string &dir, uint32_t seed, int fd) {
  std::mt19937 rng(seed);
  Record r{};
  r.op = OP_INIT;
  send(fd, r);
  r.ok = clip_init(dir.c_str());
  r.done = 1;
  send(fd, r);
  if (!r.ok) _exit(3);
  uint32_t last_text = 1, last_image = 1;
  for (int n = 0; n < 1000000; ++n) {
    r = Record{};
    uint32_t roll = rng() % 10000;
    if (roll < 4500) {
      r.op = OP_TEXT;
      r.a = rng() % 5 == 0 ? last_text : (last_text = rng());
    } else if (roll < 6000) {
      r.op = OP_IMAGE;
      r.a = rng() % 5 == 0 ? last_image : (last_image = rng());
      r.b = rng() % 3 == 0 ? 0 : rng();
    } else if (roll < 7500) {
      r.op = OP_PIN;
      r.a = static_cast<uint32_t>(pick_id(rng));
      r.b = 1 + rng() % 3;
    } else if (roll < 8200) {
      r.op = OP_PIN;
      r.a = static_cast<uint32_t>(pick_id(rng));
    } else if (roll < 9990) {
      r.op = OP_DELETE;
      r.a = static_cast<uint32_t>(pick_id(rng));
    } else {
      r.op = OP_WIPE;
    }
    send(fd, r);
    model::Outcome o;
    switch (r.op) {
      case OP_TEXT:
        o = model::answer_of(clip_push_text(text_for(r.a).c_str()));
        break;
      case OP_IMAGE: {
        std::string label = label_for(r.b);
        o = model::answer_of(
            push_png(image_for(r.a), r.b != 0 ? label.c_str() : nullptr));
        break;
      }
      case OP_PIN:
        o.ok = clip_pin(static_cast<int>(r.a), static_cast<int>(r.b));
        break;
      case OP_DELETE:
        o.ok = clip_delete(static_cast<int>(r.a));
        break;
      case OP_WIPE:
        o.ok = clip_wipe();
        break;
    }
    r.done = 1;
    r.ok = o.ok;
    r.id = o.id;
    r.dedup = o.dedup;
    send(fd, r);
  }
  _exit(0);
}

model::Outcome apply(model::History &h, const Record &r) {
  switch (r.op) {
    case OP_TEXT:
      return model::push_text(h, text_for(r.a));
    case OP_IMAGE: {
      std::string label = label_for(r.b);
      return model::push_image(h, image_for(r.a), r.b != 0 ? label.c_str() : nullptr);
    }
    case OP_PIN:
      return model::pin(h, static_cast<int>(r.a), static_cast<int>(r.b));
    case OP_DELETE:
      return model::remove(h, static_cast<int>(r.a));
    case OP_WIPE:
      return model::wipe(h);
  }
  return {true, 0, false};  // OP_INIT changes nothing
}

const char *op_name(int op) {
  static const char *const names[] = {"init", "text", "image", "pin", "delete", "wipe"};
  return op >= 0 && op <= OP_WIPE ? names[op] : "?";
}

struct Tally {
  int trials = 0;
  int in_init = 0;      // killed before clip_init returned
  int kept = 0;         // the store holds the state after the last reported call
  int applied = 0;      // ... after the call in flight, which had not reported
  int temp_left = 0;    // a clips.json.tmp was left by the kill
  int orphans = 0;      // image files no clip names at the end (allowed after a crash)
  long calls = 0;       // calls reported complete
  int evictions = 0;    // reported captures that evicted clips
  int pin_refusals = 0; // pins refused at the cap
  int wipes = 0;
};

TEST(Crash, KilledAtRandomTheHistoryIsTheLastAcknowledgedOrTheOneInFlight) {
  const long max_trials = env_long("QUILLMAR_CRASH_TRIALS", 1000);
  const long max_seconds = env_long("QUILLMAR_CRASH_SECONDS", 20);
  const uint32_t seed = static_cast<uint32_t>(env_long("QUILLMAR_CRASH_SEED", 20240917));
  std::mt19937 rng(seed);
  TempDir dir;
  Tally t;
  clip_fault_reset();
  // The history starts out as 700 captures and 195 pins would leave it.
  model::History history;
  for (uint32_t s = 1; s <= 700; ++s) {
    Record r{};
    r.op = s % 5 == 0 ? OP_IMAGE : OP_TEXT;
    r.a = s;
    r.b = s % 3;
    model::Outcome o = apply(history, r);
    ASSERT_TRUE(o.ok);
    if (s % 3 == 0 && s <= 585) model::pin(history, o.id, 1);
  }
  for (model::Clip &c : history.clips) c.preview = preview_of(c);
  seed_history(dir.path(), history.clips, history.next_id);
  ASSERT_EQ(clip_init(dir.path().c_str()), 1) << clip_last_error();
  ASSERT_EQ(model::diff(history, model::from_store(g_store), true), "");
  auto start = std::chrono::steady_clock::now();

  for (long trial = 0; trial < max_trials; ++trial) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(max_seconds)) break;
    ++t.trials;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    uint32_t child_seed = rng();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      run_child(dir.path(), child_seed, fds[1]);
    }
    close(fds[1]);

    // Read reports until the moment of the kill, then what is left. The kill
    // comes mostly after clip_init has returned (during a call or between
    // two), sometimes while it runs.
    using clock = std::chrono::steady_clock;
    std::vector<Record> records;
    std::string pending;
    bool eof = false;
    auto read_some = [&](long timeout_ms) {
      pollfd p{fds[0], POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(timeout_ms)) <= 0) return;
      char buf[4096];
      ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) {
        eof = true;
        return;
      }
      pending.append(buf, static_cast<size_t>(n));
    };
    bool during_init = rng() % 8 == 0;
    for (auto limit = clock::now() + std::chrono::seconds(30);
         !during_init && !eof && pending.size() < 2 * sizeof(Record) && clock::now() < limit;) {
      read_some(100);
    }
    auto kill_at = clock::now() + std::chrono::microseconds(rng() % (during_init ? 5000 : 25000));
    while (!eof) {
      long left = std::chrono::duration_cast<std::chrono::microseconds>(kill_at - clock::now()).count();
      if (left <= 0) break;
      if (left < 1000) {
        usleep(static_cast<useconds_t>(left));
        break;
      }
      read_some(left / 1000);
    }
    kill(pid, SIGKILL);
    while (!eof) read_some(-1);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the child ended on its own: status " << status;
    ASSERT_EQ(pending.size() % sizeof(Record), 0u);
    records.resize(pending.size() / sizeof(Record));
    if (!records.empty()) memcpy(records.data(), pending.data(), pending.size());

    // Replay the completed calls on the model; each answer must be the model's.
    const Record *in_flight = nullptr;
    bool init_done = false;
    for (const Record &r : records) {
      if (!r.done) {
        in_flight = &r;
        continue;
      }
      in_flight = nullptr;
      if (r.op == OP_INIT) {
        ASSERT_EQ(r.ok, 1) << "trial " << trial;
        init_done = true;
        continue;
      }
      ++t.calls;
      size_t before = history.clips.size();
      model::Outcome want = apply(history, r);
      ASSERT_EQ(r.ok, want.ok) << "trial " << trial << ": " << op_name(r.op) << " " << r.a;
      ASSERT_EQ(r.id, want.id) << "trial " << trial << ": " << op_name(r.op) << " " << r.a;
      ASSERT_EQ(r.dedup, want.dedup) << "trial " << trial << ": " << op_name(r.op);
      if ((r.op == OP_TEXT || r.op == OP_IMAGE) && !want.dedup && history.clips.size() <= before) {
        ++t.evictions;
      }
      if (r.op == OP_PIN && r.b != 0 && !r.ok && model::find(history, static_cast<int>(r.a)) >= 0) {
        ++t.pin_refusals;
      }
      if (r.op == OP_WIPE) ++t.wipes;
    }
    if (!init_done) ++t.in_init;

    // The state a fresh start finds.
    for (const std::string &name : list_dir(dir.path())) {
      ASSERT_EQ(name.rfind("clips.json.corrupt", 0), std::string::npos)
          << "trial " << trial << ": the index was set aside after a kill";
      if (name == "clips.json.tmp") ++t.temp_left;
    }
    model::Disk disk = model::read_index(dir.path());
    ASSERT_NE(disk.state, model::Disk::DAMAGED) << "trial " << trial << ": " << disk.why;
    ASSERT_EQ(model::check_named_images(dir.path()), "") << "trial " << trial;
    // A wipe killed after it removed the index leaves image files it did not
    // get to: the history starts afresh above them.
    const int fresh_next = model::fresh_next_id(dir.path());
    ASSERT_EQ(clip_init(dir.path().c_str()), 1) << clip_last_error();
    ASSERT_EQ(last_error(), "");
    model::History got = model::from_store(g_store);
    model::History after = history;
    if (in_flight != nullptr) apply(after, *in_flight);
    if (disk.state == model::Disk::MISSING && after.clips.empty()) after.next_id = fresh_next;
    std::string kept = model::diff(history, got);
    if (kept.empty()) {
      ++t.kept;
    } else if (in_flight != nullptr && model::diff(after, got).empty()) {
      ++t.applied;
      history = after;
    } else {
      FAIL() << "trial " << trial << ", killed "
             << (in_flight ? std::string("during ") + op_name(in_flight->op) : "between calls")
             << ": neither the acknowledged state (" << kept << ") nor the one in flight ("
             << model::diff(after, got) << ")";
    }
    ASSERT_EQ(model::check_images(dir.path(), history), "")
        << "trial " << trial << ", killed "
        << (in_flight ? std::string("during ") + op_name(in_flight->op) : "between calls");
    // A leftover temporary file does not outlive the next save.
    ASSERT_TRUE(clip_store_save(&g_store)) << clip_last_error();
    ASSERT_FALSE(file_exists(dir.file("clips.json.tmp")));
  }

  for (const std::string &name : list_dir(dir.path())) {
    int id = 0;
    char tail[8] = {};
    if (sscanf(name.c_str(), "img_%d.pn%7s", &id, tail) == 2 && strcmp(tail, "g") == 0) {
      int i = model::find(history, id);
      if (i < 0 || history.clips[static_cast<size_t>(i)].kind != CLIP_KIND_IMAGE) ++t.orphans;
    }
  }
  printf("crash trials %d (seed %u): %ld calls completed, killed in clip_init %d, "
         "kept %d, in-flight call persisted %d, failures 0; clips.json.tmp left %d, "
         "orphan image files at the end %d; captures that evicted %d, pin refusals %d, wipes %d; "
         "final history %zu clips (%d pinned); store %s\n",
         t.trials, seed, t.calls, t.in_init, t.kept, t.applied, t.temp_left, t.orphans,
         t.evictions, t.pin_refusals, t.wipes, history.clips.size(),
         model::count_pinned(history), kOnMemoryFs ? "in memory" : "on disk");
  EXPECT_GT(t.trials, 0);
}

// A wipe removes the files one by one. Interrupted after any number of
// removals (here: every later removal and the index write fail, which leaves
// the directory as a crash at that moment would), the store must still load
// as a history whose every image is on disk.
TEST(Crash, AWipeInterruptedAfterAnyRemovalLeavesAConsistentStore) {
  for (int removals = 0; removals <= 7; ++removals) {
    SCOPED_TRACE("removals before the interruption: " + std::to_string(removals));
    TempDir dir;
    clip_fault_reset();
    ASSERT_EQ(clip_init(dir.path().c_str()), 1);
    model::History h;
    for (uint32_t s = 1; s <= 4; ++s) {
      std::string png = image_for(s);
      ASSERT_NE(push_image(png), 0);
      model::push_image(h, png, nullptr);
      ASSERT_NE(push_text(text_for(s)), 0);
      model::push_text(h, text_for(s));
    }
    write_file(dir.file("notes.txt"), "not ours");

    clip_fault_arm(CLIP_FAULT_UNLINK, removals + 1, 0);
    clip_fault_arm(CLIP_FAULT_OPEN, 1, 0);
    EXPECT_EQ(clip_wipe(), 0);
    EXPECT_NE(last_error(), "");
    clip_fault_reset();

    model::Disk disk = model::read_index(dir.path());
    ASSERT_NE(disk.state, model::Disk::DAMAGED) << disk.why;
    EXPECT_EQ(model::check_named_images(dir.path()), "");
    if (disk.state == model::Disk::OK) {
      EXPECT_EQ(model::diff(h, disk.history), "");
      EXPECT_EQ(model::check_images(dir.path(), h), "");
    }
    // With the index gone, the history starts afresh above the images the
    // wipe did not get to.
    model::History fresh;
    fresh.next_id = model::fresh_next_id(dir.path());
    ASSERT_EQ(clip_init(dir.path().c_str()), 1) << clip_last_error();
    model::History got = model::from_store(g_store);
    if (disk.state == model::Disk::OK) {
      EXPECT_EQ(model::diff(h, got), "");
    } else {
      EXPECT_EQ(model::diff(fresh, got), "");
    }
  }
}

}  // namespace
