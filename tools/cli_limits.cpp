#include "cli_limits.h"

#include <time.h>

#include <climits>
#include <cstdio>

#include "cli_capture.h"
#include "cli_config.h"
#include "cli_store.h"
#include "quillmar_clip.h"

namespace host {
namespace {

std::string id_list(const std::vector<int> &ids) {
  std::string out;
  for (int id : ids) out += (out.empty() ? "" : ", ") + std::to_string(id);
  return out;
}

std::string clips_word(size_t n) { return n == 1 ? "clip " : "clips "; }

}  // namespace

bool has_limits(const Config &config) {
  return config.max_items > 0 || config.expire_after > 0;
}

bool apply_limits(const Config &config, int64_t now, Trimmed *out) {
  *out = Trimmed{};
  if (!has_limits(config)) return true;
  std::vector<ClipSummary> clips;
  if (!all_clips(&clips)) return false;
  // Newest first: the unpinned ones past max_items, and any older than the
  // cutoff, from the oldest on.
  std::vector<std::pair<int, bool>> doomed;  // id, beyond max_items
  size_t unpinned = 0;
  int64_t cutoff = config.expire_after > 0 ? now - config.expire_after : INT64_MIN;
  for (auto &c : clips) {
    if (c.pinned) continue;
    ++unpinned;
    bool beyond =
        config.max_items > 0 && unpinned > static_cast<size_t>(config.max_items);
    if (beyond || c.ts < cutoff) doomed.emplace_back(c.id, beyond);
  }
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) {
    if (!clip_delete(it->first)) {
      std::string done = describe_trimmed(config, *out);
      complain("cannot apply the history's limits: clip " + std::to_string(it->first) +
               " cannot be deleted: " + library_error() +
               (done.empty() ? "" : " (" + done + ")"));
      return false;
    }
    (it->second ? out->beyond : out->expired).push_back(it->first);
  }
  return true;
}

bool trim_history(Recorder *recorder, const Config &config) {
  if (!has_limits(config)) return true;
  StoreLock lock;
  if (!recorder->open(&lock)) return false;
  Trimmed t;
  bool ok = apply_limits(config, static_cast<int64_t>(time(nullptr)), &t);
  // A failed delete leaves the library's memory ahead of the file.
  if (ok) {
    recorder->wrote();
  } else {
    recorder->forget();
  }
  std::string said = describe_trimmed(config, t);
  if (ok && !said.empty()) printf("%s\n", said.c_str());
  return ok;
}

std::string describe_trimmed(const Config &config, const Trimmed &t) {
  std::string out;
  if (!t.beyond.empty()) {
    out = "deleted " + clips_word(t.beyond.size()) + id_list(t.beyond) +
          " (beyond max_items " + std::to_string(config.max_items) + ")";
  }
  if (!t.expired.empty()) {
    out += (out.empty() ? "deleted " : "; deleted ") + clips_word(t.expired.size()) +
           id_list(t.expired) + " (older than expire_after " + config.expire_after_text +
           ")";
  }
  return out.empty() ? out : "limits: " + out;
}

std::string describe_limits(const Config &config) {
  std::string out =
      "at most " +
      std::to_string(config.max_items > 0 ? config.max_items : CLIP_MAX_UNPINNED) +
      " unpinned clips";
  if (config.max_items == 0) out += " (the library's bound)";
  if (config.expire_after > 0) out += ", none older than " + config.expire_after_text;
  return out;
}

}  // namespace host
