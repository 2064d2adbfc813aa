// Helpers shared by the unit tests: a fresh store directory per test, file
// reading and writing, and owned copies of the library's result strings.
#ifndef QUILLMAR_TEST_SUPPORT_H
#define QUILLMAR_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// A fixture with a fresh store directory that is already initialised.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string index() const { return read_file(dir_.file("clips.json")); }
  TempDir dir_;
};

#endif  // QUILLMAR_TEST_SUPPORT_H
