// Power cuts. A killed process keeps the page cache, so the crash test sees
// every write the library made; a power cut does not. Here a scripted
// session of every export is recorded through the recording seam (each
// creation, write, fsync, rename, removal and directory sync, in order, with
// the public call it belongs to), and for the cut after every step each
// state the disk can be left in, under the model of support/power_model.h,
// is built in a directory of its own and loaded by a fresh process with
// clip_init. In short: bytes written to a file since its last fsync may be
// lost, kept in any prefix of whole blocks, or read as zeros; a creation,
// rename or removal not yet followed by a sync of its directory may be lost,
// each independently of the others; nothing crosses a completed fsync or
// directory sync. Every state must load (never crash, never set the index aside)
// as the history after the last call that had returned, or after the one in
// flight; every image the loaded history names must be on disk with its
// exact bytes, so no clip is lost that a returned call stored, none comes
// back that a returned call removed, and none appears that was never pushed;
// and a push after the load must work.
//
// Each sync the library makes is then left out in turn, through the
// recording seam, to show that the check finds what goes wrong without it.
//
// QUILLMAR_POWERCUT_BUDGET (default 32) bounds the states of one cut,
// QUILLMAR_POWERCUT_CALLS (default 0) adds that many random calls to the
// session of the full store, and QUILLMAR_POWERCUT_SEED picks them and the
// samples; QUILLMAR_POWERCUT_SHOW (default 5) is how many failures are
// described in full. scripts/powercut runs it long.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>

#include "clip_fault.h"
#include "clip_store.h"
#include "history_model.h"
#include "power_model.h"
#include "quillmar_clip.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// QUILLMAR_POWERCUT_ON_DISK=1 builds the states in the default temporary
// directory instead of memory.
const bool kOnMemoryFs = model::prefer_memory_fs("QUILLMAR_POWERCUT_ON_DISK");

long env_long(const char *name, long fallback) {
  const char *v = getenv(name);
  return v != nullptr && *v != '\0' ? strtol(v, nullptr, 10) : fallback;
}

const size_t kBudget =
    static_cast<size_t>(std::max(1L, env_long("QUILLMAR_POWERCUT_BUDGET", 32)));
const uint32_t kSeed =
    static_cast<uint32_t>(env_long("QUILLMAR_POWERCUT_SEED", 20250301));
// How many failures a run describes in full.
const size_t kShown =
    static_cast<size_t>(std::max(1L, env_long("QUILLMAR_POWERCUT_SHOW", 5)));

// PNG-like bytes, different for each n.
std::string png_bytes(int n, size_t len) {
  std::mt19937 rng(static_cast<uint32_t>(n) * 2654435761u);
  std::string s = "\x89PNG\r\n\x1a\n";
  while (s.size() < len) s += static_cast<char>(rng());
  return s.substr(0, len);
}

std::map<std::string, std::string> read_dir(const std::string &dir) {
  std::map<std::string, std::string> out;
  for (const std::string &name : list_dir(dir)) out[name] = read_file(dir + "/" + name);
  return out;
}

// ---------------------------------------------------------------------------
// A recorded session

// Runs calls on the library and on the model of the history side by side,
// recording every step the library takes on the disk. Each answer must be the
// model's, and after each call the recording, replayed, must hold exactly
// what the store directory holds.
class Session {
 public:
  // `dir` is the store directory; what it holds now is where the recording
  // starts. `loads_as` is the history clip_init finds there.
  Session(const std::string &dir, const model::History &loads_as, power::Omit omit)
      : dir_(dir), existed_(fs::exists(dir)), history_(loads_as) {
    if (existed_) initial_ = read_dir(dir);
    mirror_ = std::make_unique<power::Disk>(dir_, existed_ ? &initial_ : nullptr);
    before_ = loads_as;
    recorder_ = std::make_unique<power::Recorder>(&recording_, omit);
  }

  void init() {
    run("clip_init", [&] {
      int ok = clip_init(dir_.c_str());
      EXPECT_EQ(ok, 1) << clip_last_error();
      EXPECT_EQ(model::diff(history_, model::from_store(g_store)), "")
          << "loaded at the start";
    });
  }

  int push_text(const std::string &text) {
    int id = 0;
    run("clip_push_text " + text.substr(0, 24), [&] {
      model::Outcome want = model::push_text(history_, text);
      id = check_push(clip_push_text(text.c_str()), want);
    });
    return id;
  }

  int push_image(const std::string &png, const char *label) {
    int id = 0;
    run("clip_push_image of " + std::to_string(png.size()) + " bytes", [&] {
      model::Outcome want = model::push_image(history_, png, label);
      id = check_push(push_png(png, label), want);
    });
    return id;
  }

  void pin(int id, int pinned) {
    run("clip_pin " + std::to_string(id) + " " + std::to_string(pinned), [&] {
      model::Outcome want = model::pin(history_, id, pinned);
      EXPECT_EQ(clip_pin(id, pinned), want.ok ? 1 : 0) << clip_last_error();
    });
  }

  void remove(int id) {
    run("clip_delete " + std::to_string(id), [&] {
      model::Outcome want = model::remove(history_, id);
      EXPECT_EQ(clip_delete(id), want.ok ? 1 : 0) << clip_last_error();
    });
  }

  void wipe() {
    run("clip_wipe", [&] {
      model::wipe(history_);
      EXPECT_EQ(clip_wipe(), 1) << clip_last_error();
    });
  }

  // The reads change nothing on the disk; they are in the session all the same.
  void read(int id, const std::string &query) {
    run("clip_list, clip_get, clip_search", [&] {
      EXPECT_NE(take(clip_list(0, 0)), "<null>") << clip_last_error();
      EXPECT_NE(take(clip_get(id)), "<null>") << clip_last_error();
      EXPECT_NE(take(clip_search(query.c_str(), 5)), "<null>") << clip_last_error();
      EXPECT_EQ(last_error(), "");
    });
  }

  // A random call, for the long runs.
  void random_call(std::mt19937 &rng) {
    auto some_id = [&] {
      if (history_.clips.empty() || rng() % 10 == 0)
        return static_cast<int>(rng() % 2000);
      return history_.clips[rng() % history_.clips.size()].id;
    };
    uint32_t roll = rng() % 100;
    if (roll < 40) {
      push_text(rng() % 5 == 0 && !history_.clips.empty() &&
                        history_.clips.back().kind == 0
                    ? history_.clips.back().text
                    : "random text " + std::to_string(rng()));
    } else if (roll < 60) {
      std::string label = "random label " + std::to_string(rng() % 100);
      push_image(png_bytes(static_cast<int>(rng()), 1 + rng() % 12000),
                 rng() % 3 == 0 ? nullptr : label.c_str());
    } else if (roll < 80) {
      pin(some_id(), static_cast<int>(rng() % 2));
    } else if (roll < 98) {
      remove(some_id());
    } else {
      wipe();
    }
  }

  // Stops recording, and keeps only what the cuts need.
  void finish() {
    recorder_.reset();
    mirror_.reset();
    after_.insert(after_.begin(), before_);
  }

  // Its steps' bytes are the cuts' to take.
  power::Recording &recording() { return recording_; }
  const std::string &dir() const { return dir_; }
  bool existed() const { return existed_; }
  const std::map<std::string, std::string> &initial() const { return initial_; }
  // Once finished: the history before the first call (0) and after each
  // call (i + 1).
  const std::vector<model::History> &histories() const { return after_; }
  int omitted() const { return recorder_ ? recorder_->omitted() : omitted_; }

 private:
  int check_push(char *answer, const model::Outcome &want) {
    model::Outcome got = model::answer_of(answer);
    EXPECT_EQ(got.ok, want.ok) << clip_last_error();
    if (!want.ok) return 0;
    EXPECT_EQ(got.id, want.id);
    EXPECT_EQ(got.dedup, want.dedup);
    return got.id;
  }

  void run(const std::string &what, const std::function<void()> &call) {
    SCOPED_TRACE(what);
    size_t first = recording_.steps.size();
    recorder_->begin(what);
    call();
    recorder_->end();
    omitted_ = recorder_->omitted();
    after_.push_back(history_);
    EXPECT_EQ(model::diff(history_, model::from_store(g_store)), "")
        << "memory after " << what;
    // The recording misses nothing: replayed, it holds what the disk holds.
    for (size_t i = first; i < recording_.steps.size(); ++i) {
      std::string why = mirror_->apply(recording_.steps[i]);
      ASSERT_EQ(why, "") << "step " << i;
    }
    ASSERT_EQ(mirror_->live_exists(), fs::exists(dir_));
    if (fs::exists(dir_)) {
      EXPECT_TRUE(mirror_->live() == read_dir(dir_))
          << "the recording of " << what << " does not hold what is on the disk";
    }
  }

  std::string dir_;
  bool existed_;
  std::map<std::string, std::string> initial_;
  model::History history_, before_;
  std::vector<model::History> after_;
  power::Recording recording_;
  std::unique_ptr<power::Recorder> recorder_;
  std::unique_ptr<power::Disk> mirror_;
  int omitted_ = 0;
};

// ---------------------------------------------------------------------------
// Loading one state

// What a fresh process made of one state.
struct Verdict {
  std::string load_error;   // clip_init failed
  bool set_aside = false;   // the load set the index aside
  std::string after_error;  // a push after the load failed
  // A letter for each history: '.' when the store loaded as it with every
  // image whole, 'H' when the history differs, 'M' when an image it names is
  // missing and 'T' when one is not whole.
  std::string against;
  // When asked for: how, for each history ("" for a '.').
  std::vector<std::string> details;
  std::string died;  // how the process ended, when it did not exit
};

void put(std::string &out, const std::string &s) {
  uint32_t n = static_cast<uint32_t>(s.size());
  out.append(reinterpret_cast<const char *>(&n), sizeof n);
  out += s;
}

bool get(const std::string &in, size_t &at, std::string *s) {
  uint32_t n;
  if (in.size() - at < sizeof n) return false;
  memcpy(&n, in.data() + at, sizeof n);
  at += sizeof n;
  if (in.size() - at < n) return false;
  s->assign(in, at, n);
  at += n;
  return true;
}

bool has_set_aside(const std::string &dir) {
  if (!fs::exists(dir)) return false;
  for (const std::string &name : list_dir(dir)) {
    if (name.rfind("clips.json.corrupt", 0) == 0) return true;
  }
  return false;
}

// In the child: loads the store at dir and judges it against every history.
std::string judge(const std::string &dir, const std::vector<model::History> &histories,
                  bool detailed) {
  std::string out;
  bool aside_before = has_set_aside(dir);
  // A store without a usable index starts afresh, above the image files
  // left in it: an empty history is then expected to go on from there.
  bool afresh = model::read_index(dir).state != model::Disk::OK;
  int fresh_next = model::fresh_next_id(dir);
  int ok = clip_init(dir.c_str());
  put(out, ok ? "" : std::string("clip_init failed: ") + clip_last_error());
  put(out, !aside_before && has_set_aside(dir) ? "1" : "0");
  if (!ok) return out;
  model::History loaded = model::from_store(g_store);
  // The images first: the push below may evict one.
  std::string against;
  std::vector<std::string> details;
  for (model::History h : histories) {
    if (afresh && h.clips.empty()) h.next_id = fresh_next;
    std::string why = model::diff(h, loaded);
    char code = 'H';
    if (why.empty()) {
      why = model::check_images(dir, h);
      code = why.empty() ? '.' : why.rfind("missing", 0) == 0 ? 'M' : 'T';
    }
    against += code;
    if (detailed) details.push_back(why.substr(0, 300));
  }
  std::string after;
  const std::string typed = "typed after the power came back";
  std::string answer = take(clip_push_text(typed.c_str()));
  model::Disk disk = model::read_index(dir);
  if (answer == "<null>") {
    after = "clip_push_text failed: " + last_error();
  } else if (disk.state != model::Disk::OK || disk.history.clips.empty() ||
             disk.history.clips.back().text != typed) {
    after = "the index does not hold it: " + disk.why;
  }
  put(out, after);
  put(out, against);
  for (const std::string &why : details) put(out, why);
  return out;
}

// Builds state s in dir (its parent exists) and has a child process load it;
// `detailed` asks for the details.
Verdict load_state(const power::Disk &disk, const power::State &s, const std::string &dir,
                   const std::vector<model::History> &histories, bool detailed = false) {
  std::error_code ec;
  fs::remove_all(dir, ec);
  if (s.dir) {
    fs::create_directory(dir);
    for (const auto &[name, bytes] : disk.files_of(s))
      write_file(dir + "/" + name, bytes);
  }
  Verdict v;
  int fds[2];
  if (pipe(fds) != 0) {
    v.died = "no pipe";
    return v;
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    v.died = "no fork";
    return v;
  }
  if (pid == 0) {
    close(fds[0]);
    alarm(60);  // a load that hangs ends as a failure, not as a hung test
    std::string out = judge(dir, histories, detailed);
    for (size_t at = 0; at < out.size();) {
      ssize_t n = write(fds[1], out.data() + at, out.size() - at);
      if (n <= 0) _exit(2);
      at += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string in;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    in.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) {
    v.died = std::string("killed by signal ") + strsignal(WTERMSIG(status));
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    v.died = "exited with status " + std::to_string(WEXITSTATUS(status));
  }
  size_t at = 0;
  std::string aside;
  if (!get(in, at, &v.load_error) || !get(in, at, &aside)) {
    if (v.died.empty()) v.died = "ended without a word";
    return v;
  }
  v.set_aside = aside == "1";
  if (!v.load_error.empty()) return v;
  get(in, at, &v.after_error);
  get(in, at, &v.against);
  std::string why;
  while (get(in, at, &why)) v.details.push_back(why);
  if (v.against.size() != histories.size() && v.died.empty()) v.died = "ended half-way";
  return v;
}

// ---------------------------------------------------------------------------
// Every cut

enum Fault {
  LOAD_DIED,
  LOAD_FAILED,
  SET_ASIDE,
  LOST,
  IMAGE_MISSING,
  IMAGE_TORN,
  UNUSABLE,
  FAULTS
};
const char *const kFaultNames[] = {"the load died",          "the load failed",
                                   "the index set aside",    "not what was acknowledged",
                                   "an image missing",       "an image not whole",
                                   "unusable after the load"};

struct Report {
  size_t steps = 0;   // recorded
  size_t cuts = 0;    // moments cut
  size_t states = 0;  // distinct states built and loaded
  size_t checks = 0;  // (cut, state) pairs judged
  size_t failures = 0;
  size_t by_fault[FAULTS] = {};
  std::vector<std::string> messages;  // the first few failures

  std::string summary() const {
    std::string s = std::to_string(steps) + " steps, " + std::to_string(cuts) +
                    " cuts, " + std::to_string(states) + " distinct states loaded, " +
                    std::to_string(checks) + " cut-state pairs checked, " +
                    std::to_string(failures) + " failures";
    for (int f = 0; f < FAULTS; ++f) {
      if (by_fault[f] != 0)
        s += std::string("; ") + kFaultNames[f] + " " + std::to_string(by_fault[f]);
    }
    return s;
  }
};

// Cuts the power after every step of the finished session's recording (and
// takes the bytes of its steps) and judges every state each cut can leave.
// `root` is a scratch directory. The first failure of kind `stop_at` is
// described and ends the run.
Report cut_everywhere(Session &session, const std::string &root,
                      bool index_damaged_before, size_t budget = kBudget,
                      size_t keep_messages = kShown, Fault stop_at = FAULTS) {
  power::Recording &rec = session.recording();
  const std::vector<model::History> &histories = session.histories();
  power::Disk disk(session.dir(), session.existed() ? &session.initial() : nullptr);
  const std::string home = root + "/home";
  const std::string dir = home + "/store";
  fs::create_directories(home);

  Report r;
  r.steps = rec.steps.size();
  std::map<std::string, Verdict> seen;
  std::vector<power::State> states;
  std::vector<std::string> keys;
  int returned = 0;  // calls that had returned
  int in_flight = -1;
  for (size_t p = 0; p <= rec.steps.size(); ++p) {
    bool changed = p == 0;
    if (p > 0) {
      power::Step &s = rec.steps[p - 1];
      std::string why = disk.apply(s);
      if (!why.empty()) {
        ++r.failures;
        r.messages.push_back("step " + std::to_string(p - 1) + ": " + why);
        return r;
      }
      std::string().swap(s.bytes);  // the disk holds them now
      if (s.kind == power::Step::BEGIN) in_flight = s.call;
      if (s.kind == power::Step::END) {
        ++returned;
        in_flight = -1;
      }
      changed = s.kind != power::Step::BEGIN && s.kind != power::Step::END &&
                s.kind != power::Step::CLOSE;
    }
    if (changed) {
      ++r.cuts;
      states = disk.states(budget, kSeed ^ static_cast<uint32_t>(p * 2654435761u));
      keys.clear();
      for (const power::State &s : states) keys.push_back(disk.key(s));
    }
    for (size_t i = 0; i < states.size(); ++i) {
      auto it = seen.find(keys[i]);
      if (it == seen.end()) {
        ++r.states;
        it = seen.emplace(keys[i], load_state(disk, states[i], dir, histories)).first;
      }
      const Verdict &v = it->second;
      ++r.checks;
      // The history after the calls that returned, or after the one in flight.
      std::vector<size_t> acceptable{static_cast<size_t>(returned)};
      if (in_flight >= 0) acceptable.push_back(static_cast<size_t>(returned) + 1);
      Fault fault = FAULTS;
      std::string detail;
      bool may_set_aside = index_damaged_before && disk.initial(states[i], "clips.json");
      if (!v.died.empty()) {
        fault = LOAD_DIED;
        detail = v.died;
      } else if (!v.load_error.empty()) {
        fault = LOAD_FAILED;
        detail = v.load_error;
      } else if (v.set_aside && !may_set_aside) {
        fault = SET_ASIDE;
        detail = "the load found it damaged";
      } else {
        // Loaded as an acceptable history whose images are not all there
        // says more than "not that history".
        char best = 'H';
        for (size_t h : acceptable) {
          char code = v.against[h];
          if (code == '.' || (best == 'H' && code != 'H')) best = code;
        }
        if (best == '.') {
          if (!v.after_error.empty()) {
            fault = UNUSABLE;
            detail = v.after_error;
          }
        } else {
          fault = best == 'M' ? IMAGE_MISSING : best == 'T' ? IMAGE_TORN : LOST;
        }
      }
      if (fault == FAULTS) continue;
      ++r.failures;
      ++r.by_fault[fault];
      if (r.messages.size() < keep_messages || fault == stop_at) {
        if (detail.empty()) {
          // Loaded again, this time to say how it differs.
          Verdict again = load_state(disk, states[i], dir, histories, true);
          for (size_t h : acceptable) {
            if (h < again.details.size()) {
              std::string why = again.details[h];
              if (why.size() >= 2 && why.compare(why.size() - 2, 2, "; ") == 0) {
                why.resize(why.size() - 2);
              }
              detail += (detail.empty() ? "" : "; or ") + why;
            }
          }
        }
        // The last step that touched the disk, and where the calls stood.
        size_t k = p;
        while (k > 0 && (rec.steps[k - 1].kind == power::Step::BEGIN ||
                         rec.steps[k - 1].kind == power::Step::END)) {
          --k;
        }
        std::string when = "before the first step";
        if (k > 0) {
          const power::Step &s = rec.steps[k - 1];
          auto name = [](const std::string &path) {
            return path.substr(path.rfind('/') + 1);
          };
          when = "after step " + std::to_string(k - 1) + " (" + power::kind_name(s.kind) +
                 " " + name(s.path) + (s.path2.empty() ? "" : " -> " + name(s.path2)) +
                 ")";
        }
        std::string call =
            in_flight >= 0 ? "during " + rec.calls[static_cast<size_t>(in_flight)]
            : returned > 0 ? "after " + rec.calls[static_cast<size_t>(returned - 1)]
                           : "before any call";
        r.messages.push_back(std::string(kFaultNames[fault]) + ": power cut " + when +
                             ", " + call + "; the disk: " + disk.describe(states[i]) +
                             ": " + detail);
      }
      if (fault == stop_at) return r;
    }
  }
  return r;
}

std::string failures_of(const Report &r) {
  std::string s = r.summary();
  for (const std::string &m : r.messages) s += "\n  " + m;
  return s;
}

// ---------------------------------------------------------------------------
// The sessions

// A store made by clip_init, then every export on a small history: texts, a
// repeat, images with and without a label, reads, pins, deletes, a wipe and
// the captures after it.
void fresh_store_session(Session &s) {
  s.init();
  int alpha = s.push_text("alpha: the first clip of the day");
  s.push_text("alpha: the first clip of the day");
  int logo = s.push_image(png_bytes(1, 9000), "logo ✓");
  s.push_image(png_bytes(2, 300), nullptr);
  s.push_text(std::string(6000, 'x') + " long enough to take the index past a block");
  s.read(logo, "ALPHA");
  s.pin(alpha, 1);
  s.pin(alpha, 0);
  s.pin(logo, 1);
  s.remove(logo);
  s.remove(alpha);
  s.push_image(png_bytes(1, 9000), "the logo again");
  s.wipe();
  s.push_text("after the wipe");
  int last = s.push_image(png_bytes(3, 5000), "");
  s.pin(last, 1);
  s.remove(last);
  s.push_text("the last word");
}

// The history at the limit: 499 unpinned clips (every 60th an image, the
// oldest among them) and 3 pinned ones.
model::History full_history() {
  model::History h;
  for (int n = 1; n <= 502; ++n) {
    if (n % 60 == 1) {
      model::push_image(h, png_bytes(1000 + n, 200 + static_cast<size_t>(n) * 13),
                        nullptr);
    } else {
      model::push_text(h, "seeded clip " + std::to_string(n));
    }
  }
  for (int id : {2, 3, 250}) model::pin(h, id, 1);
  for (model::Clip &c : h.clips) c.preview = preview_of(c);
  return h;
}

// Captures at the limit that evict texts and images, a repeat, pins that
// change which clips may be evicted, deletes, reads and a wipe; then
// `random_calls` more when asked for.
void full_store_session(Session &s, long random_calls) {
  s.init();
  int fresh = s.push_text("a new clip at the limit");
  s.push_text("a new clip at the limit");
  int image = s.push_image(png_bytes(7, 6000), "evicts the oldest, an image");
  s.push_text("evicts the oldest text");
  s.pin(fresh, 1);
  s.pin(2, 0);
  s.push_text("evicts one");
  s.remove(image);
  s.remove(250);
  s.read(fresh, "seeded clip 30");
  std::mt19937 rng(kSeed);
  for (long i = 0; i < random_calls; ++i) s.random_call(rng);
  s.wipe();
  s.push_text("after the wipe");
}

class PowerCut : public ::testing::Test {
 protected:
  void SetUp() override { clip_fault_reset(); }
  void TearDown() override { clip_fault_reset(); }
  TempDir root_;
};

TEST_F(PowerCut, EveryStateOfAFreshStoreLoadsAsTheAcknowledgedHistory) {
  fs::create_directories(root_.path() + "/home");
  Session s(root_.path() + "/home/store", model::History{}, power::Omit::NOTHING);
  fresh_store_session(s);
  s.finish();
  ASSERT_FALSE(HasFailure());
  Report r = cut_everywhere(s, root_.path() + "/cuts", false);
  printf("power cuts, fresh store (budget %zu a cut, store %s): %s\n", kBudget,
         kOnMemoryFs ? "in memory" : "on disk", r.summary().c_str());
  EXPECT_EQ(r.failures, 0u) << failures_of(r);
  EXPECT_GT(r.states, 100u);
}

TEST_F(PowerCut, EveryStateOfAFullStoreLoadsAsTheAcknowledgedHistory) {
  const std::string dir = root_.path() + "/store";
  fs::create_directories(dir);
  model::History seeded = full_history();
  seed_history(dir, seeded.clips, seeded.next_id);
  long random_calls = env_long("QUILLMAR_POWERCUT_CALLS", 0);
  Session s(dir, seeded, power::Omit::NOTHING);
  full_store_session(s, random_calls);
  s.finish();
  ASSERT_FALSE(HasFailure());
  Report r = cut_everywhere(s, root_.path() + "/cuts", false);
  printf("power cuts, full store with %ld random calls (budget %zu a cut, seed %u): %s\n",
         random_calls, kBudget, kSeed, r.summary().c_str());
  EXPECT_EQ(r.failures, 0u) << failures_of(r);
}

TEST_F(PowerCut, EveryStateOfAStoreWhoseIndexIsSetAsideLoads) {
  const std::string dir = root_.path() + "/store";
  fs::create_directories(dir);
  write_file(dir + "/clips.json", "{\"next_id\": 3, \"clips\": [{\"id\": 1, \"ts\": 17");
  write_file(dir + "/img_2.png", png_bytes(2, 100));
  // The history set aside named img_2.png: the new one goes on above it.
  model::History afresh;
  afresh.next_id = 3;
  Session s(dir, afresh, power::Omit::NOTHING);
  s.init();
  s.push_text("the first clip after the damage");
  s.push_image(png_bytes(4, 5000), "and an image");
  s.finish();
  ASSERT_FALSE(HasFailure());
  Report r = cut_everywhere(s, root_.path() + "/cuts", true);
  printf("power cuts, damaged index: %s\n", r.summary().c_str());
  EXPECT_EQ(r.failures, 0u) << failures_of(r);
}

// The store directory clip_init makes is synced in the directory that
// holds it, however its path is written.
TEST_F(PowerCut, AStoreDirectoryMadeIsSyncedInItsParent) {
  struct Case {
    std::string store;
    std::string parent;
  };
  const std::string root = root_.path();
  const Case cases[] = {
      {"plain", "."},        {"trailing/", "."},        {"./dotted", "."},
      {"sub/nested", "sub"}, {"sub//doubled//", "sub"}, {root + "/absolute", root},
  };
  fs::create_directories(root + "/sub");
  const fs::path cwd = fs::current_path();
  fs::current_path(root);  // the relative paths start here
  for (const Case &c : cases) {
    SCOPED_TRACE(c.store);
    power::Recording rec;
    {
      power::Recorder recorder(&rec);
      EXPECT_EQ(clip_init(c.store.c_str()), 1) << clip_last_error();
    }
    std::vector<std::string> after_mkdir;
    for (size_t i = 0; i + 1 < rec.steps.size(); ++i) {
      if (rec.steps[i].kind == power::Step::MKDIR) {
        EXPECT_EQ(rec.steps[i + 1].kind, power::Step::SYNC_DIR);
        after_mkdir.push_back(rec.steps[i + 1].path);
      }
    }
    EXPECT_EQ(after_mkdir, std::vector<std::string>{c.parent});
  }
  fs::current_path(cwd);
}

// Without each sync, some state a power cut leaves is wrong, and the check
// says how; with all of them (the runs above) none is.
TEST_F(PowerCut, EachSyncLeftOutIsCaught) {
  struct Case {
    power::Omit omit;
    const char *sync;
    Fault expected;
  };
  const Case cases[] = {
      {power::Omit::IMAGE_FSYNC, "the fsync of an image before its rename", IMAGE_TORN},
      {power::Omit::IMAGE_DIR_SYNC, "the directory sync after an image's rename",
       IMAGE_MISSING},
      {power::Omit::INDEX_FSYNC, "the fsync of the index before its rename", SET_ASIDE},
      {power::Omit::INDEX_DIR_SYNC, "the directory sync after the index's rename", LOST},
      {power::Omit::WIPE_DIR_SYNC, "the directory sync after a wipe removed the index",
       IMAGE_MISSING},
      {power::Omit::STORE_PARENT_SYNC, "the sync of the parent after making the store",
       LOST},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("without ") + c.sync);
    TempDir root;
    fs::create_directories(root.path() + "/home");
    Session s(root.path() + "/home/store", model::History{}, c.omit);
    fresh_store_session(s);
    int omitted = s.omitted();
    s.finish();
    ASSERT_FALSE(HasFailure());
    ASSERT_GT(omitted, 0) << "the session never made that sync";
    // Until the first failure of the kind expected.
    Report r = cut_everywhere(s, root.path() + "/cuts", false, kBudget, 0, c.expected);
    printf("without %s (%d left out), until caught: %s\n", c.sync, omitted,
           r.summary().c_str());
    EXPECT_GT(r.by_fault[c.expected], 0u)
        << "expected " << kFaultNames[c.expected] << ": " << failures_of(r);
    if (!r.messages.empty()) printf("  %s\n", r.messages.back().substr(0, 400).c_str());
  }
}

}  // namespace
