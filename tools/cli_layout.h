// What the host knows of the library's files: the one place where it looks
// past the library's public interface, into the store directory itself.
//
// It mirrors three things of the library:
//   - the names of the files the library makes in a store directory:
//     clips.json, clips.json.tmp, clips.json.corrupt.<seconds>[.<n>],
//     img_<id>.png and img_<id>.png.tmp;
//   - the index's format and the loader's verdict on it: which clips.json
//     the library loads (and the clips it then lists), which it sets aside
//     as damaged, and which it refuses to open at all;
//   - the preview rule: the preview the library stores for a text (at most
//     CLIP_PREVIEW_CHARS bytes) and the start of an image's.
//
// The host needs them where loading the store through the library would
// change it or cost too much: verify and recover look at a store without
// loading it (a load sets a damaged index aside and writes a fresh one), the
// shell completion lists ids without taking the lock, a process notices
// that another one wrote the index (its identity) without loading it again,
// opening a store tells which damaged index the library set aside, and a
// capture finds its repeat among the listing's previews without fetching
// every clip. When the library's rules change, this unit changes with them;
// cli_layout_test feeds the same index files to both and expects the same
// verdicts.
//
// Reading the clips back out of an index the loader refused is
// cli_salvage's: a pure function of the file's bytes, fuzzed on its own,
// which knows the members of a record and the fingerprint of a text.
#ifndef QUILLMAR_CLI_LAYOUT_H
#define QUILLMAR_CLI_LAYOUT_H

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// --- file names --------------------------------------------------------------

// The index of the store directory dir: "<dir>/clips.json".
std::string index_path(const std::string &dir);

// The file that holds the picture of image clip id: "img_<id>.png".
std::string image_file_name(int id);

// A damaged index the library set aside: "clips.json.corrupt.<seconds>",
// with ".<n>" after it for the n-th of the same second.
constexpr std::string_view kSetAsidePrefix = "clips.json.corrupt.";

// The file names the library makes in a store directory.
enum class StoreFile { index, index_tmp, corrupt, image, image_tmp, other };
// Which of them name is; *image_id is an image file's clip id.
StoreFile classify_store_file(std::string_view name, int *image_id = nullptr);

// The regular files in dir (names only), sorted, and with subdirs its
// directories. False when dir cannot be read.
bool list_files(const std::string &dir, std::vector<std::string> *names,
                std::vector<std::string> *subdirs = nullptr);

// The damaged indexes set aside in dir, sorted by name; none when dir cannot
// be read.
std::vector<std::string> set_aside_files(const std::string &dir);

// --- the index's identity ----------------------------------------------------

// What clips.json is on disk: when none of it changed, no other process
// has written the index. Every write of the library replaces the file (a
// new inode), but two quick writes may bring an inode number back with the
// same size within one tick of the file system's clock: the inode's
// generation, which changes whenever a number is used anew (ext4, XFS),
// tells them apart where the file system keeps one.
struct IndexId {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {0, 0};
  struct timespec ctime = {0, 0};
  int generation = 0;
};

// The identity of the index of the store directory dir.
IndexId index_id(const std::string &dir);
// The same, for the store directory open as dir_fd.
IndexId index_id_at(int dir_fd);
// Whether both exist and are the same file, unchanged.
bool same_index(const IndexId &a, const IndexId &b);

// --- the index's contents ----------------------------------------------------

// What the index file says of one clip: enough to check the store's files.
struct IndexedClip {
  int id = 0;
  bool image = false;
  std::string preview;
};

// Reads dir's clips.json where it lies, writing nothing anywhere, and judges
// it as the library's loader does: *clips in the file's order (oldest first)
// and *damaged when the library would set the index aside. A missing or empty
// index is an empty history. False, with *error, when dir or the index cannot
// be read at all (the library then refuses to open the store).
bool read_index(const std::string &dir, std::vector<IndexedClip> *clips, bool *damaged,
                std::string *error);

// --- previews ----------------------------------------------------------------

// The preview the library stores for the valid UTF-8 text (as stored, after
// the cap): tabs and line breaks as spaces, and beyond CLIP_PREVIEW_CHARS
// bytes the whole characters of the first CLIP_PREVIEW_CHARS - 3 followed
// by "...".
std::string text_preview(std::string_view text);

// The start every image preview of len bytes has: "[image <len> bytes", then
// "]" or ": <label>".
std::string image_preview_start(size_t len);

}  // namespace host

#endif  // QUILLMAR_CLI_LAYOUT_H
