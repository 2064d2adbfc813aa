// What the host's unit tests share: a scratch directory and whole-file
// reads and writes.
#ifndef QUILLMAR_TOOLS_TESTS_SCRATCH_H
#define QUILLMAR_TOOLS_TESTS_SCRATCH_H

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace scratch {

namespace fs = std::filesystem;

// A new directory, on a memory file system when there is one (the tests
// write thousands of files), removed when the object goes. name is the
// start of its name.
class Dir {
 public:
  explicit Dir(const char *name) {
    struct stat st;
    const char *base = stat("/dev/shm", &st) == 0 && access("/dev/shm", W_OK) == 0
                           ? "/dev/shm"
                           : (getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp");
    std::string tmpl = std::string(base) + "/" + name + ".XXXXXX";
    path_ = mkdtemp(tmpl.data()) != nullptr ? tmpl : "";
  }
  ~Dir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  Dir(const Dir &) = delete;
  Dir &operator=(const Dir &) = delete;
  const fs::path &path() const { return path_; }

 private:
  fs::path path_;
};

inline std::string read_file(const fs::path &p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void write_file(const fs::path &p, const std::string &bytes) {
  std::ofstream f(p, std::ios::binary);
  f << bytes;
}

}  // namespace scratch

#endif  // QUILLMAR_TOOLS_TESTS_SCRATCH_H
