// What a power cut can leave on the disk. A Recorder takes, through the
// recording seam, every call of the library that changes the store directory
// (creations, writes with their offsets and bytes, fsyncs, renames, removals,
// directory syncs, the making of the directory), in order, between marks of
// the public calls they belong to. A Disk replays such a recording step by
// step and, at any step, lists the states a power cut there can leave.
//
// The model of the disk (the rules of a file system that promises no more
// than POSIX and its fsync do):
//
//  1. The bytes written to a file since its last completed fsync may be lost
//     or kept, in pieces of whole blocks (4096 bytes of the file's offsets):
//     any prefix of those pieces, in the order they were written, is kept and
//     the rest lost. Or the file's new size reached the disk and its data did
//     not: the lost pieces read as zeros. Nothing written before a completed
//     fsync of the file is lost.
//  2. Each creation, rename or removal of a name since the last completed sync
//     of its directory may be lost or kept, each one independently of the
//     others: a later one may survive an earlier one that is lost. A kept
//     rename moves the file it moved (the file exists apart from its names,
//     so a rename may survive the creation of its source name). Nothing done
//     in a directory before a completed sync of it is lost.
//  3. The store directory itself is a name in its parent: made since the last
//     sync of the parent, it may be lost with everything in it.
//
// Nothing is reordered across a completed fsync or directory sync; closing a
// file makes nothing durable.
//
// Bounds. The choices of (2) at one cut are all of them when there are at
// most `budget`, else a sample drawn from a seed of the cut: all kept and
// none kept, then a draw from every prefix in the order made, each one alone
// lost and each one alone kept, topped up with random subsets. For each
// directory that leaves, every file it names with bytes at risk takes a kept
// prefix of none, one, half, all but one or all of its pieces, or the zeros
// of (1) after none or half of them: every combination while the directory's
// share of the budget allows, else all kept, all lost and random picks. A cut
// has at most `budget` states, the lost directory of (3) among them.
#ifndef QUILLMAR_TEST_POWER_MODEL_H
#define QUILLMAR_TEST_POWER_MODEL_H

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "clip_trace.h"

namespace power {

constexpr size_t kBlock = 4096;

// One entry of a recording.
struct Step {
  enum Kind { BEGIN, END, CREATE, WRITE, FSYNC, CLOSE, RENAME, UNLINK, SYNC_DIR, MKDIR };
  Kind kind = BEGIN;
  int call = -1;  // the public call it belongs to: an index into Recording::calls
  int fd = -1;
  std::string path, path2;
  uint64_t offset = 0;  // WRITE: where the bytes went
  std::string bytes;    // WRITE
};

inline const char *kind_name(Step::Kind k) {
  static const char *const names[] = {"begin", "end",    "create", "write",    "fsync",
                                      "close", "rename", "unlink", "sync_dir", "mkdir"};
  return names[k];
}

// Syncs a recording can be made without, to show what each one is for.
enum class Omit {
  NOTHING,
  IMAGE_FSYNC,        // the fsync of an image file before its rename
  IMAGE_DIR_SYNC,     // the directory sync after an image file's rename
  INDEX_FSYNC,        // the fsync of the index before its rename
  INDEX_DIR_SYNC,     // the directory sync after the index's rename
  WIPE_DIR_SYNC,      // the directory sync after a wipe removed the index
  STORE_PARENT_SYNC,  // the sync of the parent after the store directory was made
};

struct Recording {
  std::vector<Step> steps;
  std::vector<std::string> calls;  // what each public call was
};

// The sink of the recording seam. Install it around the calls to record;
// each public call is bracketed with begin() and end().
class Recorder {
 public:
  explicit Recorder(Recording *out, Omit omit = Omit::NOTHING) : out_(out), omit_(omit) {
    clip_trace_sink sink{&Recorder::record_hook, &Recorder::omit_hook, this};
    clip_trace_set(&sink);
  }
  ~Recorder() { clip_trace_set(nullptr); }
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  void begin(const std::string &what) {
    call_ = static_cast<int>(out_->calls.size());
    out_->calls.push_back(what);
    Step s;
    s.kind = Step::BEGIN;
    s.call = call_;
    out_->steps.push_back(s);
  }
  void end() {
    Step s;
    s.kind = Step::END;
    s.call = call_;
    out_->steps.push_back(s);
    call_ = -1;
  }
  // Syncs left out so far.
  int omitted() const { return omitted_; }

 private:
  static bool ends_with(const std::string &s, const char *tail) {
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
  }
  static bool is_image(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    return name.rfind("img_", 0) == 0 && ends_with(name, ".png");
  }

  static void record_hook(void *ctx, const clip_trace_event *e) {
    static_cast<Recorder *>(ctx)->record(*e);
  }
  static bool omit_hook(void *ctx, const clip_trace_event *e) {
    return static_cast<Recorder *>(ctx)->omit(*e);
  }

  void record(const clip_trace_event &e) {
    Step s;
    s.call = call_;
    s.fd = e.fd;
    if (e.path != nullptr) s.path = e.path;
    if (e.path2 != nullptr) s.path2 = e.path2;
    switch (e.op) {
      case CLIP_TRACE_CREATE:
        s.kind = Step::CREATE;
        position_[e.fd] = 0;
        fd_path_[e.fd] = s.path;
        break;
      case CLIP_TRACE_WRITE:
        s.kind = Step::WRITE;
        s.offset = position_[e.fd];
        s.bytes.assign(static_cast<const char *>(e.data), e.len);
        position_[e.fd] += e.len;
        s.path = fd_path_[e.fd];
        break;
      case CLIP_TRACE_FSYNC:
        s.kind = Step::FSYNC;
        s.path = fd_path_[e.fd];
        break;
      case CLIP_TRACE_CLOSE:
        s.kind = Step::CLOSE;
        s.path = fd_path_[e.fd];
        position_.erase(e.fd);
        fd_path_.erase(e.fd);
        break;
      case CLIP_TRACE_RENAME:
        s.kind = Step::RENAME;
        break;
      case CLIP_TRACE_UNLINK:
        s.kind = Step::UNLINK;
        break;
      case CLIP_TRACE_SYNC_DIR:
        s.kind = Step::SYNC_DIR;
        break;
      case CLIP_TRACE_MKDIR:
        s.kind = Step::MKDIR;
        break;
    }
    out_->steps.push_back(s);
    if (s.kind != Step::CLOSE) last_ = s;
    last_.bytes.clear();
  }

  bool omit(const clip_trace_event &e) {
    bool skip = false;
    if (e.op == CLIP_TRACE_FSYNC) {
      const std::string &path = fd_path_[e.fd];
      skip = (omit_ == Omit::IMAGE_FSYNC && ends_with(path, ".png.tmp")) ||
             (omit_ == Omit::INDEX_FSYNC && ends_with(path, "/clips.json.tmp"));
    } else if (e.op == CLIP_TRACE_SYNC_DIR) {
      skip = (omit_ == Omit::IMAGE_DIR_SYNC && last_.kind == Step::RENAME &&
              is_image(last_.path2)) ||
             (omit_ == Omit::INDEX_DIR_SYNC && last_.kind == Step::RENAME &&
              ends_with(last_.path2, "/clips.json")) ||
             (omit_ == Omit::WIPE_DIR_SYNC && last_.kind == Step::UNLINK &&
              ends_with(last_.path, "/clips.json")) ||
             (omit_ == Omit::STORE_PARENT_SYNC && last_.kind == Step::MKDIR);
    }
    omitted_ += skip;
    return skip;
  }

  Recording *out_;
  Omit omit_;
  int call_ = -1;
  int omitted_ = 0;
  Step last_;  // the last step that changed the disk, without its bytes
  std::map<int, uint64_t> position_;
  std::map<int, std::string> fd_path_;
};

// ---------------------------------------------------------------------------
// The disk

// One file's bytes as a power cut leaves them: `kept` of the pieces at risk
// kept, and the rest lost, or read as zeros when `zeros`.
struct Variant {
  int kept = 0;
  bool zeros = false;
  bool operator<(const Variant &o) const {
    return kept != o.kept ? kept < o.kept : zeros < o.zeros;
  }
};

// What a power cut leaves: whether the store directory is there, and each of
// its names with the file it names and that file's fate.
struct State {
  bool dir = false;
  std::map<std::string, std::pair<int, Variant>> names;  // name -> file, variant
};

class Disk {
 public:
  // `dir` is the store directory of the recording; `initial` what it held
  // before the first step (all of it on the disk), or null when it did not
  // exist.
  Disk(const std::string &dir, const std::map<std::string, std::string> *initial)
      : dir_(dir) {
    size_t slash = dir.rfind('/');
    parent_ = slash == std::string::npos ? "." : dir.substr(0, slash == 0 ? 1 : slash);
    exists_ = durable_exists_ = initial != nullptr;
    if (initial != nullptr) {
      for (const auto &[name, bytes] : *initial) {
        int f = new_file();
        files_[static_cast<size_t>(f)].base = bytes;
        files_[static_cast<size_t>(f)].made = false;
        live_[name] = f;
      }
    }
    durable_ = live_;
  }

  // Replays one step. "" when it is one the model knows, else why not.
  std::string apply(const Step &s) {
    switch (s.kind) {
      case Step::BEGIN:
      case Step::END:
        return "";
      case Step::CREATE: {
        std::string name;
        if (!in_store(s.path, &name)) return "a file made outside the store: " + s.path;
        int f = new_file();
        live_[name] = f;
        fd_[s.fd] = f;
        pending_.push_back({DirOp::CREATE, name, "", f});
        return "";
      }
      case Step::WRITE: {
        auto it = fd_.find(s.fd);
        if (it == fd_.end()) return "a write to a file not made in the recording";
        File &file = files_[static_cast<size_t>(it->second)];
        // Split on the block boundaries of the file's offsets.
        uint64_t off = s.offset;
        size_t at = 0;
        while (at < s.bytes.size()) {
          size_t room = kBlock - static_cast<size_t>(off % kBlock);
          size_t n = std::min(room, s.bytes.size() - at);
          file.pieces.push_back({off, s.bytes.substr(at, n)});
          off += n;
          at += n;
        }
        return "";
      }
      case Step::FSYNC: {
        auto it = fd_.find(s.fd);
        if (it == fd_.end()) return "an fsync of a file not made in the recording";
        File &file = files_[static_cast<size_t>(it->second)];
        file.synced = file.pieces.size();
        return "";
      }
      case Step::CLOSE:
        fd_.erase(s.fd);
        return "";
      case Step::RENAME: {
        std::string from, to;
        if (!in_store(s.path, &from) || !in_store(s.path2, &to)) {
          return "a rename outside the store: " + s.path + " -> " + s.path2;
        }
        auto it = live_.find(from);
        if (it == live_.end())
          return "a rename of a name the model does not hold: " + from;
        int f = it->second;
        live_.erase(it);
        live_[to] = f;
        pending_.push_back({DirOp::RENAME, from, to, f});
        return "";
      }
      case Step::UNLINK: {
        std::string name;
        if (!in_store(s.path, &name)) return "a removal outside the store: " + s.path;
        auto it = live_.find(name);
        if (it == live_.end())
          return "a removal of a name the model does not hold: " + name;
        pending_.push_back({DirOp::UNLINK, name, "", it->second});
        live_.erase(it);
        return "";
      }
      case Step::SYNC_DIR:
        if (s.path == dir_) {
          durable_ = live_;
          pending_.clear();
        } else if (s.path == parent_) {
          durable_exists_ = exists_;
        } else {
          return "a sync of another directory: " + s.path;
        }
        return "";
      case Step::MKDIR:
        if (s.path != dir_) return "a directory made outside the store: " + s.path;
        exists_ = true;
        return "";
    }
    return "an unknown step";
  }

  // What the store holds if nothing is lost: the directory as the library
  // sees it now.
  std::map<std::string, std::string> live() const {
    std::map<std::string, std::string> out;
    for (const auto &[name, f] : live_) {
      const File &file = files_[static_cast<size_t>(f)];
      out[name] = content(f, {static_cast<int>(file.pieces.size() - file.synced), false});
    }
    return out;
  }
  bool live_exists() const { return exists_; }

  // The states a power cut now can leave, at most `budget` of them; `seed`
  // picks the samples.
  std::vector<State> states(size_t budget, uint32_t seed) const {
    std::vector<State> out;
    std::set<std::string> seen;
    auto add = [&](const State &s) {
      std::string key = recipe(s);
      if (out.size() < budget && seen.insert(key).second) out.push_back(s);
    };
    if (!exists_ || !durable_exists_) add(State{});  // the directory lost, or never made
    if (!exists_) return out;
    std::mt19937 rng(seed);

    // Which creations, renames and removals survive.
    std::vector<std::map<std::string, int>> dirs;
    std::set<std::map<std::string, int>> dirs_seen;
    for (const std::vector<bool> &keep : subsets(pending_.size(), budget, rng)) {
      std::map<std::string, int> d = durable_;
      for (size_t i = 0; i < pending_.size(); ++i) {
        if (!keep[i]) continue;
        const DirOp &op = pending_[i];
        switch (op.kind) {
          case DirOp::CREATE:
            d[op.name] = op.file;
            break;
          case DirOp::RENAME: {
            auto it = d.find(op.name);
            if (it != d.end() && it->second == op.file) d.erase(it);
            d[op.to] = op.file;
            break;
          }
          case DirOp::UNLINK: {
            auto it = d.find(op.name);
            if (it != d.end() && it->second == op.file) d.erase(it);
            break;
          }
        }
      }
      if (dirs_seen.insert(d).second) dirs.push_back(d);
    }

    // What each file at risk keeps, for each directory.
    size_t share = std::max<size_t>(1, budget / std::max<size_t>(1, dirs.size()));
    for (const auto &d : dirs) {
      std::vector<std::string> at_risk;
      std::vector<std::vector<Variant>> choices;
      for (const auto &[name, f] : d) {
        std::vector<Variant> v = variants(f);
        if (v.size() > 1) {
          at_risk.push_back(name);
          choices.push_back(v);
        }
      }
      for (const std::vector<size_t> &pick : combinations(choices, share, rng)) {
        State s;
        s.dir = true;
        for (const auto &[name, f] : d) {
          const File &file = files_[static_cast<size_t>(f)];
          s.names[name] = {f,
                           {static_cast<int>(file.pieces.size() - file.synced), false}};
        }
        for (size_t i = 0; i < at_risk.size(); ++i)
          s.names[at_risk[i]].second = choices[i][pick[i]];
        add(s);
      }
    }
    return out;
  }

  // The bytes of each name of s.
  std::map<std::string, std::string> files_of(const State &s) const {
    std::map<std::string, std::string> out;
    for (const auto &[name, fv] : s.names) out[name] = content(fv.first, fv.second);
    return out;
  }

  // A key that is the same for two states exactly when they hold the same
  // names with the same bytes.
  std::string key(const State &s) const {
    std::string k = s.dir ? "dir" : "none";
    for (const auto &[name, fv] : s.names)
      k += "\n" + name + " " + digest(fv.first, fv.second);
    return k;
  }

  // The state in words: which file each name holds, and what it kept.
  std::string describe(const State &s) const {
    if (!s.dir) return "no store directory";
    std::string out;
    for (const auto &[name, fv] : s.names) {
      const File &file = files_[static_cast<size_t>(fv.first)];
      int at_risk = static_cast<int>(file.pieces.size() - file.synced);
      out += (out.empty() ? "" : ", ") + name + " (file " + std::to_string(fv.first);
      if (at_risk > 0) {
        out += ", " + std::to_string(fv.second.kept) + " of " + std::to_string(at_risk) +
               " unsynced blocks kept" + (fv.second.zeros ? ", the rest zeros" : "");
      }
      out += ")";
    }
    return out.empty() ? "an empty store directory" : out;
  }

  // Whether the file of `name` in s is one the store held before the
  // recording.
  bool initial(const State &s, const std::string &name) const {
    auto it = s.names.find(name);
    return it != s.names.end() && !files_[static_cast<size_t>(it->second.first)].made;
  }

  size_t files() const { return files_.size(); }

 private:
  struct Piece {
    uint64_t offset;
    std::string bytes;
  };
  struct File {
    std::string base;  // held before the recording
    std::vector<Piece> pieces;
    size_t synced = 0;  // pieces on the disk for certain
    bool made = false;  // made during the recording
  };
  struct DirOp {
    enum Kind { CREATE, RENAME, UNLINK } kind;
    std::string name, to;
    int file;
  };

  int new_file() {
    files_.push_back(File{});
    files_.back().made = true;
    return static_cast<int>(files_.size() - 1);
  }

  bool in_store(const std::string &path, std::string *name) const {
    if (path.size() <= dir_.size() + 1 || path.compare(0, dir_.size(), dir_) != 0 ||
        path[dir_.size()] != '/') {
      return false;
    }
    *name = path.substr(dir_.size() + 1);
    return name->find('/') == std::string::npos;
  }

  // The size and a hash of content(f, v), remembered: the same large index
  // comes up in state after state.
  std::string digest(int f, Variant v) const {
    const File &file = files_[static_cast<size_t>(f)];
    auto id = std::make_tuple(f, file.synced, file.pieces.size(), v.kept, v.zeros);
    auto it = digests_.find(id);
    if (it != digests_.end()) return it->second;
    std::string bytes = content(f, v);
    std::string d = std::to_string(bytes.size()) + " " +
                    std::to_string(std::hash<std::string>{}(bytes));
    digests_[id] = d;
    return d;
  }

  std::string content(int f, Variant v) const {
    const File &file = files_[static_cast<size_t>(f)];
    std::string s = file.base;
    size_t keep = file.synced + static_cast<size_t>(v.kept);
    for (size_t i = 0; i < file.pieces.size(); ++i) {
      const Piece &p = file.pieces[i];
      size_t end = static_cast<size_t>(p.offset) + p.bytes.size();
      if (i < keep) {
        if (s.size() < end) s.resize(end, '\0');
        s.replace(static_cast<size_t>(p.offset), p.bytes.size(), p.bytes);
      } else if (v.zeros && s.size() < end) {
        s.resize(end, '\0');
      }
    }
    return s;
  }

  // The fates of file f's unsynced pieces; one when nothing is at risk.
  std::vector<Variant> variants(int f) const {
    const File &file = files_[static_cast<size_t>(f)];
    int n = static_cast<int>(file.pieces.size() - file.synced);
    if (n == 0) return {Variant{}};
    std::set<Variant> v = {{0, false}, {1, false}, {n / 2, false}, {n - 1, false},
                           {n, false}, {0, true},  {n / 2, true}};
    return {v.rbegin(), v.rend()};  // all kept first
  }

  // Which of n pending operations are kept: all 2^n choices when there are
  // at most `budget`, else the sample described at the top.
  static std::vector<std::vector<bool>> subsets(size_t n, size_t budget,
                                                std::mt19937 &rng) {
    std::vector<std::vector<bool>> out;
    if (n < 20 && (size_t{1} << n) <= budget) {
      for (size_t mask = 0; mask < (size_t{1} << n); ++mask) {
        std::vector<bool> keep(n);
        for (size_t i = 0; i < n; ++i) keep[i] = (mask >> i) & 1;
        out.push_back(keep);
      }
      // All kept first: the state the library left, the one most worth a load.
      std::reverse(out.begin(), out.end());
      return out;
    }
    out.push_back(std::vector<bool>(n, true));
    out.push_back(std::vector<bool>(n, false));
    for (size_t j = 1; j < n; ++j) {
      std::vector<bool> keep(n, false);
      std::fill(keep.begin(), keep.begin() + static_cast<long>(j), true);
      out.push_back(keep);
    }
    for (size_t i = 0; i < n; ++i) {
      std::vector<bool> keep(n, true);
      keep[i] = false;
      out.push_back(keep);
    }
    for (size_t i = 0; i < n; ++i) {
      std::vector<bool> keep(n, false);
      keep[i] = true;
      out.push_back(keep);
    }
    if (out.size() > budget) {
      // Keep the two ends and a fair draw of the rest.
      std::shuffle(out.begin() + 2, out.end(), rng);
      out.resize(budget);
    }
    while (out.size() < budget) {
      std::vector<bool> keep(n);
      for (size_t i = 0; i < n; ++i) keep[i] = rng() & 1;
      out.push_back(keep);
    }
    return out;
  }

  // Picks one choice per list: every combination when there are at most
  // `budget`, else the first choice of each (all kept), the last of each, and
  // random picks.
  static std::vector<std::vector<size_t>> combinations(
      const std::vector<std::vector<Variant>> &choices, size_t budget,
      std::mt19937 &rng) {
    size_t total = 1;
    for (const auto &c : choices) {
      total = total > budget ? total : total * c.size();
    }
    std::vector<std::vector<size_t>> out;
    if (total <= budget) {
      std::vector<size_t> pick(choices.size(), 0);
      for (size_t k = 0; k < total; ++k) {
        out.push_back(pick);
        for (size_t i = 0; i < pick.size(); ++i) {
          if (++pick[i] < choices[i].size()) break;
          pick[i] = 0;
        }
      }
      return out;
    }
    std::vector<size_t> first(choices.size(), 0), last(choices.size());
    for (size_t i = 0; i < choices.size(); ++i) last[i] = choices[i].size() - 1;
    out.push_back(first);
    if (budget > 1) out.push_back(last);
    while (out.size() < budget) {
      std::vector<size_t> pick(choices.size());
      for (size_t i = 0; i < choices.size(); ++i) pick[i] = rng() % choices[i].size();
      out.push_back(pick);
    }
    return out;
  }

  std::string recipe(const State &s) const {
    std::string k = s.dir ? "dir" : "none";
    for (const auto &[name, fv] : s.names) {
      k += "\n" + name + " " + std::to_string(fv.first) + " " +
           std::to_string(fv.second.kept) + (fv.second.zeros ? "z" : "");
    }
    return k;
  }

  std::string dir_, parent_;
  bool exists_ = false;          // the store directory, as the library sees it
  bool durable_exists_ = false;  // ... as its parent holds it for certain
  std::vector<File> files_;
  std::map<std::string, int> live_;     // names as the library sees them
  std::map<std::string, int> durable_;  // names as of the last sync of the store
  std::vector<DirOp> pending_;          // since then, in order
  std::map<int, int> fd_;               // open descriptor -> file
  mutable std::map<std::tuple<int, size_t, size_t, int, bool>, std::string> digests_;
};

}  // namespace power

#endif  // QUILLMAR_TEST_POWER_MODEL_H
