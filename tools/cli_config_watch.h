// A running watcher follows its config file: an edit takes effect at once,
// without a restart, and a broken edit is never silent. The last good
// config stays in force until the file is good again, and each broken
// version is reported once (standard error, and a desktop notification when
// there is no terminal).
#ifndef QUILLMAR_CLI_CONFIG_WATCH_H
#define QUILLMAR_CLI_CONFIG_WATCH_H

#include <sys/stat.h>

#include <functional>
#include <string>

#include "cli_config.h"

namespace host {

class ConfigWatch {
 public:
  // current is the config in force, read from config_path() when the
  // watcher started; adjust applies the command line's choices to every
  // config read later.
  ConfigWatch(Config *current, std::function<void(Config *)> adjust);
  ~ConfigWatch();
  ConfigWatch(const ConfigWatch &) = delete;
  ConfigWatch &operator=(const ConfigWatch &) = delete;

  // Readable when the config file's directory changed (inotify); -1 when it
  // cannot be followed that way, and check() before each capture is all.
  int fd() const { return fd_; }

  // Reads the file again when it changed since it was last read (its
  // device, inode, size, or modification or change time). A good file
  // becomes the config in force and true is returned, after a line on
  // standard output; a broken one is reported once and the config stays.
  bool check();

  // The last good file's bytes: what the config in force was read from
  // ("" when there was no file).
  const std::string &good_bytes() const { return good_bytes_; }

 private:
  struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0}, ctime = {0, 0};
    bool operator==(const FileId &o) const;
  };
  FileId file_id() const;

  std::string path_;
  Config *current_;
  std::function<void(Config *)> adjust_;
  FileId seen_;
  std::string good_bytes_;
  int fd_ = -1;
};

}  // namespace host

#endif  // QUILLMAR_CLI_CONFIG_WATCH_H
