// Picking a clip from a list: the lines of list --picker, reading a chosen
// line back (get -, copy -) and running a picker program (pick).
#ifndef QUILLMAR_CLI_PICKER_H
#define QUILLMAR_CLI_PICKER_H

#include <optional>
#include <string>
#include <string_view>

namespace host {

// One line "<id>\t<preview>" of a library preview, on one line (line breaks
// shown as "↵", tabs and other control characters as spaces): what the
// shells' completions show beside an id.
std::string picker_line(int id, std::string_view preview);

// The clip id a line starts with, after blanks: decimal digits followed by
// the end of the line or a blank. False for anything else.
bool leading_id(std::string_view line, int *id);

// Reads the first line of standard input and takes its leading id. Returns
// 0 with *id; 1 after saying that standard input is empty; 2 with *why set
// (a usage error for the caller to report) when the line has no id.
int id_from_stdin(int *id, std::string *why);

// The lines of list --picker, each "<id>\t<text>": a text clip's own text
// on one line (line breaks shown as "↵", tabs and other control characters
// as spaces), an image as "[image WxH, N KiB: label]"; pinned clips first,
// marked "★ ", then the others, each newest first.
int cmd_list_picker(const std::string &store, int offset, int limit, bool pinned_only);
struct PickOptions {
  bool print = false;  // write the clip to standard output instead
  // Paste it into the focused window after it is on the clipboard, with
  // this key chord; unset: as the config file says.
  std::optional<bool> paste;
  std::optional<std::string> paste_keys;
};
int cmd_pick(const std::string &store, const PickOptions &options);
// What pick asks the server of the store for: the rows of its picker, in a
// form that pick reads back exactly.
int cmd_picker_rows(const std::string &store);

// What fzf's preview pane shows of clip id: a text whole, its control
// characters but line breaks and tabs shown as spaces, so that nothing of
// it steers the terminal; an image's line, then its file's path.
int cmd_preview(const std::string &store, int id);

}  // namespace host

#endif  // QUILLMAR_CLI_PICKER_H
