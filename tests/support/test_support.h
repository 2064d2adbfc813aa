// Helpers shared by the unit tests: a fresh store directory per test, file
// reading and writing, histories written straight to disk, pushes, owned
// copies of the library's result strings, and looks at the history in
// memory and at JSON results.
#ifndef QUILLMAR_TEST_SUPPORT_H
#define QUILLMAR_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <limits.h>
#include <stdint.h>
#include <yyjson.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "clip_store.h"
#include "history_model.h"

// A new empty directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A UTF-8 path as the standard library's path, and back: on Windows a
// std::string would be read in the ANSI code page.
std::filesystem::path fs_path(const std::string &utf8);
std::string utf8_of(const std::filesystem::path &p);

#if defined(_WIN32)
// mkdir(path, mode) as on POSIX; Windows has no modes.
int mkdir(const char *path, unsigned mode);

// Tests of what only POSIX has (file modes, FIFOs, symbolic links, fork)
// are skipped on Windows with the reason.
#define SKIP_ON_WINDOWS(why) GTEST_SKIP() << "POSIX only: " << why
#else
#define SKIP_ON_WINDOWS(why) static_cast<void>(0)
#endif

bool file_exists(const std::string &path);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string &path);

// Takes over a string the library returned: its text ("<null>" for null),
// released with clip_free_string.
std::string take(char *s);

// The last-error message, as a string.
std::string last_error();

// The text a message carries for error number err: strerror's on Linux; on
// Windows the system's own, for the last Windows error the library met.
std::string error_text(int err);

// The fingerprint of these bytes.
std::string hash_of(const std::string &bytes);

// prefix followed by n in decimal: "t" and 7 give "t7". An append, not
// `"t" + std::to_string(n)`, which GCC 12 at -O2 can take for an overlapping
// copy (a false -Wrestrict warning) and so stop the release build.
std::string numbered(const char *prefix, long n);

// ---------------------------------------------------------------------------
// Histories written straight to disk

// Seeded clip id is stamped kSeedTs + id.
constexpr int64_t kSeedTs = 1757760000;

// The preview a capture gives clip c: of a text clip, the library's; of an
// image clip, "[image N bytes]" or "[image N bytes: label]" (labels here
// are short enough never to be cut).
std::string preview_of(const model::Clip &c);

// A text clip, and an image clip of the bytes png with an optional label,
// as a capture records them: fingerprint and preview.
model::Clip text_clip(int id, const std::string &text, bool pinned = false);
model::Clip image_clip(int id, const std::string &png, const char *label = nullptr,
                       bool pinned = false);

// The text of numbered clip id ("clip <id>") and the bytes of numbered image
// clip id ("png", a NUL and the id).
std::string text_of(int id);
std::string png_of(int id);

// Clips 1..n: text clips text_of(id) but for the ids in `images`, image clips
// of the bytes png_of(id) without a label; those in `pinned` pinned.
std::vector<model::Clip> numbered_clips(int n, const std::set<int> &pinned = {},
                                        const std::set<int> &images = {});

// Replaces the files of dir (made when missing; subdirectories stay) with a
// history of these clips and next_id, as the library writes one:
// "clips.json" in its layout, clip k stamped kSeedTs + k, and a file of its
// bytes for each image clip that has bytes (one without has no file).
// Clips are written as they are given, previews and fingerprints included.
void seed_history(const std::string &dir, const std::vector<model::Clip> &clips,
                  int next_id);

// ---------------------------------------------------------------------------
// Pushes

// clip_push_image of the bytes of png: the answer, to be released.
char *push_png(const std::string &png, const char *label);

// Pushes a text, or the bytes of png with an optional label, as a new clip:
// its id; a failure, and 0, when the push fails or is taken for a repeat.
int push_text(const std::string &text);
int push_image(const std::string &png, const char *label = nullptr);

// ---------------------------------------------------------------------------
// The history in memory and JSON results

// Ids from `from` up to `to`, and from `from` down to `to`.
std::vector<int> range(int from, int to);
std::vector<int> down(int from, int to);

// The ids in the list, front (oldest) to back.
std::vector<int> ids();

// The newest clip in the list; a failure, and an empty entry, when there is
// none.
const clip_entry &newest();

// Calls `each` on every element of the JSON array `json`; a failure when
// `json` is no array.
void for_each_in_array(const std::string &json,
                       const std::function<void(yyjson_val *)> &each);

// The values of member `key` across the objects of the JSON array `json`:
// integers (a bool as 0 or 1), and strings.
std::vector<int> ints_of(const std::string &json, const char *key);
std::vector<std::string> strings_of(const std::string &json, const char *key);

// Ids that name no clip once the second of two clips is deleted, each with
// the message of a call that names it: the deleted id, 0, a negative id and
// the least int.
struct UnknownId {
  int id;
  const char *message;
};
inline constexpr UnknownId kUnknownIds[] = {
    {2, "clip id 2 not found"},
    {0, "clip id 0 not found"},
    {-3, "clip id -3 not found"},
    {INT_MIN, "clip id -2147483648 not found"},
};

// What a refused or repeated call must leave exactly as it was: the list,
// next_id, the index and the store directory's files.
struct Snapshot {
  std::vector<int> ids;
  std::vector<int64_t> ts;
  int next_id;
  std::string index;
  std::vector<std::string> files;
};

// A fixture with a fresh store directory that is already initialised.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string index() const { return read_file(dir_.file("clips.json")); }
  std::string image_path(int id) const {
    return dir_.file("img_" + std::to_string(id) + ".png");
  }
  // Opens the store directory again.
  void reopen();
  // Replaces the history with these clips and next_id (seed_history) and
  // opens the store again.
  void seed(const std::vector<model::Clip> &clips, int next_id);
  Snapshot snapshot() const;
  // Every part of the snapshot is as it was.
  void expect_unchanged(const Snapshot &before) const;
  TempDir dir_;
};

#endif  // QUILLMAR_TEST_SUPPORT_H
