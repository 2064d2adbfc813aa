// What the fuzz targets share: a store directory of their own, emptied
// before each input, and a check that stops the run with a message.
#ifndef QUILLMAR_FUZZ_SUPPORT_H
#define QUILLMAR_FUZZ_SUPPORT_H

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "history_model.h"

#define FUZZ_CHECK(cond, ...)                                                     \
  do {                                                                            \
    if (!(cond)) {                                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);    \
      fprintf(stderr, __VA_ARGS__);                                               \
      fprintf(stderr, "\n");                                                      \
      abort();                                                                    \
    }                                                                             \
  } while (0)

namespace fuzz {

// The store directory of this process: on a memory file system when there
// is one (every change is written and forced to the disk), removed at exit.
inline const std::string &store_dir() {
  static std::string dir = [] {
    model::prefer_memory_fs("QUILLMAR_FUZZ_ON_DISK");
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                       "/quillmar-fuzz-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      perror("mkdtemp");
      abort();
    }
    static std::string path = tmpl;
    atexit([] {
      DIR *d = opendir(path.c_str());
      while (d != nullptr) {
        struct dirent *e = readdir(d);
        if (e == nullptr) break;
        unlink((path + "/" + e->d_name).c_str());
      }
      if (d != nullptr) closedir(d);
      rmdir(path.c_str());
    });
    return tmpl;
  }();
  return dir;
}

// Empties the store directory (it never holds subdirectories).
inline void empty_store() {
  const std::string &dir = store_dir();
  DIR *d = opendir(dir.c_str());
  FUZZ_CHECK(d != nullptr, "cannot open %s", dir.c_str());
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0'))) {
      continue;
    }
    unlink((dir + "/" + e->d_name).c_str());
  }
  closedir(d);
}

// Names in the store directory that start with prefix.
inline int count_files(const char *prefix) {
  int n = 0;
  DIR *d = opendir(store_dir().c_str());
  if (d == nullptr) return 0;
  size_t len = strlen(prefix);
  while (struct dirent *e = readdir(d)) n += strncmp(e->d_name, prefix, len) == 0;
  closedir(d);
  return n;
}

}  // namespace fuzz

#endif  // QUILLMAR_FUZZ_SUPPORT_H
