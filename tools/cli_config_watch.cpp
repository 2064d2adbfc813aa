#include "cli_config_watch.h"

#include <errno.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>

#include "cli_notify.h"
#include "cli_store.h"
#include "cli_util.h"

namespace host {

bool ConfigWatch::FileId::operator==(const FileId &o) const {
  return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
         mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
         ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
}

ConfigWatch::ConfigWatch(Config *current, std::function<void(Config *)> adjust)
    : path_(config_path()), current_(current), adjust_(std::move(adjust)) {
  seen_ = file_id();
  std::string error;
  if (seen_.exists) read_whole_file(path_, &good_bytes_, &error);
  size_t slash = path_.rfind('/');
  if (path_.empty() || slash == std::string::npos) return;
  // The directory, not the file: an editor that saves by renaming a new
  // file over the old one leaves a watch on the old file with nothing to
  // say.
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return;
  std::string dir = path_.substr(0, slash);
  if (inotify_add_watch(fd_, dir.c_str(),
                        IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                            IN_DELETE | IN_ATTRIB) < 0) {
    close(fd_);
    fd_ = -1;
  }
}

ConfigWatch::~ConfigWatch() {
  if (fd_ >= 0) close(fd_);
}

ConfigWatch::FileId ConfigWatch::file_id() const {
  FileId id;
  struct stat st;
  if (path_.empty() || stat(path_.c_str(), &st) != 0) return id;
  id.exists = true;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtime = st.st_mtim;
  id.ctime = st.st_ctim;
  return id;
}

bool ConfigWatch::check() {
  if (fd_ >= 0) {
    char buf[4096];
    while (read(fd_, buf, sizeof buf) > 0) {
    }
  }
  FileId now = file_id();
  if (now == seen_) return false;
  seen_ = now;
  Config fresh;
  std::string error, bytes;
  if (!load_config(&fresh, &error)) {
    std::string message = error +
                          " (the config file is not reloaded: the last good one "
                          "stays in force until it is fixed)";
    complain(message);
    notify_user(message);
    return false;
  }
  if (now.exists) read_whole_file(path_, &bytes, &error);
  good_bytes_ = bytes;
  adjust_(&fresh);
  *current_ = std::move(fresh);
  printf("config file %s: %s\n", now.exists ? "reloaded" : "removed, defaults in force",
         path_.c_str());
  return true;
}

}  // namespace host
