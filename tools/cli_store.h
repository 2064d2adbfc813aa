// The store as the command-line host sees it: where it lives, how one
// process at a time opens it, whether the library's history is still the
// one on disk, and the store's clips as the library lists them. It goes
// through the library's public interface, except for what cli_layout.h
// mirrors of the library's files (the index's identity, the damaged indexes
// a load sets aside).
#ifndef QUILLMAR_CLI_STORE_H
#define QUILLMAR_CLI_STORE_H

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
// Counts the loads of a store into the library, and the wipes: between
// two counts a clip id names one clip, whose text never changes (ids are
// given again only after a wipe, or in a store loaded anew). What a
// process keeps of the clips it has read is good for one count.
uint64_t store_epoch();
void next_store_epoch();

// A process that serves the store in canonical (its resolved absolute path)
// to commands run from other directories initialises the library on that
// path, whatever a command calls the store, so that its history stays where
// it is when the process changes directory. Paths in the library's answers
// and messages are then given back in the command's own words (as_named).
void serve_store_at(const std::string &canonical);
// A path the library gave (an image file's), as the command that opened the
// store last would have had it from a library opened on its own name for it.
std::string as_named(const std::string &path);

// The library holds what clips.json says again: this process has written
// it under the lock of the opening, after forget_loaded_store(), so the next
// opening need not load it.
void trust_loaded_store();

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

}  // namespace host

#endif  // QUILLMAR_CLI_STORE_H
