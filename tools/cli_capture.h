// What a capture becomes, and recording it. The rules, as pure functions of
// its bytes: whether input is text at all, how a picker shows an image, the
// label an image takes from the text offered beside it, and whether one
// selection grew out of another. The policy, the Recorder: what is kept out
// by the config's rules, finding an older copy of the same bytes (through
// the previews the library gives, cli_layout.h) so that a repeat moves to the
// top, a selection being dragged replacing the clip it made, and saying what
// became of each capture.
#ifndef QUILLMAR_CLI_CAPTURE_H
#define QUILLMAR_CLI_CAPTURE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli_store.h"

namespace host {

// What bytes that are neither PNG nor text are ("a JPEG image", "binary data
// (it holds NUL bytes)"), or nullptr when they may be recorded: PNG, or text
// (valid or repairable UTF-8 without NUL bytes).
const char *binary_kind(std::string_view bytes);

// The width and height in a PNG file's header (its IHDR chunk, which the
// format puts first), from at least the first 24 bytes of the file. False
// when they do not hold one.
bool png_dimensions(std::string_view head, uint32_t *width, uint32_t *height);

// An image clip as a picker shows it: "[image 640x480, 12.3 KiB: label]",
// without the size when the header holds none (width 0) and without the
// label when it is empty.
std::string image_line(uint32_t width, uint32_t height, uint64_t bytes,
                       std::string_view label);

// Whether next is prev grown at one end (a mouse selection being dragged
// further): it starts or ends with prev and is longer.
bool grows_from(std::string_view prev, std::string_view next);

// --- recording ---------------------------------------------------------------

enum class ClipKind { text, image };

// One clip taken from the clipboard.
struct Capture {
  ClipKind kind = ClipKind::text;
  std::string bytes;
  // Every byte the source sent: more than bytes.size() when it was cut.
  uint64_t seen = 0;
  // Where it came from, for messages: "standard input", "the CLIPBOARD text".
  std::string origin;
  // An image's label (from the text its owner offered beside it).
  bool has_label = false;
  std::string label;
  // A text of the PRIMARY selection: one that grows out of the previous
  // PRIMARY text within kSelectionWindowMs replaces the clip that text made
  // (never a clip it only repeated, nor one that a capture of another
  // selection landed on since, nor one that no longer holds that text).
  bool selection = false;
};

// A mouse selection dragged further is taken again within this time of the
// previous take; a PRIMARY text that extends the previous one this soon
// replaces it.
constexpr long kSelectionWindowMs = 5000;

struct Recorded {
  int id = 0;
  // Nothing was added: the newest clip, or a pinned one (pinned_twin), holds
  // the same bytes already.
  bool dedup = false;
  bool pinned_twin = false;
  // The newest clip that held the same bytes before this capture (0 when
  // none did, or when duplicates are kept and none was looked for): the
  // clip itself is then no new content of the history.
  int twin = 0;
  // The clip deleted in favour of the new one: an older copy of the same
  // bytes (a repeat moves to the top) or, with grown, the selection this one
  // grew out of.
  int replaced = 0;
  bool grown = false;
  // Why nothing was recorded, by the config's rules; empty when recorded.
  std::string skipped;
  std::string result;  // the library's result, or {"id":N,"dedup":1} for a pinned twin
};

struct Config;

// Records captured clips into the store in dir. Each capture locks the store;
// the history stays loaded between captures (open_store), so a watcher does
// not read a large history for every clip.
class Recorder {
 public:
  Recorder(std::string dir, const Config &config);
  ~Recorder();
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  // Locks the store (unless held, the caller's lock, holds it already) and
  // loads it when it is not loaded or has changed; the Recorder's own lock
  // is held until release() or the next record(). Prints the message and
  // returns false when the store cannot be opened.
  bool open(StoreLock *held = nullptr);
  void release() { lock_.release(); }

  // Records one capture. A text is repaired to valid UTF-8 first (said on
  // standard error, naming its origin) and checked against the config's
  // rules; *out says what happened. Unless the config keeps duplicates, an
  // older unpinned copy of the same bytes is deleted once the new one is
  // stored, so the clip moves to the top; a pinned copy stays and nothing is
  // added. Prints the library's message and returns false when it refuses;
  // an older copy then stays where it was. With held, the caller's lock
  // is used and stays held on return, so that the caller can look at the
  // store before and after under one lock.
  bool record(Capture capture, Recorded *out, StoreLock *held = nullptr);

  // For a caller that changed the store through the library under the lock
  // of open(): wrote() says that clips.json is what the library holds, so
  // that it is not loaded again; forget() that it may not be, after a
  // failed write, so that it is.
  void wrote();
  void forget() { forget_loaded_store(); }

 private:
  // Whether the text c extends the previous PRIMARY text soon enough to
  // replace the clip it made.
  bool grows_selection(const Capture &c, long now) const;
  // The clip the previous PRIMARY text made, when clips still holds it as
  // it was made; nullptr else.
  const ClipSummary *previous_selection(const std::vector<ClipSummary> &clips) const;
  // Notes what capture c, answered with out, means for a selection being
  // dragged; made is the clip a PRIMARY text made (0: none it may replace).
  void settle_selection(const Capture &c, long now, int made, const Recorded &out);

  std::string dir_;
  const Config &config_;
  StoreLock lock_;
  // The previous PRIMARY text recorded, for a selection that grows.
  int selection_id_ = 0;
  std::string selection_text_;
  long selection_ms_ = 0;
};

// The clips that the Recorders of this process have added.
uint64_t clips_recorded();

// Says on standard output what became of a capture of the selection name:
// "CLIPBOARD: text clip 3 (12 bytes)", "CLIPBOARD: repeats clip 2" ... seen
// is every byte its owner sent, and labelled says that an image's label
// came from the text offered beside it.
void print_recorded(const char *name, ClipKind kind, uint64_t seen, bool labelled,
                    const Recorded &rec);

// Records one captured clip into the store in dir, as a Recorder of its own
// with the default config would.
bool record_clip(const std::string &dir, ClipKind kind, std::string bytes,
                 uint64_t bytes_seen, const char *origin, Recorded *out);

}  // namespace host

#endif  // QUILLMAR_CLI_CAPTURE_H
