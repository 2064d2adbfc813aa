// The store as the command-line host sees it: where it lives, how one
// process at a time opens it, and recording a captured clip. It goes
// through the library's public interface, except for what cli_layout.h
// mirrors of the library's files (the index's identity, the damaged indexes
// a load sets aside).
#ifndef QUILLMAR_CLI_STORE_H
#define QUILLMAR_CLI_STORE_H

#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Prints "quillmar-clip: <message>" on standard error.
void complain(const std::string &message);
// The library's last error, copied.
std::string library_error();

// $XDG_DATA_HOME/quillmar-clipboard-history, or
// ~/.local/share/quillmar-clipboard-history when XDG_DATA_HOME is unset (or
// not absolute). Empty, with *error set, when there is no home directory.
std::string default_store_dir(std::string *error);

// The one form of the store directory dir that every command works with,
// made once when the command line is read: absolute, with every symbolic
// link in the part that exists resolved, and no trailing slash. The pause
// and last-stored markers are named after it, so that every spelling of one
// store (a link to it, a relative path, the path a Wayland capture is
// handed) finds the same markers.
std::string resolve_store_dir(const std::string &dir);

// An flock on the store directory held for the life of the object, so that
// the library's read-modify-write of the index never interleaves between
// two processes (the watcher and a command, say). The directory itself is
// locked rather than a file in it, because a wipe removes every file.
class StoreLock {
 public:
  StoreLock() = default;
  ~StoreLock();
  StoreLock(const StoreLock &) = delete;
  StoreLock &operator=(const StoreLock &) = delete;
  // Waits up to ten seconds for the lock. With create, makes the last
  // component of dir first (mode 0700) when it is missing.
  bool acquire(const std::string &dir, bool exclusive, bool create, std::string *error);
  // Releasing an exclusive lock notes the index as this process leaves it,
  // when the history it holds was checked under the lock (open_store).
  void release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  bool exclusive_ = false;
};

// Locks dir (unless lock holds it already) and makes sure the library holds
// its history. A process keeps the history loaded between openings: it is
// loaded again only when another process has changed clips.json since this
// one last held the lock (its identity, size or time), or after
// forget_loaded_store(). Says so on standard error when the library found
// the index damaged and set it aside. On failure the message is printed and
// false returned.
bool open_store(const std::string &dir, StoreLock *lock);
// Initialises the library on dir, loading it whatever it held, for a caller
// that holds the lock already.
bool init_store(const std::string &dir);
// The damaged indexes that this process's loads set aside (and said so).
const std::vector<std::string> &set_aside_here();
// Forgets them: a command that the server runs for another process starts
// as a process of its own would.
void forget_set_aside_here();
// The next opening loads the history again: after a failed write the
// library's memory may be ahead of the file.
void forget_loaded_store();

// A process that serves the store in canonical (its resolved absolute path)
// to commands run from other directories initialises the library on that
// path, whatever a command calls the store, so that its history stays where
// it is when the process changes directory. Paths in the library's answers
// and messages are then given back in the command's own words (as_named).
void serve_store_at(const std::string &canonical);
// A path the library gave (an image file's), as the command that opened the
// store last would have had it from a library opened on its own name for it.
std::string as_named(const std::string &path);

// The clips that the Recorders of this process have added.
uint64_t clips_recorded();

// One clip of a listing.
struct ClipSummary {
  int id = 0;
  int64_t ts = 0;
  bool image = false;
  bool pinned = false;
  std::string preview;
  int score = 0;  // search results only
};

// Parses the library's list or search result. False when it is not such a
// result.
bool parse_summaries(std::string_view json, std::vector<ClipSummary> *out);

// Every clip of the open store, newest first.
bool all_clips(std::vector<ClipSummary> *out);

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
  std::string dir_;
  const Config &config_;
  StoreLock lock_;
  // The previous PRIMARY text recorded, for a selection that grows.
  int selection_id_ = 0;
  std::string selection_text_;
  long selection_ms_ = 0;
};

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

#endif  // QUILLMAR_CLI_STORE_H
