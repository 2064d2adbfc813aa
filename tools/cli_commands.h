// The commands of quillmar-clip, one function each. Every function returns
// the process's exit status: 0, or 1 after printing "quillmar-clip: <why>".
#ifndef QUILLMAR_CLI_COMMANDS_H
#define QUILLMAR_CLI_COMMANDS_H

#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct Config;
struct ClipSummary;

// Prints a listing: the library's JSON form (with each clip's score, with
// scores) when json is set or standard output is not a terminal, else a
// table, or the line empty when there are no clips.
int print_listing(const std::vector<ClipSummary> &clips, bool json, bool scores,
                  const char *empty);

// The content of clip id in the open store: a text's bytes, or an image
// file's bytes (with read_image) and its path and label. Says why on
// standard error and returns false when there is no such clip or its file
// cannot be read. The clip's kind comes from listing, the caller's listing
// of the open store, when there is one, else from a fresh one.
struct ClipContent {
  bool image = false;
  std::string bytes;
  std::string path;  // images only
  std::string label;
  bool has_label = false;
};
bool fetch_clip(int id, bool read_image, ClipContent *out,
                const std::vector<ClipSummary> *listing = nullptr);

// Records standard input by the config's rules (cli_config.h).
int cmd_store(const std::string &store, const Config &config);
int cmd_push(const std::string &store, const std::string &text);
int cmd_push_image(const std::string &store, const std::string &file,
                   const std::string *label);
// With pinned_only, the pinned clips alone.
int cmd_list(const std::string &store, int offset, int limit, bool json,
             bool pinned_only);
int cmd_get(const std::string &store, int id, const std::string *output);
int cmd_copy(const std::string &store, int id);
// What copy puts on the clipboard: "text" or "image", a line break, and the
// clip's bytes; copy asks the server for it.
int cmd_fetch(const std::string &store, int id);
int cmd_pin(const std::string &store, int id, bool pinned);
int cmd_delete(const std::string &store, int id);
int cmd_wipe(const std::string &store, bool yes);
// What wipe asks first without --yes: -1 when the user agreed, else the
// exit status after saying why not.
int confirm_wipe(const std::string &store);
int cmd_pause(const std::string &store, int64_t seconds);  // 0: until resume
int cmd_resume(const std::string &store);
int cmd_stats(const std::string &store, bool json);
int cmd_verify(const std::string &store);
// Prints the words read in image clip id now; with all, those of every
// image clip without a label, oldest first, and with relabel records each
// again with its words as its label (its id changes).
int cmd_ocr(const std::string &store, const Config &config, int id, bool all,
            bool relabel);
int cmd_expire(const std::string &store, int64_t seconds, const std::string &spelled,
               bool dry_run);

}  // namespace host

#endif  // QUILLMAR_CLI_COMMANDS_H
