// pick --paste: after the clip is on the clipboard, the paste key chord is
// sent to the focused window, through xdotool on X11 and wtype on Wayland.
#ifndef QUILLMAR_CLI_PASTE_H
#define QUILLMAR_CLI_PASTE_H

#include <string>
#include <string_view>
#include <vector>

namespace host {

// The chord pasted with when none is given: what most programs take.
inline constexpr char kDefaultPasteKeys[] = "ctrl+v";

// A key chord such as "ctrl+v", "ctrl+shift+v" or "shift+Insert": modifiers
// (ctrl, shift, alt, super, altgr) joined by "+", then one key, a character
// or a key name (letters, digits and "_", as X11 names keys).
struct Chord {
  std::vector<std::string> modifiers;  // as written, lower case
  std::string key;
};

// False with *why ("unknown modifier \"hyper\" in ...") for anything else.
bool parse_chord(std::string_view text, Chord *out, std::string *why);

// The command that presses chord in the focused window: xdotool's
// "key --clearmodifiers ctrl+shift+v", or wtype's "-M ctrl -M shift v -m
// shift -m ctrl" (a key name through -k).
std::vector<std::string> xdotool_paste(const std::string &program, const Chord &chord);
std::vector<std::string> wtype_paste(const std::string &program, const Chord &chord);

// The paste tool for this session, with its arguments in *argv; false after
// a message saying what to install when it is missing.
bool paste_command(const Chord &chord, std::vector<std::string> *argv);

// Presses the chord of argv once the picker's window has given the focus
// back. False after a message when the tool fails.
bool paste_now(const std::vector<std::string> &argv, const std::string &keys);

}  // namespace host

#endif  // QUILLMAR_CLI_PASTE_H
