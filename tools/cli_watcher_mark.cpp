#include "cli_watcher_mark.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "cli_markers.h"
#include "cli_store.h"
#include "cli_util.h"

namespace host {
namespace {

// The process's start time in clock ticks since boot (field 22 of
// /proc/PID/stat), "" when it cannot be read.
std::string start_time(int pid) {
  std::string stat, error;
  if (!read_whole_file("/proc/" + std::to_string(pid) + "/stat", &stat, &error))
    return "";
  // The command name, field 2, is in parentheses and may hold anything.
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return "";
  size_t at = close + 2;  // field 3
  for (int field = 3; field < 22; ++field) {
    at = stat.find(' ', at);
    if (at == std::string::npos) return "";
    ++at;
  }
  return stat.substr(at, stat.find(' ', at) - at);
}

struct Mark {
  int pid = 0;
  std::string started, display;
};

bool read_mark(const std::string &path, Mark *out) {
  std::string content, error;
  if (!read_whole_file(path, &content, &error)) return false;
  char started[32] = "";
  int end = 0;
  if (sscanf(content.c_str(), "pid %d started %31s display %n", &out->pid, started,
             &end) != 2 ||
      end == 0 || out->pid <= 0)
    return false;
  out->started = started;
  out->display = content.substr(static_cast<size_t>(end));
  while (!out->display.empty() && out->display.back() == '\n') out->display.pop_back();
  return true;
}

bool alive(const Mark &m) {
  if (kill(m.pid, 0) != 0 && errno != EPERM) return false;
  // Where /proc tells, the process must be the one that wrote the mark.
  std::string now = start_time(m.pid);
  return now.empty() || m.started == "-" || now == m.started;
}

}  // namespace

void WatcherMark::set(const std::string &store, const std::string &display) {
  std::string path = watcher_mark_path(store), error;
  Mark other;
  if (read_mark(path, &other) && other.pid != getpid() && alive(other)) {
    complain("another watcher (pid " + std::to_string(other.pid) + " on " +
             other.display + ") records into " + store +
             " already: every clip is recorded by both");
  }
  std::string started = start_time(getpid());
  std::string content = "pid " + std::to_string(getpid()) + " started " +
                        (started.empty() ? "-" : started) + " display " + display + "\n";
  if (!make_parents(path, &error) || !write_whole_file(path, content, 0600, &error)) {
    complain(error + " (stats cannot tell that this watcher runs)");
    return;
  }
  path_ = path;
}

WatcherMark::~WatcherMark() {
  if (path_.empty()) return;
  Mark m;
  if (read_mark(path_, &m) && m.pid == getpid()) unlink(path_.c_str());
}

bool running_watcher(const std::string &dir, RunningWatcher *out) {
  Mark m;
  if (!read_mark(watcher_mark_path(dir), &m) || !alive(m)) return false;
  out->pid = m.pid;
  out->display = m.display;
  return true;
}

}  // namespace host
