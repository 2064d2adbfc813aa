#include "test_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "clip_fault.h"
#include "quillmar_clip.h"

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "quillmar-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool file_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> list_dir(const std::string &path) {
  std::vector<std::string> names;
  for (const auto &ent : std::filesystem::directory_iterator(path)) {
    names.push_back(ent.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string take(char *s) {
  if (s == nullptr) return "<null>";
  std::string out(s);
  clip_free_string(s);
  return out;
}

std::string last_error() { return clip_last_error(); }

void StoreTest::SetUp() {
  clip_fault_reset();
  ASSERT_EQ(clip_init(dir_.path().c_str()), 1) << clip_last_error();
}

void StoreTest::TearDown() { clip_fault_reset(); }
