// Helpers shared by the unit tests: a fresh store directory per test, file
// reading and writing, owned copies of the library's result strings, and
// looks at the history in memory and at JSON results.
#ifndef QUILLMAR_TEST_SUPPORT_H
#define QUILLMAR_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <yyjson.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "clip_store.h"

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
  // Replaces the history with text clips "clip <id>" for ids 1..n, those in
  // `pinned` pinned, clip k stamped ts_of(k), and opens the store again.
  void seed_texts(int n, const std::set<int> &pinned, int64_t (*ts_of)(int id));
  TempDir dir_;
};

#endif  // QUILLMAR_TEST_SUPPORT_H
