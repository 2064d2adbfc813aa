#include "cli_layout.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "cli_text.h"
#include "cli_util.h"
#include "quillmar_clip.h"

namespace host {
namespace {

constexpr char kIndexName[] = "clips.json";

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

}  // namespace

// --- file names --------------------------------------------------------------

std::string index_path(const std::string &dir) { return dir + "/" + kIndexName; }

std::string image_file_name(int id) { return "img_" + std::to_string(id) + ".png"; }

StoreFile classify_store_file(std::string_view name, int *image_id) {
  if (name == kIndexName) return StoreFile::index;
  if (name == "clips.json.tmp") return StoreFile::index_tmp;
  if (starts_with(name, kSetAsidePrefix)) return StoreFile::corrupt;
  if (!starts_with(name, "img_")) return StoreFile::other;
  std::string_view rest = name.substr(4);
  size_t i = rest.size() > 0 && rest[0] == '-' ? 1 : 0;
  size_t digits = i;
  while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
  if (digits == i || digits - i > 10) return StoreFile::other;
  std::string_view suffix = rest.substr(digits);
  StoreFile kind;
  if (suffix == ".png") {
    kind = StoreFile::image;
  } else if (suffix == ".png.tmp") {
    kind = StoreFile::image_tmp;
  } else {
    return StoreFile::other;
  }
  long long id = strtoll(std::string(rest.substr(0, digits)).c_str(), nullptr, 10);
  if (id < INT_MIN || id > INT_MAX) return StoreFile::other;
  if (image_id != nullptr) *image_id = static_cast<int>(id);
  return kind;
}

bool list_files(const std::string &dir, std::vector<std::string> *names,
                std::vector<std::string> *subdirs) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return false;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    bool is_dir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      is_dir = fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISDIR(st.st_mode);
    }
    if (is_dir) {
      if (subdirs != nullptr) subdirs->push_back(e->d_name);
    } else {
      names->push_back(e->d_name);
    }
  }
  closedir(d);
  std::sort(names->begin(), names->end());
  if (subdirs != nullptr) std::sort(subdirs->begin(), subdirs->end());
  return true;
}

std::vector<std::string> set_aside_files(const std::string &dir) {
  std::vector<std::string> names, out;
  if (!list_files(dir, &names)) return out;
  for (auto &n : names) {
    if (classify_store_file(n) == StoreFile::corrupt) out.push_back(n);
  }
  return out;
}

// --- the index's identity ----------------------------------------------------

namespace {

// The identity of the index at dir_fd/name (dir_fd may be AT_FDCWD).
IndexId identity_at(int dir_fd, const char *name) {
  struct stat st;
  int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0 ? fstatat(dir_fd, name, &st, 0) != 0 : fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    return {};
  }
  int generation = 0;
  if (fd >= 0 && ioctl(fd, FS_IOC_GETVERSION, &generation) != 0) generation = 0;
  if (fd >= 0) close(fd);
  return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim, generation};
}

bool same_time(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

IndexId index_id(const std::string &dir) {
  return identity_at(AT_FDCWD, index_path(dir).c_str());
}

IndexId index_id_at(int dir_fd) { return identity_at(dir_fd, kIndexName); }

bool same_index(const IndexId &a, const IndexId &b) {
  return a.exists && b.exists && a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
         same_time(a.mtime, b.mtime) && same_time(a.ctime, b.ctime) &&
         a.generation == b.generation;
}

// --- the index's contents ----------------------------------------------------

namespace {

// The low 32 bits of a JSON integer, as the library reads an id.
int low32(yyjson_val *v) {
  uint64_t raw =
      yyjson_is_uint(v) ? yyjson_get_uint(v) : static_cast<uint64_t>(yyjson_get_sint(v));
  return static_cast<int>(static_cast<uint32_t>(raw));
}

// The loader's rules: the root an object with a "clips" array; members of
// it that are not objects are passed over; an entry without an integer
// "id" or with a "kind" other than "text" and "image" damages the index.
// Nothing else does: other members of the wrong type are read as their
// defaults, and ids that repeat or lie beyond "next_id" are loaded as they
// are (next_id is raised above them).
bool judge_index(yyjson_doc *doc, std::vector<IndexedClip> *clips) {
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (!yyjson_is_obj(root) || yyjson_obj_size(root) == 0) return false;
  yyjson_val *list = yyjson_obj_get(root, "clips");
  if (!yyjson_is_arr(list)) return false;
  size_t i, max;
  yyjson_val *item;
  yyjson_arr_foreach(list, i, max, item) {
    if (!yyjson_is_obj(item)) continue;
    yyjson_val *id = yyjson_obj_get(item, "id");
    if (!yyjson_is_int(id)) return false;
    yyjson_val *kind = yyjson_obj_get(item, "kind");
    bool image = yyjson_equals_str(kind, "image");
    if (!image && !yyjson_equals_str(kind, "text")) return false;
    yyjson_val *preview = yyjson_obj_get(item, "preview");
    clips->push_back({low32(id), image,
                      yyjson_is_str(preview)
                          ? std::string(yyjson_get_str(preview), yyjson_get_len(preview))
                          : std::string()});
  }
  return true;
}

}  // namespace

bool read_index(const std::string &dir, std::vector<IndexedClip> *clips, bool *damaged,
                std::string *error) {
  clips->clear();
  *damaged = false;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    *error = "no store at " + dir + ": " + strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = "store_dir is not a directory: " + dir;
    return false;
  }
  std::string path = index_path(dir);
  // Non-blocking, so that a FIFO in the index's place cannot hang the read.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    *error = std::string("failed to open clips.json: ") + strerror(errno);
    return false;
  }
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *error = "clips.json is not a regular file: " + path;
    return false;
  }
  // Parsed in place, as the library does; yyjson wants a few zero bytes
  // after the text.
  size_t size = static_cast<size_t>(st.st_size);
  std::unique_ptr<char[]> buf(new (std::nothrow) char[size + YYJSON_PADDING_SIZE]);
  if (!buf) {
    close(fd);
    *error = "out of memory";
    return false;
  }
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, buf.get() + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::string("failed to read clips.json: ") + strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (got == 0) return true;
  memset(buf.get() + got, 0, YYJSON_PADDING_SIZE);
  yyjson_read_err rerr;
  Doc doc(yyjson_read_opts(buf.get(), got, YYJSON_READ_INSITU, nullptr, &rerr));
  if (!doc && rerr.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
    *error = "out of memory";
    return false;
  }
  if (!doc || !judge_index(doc.get(), clips)) {
    clips->clear();
    *damaged = true;
  }
  return true;
}

// --- previews ----------------------------------------------------------------

std::string text_preview(std::string_view text) {
  constexpr size_t kPreview = CLIP_PREVIEW_CHARS;
  bool cut = text.size() > kPreview;
  std::string out(text.substr(0, cut ? utf8_cut(text, kPreview - 3) : text.size()));
  for (char &c : out) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  if (cut) out += "...";
  return out;
}

std::string image_preview_start(size_t len) {
  return "[image " + std::to_string(len) + " bytes";
}

}  // namespace host
