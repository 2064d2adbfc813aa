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
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli_layout.h"
#include "cli_notify.h"
#include "cli_process.h"
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

namespace {
uint64_t g_epoch = 0;
}  // namespace

uint64_t store_epoch() { return g_epoch; }

void next_store_epoch() { ++g_epoch; }

void serve_store_at(const std::string &canonical) {
  g_served = canonical;
  if (!dir_identity(canonical, &g_served_dev, &g_served_ino)) g_served.clear();
}

std::string as_named(const std::string &path) { return served_as_named(path); }

void trust_loaded_store() { g_loaded.valid = true; }

bool init_store(const std::string &dir) {
  g_loaded.valid = false;
  next_store_epoch();
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

}  // namespace host
