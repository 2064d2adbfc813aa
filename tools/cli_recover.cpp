#include "cli_recover.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli_layout.h"
#include "cli_markers.h"
#include "cli_png.h"
#include "cli_process.h"
#include "cli_salvage.h"
#include "cli_store.h"
#include "cli_text.h"
#include "cli_util.h"
#include "quillmar_clip.h"

namespace host {
namespace {

int fail(const std::string &message) {
  complain(message);
  return 1;
}

// --- the set-aside indexes ---------------------------------------------------

// When an index was set aside: "clips.json.corrupt.<seconds>", and
// ".<n>" after it for the n-th of the same second.
struct AsideTime {
  int64_t seconds = -1;  // -1: none
  int64_t n = 0;
  bool after(const AsideTime &o) const {
    return seconds != o.seconds ? seconds > o.seconds : n > o.n;
  }
};

bool aside_time(std::string_view name, AsideTime *t) {
  if (name.substr(0, kSetAsidePrefix.size()) != kSetAsidePrefix) return false;
  std::string_view rest = name.substr(kSetAsidePrefix.size());
  size_t dot = rest.find('.');
  if (parse_decimal(rest.substr(0, dot), 0, INT64_MAX, &t->seconds) != Decimal::ok)
    return false;
  t->n = 0;
  return dot == std::string_view::npos ||
         parse_decimal(rest.substr(dot + 1), 1, INT64_MAX, &t->n) == Decimal::ok;
}

// The newest index set aside in dir ("" when there is none), and how many
// there are.
std::string newest_aside(const std::string &dir, AsideTime *when, size_t *count) {
  std::vector<std::string> names;
  std::string newest;
  *when = AsideTime{};
  *count = 0;
  if (!list_files(dir, &names)) return newest;
  for (auto &n : names) {
    AsideTime t;
    if (!aside_time(n, &t)) continue;
    ++*count;
    if (t.after(*when)) {
      *when = t;
      newest = n;
    }
  }
  return newest;
}

std::string noticed_path(const std::string &dir) { return marker_path(dir, ".noticed"); }

// --- files -------------------------------------------------------------------

// A file descriptor, closed with its owner.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd &operator=(Fd &&o) noexcept {
    reset();
    fd_ = std::exchange(o.fd_, -1);
    return *this;
  }
  ~Fd() { reset(); }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// The whole of the set-aside index at path, however large (it holds every
// text of the history).
bool read_index_file(const std::string &path, std::string *out, std::string *error) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (fd.get() < 0) {
    *error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "cannot read " + path + ": not a regular file";
    return false;
  }
  out->clear();
  out->reserve(static_cast<size_t>(st.st_size));
  bool more = false;
  if (!read_capped(fd.get(), SIZE_MAX / 2, out, &more, error)) {
    int err = errno;
    *error = "cannot read " + path + ": " + strerror(err);
    return false;
  }
  return true;
}

// Reads image file img_<id>.png of dir into *bytes and keeps it open in *fd:
// a clip recorded meanwhile under the same id replaces the name, never the
// file held open. On failure *why says what is wrong with it.
bool open_image(const std::string &dir, int id, Fd *fd, std::string *bytes,
                std::string *why) {
  std::string name = image_file_name(id), path = dir + "/" + name;
  // Not followed: a link could hand over any file the user can read.
  *fd = Fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd->get() < 0) {
    if (errno == ENOENT) {
      *why = "its image file " + name + " is missing";
    } else if (errno == ELOOP) {
      *why = name + " is a link, not a file";
    } else {
      *why = "cannot read " + name + ": " + strerror(errno);
    }
    return false;
  }
  struct stat st;
  if (fstat(fd->get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = name + " is not a regular file";
    return false;
  }
  if (st.st_size == 0) {
    *why = name + " is empty";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > CLIP_IMAGE_CAP) {
    *why = name + " is larger than an image clip may be (" +
           format_bytes(CLIP_IMAGE_CAP) + ")";
    return false;
  }
  bytes->clear();
  bool more = false;
  std::string error;
  if (lseek(fd->get(), 0, SEEK_SET) != 0 ||
      !read_capped(fd->get(), size_t{CLIP_IMAGE_CAP} + 1, bytes, &more, &error)) {
    *why = "cannot read " + name + ": " + strerror(errno);
    return false;
  }
  if (bytes->empty() || bytes->size() > CLIP_IMAGE_CAP) {
    *why = name + " changed while it was read";
    return false;
  }
  return true;
}

// Reads the whole of the image file held open as fd again, from its start,
// into *bytes: false when it is no longer size bytes long.
bool read_held(const Fd &fd, uint64_t size, std::string *bytes) {
  bytes->assign(static_cast<size_t>(size), '\0');
  size_t got = 0;
  while (got < bytes->size()) {
    ssize_t n = pread(fd.get(), bytes->data() + got, bytes->size() - got,
                      static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  char extra;
  return pread(fd.get(), &extra, 1, static_cast<off_t>(got)) == 0;
}

// --- whole PNG images ----------------------------------------------------------

bool whole_png(const std::string &bytes, std::string *why) {
  return decode_png(bytes, nullptr, 0, why);
}

// --- what the history holds ----------------------------------------------------

struct History {
  std::vector<ClipSummary> clips;
  std::set<int> image_ids;
  size_t pinned = 0, unpinned = 0;
};

bool load_history(History *h) {
  h->clips.clear();
  h->image_ids.clear();
  if (!all_clips(&h->clips)) return false;
  h->pinned = 0;
  for (auto &c : h->clips) {
    h->pinned += c.pinned ? 1 : 0;
    if (c.image) h->image_ids.insert(c.id);
  }
  h->unpinned = h->clips.size() - h->pinned;
  return true;
}

bool image_path_of(int id, std::string *path) {
  ClipString got(clip_get(id));
  if (!got) return false;
  Doc doc(yyjson_read(got.get(), strlen(got.get()), 0));
  yyjson_val *p =
      yyjson_obj_get(doc ? yyjson_doc_get_root(doc.get()) : nullptr, "image_path");
  if (!yyjson_is_str(p)) return false;
  path->assign(yyjson_get_str(p), yyjson_get_len(p));
  return true;
}

// The newest clip of the history that holds exactly these bytes, or 0. The
// previews rule out almost every clip; only those that match are fetched.
int twin_in_history(const History &h, bool image, const std::string &bytes) {
  std::string preview = image ? image_preview_start(bytes.size()) : text_preview(bytes);
  for (auto &c : h.clips) {
    if (c.image != image) continue;
    if (!image) {
      if (c.preview != preview) continue;
      ClipString got(clip_get(c.id));
      if (got && std::string_view(got.get()) == bytes) return c.id;
      continue;
    }
    if (c.preview.compare(0, preview.size(), preview) != 0) continue;
    char next = c.preview.size() > preview.size() ? c.preview[preview.size()] : '\0';
    if (next != ']' && next != ':') continue;
    std::string path, held, error;
    if (image_path_of(c.id, &path) && read_whole_file(path, &held, &error) &&
        held == bytes)
      return c.id;
  }
  return 0;
}

// --- what can be given back ----------------------------------------------------

struct Candidate {
  // Where it comes from: a record of the index, or an image file that no
  // clip names (record 0).
  size_t record = 0, offset = 0;
  int file_id = 0;  // an image's img_<id>.png
  bool image = false, pinned = false, has_label = false;
  std::string text, label, hash;
  uint64_t size = 0;
  Fd file;  // an image's file, held open
  // No clip of the history names its image file: once its bytes are in
  // the history, the file goes.
  bool unnamed_file = false;
  int twin = 0;         // the history's clip with the same bytes
  std::string refused;  // why it is not added ("" when it is)
  int id = 0;           // the clip it became
};

std::string source_of(const Candidate &c) {
  if (c.record == 0) return image_file_name(c.file_id) + " (no clip named it)";
  return "record " + std::to_string(c.record) + " (byte " + std::to_string(c.offset) +
         ")";
}

std::string description(const Candidate &c) {
  std::string d;
  if (c.image) {
    d = "image, " + std::to_string(c.size) + (c.size == 1 ? " byte" : " bytes");
    if (c.has_label) d += ", label \"" + terminal_cell(c.label, 40) + "\"";
  } else {
    d = "text, " + std::to_string(c.size) + (c.size == 1 ? " byte" : " bytes");
  }
  if (c.pinned) d += ", pinned";
  if (!c.image) d += ": " + terminal_cell(text_preview(c.text), 50);
  return d;
}

// A clip or a stretch of the file that cannot be given back: where, and why.
struct Problem {
  size_t offset;  // SIZE_MAX for image files, after the records
  std::string line;
};

std::string loss_line(const SalvageLoss &l) {
  if (l.record == 0) {
    return "bytes " + std::to_string(l.offset) + " to " + std::to_string(l.end) + ": " +
           l.why;
  }
  return "record " + std::to_string(l.record) + " (byte " + std::to_string(l.offset) +
         "): " + l.why;
}

// Which of candidates [from, end) are added: the newest that fit beside the
// history's clips without evicting any, pushed oldest first. A push evicts
// when 500 clips are unpinned before it; a clip to be pinned is pushed
// unpinned first, so it needs that room too.
void plan_room(std::vector<Candidate> &cands, size_t from, const History &h) {
  constexpr size_t kUnpinned = CLIP_MAX_UNPINNED, kPinned = CLIP_MAX_PINNED;
  size_t room_u = h.unpinned < kUnpinned ? kUnpinned - h.unpinned : 0;
  size_t room_p = h.pinned < kPinned ? kPinned - h.pinned : 0;
  std::string no_room_u =
      "no room beside the history's " + std::to_string(h.unpinned) +
      " unpinned clips (at most 500 are kept, and adding it too would "
      "evict the oldest): delete, expire or wipe clips, then run "
      "recover again";
  std::string no_room_p = "no room beside the history's " + std::to_string(h.pinned) +
                          " pinned clips (at most 200 may be pinned): unpin or delete "
                          "clips, then run recover again";
  size_t u = 0, p = 0;
  Candidate *newest = nullptr, *oldest_u = nullptr;
  for (size_t k = cands.size(); k-- > from;) {
    Candidate &c = cands[k];
    if (c.twin != 0) continue;
    c.refused.clear();
    if (room_u == 0) {
      c.refused = no_room_u;
    } else if (c.pinned) {
      if (p < room_p) {
        ++p;
      } else {
        c.refused = no_room_p;
      }
    } else if (u < room_u) {
      ++u;
      oldest_u = &c;
    } else {
      c.refused = no_room_u;
    }
    if (c.refused.empty() && newest == nullptr) newest = &c;
  }
  // The newest clip, when it is to be pinned, is pushed after every other:
  // with the history full by then, its push would evict.
  if (newest != nullptr && newest->pinned && u == room_u && oldest_u != nullptr)
    oldest_u->refused = no_room_u;
}

// Standard output, line by line, remembering a failed write.
class Report {
 public:
  void line(const std::string &s) {
    std::string l = s + "\n";
    if (fwrite(l.data(), 1, l.size(), stdout) != l.size() || fflush(stdout) != 0) {
      if (ok_) err_ = errno;
      ok_ = false;
    }
  }
  // 0, or 1 after saying why standard output failed.
  int status() const {
    if (ok_) return 0;
    return fail(std::string("cannot write to standard output: ") + strerror(err_));
  }

 private:
  bool ok_ = true;
  int err_ = 0;
};

// Removes the image file of c once its bytes are in the history under
// another clip: only the very file that was read, and only while no clip
// names it.
void remove_source(const std::string &dir, const Candidate &c, const History &h,
                   const std::set<int> &added_images, Report *out) {
  if (!c.image || !c.unnamed_file || c.file.get() < 0) return;
  if (h.image_ids.count(c.file_id) > 0 || added_images.count(c.file_id) > 0) return;
  std::string name = image_file_name(c.file_id), path = dir + "/" + name;
  struct stat held, now;
  if (fstat(c.file.get(), &held) != 0 || lstat(path.c_str(), &now) != 0 ||
      held.st_dev != now.st_dev || held.st_ino != now.st_ino)
    return;
  if (unlink(path.c_str()) != 0)
    out->line("note: " + name + " could not be removed: " + strerror(errno));
}

// A push result: the clip's id, and whether it repeated the newest clip.
int pushed_id(const char *result, bool *dedup) {
  Doc doc(yyjson_read(result, strlen(result), 0));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  *dedup = yyjson_get_sint(yyjson_obj_get(root, "dedup")) != 0;
  return static_cast<int>(yyjson_get_sint(yyjson_obj_get(root, "id")));
}

// Lets the process hold an image file open for every clip it gives back.
void raise_open_files() {
  struct rlimit r;
  if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
}

}  // namespace

void notice_set_aside(const std::string &dir) {
  AsideTime newest_time;
  size_t count = 0;
  std::string newest = newest_aside(dir, &newest_time, &count);
  if (newest.empty()) return;
  std::string marker = noticed_path(dir), seen, error;
  AsideTime seen_time;
  if (read_whole_file(marker, &seen, &error)) {
    while (!seen.empty() && seen.back() == '\n') seen.pop_back();
    if (!aside_time(seen, &seen_time)) seen_time = AsideTime{};
  }
  if (!newest_time.after(seen_time)) return;
  const auto &here = set_aside_here();
  // A load of this process set it aside and said so already.
  if (std::find(here.begin(), here.end(), newest) == here.end()) {
    std::string older = count > 1 ? " (and " + std::to_string(count - 1) + " older)" : "";
    complain(
        "a damaged index was set aside in " + dir + " as " + newest + older +
        ": its clips are not in the history; 'quillmar-clip recover' gives them back");
  }
  if (!make_parents(marker, &error) ||
      !write_whole_file(marker, newest + "\n", 0600, &error))
    complain(error);
}

int cmd_recover(const std::string &store, const std::string &file, bool dry_run) {
  struct stat st;
  if (stat(store.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return fail("nothing to recover: there is no store at " + store);
  raise_open_files();
  StoreLock lock;
  // Opening the store sets a damaged clips.json aside: it is then the newest.
  if (!open_store(store, &lock)) return 1;
  History history;
  if (!load_history(&history)) return 1;
  // Reading and checking every file takes a while: a watcher gets the store
  // meanwhile, and the history is read again before anything is added.
  lock.release();

  std::string name = file, path;
  if (name.empty()) {
    AsideTime when;
    size_t count = 0;
    name = newest_aside(store, &when, &count);
  }
  if (!name.empty())
    path = name.find('/') == std::string::npos ? store + "/" + name : name;

  Report out;
  std::vector<Problem> problems;
  std::vector<Candidate> cands;
  Salvage salvage;
  if (!path.empty()) {
    std::string bytes, error;
    if (!read_index_file(path, &bytes, &error)) return fail(error);
    salvage = salvage_index(bytes);
    out.line("recovering " + name + ": " + std::to_string(bytes.size()) +
             (bytes.size() == 1 ? " byte, " : " bytes, ") +
             std::to_string(salvage.records) +
             (salvage.records == 1 ? " record found, " : " records found, ") +
             std::to_string(salvage.clips.size()) + " whole");
    for (auto &l : salvage.lost) problems.push_back({l.offset, loss_line(l)});
    if (salvage.cut_short) {
      problems.push_back(
          {salvage.cut_at, "after byte " + std::to_string(salvage.cut_at) +
                               ": the file ends before its list of clips does, and any "
                               "clips that followed are lost"});
    }
  }

  // The records' clips, with their image files checked.
  std::set<int> claimed;  // image files that whole records name
  for (auto &s : salvage.clips) {
    Candidate c;
    c.record = s.record;
    c.offset = s.offset;
    c.image = s.image;
    c.pinned = s.pinned;
    c.hash = s.hash;
    if (!s.image) {
      c.text = std::move(s.text);
      c.size = c.text.size();
      cands.push_back(std::move(c));
      continue;
    }
    c.file_id = s.id;
    c.has_label = s.has_label;
    c.label = s.label;
    std::string bytes, why;
    if (!open_image(store, s.id, &c.file, &bytes, &why)) {
    } else if (!s.hash.empty() && fingerprint(bytes) != s.hash) {
      why = image_file_name(s.id) + " holds other bytes than its clip had (" +
            (history.image_ids.count(s.id) > 0
                 ? "clip " + std::to_string(s.id) + " of the history took the id since)"
                 : "the file was replaced since)");
    } else if (image_preview(bytes.size(), s.has_label ? &s.label : nullptr) !=
               s.preview) {
      why = "its label does not match its preview";
    }
    if (!why.empty()) {
      problems.push_back({s.offset, source_of(c) + ": " + why});
      continue;
    }
    c.size = bytes.size();
    c.unnamed_file = history.image_ids.count(s.id) == 0;
    claimed.insert(s.id);
    c.twin = twin_in_history(history, true, bytes);
    cands.push_back(std::move(c));
  }
  for (auto &c : cands) {
    if (!c.image) c.twin = twin_in_history(history, false, c.text);
  }

  // The image files that no clip names, placed among the records by id.
  std::vector<std::string> names;
  if (!list_files(store, &names))
    return fail("cannot read " + store + ": " + strerror(errno));
  std::vector<Candidate> orphans;
  for (auto &n : names) {
    int id = 0;
    if (classify_store_file(n, &id) != StoreFile::image) continue;
    if (history.image_ids.count(id) > 0 || claimed.count(id) > 0) continue;
    Candidate c;
    c.file_id = id;
    c.image = true;
    c.unnamed_file = true;
    std::string bytes, why;
    if (!open_image(store, id, &c.file, &bytes, &why) || !whole_png(bytes, &why)) {
      problems.push_back({SIZE_MAX, source_of(c) + ": " + why});
      continue;
    }
    c.size = bytes.size();
    c.hash = fingerprint(bytes);
    c.twin = twin_in_history(history, true, bytes);
    // The same bytes as a record's image: that one comes back with its
    // label and pin.
    bool copy = false;
    for (auto &r : cands) {
      std::string other;
      if (!r.image || r.size != c.size || r.twin != 0) continue;
      if (read_held(r.file, r.size, &other) && other == bytes) copy = true;
    }
    if (copy) {
      problems.push_back(
          {SIZE_MAX, source_of(c) + ": it holds the same bytes as a record's image"});
      continue;
    }
    orphans.push_back(std::move(c));
  }
  std::sort(orphans.begin(), orphans.end(),
            [](const Candidate &a, const Candidate &b) { return a.file_id < b.file_id; });
  {
    std::vector<Candidate> merged;
    size_t o = 0;
    for (auto &c : cands) {
      int key = c.image ? c.file_id : 0;
      if (c.image) {
        while (o < orphans.size() && orphans[o].file_id < key)
          merged.push_back(std::move(orphans[o++]));
      }
      merged.push_back(std::move(c));
    }
    while (o < orphans.size()) merged.push_back(std::move(orphans[o++]));
    cands = std::move(merged);
  }
  plan_room(cands, 0, history);

  if (path.empty()) {
    if (cands.empty() && problems.empty()) {
      out.line("nothing to recover: no damaged index is set aside in " + store +
               ", and every image file in it belongs to a clip");
      return out.status();
    }
    out.line("no damaged index is set aside in " + store +
             ": recovering the image files that no clip names");
  }
  std::stable_sort(
      problems.begin(), problems.end(),
      [](const Problem &a, const Problem &b) { return a.offset < b.offset; });
  for (auto &p : problems) out.line("not recoverable: " + p.line);

  size_t twins = 0, refused = 0;
  for (auto &c : cands) {
    twins += c.twin != 0 ? 1 : 0;
    refused += !c.refused.empty() ? 1 : 0;
  }
  size_t wanted = cands.size() - twins - refused;
  std::string source = name.empty() ? "the store's image files" : name;

  if (dry_run) {
    size_t pinned = 0;
    for (auto &c : cands) {
      if (c.twin != 0) {
        out.line("already in the history: " + source_of(c) + ", as clip " +
                 std::to_string(c.twin));
      } else if (!c.refused.empty()) {
        out.line("would not add: " + source_of(c) + ": " + c.refused);
      } else {
        pinned += c.pinned ? 1 : 0;
        out.line("would add: " + source_of(c) + ": " + description(c));
      }
    }
    out.line("would recover " + std::to_string(wanted) +
             (wanted == 1 ? " clip (" : " clips (") + std::to_string(pinned) +
             " pinned) from " + source + "; " + std::to_string(problems.size()) +
             " not recoverable, " + std::to_string(twins) + " already in the history, " +
             std::to_string(refused) + " without room");
    return out.status();
  }

  if (!open_store(store, &lock) || !load_history(&history)) return 1;
  std::set<int> held;
  for (auto &h : history.clips) held.insert(h.id);
  for (auto &c : cands) {
    // A twin deleted meanwhile: the clip is wanted after all.
    if (c.twin == 0 || held.count(c.twin) > 0) continue;
    std::string bytes;
    if (!c.image) {
      c.twin = twin_in_history(history, false, c.text);
    } else {
      c.twin =
          read_held(c.file, c.size, &bytes) ? twin_in_history(history, true, bytes) : 0;
    }
  }
  plan_room(cands, 0, history);

  // Oldest first, so that the clips come back in their order, above the
  // history's own.
  std::set<int> added_images;
  size_t added = 0, pinned = 0, not_added = 0, no_room = 0, merged = 0;
  int first_id = 0, last_id = 0;
  bool contiguous = true;
  int64_t locked_at = now_ms();
  std::string stop;  // why the recovery stopped
  for (size_t k = 0; k < cands.size(); ++k) {
    Candidate &c = cands[k];
    if (!stop.empty()) {
      if (c.twin == 0 && c.refused.empty()) {
        ++not_added;
        out.line("not added: " + source_of(c) + ": " + stop);
      }
      continue;
    }
    // Each clip is a write of the index: a watcher waiting for the lock
    // would give up after ten seconds, so it gets a turn every two. What it
    // records meanwhile takes room counted on: the rest is planned again.
    if (k > 0 && now_ms() - locked_at >= 2000) {
      lock.release();
      sleep_ms(100);
      if (!open_store(store, &lock) || !load_history(&history)) {
        stop = "the store could not be opened again";
        --k;
        continue;
      }
      plan_room(cands, k, history);
      locked_at = now_ms();
    }
    if (c.twin != 0) {
      out.line("already in the history: " + source_of(c) + ", as clip " +
               std::to_string(c.twin));
      remove_source(store, c, history, added_images, &out);
      continue;
    }
    if (!c.refused.empty()) {
      ++no_room;
      out.line("not added: " + source_of(c) + ": " + c.refused);
      continue;
    }
    ClipString result;
    std::string why;
    if (c.image) {
      std::string bytes;
      // Read again through the file held open: the bytes checked.
      if (!read_held(c.file, c.size, &bytes) ||
          (!c.hash.empty() && fingerprint(bytes) != c.hash)) {
        why = image_file_name(c.file_id) + " changed while it was recovered";
      } else {
        result.reset(clip_push_image(
            reinterpret_cast<const unsigned char *>(bytes.data()),
            static_cast<int>(bytes.size()), c.has_label ? c.label.c_str() : nullptr));
        if (!result) why = library_error();
      }
    } else {
      result.reset(clip_push_text(c.text.c_str()));
      if (!result) why = library_error();
    }
    if (!result) {
      ++not_added;
      out.line("not added: " + source_of(c) + ": " + why);
      stop = "recover stopped at the failure above";
      continue;
    }
    bool dedup = false;
    c.id = pushed_id(result.get(), &dedup);
    if (c.pinned && !clip_pin(c.id, 1)) {
      out.line("added: " + source_of(c) + " as clip " + std::to_string(c.id) +
               ", but not pinned: " + library_error());
      ++not_added;
      stop = "recover stopped at the failure above";
      continue;
    }
    if (dedup) {
      // The same bytes as the clip recovered just before (the history kept
      // repeats).
      ++merged;
      out.line("merged: " + source_of(c) + " repeats the clip before it, clip " +
               std::to_string(c.id));
      remove_source(store, c, history, added_images, &out);
      continue;
    }
    if (c.image) added_images.insert(c.id);
    ++added;
    pinned += c.pinned ? 1 : 0;
    if (first_id != 0 && c.id != last_id + 1) contiguous = false;
    if (first_id == 0) first_id = c.id;
    last_id = c.id;
    out.line("added: " + source_of(c) + " as clip " + std::to_string(c.id) + ": " +
             description(c));
    if (c.image && c.id != c.file_id)
      remove_source(store, c, history, added_images, &out);
  }
  std::string ids;
  if (first_id != 0 && first_id == last_id) {
    ids = " as clip " + std::to_string(first_id);
  } else if (first_id != 0 && contiguous) {
    ids = " as clips " + std::to_string(first_id) + " to " + std::to_string(last_id);
  } else if (first_id != 0) {
    ids = " as clips " + std::to_string(first_id) + " to " + std::to_string(last_id) +
          ", among clips recorded meanwhile";
  }
  std::string line =
      "recovered " + std::to_string(added) + (added == 1 ? " clip (" : " clips (") +
      std::to_string(pinned) + " pinned) from " + source + ids + "; " +
      std::to_string(problems.size()) + " not recoverable, " + std::to_string(twins) +
      " already in the history, " + std::to_string(no_room + not_added) + " not added";
  if (merged > 0) line += ", " + std::to_string(merged) + " merged with the clip before";
  if (added > 0) line += "; their times are the time of the recovery";
  out.line(line);
  if (!name.empty() && name.find('/') == std::string::npos) {
    out.line(name + " stays in " + store +
             ": delete it once the history holds what you need");
  }
  int rc = out.status();
  return rc != 0 ? rc : (no_room + not_added > 0 ? 1 : 0);
}

}  // namespace host
