// The history's limits of the config file (max_items, expire_after), which
// the watcher applies after each capture and once an hour, and store after
// each clip it records: the oldest unpinned clips beyond max_items, and the
// unpinned clips older than expire_after, are deleted. A pinned clip never
// is.
#ifndef QUILLMAR_CLI_LIMITS_H
#define QUILLMAR_CLI_LIMITS_H

#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct Config;

// How often the watcher applies the limits when no clip comes.
constexpr int64_t kLimitsEverySeconds = 3600;

struct Trimmed {
  std::vector<int> beyond;   // deleted as beyond max_items, oldest first
  std::vector<int> expired;  // deleted as older than expire_after
};

// Whether the config sets any limit.
bool has_limits(const Config &config);

// Applies the limits to the open store, whose lock the caller holds and whose
// library state is current, at time now. The clips are deleted oldest first,
// one at a time, each written to the index before the next; on a failure
// the message is printed (with what was deleted before it) and false
// returned, and the clips not yet reached stay.
bool apply_limits(const Config &config, int64_t now, Trimmed *out);

class Recorder;

// Applies the limits after a capture, or on the hour, to the store that
// recorder records into: locks it, loads it when another process changed
// it, and prints what was deleted on standard output. False after a message
// when something could not be deleted.
bool trim_history(Recorder *recorder, const Config &config);

// What was deleted, in one line for the watcher's output, such as "limits:
// deleted clip 3 (beyond max_items 2)"; "" when nothing was.
std::string describe_trimmed(const Config &config, const Trimmed &t);

// The limits in force, for stats: "at most 200 unpinned clips, none older
// than 30d", or the library's own bound when the config sets none.
std::string describe_limits(const Config &config);

}  // namespace host

#endif  // QUILLMAR_CLI_LIMITS_H
