// The small files the host keeps beside a store directory, never inside it
// (a wipe empties that): "<name>.paused" while recording is paused,
// "<name>.last" for what store recorded last, the last good config file of
// a running Wayland watcher and a running watcher's mark. Each is named
// after the store directory as resolve_store_dir gives it (cli_store.h), so
// that every spelling of one store finds the same markers.
#ifndef QUILLMAR_CLI_MARKERS_H
#define QUILLMAR_CLI_MARKERS_H

#include <cstdint>
#include <string>

namespace host {

// "<name><suffix>" beside the store directory dir: a marker that a wipe,
// which empties the directory, leaves alone.
std::string marker_path(const std::string &dir, const char *suffix);

// The pause marker of the store in dir: "<name>.paused" beside the store
// directory, never inside it, since a wipe empties that.
std::string pause_marker_path(const std::string &dir);
// Whether recording into dir is paused now; *until is the end of a timed
// pause, 0 for one that lasts until resume.
bool recording_paused(const std::string &dir, int64_t *until = nullptr);

// The last good config file of a running Wayland watcher, beside the store
// directory: its captures, each a process of its own, record by it while the
// file itself is broken.
std::string config_snapshot_path(const std::string &dir);
// A running watcher's mark beside the store directory (cli_watcher_mark.h).
std::string watcher_mark_path(const std::string &dir);

// What store recorded last, for a CLIPBOARD_STATE=clear that follows: the
// marker "<name>.last" beside the store directory (never inside it, for the
// same reason as the pause marker) holds the clip's id and time.
std::string last_stored_path(const std::string &dir);
// A clear deletes the clip that store recorded last only this soon after:
// password managers clear the clipboard within seconds to a few minutes.
// --help, the man page and the README say "5 minutes".
constexpr int64_t kClearWindowSeconds = 300;
bool remember_stored(const std::string &dir, int id, int64_t ts, std::string *error);
// False when the marker cannot be removed or emptied (it is then still there).
bool forget_stored(const std::string &dir, std::string *error);
// False when nothing is remembered (no marker, or one that cannot be read).
bool last_stored(const std::string &dir, int *id, int64_t *ts);

}  // namespace host

#endif  // QUILLMAR_CLI_MARKERS_H
