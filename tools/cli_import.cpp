#include "cli_import.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <yyjson.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli_process.h"
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

// One clip of the manifest, checked.
struct Entry {
  bool image = false;
  bool pinned = false;
  bool has_label = false;
  std::string file;  // a name inside the export directory
  std::string label;
};

// The manifest names files inside its own directory, nothing else.
bool plain_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

bool valid_text(std::string_view bytes) {
  Utf8Repair r = repair_utf8(bytes);
  return r.invalid == 0 && r.nul == 0;
}

// Checks entry number n (from 1) of the manifest. On failure *why says
// what is wrong with it.
bool parse_entry(yyjson_val *obj, Entry *e, std::string *why) {
  if (!yyjson_is_obj(obj)) {
    *why = "not an object";
    return false;
  }
  const char *kind = yyjson_get_str(yyjson_obj_get(obj, "kind"));
  if (kind == nullptr || (strcmp(kind, "text") != 0 && strcmp(kind, "image") != 0)) {
    *why = "\"kind\" is not \"text\" or \"image\"";
    return false;
  }
  e->image = strcmp(kind, "image") == 0;
  yyjson_val *file = yyjson_obj_get(obj, "file");
  if (!yyjson_is_str(file) ||
      !plain_name(std::string_view(yyjson_get_str(file), yyjson_get_len(file)))) {
    *why = "\"file\" is not the name of a file in the directory";
    return false;
  }
  e->file.assign(yyjson_get_str(file), yyjson_get_len(file));
  yyjson_val *pinned = yyjson_obj_get(obj, "pinned");
  if (pinned != nullptr && !yyjson_is_bool(pinned)) {
    *why = "\"pinned\" is not true or false";
    return false;
  }
  e->pinned = yyjson_is_true(pinned);
  yyjson_val *label = yyjson_obj_get(obj, "label");
  if (label != nullptr) {
    if (!e->image || !yyjson_is_str(label)) {
      *why = "\"label\" is not the text of an image's label";
      return false;
    }
    e->label.assign(yyjson_get_str(label), yyjson_get_len(label));
    if (e->label.find('\0') != std::string::npos) {
      *why = "\"label\" holds a NUL character";
      return false;
    }
    e->has_label = true;
  }
  return true;
}

// Reads an entry's file and checks it as the library would: the bytes of
// an image (1 byte to the cap), or a text in UTF-8 without NUL, no longer
// than the cap. size_field is the manifest's "bytes" (nullptr when absent).
bool read_content(const std::string &dir, const Entry &e, yyjson_val *size_field,
                  std::string *bytes, std::string *why) {
  std::string path = dir + "/" + e.file;
  // Not followed: a link in an export directory could hand over any file
  // the user can read (a key, a password store) as a clip. Non-blocking, so
  // that a FIFO is refused, not waited on.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ELOOP) {
    *why = path + " is not a regular file";
    return false;
  }
  if (fd < 0) {
    *why = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *why = path + " is not a regular file";
    return false;
  }
  uint64_t cap = e.image ? CLIP_IMAGE_CAP : CLIP_TEXT_CAP;
  bytes->clear();
  bool more = false;
  bool ok = static_cast<uint64_t>(st.st_size) <= cap &&
            read_capped(fd, static_cast<size_t>(cap) + 1, bytes, &more, why);
  int saved = errno;
  close(fd);
  if (static_cast<uint64_t>(st.st_size) > cap || bytes->size() > cap) {
    bytes->clear();
    *why = path + " is larger than a clip may be (" + format_bytes(cap) + ")";
    return false;
  }
  if (!ok) {
    *why = "cannot read " + path + ": " + strerror(saved);
    return false;
  }
  if (size_field != nullptr &&
      (!yyjson_is_uint(size_field) || yyjson_get_uint(size_field) != bytes->size())) {
    *why = path + " holds " + std::to_string(bytes->size()) +
           " bytes, not the manifest's \"bytes\"";
    return false;
  }
  if (e.image && bytes->empty()) {
    *why = path + " is empty";
    return false;
  }
  if (!e.image && !valid_text(*bytes)) {
    *why = path + " is not UTF-8 text without NUL bytes";
    return false;
  }
  return true;
}

std::string ordinal_entry(size_t i) { return "entry " + std::to_string(i + 1); }

// Whether entries[0, count) fit beside the clips of the open store, recorded
// from entries[count - 1] (the oldest) to entries[0]: the pin cap, and the
// unpinned cap, past which the library would evict the oldest unpinned
// clips, which an import must not take away unasked. A pinned entry is
// recorded unpinned and pinned only then, so at that moment it needs room
// among the unpinned clips too. Otherwise *why says why ("" when the
// listing failed, after saying so).
bool check_room(const std::vector<Entry> &entries, size_t count, std::string *why) {
  why->clear();
  std::vector<ClipSummary> held;
  if (!all_clips(&held)) return false;
  size_t held_pinned = 0;
  for (auto &c : held) held_pinned += c.pinned ? 1 : 0;
  size_t held_unpinned = held.size() - held_pinned;
  size_t pinned = 0, unpinned = 0;
  // The first pinned entry that would be recorded into a full history: the
  // unpinned entries recorded before it, or SIZE_MAX when there is none.
  size_t squeezed = SIZE_MAX;
  for (size_t k = count; k-- > 0;) {
    if (!entries[k].pinned) {
      ++unpinned;
    } else {
      if (squeezed == SIZE_MAX && held_unpinned + unpinned >= CLIP_MAX_UNPINNED)
        squeezed = unpinned;
      ++pinned;
    }
  }
  if (held_pinned + pinned > CLIP_MAX_PINNED) {
    *why = "its " + std::to_string(pinned) + " pinned clips and the history's " +
           std::to_string(held_pinned) + " are more than the " +
           std::to_string(CLIP_MAX_PINNED) + " that may be pinned";
    return false;
  }
  if (held_unpinned + unpinned > CLIP_MAX_UNPINNED) {
    *why = "its " + std::to_string(unpinned) + " unpinned clips and the history's " +
           std::to_string(held_unpinned) + " are more than the " +
           std::to_string(CLIP_MAX_UNPINNED) + " kept, so the oldest " +
           std::to_string(held_unpinned + unpinned - CLIP_MAX_UNPINNED) +
           " would be evicted; wipe, delete or expire clips first";
    return false;
  }
  if (squeezed != SIZE_MAX) {
    *why =
        "a pinned clip is recorded unpinned before it is pinned, and the history's " +
        std::to_string(held_unpinned) + " unpinned clips" +
        (squeezed > 0 ? " and the " + std::to_string(squeezed) + " imported before it"
                      : std::string()) +
        " leave it no room among the " + std::to_string(CLIP_MAX_UNPINNED) +
        " kept, so the oldest would be evicted; delete or expire an unpinned clip first";
    return false;
  }
  return true;
}

// Reports, in one line, an import that stopped at file (why: "" when it
// was said already) after recording the clips in done: exit status 1.
int stopped(const std::string &file, const std::string &why,
            const std::vector<std::string> &done, size_t total) {
  std::string line = "import stopped at " + file + (why.empty() ? "" : ": " + why) + "; ";
  if (done.empty()) {
    line += "nothing was imported";
  } else {
    std::string list;
    for (auto &d : done) list += (list.empty() ? "" : ", ") + d;
    line += "imported " + std::to_string(done.size()) + " of " + std::to_string(total) +
            " clips, oldest first: " + list;
  }
  complain(line);
  return 1;
}

}  // namespace

int cmd_import(const std::string &store, const std::string &dir) {
  std::string manifest_path = dir + "/manifest.json", raw, error;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return fail("cannot import " + dir + ": not a directory");
  if (stat(manifest_path.c_str(), &st) != 0) {
    return fail("cannot import " + dir +
                ": it holds no manifest.json (a directory written by 'quillmar-clip "
                "export' does)");
  }
  if (!read_whole_file(manifest_path, &raw, &error)) return fail(error);
  yyjson_read_err err;
  Doc doc(yyjson_read_opts(raw.data(), raw.size(), 0, nullptr, &err));
  if (!doc) {
    return fail(manifest_path + " is not JSON: " + err.msg + " at byte " +
                std::to_string(err.pos));
  }
  yyjson_val *clips = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "clips");
  if (!yyjson_is_arr(clips))
    return fail(manifest_path + " is not an export manifest: it has no \"clips\" list");

  // Everything is checked before the first clip is recorded, so that a
  // refused import leaves the history as it was.
  std::vector<Entry> entries;
  size_t idx, max, pinned = 0;
  yyjson_val *obj;
  yyjson_arr_foreach(clips, idx, max, obj) {
    Entry e;
    std::string why, bytes;
    if (!parse_entry(obj, &e, &why) ||
        !read_content(dir, e, yyjson_obj_get(obj, "bytes"), &bytes, &why)) {
      return fail("cannot import " + dir + ": manifest.json, " + ordinal_entry(idx) +
                  ": " + why + "; nothing was imported");
    }
    pinned += e.pinned ? 1 : 0;
    entries.push_back(std::move(e));
  }
  if (entries.empty())
    return fail("nothing to import: " + manifest_path + " lists no clips");

  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  std::string why;
  if (!check_room(entries, entries.size(), &why)) {
    return fail(why.empty()
                    ? std::string("nothing was imported")
                    : "cannot import " + dir + ": " + why + "; nothing was imported");
  }

  // Oldest first: the manifest lists the newest first.
  std::vector<std::string> done;  // "<file> as <id>", in the order recorded
  int first_id = 0, last_id = 0;
  bool contiguous = true;
  size_t merged = 0;
  int64_t locked_at = now_ms();
  for (size_t k = entries.size(); k-- > 0;) {
    const Entry &e = entries[k];
    // Recording every clip takes a write of the index each, seconds for a
    // large export: a watcher waiting for the lock would give up after ten,
    // so it gets a turn every two. What it records meanwhile is a capture
    // like any other (in a full history it evicts the oldest clip).
    if (k + 1 < entries.size() && now_ms() - locked_at >= 2000) {
      lock.release();
      sleep_ms(100);
      if (!open_store(store, &lock)) return stopped(e.file, "", done, entries.size());
      // What the watcher recorded meanwhile takes room counted on: the
      // clips still to go must fit again, or they would evict the user's.
      if (!check_room(entries, k + 1, &why))
        return stopped(e.file, why, done, entries.size());
      locked_at = now_ms();
    }
    std::string bytes;
    ClipString result;
    if (read_content(dir, e, nullptr, &bytes, &why)) {
      if (e.image) {
        result.reset(clip_push_image(
            reinterpret_cast<const unsigned char *>(bytes.data()),
            static_cast<int>(bytes.size()), e.has_label ? e.label.c_str() : nullptr));
      } else {
        result.reset(clip_push_text(bytes.c_str()));
      }
      if (!result) why = library_error();
    }
    if (!result) return stopped(e.file, why, done, entries.size());
    Doc r(yyjson_read(result.get(), strlen(result.get()), 0));
    yyjson_val *root = r ? yyjson_doc_get_root(r.get()) : nullptr;
    int id = static_cast<int>(yyjson_get_sint(yyjson_obj_get(root, "id")));
    bool dedup = yyjson_get_sint(yyjson_obj_get(root, "dedup")) != 0;
    if (e.pinned && !clip_pin(id, 1)) {
      why = library_error();
      // The clip itself is in; only its pin is missing.
      done.push_back(e.file + " as " + std::to_string(id) + " (not pinned)");
      return stopped(e.file, why, done, entries.size());
    }
    done.push_back(e.file + " as " + std::to_string(id));
    if (dedup) {
      ++merged;
    } else {
      if (first_id != 0 && id != last_id + 1) contiguous = false;
      if (first_id == 0) first_id = id;
      last_id = id;
    }
  }
  std::string n =
      std::to_string(entries.size()) + (entries.size() == 1 ? " clip" : " clips");
  std::string ids;
  if (first_id != 0 && first_id == last_id) {
    ids = " as id " + std::to_string(first_id);
  } else if (first_id != 0 && contiguous) {
    ids = " as ids " + std::to_string(first_id) + "-" + std::to_string(last_id);
  } else if (first_id != 0) {
    ids = " as ids from " + std::to_string(first_id) + " to " + std::to_string(last_id) +
          ", among clips recorded meanwhile";
  }
  std::string line =
      "imported " + n + " from " + dir + ids + " (" + std::to_string(pinned) + " pinned)";
  if (merged > 0) {
    line += "; " + std::to_string(merged) +
            (merged == 1 ? " repeated the clip before it and was"
                         : " repeated the clip before them and were") +
            " merged with it";
  }
  line += "; their times are the time of the import\n";
  if (!write_stdout(line))
    return fail(std::string("cannot write to standard output: ") + strerror(errno));
  return 0;
}

}  // namespace host
