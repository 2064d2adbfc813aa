#include "cli_markers.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <time.h>
#include <filesystem>

#include "cli_util.h"

namespace host {

std::string marker_path(const std::string &dir, const char *suffix) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::absolute(fs::path(dir), ec);
  if (ec) p = fs::path(dir);
  p = p.lexically_normal();
  if (!p.has_filename() && p.has_parent_path() && p != p.root_path()) p = p.parent_path();
  std::string name = p.filename().string();
  if (name.empty() || name == "." || name == "..") name = kStoreName;
  return (p.parent_path() / (name + suffix)).string();
}

std::string pause_marker_path(const std::string &dir) {
  return marker_path(dir, ".paused");
}

std::string last_stored_path(const std::string &dir) { return marker_path(dir, ".last"); }

std::string config_snapshot_path(const std::string &dir) {
  return marker_path(dir, ".config.toml");
}

std::string watcher_mark_path(const std::string &dir) {
  return marker_path(dir, ".watcher");
}

bool remember_stored(const std::string &dir, int id, int64_t ts, std::string *error) {
  std::string marker = last_stored_path(dir);
  return make_parents(marker, error) &&
         write_whole_file(
             marker, "clip " + std::to_string(id) + " at " + std::to_string(ts) + "\n",
             0600, error);
}

bool forget_stored(const std::string &dir, std::string *error) {
  std::string marker = last_stored_path(dir);
  if (unlink(marker.c_str()) == 0 || errno == ENOENT) return true;
  int err = errno;
  // A directory we may not change still lets our own file be emptied, and
  // an empty marker remembers nothing.
  int fd = open(marker.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  *error = "cannot remove " + marker + ": " + strerror(err);
  return false;
}

bool last_stored(const std::string &dir, int *id, int64_t *ts) {
  std::string content, error;
  if (!read_whole_file(last_stored_path(dir), &content, &error)) return false;
  int n = 0, end = 0;
  long long t = 0;
  if (sscanf(content.c_str(), "clip %d at %lld\n%n", &n, &t, &end) != 2 ||
      static_cast<size_t>(end) != content.size()) {
    return false;
  }
  *id = n;
  *ts = t;
  return true;
}

bool recording_paused(const std::string &dir, int64_t *until) {
  if (until != nullptr) *until = 0;
  std::string content, error;
  std::string marker = pause_marker_path(dir);
  if (access(marker.c_str(), F_OK) != 0) return false;
  if (!read_whole_file(marker, &content, &error)) return true;
  long long end = 0;
  if (sscanf(content.c_str(), "until %lld", &end) == 1) {
    if (static_cast<int64_t>(time(nullptr)) >= end) return false;
    if (until != nullptr) *until = end;
  }
  return true;
}

}  // namespace host
