#include "cli_export_import.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <yyjson.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli_commands.h"
#include "cli_layout.h"
#include "cli_process.h"
#include "cli_store.h"
#include "cli_text.h"
#include "cli_util.h"
#include "quillmar_clip.h"

namespace host {
namespace {

// The export directory: a file for each clip (file_name) and manifest.json,
// which lists the clips newest first:
//
//   {
//     "store": "/home/ann/.local/share/quillmar-clipboard-history",
//     "exported": 1767225600,
//     "clips": [
//       {"id": 12, "ts": 1767225540, "kind": "image", "pinned": true,
//        "preview": "[image 48213 bytes: login page]", "file": "image-12.png",
//        "bytes": 48213, "label": "login page"},
//       {"id": 11, "ts": 1767225480, "kind": "text", "pinned": false,
//        "preview": "meet at 10:30", "file": "text-11.txt", "bytes": 13}
//     ]
//   }
//
// export writes every member ("label" only for an image that has one).
// import needs "clips" and, of each entry, "kind" and "file"; it takes
// "pinned" (false when absent) and "label" (images only), checks the file's
// size against "bytes" when there is one, and ignores the rest, so an entry
// written by hand needs no id, time or preview.
namespace manifest {
constexpr char kName[] = "manifest.json";
constexpr char kStore[] = "store";
constexpr char kExported[] = "exported";
constexpr char kClips[] = "clips";
// The members of an entry of "clips".
constexpr char kId[] = "id";
constexpr char kTs[] = "ts";
constexpr char kKind[] = "kind";
constexpr char kPinned[] = "pinned";
constexpr char kPreview[] = "preview";
constexpr char kFile[] = "file";
constexpr char kBytes[] = "bytes";
constexpr char kLabel[] = "label";
// The values of "kind".
constexpr char kText[] = "text";
constexpr char kImage[] = "image";

// The file export writes clip id into.
std::string file_name(bool image, int id) {
  return (image ? "image-" : "text-") + std::to_string(id) + (image ? ".png" : ".txt");
}

// A name as the messages about the manifest quote it: "kind".
std::string quoted(const char *name) { return std::string("\"") + name + "\""; }
}  // namespace manifest

int fail(const std::string &message) {
  complain(message);
  return 1;
}

// The same for the steps that answer true or false: always false.
bool failed(const std::string &message) {
  complain(message);
  return false;
}

int print_line(const std::string &s) {
  if (!write_stdout(s + "\n"))
    return fail(std::string("cannot write to standard output: ") + strerror(errno));
  return 0;
}

// ---- export ----

// Makes dir ready to export into: an empty directory, made with its
// parents when missing. False after saying why not.
bool prepare_export_dir(const std::string &dir) {
  struct stat st;
  std::string error;
  if (stat(dir.c_str(), &st) == 0) {
    std::vector<std::string> names, subdirs;
    if (!S_ISDIR(st.st_mode)) return failed("export target is not a directory: " + dir);
    if (!list_files(dir, &names, &subdirs))
      return failed("cannot read " + dir + ": " + strerror(errno));
    if (!names.empty() || !subdirs.empty())
      return failed("export directory is not empty: " + dir);
    return true;
  }
  if (!make_parents(dir, &error)) return failed(error);
  if (mkdir(dir.c_str(), 0700) != 0)
    return failed("cannot create " + dir + ": " + strerror(errno));
  return true;
}

// The entry of "clips" that describes clip c, exported as file.
yyjson_mut_val *manifest_entry(yyjson_mut_doc *d, const ClipSummary &c,
                               const ClipContent &content, const std::string &file) {
  using namespace manifest;
  yyjson_mut_val *o = yyjson_mut_obj(d);
  yyjson_mut_obj_add_int(d, o, kId, c.id);
  yyjson_mut_obj_add_int(d, o, kTs, c.ts);
  yyjson_mut_obj_add_str(d, o, kKind, c.image ? kImage : kText);
  yyjson_mut_obj_add_bool(d, o, kPinned, c.pinned);
  yyjson_mut_obj_add_strncpy(d, o, kPreview, c.preview.data(), c.preview.size());
  yyjson_mut_obj_add_strncpy(d, o, kFile, file.data(), file.size());
  yyjson_mut_obj_add_uint(d, o, kBytes, content.bytes.size());
  if (content.has_label) {
    yyjson_mut_obj_add_strncpy(d, o, kLabel, content.label.data(), content.label.size());
  }
  return o;
}

// Writes the manifest d into dir. False after saying why not.
bool write_manifest(const std::string &dir, yyjson_mut_doc *d) {
  size_t len = 0;
  char *text = yyjson_mut_write(d, YYJSON_WRITE_PRETTY, &len);
  if (text == nullptr) return failed("cannot serialize the manifest");
  std::string bytes(text, len);
  free(text);
  bytes += "\n";
  std::string error;
  if (!write_whole_file(dir + "/" + manifest::kName, bytes, 0600, &error))
    return failed(error);
  return true;
}

// ---- import ----

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

// Checks an entry of the manifest. On failure *why says what is wrong with
// it.
bool parse_entry(yyjson_val *obj, Entry *e, std::string *why) {
  using namespace manifest;
  if (!yyjson_is_obj(obj)) {
    *why = "not an object";
    return false;
  }
  const char *kind = yyjson_get_str(yyjson_obj_get(obj, kKind));
  if (kind == nullptr || (strcmp(kind, kText) != 0 && strcmp(kind, kImage) != 0)) {
    *why = quoted(kKind) + " is not " + quoted(kText) + " or " + quoted(kImage);
    return false;
  }
  e->image = strcmp(kind, kImage) == 0;
  yyjson_val *file = yyjson_obj_get(obj, kFile);
  if (!yyjson_is_str(file) ||
      !plain_name(std::string_view(yyjson_get_str(file), yyjson_get_len(file)))) {
    *why = quoted(kFile) + " is not the name of a file in the directory";
    return false;
  }
  e->file.assign(yyjson_get_str(file), yyjson_get_len(file));
  yyjson_val *pinned = yyjson_obj_get(obj, kPinned);
  if (pinned != nullptr && !yyjson_is_bool(pinned)) {
    *why = quoted(kPinned) + " is not true or false";
    return false;
  }
  e->pinned = yyjson_is_true(pinned);
  yyjson_val *label = yyjson_obj_get(obj, kLabel);
  if (label != nullptr) {
    if (!e->image || !yyjson_is_str(label)) {
      *why = quoted(kLabel) + " is not the text of an image's label";
      return false;
    }
    e->label.assign(yyjson_get_str(label), yyjson_get_len(label));
    if (e->label.find('\0') != std::string::npos) {
      *why = quoted(kLabel) + " holds a NUL character";
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
           " bytes, not the manifest's " + manifest::quoted(manifest::kBytes);
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

// The manifest of dir, parsed, and its list of clips. False after saying
// why not.
bool open_manifest(const std::string &dir, Doc *doc, yyjson_val **clips) {
  std::string path = dir + "/" + manifest::kName, raw, error;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return failed("cannot import " + dir + ": not a directory");
  if (stat(path.c_str(), &st) != 0) {
    return failed("cannot import " + dir + ": it holds no " + manifest::kName +
                  " (a directory written by 'quillmar-clip export' does)");
  }
  if (!read_whole_file(path, &raw, &error)) return failed(error);
  yyjson_read_err err;
  doc->reset(yyjson_read_opts(raw.data(), raw.size(), 0, nullptr, &err));
  if (!*doc) {
    return failed(path + " is not JSON: " + err.msg + " at byte " +
                  std::to_string(err.pos));
  }
  *clips = yyjson_obj_get(yyjson_doc_get_root(doc->get()), manifest::kClips);
  if (!yyjson_is_arr(*clips)) {
    return failed(path + " is not an export manifest: it has no " +
                  manifest::quoted(manifest::kClips) + " list");
  }
  return true;
}

// The clips that dir's manifest lists, newest first, every one checked and
// its file read, so that a refused import leaves the history as it was.
// False after saying why not.
bool read_manifest(const std::string &dir, std::vector<Entry> *entries) {
  Doc doc;
  yyjson_val *clips = nullptr;
  if (!open_manifest(dir, &doc, &clips)) return false;
  size_t idx, max;
  yyjson_val *obj;
  yyjson_arr_foreach(clips, idx, max, obj) {
    Entry e;
    std::string why, bytes;
    if (!parse_entry(obj, &e, &why) ||
        !read_content(dir, e, yyjson_obj_get(obj, manifest::kBytes), &bytes, &why)) {
      return failed("cannot import " + dir + ": " + manifest::kName + ", " +
                    ordinal_entry(idx) + ": " + why + "; nothing was imported");
    }
    entries->push_back(std::move(e));
  }
  if (entries->empty()) {
    return failed("nothing to import: " + dir + "/" + manifest::kName +
                  " lists no clips");
  }
  return true;
}

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

// What an import has recorded so far.
struct ImportProgress {
  std::vector<std::string> done;  // "<file> as <id>", in the order recorded
  // The first and last ids of the new clips (0 while there is none), and
  // whether each followed the one before.
  int first_id = 0, last_id = 0;
  bool contiguous = true;
  size_t merged = 0;  // entries that repeated the clip before them
};

// Says, in one line, that an import stopped at file (why: "" when it was
// said already) after recording what is in done. Always false.
bool stopped(const std::string &file, const std::string &why,
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
  return false;
}

// Recording every clip takes a write of the index each, seconds for a large
// export: a watcher waiting for the lock would give up after ten, so it gets
// a turn every two. What it records meanwhile is a capture like any other
// (in a full history it evicts the oldest clip), and takes room counted on:
// the entries still to go, entries[0, count), must fit again, or they would
// evict the user's. False with *why ("" when it was said already).
bool give_way(const std::string &store, StoreLock *lock,
              const std::vector<Entry> &entries, size_t count, std::string *why) {
  why->clear();
  lock->release();
  sleep_ms(100);
  if (!open_store(store, lock)) return false;
  return check_room(entries, count, why);
}

// Records entry e, its file read and checked again: *id is the clip's, and
// *merged says the library merged it with the clip before it. False with
// *why.
bool record_entry(const std::string &dir, const Entry &e, int *id, bool *merged,
                  std::string *why) {
  std::string bytes;
  if (!read_content(dir, e, nullptr, &bytes, why)) return false;
  ClipString result;
  if (e.image) {
    result.reset(clip_push_image(reinterpret_cast<const unsigned char *>(bytes.data()),
                                 static_cast<int>(bytes.size()),
                                 e.has_label ? e.label.c_str() : nullptr));
  } else {
    result.reset(clip_push_text(bytes.c_str()));
  }
  if (!result) {
    *why = library_error();
    return false;
  }
  Doc r(yyjson_read(result.get(), strlen(result.get()), 0));
  yyjson_val *root = r ? yyjson_doc_get_root(r.get()) : nullptr;
  *id = static_cast<int>(yyjson_get_sint(yyjson_obj_get(root, "id")));
  *merged = yyjson_get_sint(yyjson_obj_get(root, "dedup")) != 0;
  return true;
}

// Records the entries oldest first (the manifest lists the newest first),
// each pinned as it was, into the store open under *lock. False after
// saying where it stopped and what it had recorded.
bool record_entries(const std::string &store, const std::string &dir,
                    const std::vector<Entry> &entries, StoreLock *lock,
                    ImportProgress *out) {
  int64_t locked_at = now_ms();
  for (size_t k = entries.size(); k-- > 0;) {
    const Entry &e = entries[k];
    std::string why;
    if (k + 1 < entries.size() && now_ms() - locked_at >= 2000) {
      if (!give_way(store, lock, entries, k + 1, &why))
        return stopped(e.file, why, out->done, entries.size());
      locked_at = now_ms();
    }
    int id = 0;
    bool merged = false;
    if (!record_entry(dir, e, &id, &merged, &why))
      return stopped(e.file, why, out->done, entries.size());
    if (e.pinned && !clip_pin(id, 1)) {
      why = library_error();
      // The clip itself is in; only its pin is missing.
      out->done.push_back(e.file + " as " + std::to_string(id) + " (not pinned)");
      return stopped(e.file, why, out->done, entries.size());
    }
    out->done.push_back(e.file + " as " + std::to_string(id));
    if (merged) {
      ++out->merged;
    } else {
      if (out->first_id != 0 && id != out->last_id + 1) out->contiguous = false;
      if (out->first_id == 0) out->first_id = id;
      out->last_id = id;
    }
  }
  return true;
}

// Says on standard output what an import recorded.
int say_imported(const std::string &dir, const std::vector<Entry> &entries,
                 const ImportProgress &r) {
  size_t pinned = 0;
  for (auto &e : entries) pinned += e.pinned ? 1 : 0;
  std::string n =
      std::to_string(entries.size()) + (entries.size() == 1 ? " clip" : " clips");
  std::string ids;
  if (r.first_id != 0 && r.first_id == r.last_id) {
    ids = " as id " + std::to_string(r.first_id);
  } else if (r.first_id != 0 && r.contiguous) {
    ids = " as ids " + std::to_string(r.first_id) + "-" + std::to_string(r.last_id);
  } else if (r.first_id != 0) {
    ids = " as ids from " + std::to_string(r.first_id) + " to " +
          std::to_string(r.last_id) + ", among clips recorded meanwhile";
  }
  std::string line =
      "imported " + n + " from " + dir + ids + " (" + std::to_string(pinned) + " pinned)";
  if (r.merged > 0) {
    line += "; " + std::to_string(r.merged) +
            (r.merged == 1 ? " repeated the clip before it and was"
                           : " repeated the clip before them and were") +
            " merged with it";
  }
  line += "; their times are the time of the import";
  return print_line(line);
}

}  // namespace

int cmd_export(const std::string &store, const std::string &dir) {
  if (!prepare_export_dir(dir)) return 1;
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  std::vector<ClipSummary> clips;
  if (!all_clips(&clips)) return 1;
  MutDoc doc(yyjson_mut_doc_new(nullptr));
  if (!doc) return fail("out of memory");
  yyjson_mut_doc *d = doc.get();
  yyjson_mut_val *root = yyjson_mut_obj(d);
  yyjson_mut_doc_set_root(d, root);
  yyjson_mut_obj_add_strcpy(d, root, manifest::kStore, store.c_str());
  yyjson_mut_obj_add_int(d, root, manifest::kExported,
                         static_cast<int64_t>(time(nullptr)));
  yyjson_mut_val *list = yyjson_mut_arr(d);
  yyjson_mut_obj_add_val(d, root, manifest::kClips, list);
  int failures = 0;
  for (auto &c : clips) {
    ClipContent content;
    if (!fetch_clip(c.id, true, &content, &clips)) {
      ++failures;
      continue;
    }
    std::string file = manifest::file_name(c.image, c.id), error;
    if (!write_whole_file(dir + "/" + file, content.bytes, 0600, &error))
      return fail(error);
    yyjson_mut_arr_append(list, manifest_entry(d, c, content, file));
  }
  if (!write_manifest(dir, d)) return 1;
  int rc = print_line("exported " + std::to_string(clips.size() - failures) + " of " +
                      std::to_string(clips.size()) + " clips to " + dir + " (" +
                      manifest::kName + ")");
  return failures > 0 ? 1 : rc;
}

int cmd_import(const std::string &store, const std::string &dir) {
  std::vector<Entry> entries;
  if (!read_manifest(dir, &entries)) return 1;
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  std::string why;
  if (!check_room(entries, entries.size(), &why)) {
    return fail(why.empty()
                    ? std::string("nothing was imported")
                    : "cannot import " + dir + ": " + why + "; nothing was imported");
  }
  ImportProgress recorded;
  if (!record_entries(store, dir, entries, &lock, &recorded)) return 1;
  return say_imported(dir, entries, recorded);
}

}  // namespace host
