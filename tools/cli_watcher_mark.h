// The mark a running watcher leaves beside its store, "<name>.watcher", so
// that stats can tell whether anything records into the store: its pid, the
// time the process started (a pid alone may be reused once the watcher is
// gone) and the display it follows.
#ifndef QUILLMAR_CLI_WATCHER_MARK_H
#define QUILLMAR_CLI_WATCHER_MARK_H

#include <string>

namespace host {

struct RunningWatcher {
  int pid = 0;
  std::string display;
};

// Written by a watcher when it starts following a display, removed when it
// stops (unless another watcher's mark replaced it meanwhile).
class WatcherMark {
 public:
  WatcherMark() = default;
  ~WatcherMark();
  WatcherMark(const WatcherMark &) = delete;
  WatcherMark &operator=(const WatcherMark &) = delete;
  // Says so on standard error when another watcher records into the store
  // already; a mark that cannot be written is said too, and the watcher
  // goes on without it.
  void set(const std::string &store, const std::string &display);

 private:
  std::string path_;
};

// The watcher recording into the store in dir, when one is running.
bool running_watcher(const std::string &dir, RunningWatcher *out);

}  // namespace host

#endif  // QUILLMAR_CLI_WATCHER_MARK_H
