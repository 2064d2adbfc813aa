// An independent model of the history, for the tests that check what survives
// crashes and failures: the clips as the host was told they are stored, the
// rules by which each change applies to them, the reading of a push's
// answer, and two readers of the real state (the list in memory, and the
// index on disk read with yyjson alone, bypassing the library's loader).
#ifndef QUILLMAR_TEST_HISTORY_MODEL_H
#define QUILLMAR_TEST_HISTORY_MODEL_H

#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <yyjson.h>

#include "clip_hash.h"
#include "clip_store.h"
#include "clip_utf8.h"
#include "quillmar_clip.h"

namespace model {

// Points TMPDIR at /dev/shm when it is a writable directory and the variable
// named `opt_out` is not set. Tests that write thousands of small files, each
// forced to the disk, then spend their time on the checks instead of the
// disk; a process killed with SIGKILL leaves the page cache as it was, so a
// memory file system keeps every effect that such a test looks for.
inline bool prefer_memory_fs(const char *opt_out) {
#if defined(_WIN32)
  static_cast<void>(opt_out);
  return false;
#else
  struct stat st;
  if (getenv(opt_out) == nullptr && stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) &&
      access("/dev/shm", W_OK) == 0) {
    setenv("TMPDIR", "/dev/shm", 1);
    return true;
  }
  return false;
#endif
}

struct Clip {
  int id = 0;
  int kind = CLIP_KIND_TEXT;
  int pinned = 0;
  std::string hash;
  int truncated = 0;
  std::string text;        // text clips
  bool has_label = false;  // image clips
  std::string label;
  std::string preview;     // only in states read back from the library
  std::string bytes;       // image clips, only in the model
};

struct History {
  int next_id = 1;
  std::vector<Clip> clips;
};

// What a call answered: ok, the id of a push, and whether it was a repeat.
struct Outcome {
  bool ok = false;
  int id = 0;
  bool dedup = false;
};

// A push as the host reads its answer ({"id":7,"dedup":0}, {"id":8},
// {"id":7,"dedup":1}, or null for a failure); releases the answer.
inline Outcome answer_of(char *answer) {
  Outcome o;
  if (answer == nullptr) return o;
  o.ok = true;
  yyjson_doc *doc = yyjson_read(answer, strlen(answer), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  o.id = static_cast<int>(yyjson_get_int(yyjson_obj_get(root, "id")));
  o.dedup = yyjson_get_int(yyjson_obj_get(root, "dedup")) == 1;
  yyjson_doc_free(doc);
  clip_free_string(answer);
  return o;
}

inline std::string fingerprint(const std::string &bytes) {
  char h[CLIP_HASH_CHARS];
  clip_hash_bytes(bytes.data(), bytes.size(), h);
  return h;
}

inline int find(const History &h, int id) {
  for (size_t i = 0; i < h.clips.size(); ++i) {
    if (h.clips[i].id == id) return static_cast<int>(i);
  }
  return -1;
}

inline int count_pinned(const History &h) {
  int n = 0;
  for (const Clip &c : h.clips) n += c.pinned != 0;
  return n;
}

// A capture: the repeat of the newest clip, the id running out, eviction
// down to 499 unpinned clips, and the id. The clip is appended
// when the answer is a new id.
inline Outcome capture(History &h, Clip c) {
  if (!h.clips.empty() && h.clips.back().hash == c.hash) {
    return {true, h.clips.back().id, true};
  }
  if (h.next_id == INT_MAX) return {};
  int unpinned = static_cast<int>(h.clips.size()) - count_pinned(h);
  while (unpinned >= CLIP_MAX_UNPINNED) {
    size_t i = 0;
    while (i < h.clips.size() && h.clips[i].pinned) ++i;
    if (i == h.clips.size()) return {};
    h.clips.erase(h.clips.begin() + static_cast<long>(i));
    --unpinned;
  }
  c.id = h.next_id++;
  h.clips.push_back(c);
  return {true, c.id, false};
}

inline Outcome push_text(History &h, const std::string &text) {
  size_t stored = text.size();
  Clip c;
  if (stored > CLIP_TEXT_CAP) {
    stored = clip_utf8_cut(text.c_str(), CLIP_TEXT_CAP);
    c.truncated = 1;
  }
  if (!clip_utf8_valid(text.data(), stored)) return {};
  c.text = text.substr(0, stored);
  c.hash = fingerprint(c.text);
  return capture(h, c);
}

inline Outcome push_image(History &h, const std::string &bytes, const char *label) {
  if (bytes.empty() || bytes.size() > CLIP_IMAGE_CAP) return {};
  if (label != nullptr && !clip_utf8_valid(label, strlen(label))) return {};
  Clip c;
  c.kind = CLIP_KIND_IMAGE;
  c.bytes = bytes;
  c.hash = fingerprint(bytes);
  c.has_label = label != nullptr;
  if (label != nullptr) c.label = label;
  return capture(h, c);
}

inline Outcome pin(History &h, int id, int pinned) {
  int i = find(h, id);
  if (i < 0) return {};
  Clip &c = h.clips[static_cast<size_t>(i)];
  if (pinned != 0 && c.pinned == 0 && count_pinned(h) >= CLIP_MAX_PINNED) return {};
  c.pinned = pinned != 0;
  return {true, 0, false};
}

inline Outcome remove(History &h, int id) {
  int i = find(h, id);
  if (i < 0) return {};
  h.clips.erase(h.clips.begin() + i);
  return {true, 0, false};
}

inline Outcome wipe(History &h) {
  h = History{};
  return {true, 0, false};
}

// ---------------------------------------------------------------------------
// Reading the real state

inline History from_store(const clip_store &s) {
  History h;
  h.next_id = s.next_id;
  for (int i = 0; i < s.count; ++i) {
    const clip_entry &e = s.entries[i];
    Clip c;
    c.id = e.id;
    c.kind = e.kind;
    c.pinned = e.pinned != 0;
    c.hash = e.hash;
    c.truncated = e.truncated != 0;
    if (e.text != nullptr) c.text.assign(e.text, e.text_len);
    c.has_label = e.label != nullptr;
    if (e.label != nullptr) c.label = e.label;
    if (e.preview != nullptr) c.preview = e.preview;
    h.clips.push_back(c);
  }
  return h;
}

struct Disk {
  enum State { MISSING, DAMAGED, OK } state = MISSING;
  std::string why;  // for DAMAGED
  History history;
};

inline std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Reads "clips.json" the way a strict outside reader would: exactly the
// shape the library writes (members, order and types), nothing else.
inline Disk read_index(const std::string &dir) {
  Disk d;
  std::string path = dir + "/clips.json";
  struct stat st;
#if defined(_WIN32)  // no symbolic links to tell apart there
  if (stat(path.c_str(), &st) != 0) return d;
#else
  if (lstat(path.c_str(), &st) != 0) return d;
#endif
  std::string bytes = slurp(path);
  auto damaged = [&](const std::string &why) {
    d.state = Disk::DAMAGED;
    d.why = why;
    return d;
  };
  yyjson_doc *doc = yyjson_read(bytes.data(), bytes.size(), 0);
  if (doc == nullptr) return damaged("not JSON: " + bytes.substr(0, 200));
  struct doc_guard {
    yyjson_doc *doc;
    ~doc_guard() { yyjson_doc_free(doc); }
  } guard{doc};
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (!yyjson_is_obj(root) || yyjson_obj_size(root) != 2) return damaged("root");
  yyjson_val *next = yyjson_obj_get(root, "next_id");
  yyjson_val *clips = yyjson_obj_get(root, "clips");
  if (!yyjson_is_int(next) || !yyjson_is_arr(clips)) return damaged("root members");
  d.history.next_id = static_cast<int>(yyjson_get_sint(next));
  size_t i, max;
  yyjson_val *item;
  yyjson_arr_foreach(clips, i, max, item) {
    static const char *const keys[] = {"id", "ts", "kind", "preview", "pinned", "hash",
                                       "truncated"};
    if (!yyjson_is_obj(item)) return damaged("entry not an object");
    size_t k = 0, kmax;
    yyjson_val *key, *val;
    Clip c;
    bool has_text = false;
    yyjson_obj_foreach(item, k, kmax, key, val) {
      const char *name = yyjson_get_str(key);
      if (k < 7) {
        if (strcmp(name, keys[k]) != 0) return damaged(std::string("member ") + name);
      } else if (k > 7) {
        return damaged("too many members");
      }
      if (strcmp(name, "id") == 0 && yyjson_is_int(val)) {
        c.id = static_cast<int>(yyjson_get_sint(val));
      } else if (strcmp(name, "ts") == 0 && yyjson_is_int(val)) {
      } else if (strcmp(name, "kind") == 0 && yyjson_is_str(val)) {
        if (yyjson_equals_str(val, "image")) {
          c.kind = CLIP_KIND_IMAGE;
        } else if (!yyjson_equals_str(val, "text")) {
          return damaged("kind");
        }
      } else if (strcmp(name, "preview") == 0 && yyjson_is_str(val)) {
        c.preview.assign(yyjson_get_str(val), yyjson_get_len(val));
      } else if (strcmp(name, "pinned") == 0 && yyjson_is_bool(val)) {
        c.pinned = yyjson_get_bool(val);
      } else if (strcmp(name, "hash") == 0 && yyjson_is_str(val)) {
        c.hash = yyjson_get_str(val);
      } else if (strcmp(name, "truncated") == 0 && yyjson_is_bool(val)) {
        c.truncated = yyjson_get_bool(val);
      } else if (strcmp(name, "text") == 0 && yyjson_is_str(val)) {
        c.text.assign(yyjson_get_str(val), yyjson_get_len(val));
        has_text = true;
      } else if (strcmp(name, "label") == 0 && yyjson_is_str(val)) {
        c.label.assign(yyjson_get_str(val), yyjson_get_len(val));
        c.has_label = true;
      } else {
        return damaged(std::string("member ") + name);
      }
    }
    if (kmax < 7 || has_text != (c.kind == CLIP_KIND_TEXT) ||
        (c.has_label && c.kind != CLIP_KIND_IMAGE)) {
      return damaged("entry " + std::to_string(c.id) + " members");
    }
    d.history.clips.push_back(c);
  }
  d.state = Disk::OK;
  return d;
}

// ---------------------------------------------------------------------------
// Comparing

inline std::string describe(const Clip &c) {
  std::ostringstream o;
  o << "{id " << c.id << (c.kind == CLIP_KIND_IMAGE ? " image" : " text")
    << (c.pinned ? " pinned" : "") << (c.truncated ? " truncated" : "") << " hash " << c.hash;
  if (c.kind == CLIP_KIND_TEXT) o << " text(" << c.text.size() << ")";
  if (c.has_label) o << " label \"" << c.label.substr(0, 40) << "\"";
  o << "}";
  return o.str();
}

// "" when the two states hold the same clips in the same order (previews
// compared only when both sides have read them) and the same next id.
inline std::string diff(const History &want, const History &got, bool previews = false) {
  std::ostringstream o;
  if (want.next_id != got.next_id) {
    o << "next_id " << want.next_id << " != " << got.next_id << "; ";
  }
  if (want.clips.size() != got.clips.size()) {
    o << want.clips.size() << " clips != " << got.clips.size() << "; ";
  }
  size_t n = std::min(want.clips.size(), got.clips.size());
  for (size_t i = 0; i < n; ++i) {
    const Clip &a = want.clips[i];
    const Clip &b = got.clips[i];
    if (a.id != b.id || a.kind != b.kind || a.pinned != b.pinned || a.hash != b.hash ||
        a.truncated != b.truncated || a.text != b.text || a.has_label != b.has_label ||
        a.label != b.label || (previews && a.preview != b.preview)) {
      o << "at " << i << ": " << describe(a) << " != " << describe(b) << "; ";
      break;
    }
  }
  return o.str();
}

// "" when every image clip of h has its file in dir with exactly its bytes
// (h must come from the model, which knows the bytes).
inline std::string check_images(const std::string &dir, const History &h) {
  for (const Clip &c : h.clips) {
    if (c.kind != CLIP_KIND_IMAGE) continue;
    std::string path = dir + "/img_" + std::to_string(c.id) + ".png";
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "missing " + path;
    if (slurp(path) != c.bytes) return "wrong bytes in " + path;
  }
  return "";
}

// The next_id of a history that starts afresh in dir (its index missing or
// damaged): one above the highest image file "img_<id>.png" left there, so
// that no new clip takes a leftover's name; 1 when there is none.
inline int fresh_next_id(const std::string &dir) {
  long long highest = 0;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      const char *name = e->d_name;
      if (strncmp(name, "img_", 4) != 0 || name[4] < '1' || name[4] > '9') continue;
      char *end = nullptr;
      long long id = strtoll(name + 4, &end, 10);
      if (strcmp(end, ".png") == 0 && id <= INT_MAX) highest = std::max(highest, id);
    }
    closedir(d);
  }
  return highest < INT_MAX ? static_cast<int>(highest) + 1 : INT_MAX;
}

// "" when every image clip that the index on disk in dir names has its file:
// what the library promises after every failure, not only after a crash.
inline std::string check_named_images(const std::string &dir) {
  Disk d = read_index(dir);
  if (d.state != Disk::OK) return "";
  for (const Clip &c : d.history.clips) {
    if (c.kind != CLIP_KIND_IMAGE) continue;
    std::string path = dir + "/img_" + std::to_string(c.id) + ".png";
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "the index names a missing " + path;
  }
  return "";
}

}  // namespace model

#endif  // QUILLMAR_TEST_HISTORY_MODEL_H
