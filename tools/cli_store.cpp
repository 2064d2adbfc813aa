#include "cli_store.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli_capture.h"
#include "cli_config.h"
#include "cli_layout.h"
#include "cli_match.h"
#include "cli_notify.h"
#include "cli_text.h"
#include "cli_util.h"
#include "quillmar_clip.h"

namespace host {
namespace {

// The history the library holds, when it is known to be the one on disk:
// the store directory's identity and the index this process last saw or
// wrote under the lock.
struct Loaded {
  bool valid = false;
  dev_t dev = 0;
  ino_t ino = 0;
  IndexId index;
  std::string named;  // what the command that opened it last calls the store
};
Loaded g_loaded;
// The history was checked (or loaded) under the exclusive lock held now, so
// that what the index is when the lock is released is this process's doing.
bool g_checked = false;
// serve_store_at: the path the library is initialised on, and its identity.
std::string g_served;
dev_t g_served_dev = 0;
ino_t g_served_ino = 0;
uint64_t g_recorded = 0;

bool dir_identity(const std::string &dir, dev_t *dev, ino_t *ino) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  *dev = st.st_dev;
  *ino = st.st_ino;
  return true;
}

// Replaces every whole occurrence of the served path in text by the name
// the command gave the store.
std::string served_as_named(std::string text) {
  if (g_served.empty() || g_loaded.named.empty() || g_loaded.named == g_served) return text;
  for (size_t at = text.find(g_served); at != std::string::npos;
       at = text.find(g_served, at)) {
    size_t end = at + g_served.size();
    if (end < text.size() && text[end] != '/' && text[end] != ':' && text[end] != ' ') {
      at = end;
      continue;
    }
    text.replace(at, g_served.size(), g_loaded.named);
    at += g_loaded.named.size();
  }
  return text;
}

// The indexes this process's loads set aside, said already.
std::vector<std::string> g_set_aside;

int64_t json_int(yyjson_val *v) {
  if (yyjson_is_uint(v)) return static_cast<int64_t>(yyjson_get_uint(v));
  return yyjson_get_sint(v);
}

void sleep_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

void complain(const std::string &message) {
  fprintf(stderr, "quillmar-clip: %s\n", message.c_str());
  note_complaint(message);
}

std::string library_error() { return served_as_named(clip_last_error()); }

const std::vector<std::string> &set_aside_here() { return g_set_aside; }

void forget_set_aside_here() { g_set_aside.clear(); }

std::string default_store_dir(std::string *error) {
  const char *data = getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/" + kStoreName;
  const char *home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    struct passwd *pw = getpwuid(getuid());
    home = pw != nullptr ? pw->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] == '\0') {
    *error = "no home directory: set HOME or XDG_DATA_HOME, or give --store DIR";
    return "";
  }
  return std::string(home) + "/.local/share/" + kStoreName;
}

std::string resolve_store_dir(const std::string &dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // The existing part resolved (a link to the store, a link among its
  // parents), the rest added as it is written.
  fs::path p = fs::weakly_canonical(fs::path(dir), ec);
  if (ec) {
    // A parent that cannot be searched: the absolute path, as written.
    p = fs::absolute(fs::path(dir), ec);
    if (ec) p = fs::path(dir);
  }
  std::string out = p.lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

StoreLock::~StoreLock() { release(); }

void StoreLock::release() {
  if (fd_ < 0) return;
  if (exclusive_ && g_checked && g_loaded.valid) {
    // Nobody else wrote while the lock was held: whatever the index is now,
    // this process left it so, and the library holds what it says.
    struct stat dir;
    if (fstat(fd_, &dir) == 0 && dir.st_dev == g_loaded.dev && dir.st_ino == g_loaded.ino)
      g_loaded.index = index_id_at(fd_);
  }
  if (exclusive_) g_checked = false;
  close(fd_);
  fd_ = -1;
}

bool StoreLock::acquire(const std::string &dir, bool exclusive, bool create,
                        std::string *error) {
  release();
  if (create) (void)mkdir(dir.c_str(), 0700);
  fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // Nothing to lock: the caller's next step reports why the directory is
  // unusable in its own words.
  if (fd_ < 0) return true;
  int op = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  exclusive_ = exclusive;
  for (int waited = 0;; waited += 20) {
    if (flock(fd_, op) == 0) {
      if (exclusive) g_checked = false;
      return true;
    }
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      *error = "cannot lock " + dir + ": " + strerror(errno);
      release();
      return false;
    }
    if (waited >= 10000) {
      *error = "store is busy: another quillmar-clip has held " + dir + " for 10 s";
      release();
      return false;
    }
    sleep_ms(20);
  }
}

bool open_store(const std::string &dir, StoreLock *lock) {
  std::string error;
  if (!lock->held() && !lock->acquire(dir, true, true, &error)) {
    complain(error);
    return false;
  }
  dev_t dev = 0;
  ino_t ino = 0;
  bool found = dir_identity(dir, &dev, &ino);
  if (g_loaded.valid && found && dev == g_loaded.dev && ino == g_loaded.ino &&
      same_index(index_id(dir), g_loaded.index)) {
    g_loaded.named = dir;
    g_checked = true;
    return true;
  }
  if (!init_store(dir)) return false;
  g_checked = true;
  return true;
}

void forget_loaded_store() { g_loaded.valid = false; }

void serve_store_at(const std::string &canonical) {
  g_served = canonical;
  if (!dir_identity(canonical, &g_served_dev, &g_served_ino)) g_served.clear();
}

std::string as_named(const std::string &path) { return served_as_named(path); }

uint64_t clips_recorded() { return g_recorded; }

bool init_store(const std::string &dir) {
  g_loaded.valid = false;
  g_loaded.named = dir;
  std::vector<std::string> before = set_aside_files(dir);
  dev_t dev = 0;
  ino_t ino = 0;
  bool found = dir_identity(dir, &dev, &ino);
  const std::string &path =
      !g_served.empty() && found && dev == g_served_dev && ino == g_served_ino ? g_served
                                                                               : dir;
  if (!clip_init(path.c_str())) {
    complain(library_error());
    return false;
  }
  // clip_init makes a missing store directory.
  if (found || dir_identity(dir, &dev, &ino)) {
    g_loaded.valid = true;
    g_loaded.dev = dev;
    g_loaded.ino = ino;
    g_loaded.index = index_id(dir);
  }
  for (auto &name : set_aside_files(dir)) {
    if (std::find(before.begin(), before.end(), name) == before.end()) {
      complain(
          "clips.json in " + dir + " was damaged: it was set aside as " + name +
          " and the history starts empty ('quillmar-clip recover' gives its clips back)");
      g_set_aside.push_back(name);
    }
  }
  return true;
}

bool parse_summaries(std::string_view json, std::vector<ClipSummary> *out) {
  Doc doc(yyjson_read(json.data(), json.size(), 0));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_arr(root)) return false;
  size_t idx, max;
  yyjson_val *obj;
  yyjson_arr_foreach(root, idx, max, obj) {
    ClipSummary c;
    c.id = static_cast<int>(json_int(yyjson_obj_get(obj, "id")));
    c.ts = json_int(yyjson_obj_get(obj, "ts"));
    const char *kind = yyjson_get_str(yyjson_obj_get(obj, "kind"));
    c.image = kind != nullptr && strcmp(kind, "image") == 0;
    c.pinned = yyjson_is_true(yyjson_obj_get(obj, "pinned"));
    yyjson_val *preview = yyjson_obj_get(obj, "preview");
    if (yyjson_is_str(preview))
      c.preview.assign(yyjson_get_str(preview), yyjson_get_len(preview));
    c.score = static_cast<int>(json_int(yyjson_obj_get(obj, "score")));
    out->push_back(std::move(c));
  }
  return true;
}

bool all_clips(std::vector<ClipSummary> *out) {
  ClipString list(clip_list(0, INT_MAX));
  if (!list) {
    complain(library_error());
    return false;
  }
  if (!parse_summaries(list.get(), out)) {
    complain("the library's listing is not a JSON array");
    return false;
  }
  return true;
}

namespace {

long monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Repairs a captured text to valid UTF-8 (saying what was replaced) and cuts
// it as the library will, so that comparisons see the bytes it stores.
std::string clean_text(std::string bytes, uint64_t seen, const std::string &origin) {
  if (seen > bytes.size()) bytes.resize(bytes.size() - utf8_unfinished_tail(bytes));
  Utf8Repair r = repair_utf8(bytes);
  char note[300];
  if (r.invalid > 0) {
    snprintf(note, sizeof note,
             "%s was not valid UTF-8: %zu invalid sequence%s replaced with U+FFFD",
             origin.c_str(), r.invalid, r.invalid == 1 ? "" : "s");
    complain(note);
  }
  if (r.nul > 0) {
    snprintf(note, sizeof note, "%s held %zu NUL byte%s, replaced with U+FFFD",
             origin.c_str(), r.nul, r.nul == 1 ? "" : "s");
    complain(note);
  }
  r.text.resize(utf8_cut(r.text, CLIP_TEXT_CAP));
  return std::move(r.text);
}

struct ImageContent {
  std::string path, label;
  bool has_label = false;
};

bool parse_image(const char *json, ImageContent *out) {
  Doc doc(yyjson_read(json, strlen(json), 0));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  yyjson_val *p = yyjson_obj_get(root, "image_path");
  if (!yyjson_is_str(p)) return false;
  out->path.assign(yyjson_get_str(p), yyjson_get_len(p));
  yyjson_val *l = yyjson_obj_get(root, "label");
  out->has_label = yyjson_is_str(l);
  if (out->has_label) out->label.assign(yyjson_get_str(l), yyjson_get_len(l));
  return true;
}

// The newest clip that holds exactly these bytes, or nullptr. The listing's
// previews rule out almost every clip; only those whose preview matches are
// fetched and compared byte for byte. For an image, *twin_label is the
// twin's label.
const ClipSummary *find_twin(const std::vector<ClipSummary> &clips, const Capture &c,
                             ImageContent *twin_image) {
  if (c.kind == ClipKind::text) {
    std::string preview = text_preview(c.bytes);
    for (auto &clip : clips) {
      if (clip.image || clip.preview != preview) continue;
      ClipString got(clip_get(clip.id));
      if (got && std::string_view(got.get()) == c.bytes) return &clip;
    }
    return nullptr;
  }
  std::string start = image_preview_start(c.bytes.size());
  for (auto &clip : clips) {
    if (!clip.image || clip.preview.compare(0, start.size(), start) != 0) continue;
    char next = clip.preview.size() > start.size() ? clip.preview[start.size()] : '\0';
    if (next != ']' && next != ':') continue;
    ClipString got(clip_get(clip.id));
    ImageContent image;
    if (!got || !parse_image(got.get(), &image)) continue;
    struct stat st;
    if (stat(image.path.c_str(), &st) != 0 ||
        static_cast<uint64_t>(st.st_size) != c.bytes.size())
      continue;
    std::string bytes, error;
    if (read_whole_file(image.path, &bytes, &error) && bytes == c.bytes) {
      *twin_image = std::move(image);
      return &clip;
    }
  }
  return nullptr;
}

bool parse_push_result(const char *json, Recorded *out) {
  out->result = json;
  Doc doc(yyjson_read(json, strlen(json), 0));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  out->id = static_cast<int>(json_int(yyjson_obj_get(root, "id")));
  out->dedup = json_int(yyjson_obj_get(root, "dedup")) != 0;
  return true;
}

}  // namespace

Recorder::Recorder(std::string dir, const Config &config)
    : dir_(std::move(dir)), config_(config) {}

Recorder::~Recorder() = default;

void Recorder::wrote() { g_loaded.valid = true; }

bool Recorder::open(StoreLock *held) {
  StoreLock &lock = held != nullptr ? *held : lock_;
  if (open_store(dir_, &lock)) return true;
  if (held == nullptr) lock_.release();
  return false;
}

bool Recorder::record(Capture c, Recorded *out, StoreLock *held) {
  *out = Recorded{};
  if (c.kind == ClipKind::text) {
    c.bytes = clean_text(std::move(c.bytes), c.seen, c.origin);
    // A selection of nothing but blanks is noise in a history; push, which
    // is asked for, records it all the same.
    out->skipped = is_blank_text(c.bytes) ? "it holds only white space"
                                          : config_.skip_reason(c.bytes);
    if (!out->skipped.empty()) return true;
  } else if (c.has_label) {
    c.label = repair_utf8(c.label).text;
  }
  if (!open(held)) return false;
  struct Unlock {
    StoreLock *lock;
    ~Unlock() {
      if (lock != nullptr) lock->release();
    }
  } unlock{held != nullptr ? nullptr : &lock_};
  // Whatever goes wrong below, the next capture loads the store again: a
  // failed write leaves the library's memory ahead of the file.
  forget_loaded_store();

  std::vector<ClipSummary> clips;
  const ClipSummary *twin = nullptr, *doomed = nullptr;
  ImageContent twin_image;
  long now = monotonic_ms();
  // What this capture means for a selection being dragged: a PRIMARY text
  // may give way to its growth only when this selection made it; a capture
  // of another selection that lands on that clip (a Ctrl-C of the selected
  // text) makes it a clip copied on purpose, which stays.
  auto settle_selection = [&](int made) {
    if (c.selection && c.kind == ClipKind::text) {
      selection_id_ = made;
      selection_text_ = c.bytes;
      selection_ms_ = now;
    } else if (selection_id_ != 0 &&
               (out->id == selection_id_ || out->replaced == selection_id_ ||
                out->twin == selection_id_)) {
      selection_id_ = 0;
    }
  };
  bool grows = c.kind == ClipKind::text && c.selection && selection_id_ > 0 &&
               now - selection_ms_ <= kSelectionWindowMs &&
               grows_from(selection_text_, c.bytes);
  if (!config_.keep_duplicates || grows) {
    if (!all_clips(&clips)) return false;
  }
  if (!config_.keep_duplicates) twin = find_twin(clips, c, &twin_image);
  if (twin != nullptr) out->twin = twin->id;
  if (twin != nullptr && twin->pinned) {
    out->id = twin->id;
    out->dedup = out->pinned_twin = true;
    out->result = "{\"id\":" + std::to_string(twin->id) + ",\"dedup\":1}";
    settle_selection(0);
    g_loaded.valid = true;
    return true;
  }
  if (grows) {
    // The id alone is not enough: after a wipe ids start again at 1, and
    // the clip that bears it now may be anything.
    std::string preview = text_preview(selection_text_);
    for (auto &clip : clips) {
      if (clip.id != selection_id_ || clip.pinned || clip.image ||
          clip.preview != preview)
        continue;
      ClipString got(clip_get(clip.id));
      if (got && std::string_view(got.get()) == selection_text_) doomed = &clip;
    }
    out->grown = doomed != nullptr;
  }
  // The newest clip is the library's own repeat: it answers with dedup.
  if (doomed == nullptr && twin != nullptr && twin != &clips.front()) doomed = twin;
  if (c.kind == ClipKind::image && !c.has_label && twin == doomed && doomed != nullptr &&
      twin_image.has_label) {
    // The older copy's label is all that tells what the picture was.
    c.has_label = true;
    c.label = twin_image.label;
  }
  // The new clip goes in first and the one it replaces only once the new
  // one is stored, so that no failure leaves neither. In a full history the
  // push evicts the oldest unpinned clips, as it does for any new clip; when
  // the one to replace is among them, the push alone has replaced it.
  int doomed_id = doomed != nullptr ? doomed->id : 0;
  bool evicted = false;
  if (doomed != nullptr) {
    size_t unpinned = 0;
    for (auto &clip : clips) unpinned += clip.pinned ? 0 : 1;
    size_t excess = unpinned >= size_t{CLIP_MAX_UNPINNED}
                        ? unpinned - (size_t{CLIP_MAX_UNPINNED} - 1)
                        : 0;
    // Newest first: the oldest unpinned clips are at the end.
    for (auto it = clips.rbegin(); it != clips.rend() && excess > 0; ++it) {
      if (it->pinned) continue;
      if (it->id == doomed_id) evicted = true;
      --excess;
    }
  }
  ClipString result;
  if (c.kind == ClipKind::text) {
    result.reset(clip_push_text(c.bytes.c_str()));
  } else {
    // The caller keeps one byte beyond the cap, so an image that is too big
    // is refused by the library in its own words.
    int len = static_cast<int>(std::min(c.bytes.size(), kReadLimit));
    result.reset(clip_push_image(reinterpret_cast<const unsigned char *>(c.bytes.data()),
                                 len, c.has_label ? c.label.c_str() : nullptr));
  }
  if (!result) {
    // The older copy is untouched: it goes only once the new one is stored.
    std::string why = library_error();
    if (doomed_id != 0)
      why += "; clip " + std::to_string(doomed_id) + " stays where it was";
    complain(why);
    return false;
  }
  parse_push_result(result.get(), out);
  // A repeat of the newest clip adds nothing, and so evicts nothing.
  if (out->dedup) evicted = false;
  if (doomed_id != 0 && !evicted && out->id != doomed_id && !clip_delete(doomed_id)) {
    // Both copies are in the history; the next capture loads it again.
    complain("clip " + std::to_string(out->id) + " is stored, but clip " +
             std::to_string(doomed_id) + " could not be deleted: " + library_error());
    settle_selection(0);
    return true;
  }
  if (doomed_id != 0 && out->id != doomed_id) out->replaced = doomed_id;
  // Only a clip this selection made may give way to its growth: one that
  // was there before (a repeat) was copied on purpose.
  settle_selection(!out->dedup && (out->replaced == 0 || out->grown) ? out->id : 0);
  if (!out->dedup) ++g_recorded;
  g_loaded.valid = true;
  return true;
}

bool record_clip(const std::string &dir, ClipKind kind, std::string bytes,
                 uint64_t bytes_seen, const char *origin, Recorded *out) {
  static const Config kDefaults;
  Recorder recorder(dir, kDefaults);
  Capture c;
  c.kind = kind;
  c.bytes = std::move(bytes);
  c.seen = bytes_seen;
  c.origin = origin;
  return recorder.record(std::move(c), out);
}

void print_recorded(const char *name, ClipKind kind, uint64_t seen, bool labelled,
                    const Recorded &rec) {
  if (!rec.skipped.empty()) {
    printf("%s: not recorded, %s\n", name, rec.skipped.c_str());
  } else if (rec.pinned_twin) {
    printf("%s: repeats pinned clip %d\n", name, rec.id);
  } else if (rec.dedup) {
    printf("%s: repeats clip %d\n", name, rec.id);
  } else {
    std::string how;
    if (rec.replaced != 0) {
      how = (rec.grown ? ", grown from clip " : ", moved to the top from clip ") +
            std::to_string(rec.replaced);
    }
    printf("%s: %s clip %d (%llu bytes%s)%s\n", name,
           kind == ClipKind::text ? "text" : "image", rec.id,
           static_cast<unsigned long long>(seen),
           labelled ? ", labelled by its text" : "", how.c_str());
  }
}

}  // namespace host
