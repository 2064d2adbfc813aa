#include "cli_paste.h"

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "cli_process.h"
#include "cli_spawn.h"
#include "cli_store.h"

namespace host {
namespace {

constexpr const char *kModifiers[] = {"ctrl", "shift", "alt", "super", "altgr"};

// The time a picker's window takes to close and give the focus back to the
// window it was opened over: keys sent sooner reach the picker, or nothing.
constexpr long kFocusBackMs = 150;

bool is_key_name(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '_';
  });
}

}  // namespace

bool parse_chord(std::string_view text, Chord *out, std::string *why) {
  *out = Chord{};
  std::string whole(text);
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t plus = text.find('+', start);
    parts.emplace_back(
        text.substr(start, plus == std::string_view::npos ? plus : plus - start));
    if (plus == std::string_view::npos) break;
    start = plus + 1;
  }
  // "ctrl++" names the plus key itself.
  if (parts.size() >= 2 && parts.back().empty() && parts[parts.size() - 2].empty()) {
    parts.pop_back();
    parts.back() = "plus";
  }
  std::string key = parts.back();
  parts.pop_back();
  if (key.empty() || !(key.size() == 1 ? std::isgraph(static_cast<unsigned char>(key[0]))
                                       : is_key_name(key))) {
    *why = "no key in \"" + whole + "\": give modifiers and a key, such as ctrl+shift+v";
    return false;
  }
  for (auto &m : parts) {
    std::string lower = m;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (lower == "control") lower = "ctrl";
    if (lower == "logo" || lower == "win" || lower == "meta") lower = "super";
    if (std::find(std::begin(kModifiers), std::end(kModifiers), lower) ==
        std::end(kModifiers)) {
      *why = "unknown modifier \"" + m + "\" in \"" + whole +
             "\" (the modifiers are ctrl, shift, alt, super and altgr)";
      return false;
    }
    out->modifiers.push_back(lower);
  }
  out->key = key;
  return true;
}

std::vector<std::string> xdotool_paste(const std::string &program, const Chord &chord) {
  std::string keys;
  for (auto &m : chord.modifiers) keys += m + "+";
  return {program, "key", "--clearmodifiers", keys + chord.key};
}

std::vector<std::string> wtype_paste(const std::string &program, const Chord &chord) {
  std::vector<std::string> argv = {program};
  auto name = [](const std::string &m) { return m == "super" ? std::string("logo") : m; };
  for (auto &m : chord.modifiers) argv.insert(argv.end(), {"-M", name(m)});
  if (chord.key.size() == 1) {
    argv.push_back(chord.key);
  } else {
    argv.insert(argv.end(), {"-k", chord.key});
  }
  for (auto it = chord.modifiers.rbegin(); it != chord.modifiers.rend(); ++it)
    argv.insert(argv.end(), {"-m", name(*it)});
  return argv;
}

bool paste_command(const Chord &chord, std::vector<std::string> *argv) {
  const char *wayland = getenv("WAYLAND_DISPLAY");
  if (wayland != nullptr && wayland[0] != '\0') {
    std::string wtype = find_program("wtype");
    if (wtype.empty()) {
      complain(
          "cannot paste on Wayland: wtype is not installed (install the wtype package)");
      return false;
    }
    *argv = wtype_paste(wtype, chord);
    return true;
  }
  const char *display = getenv("DISPLAY");
  if (display == nullptr || display[0] == '\0') {
    complain(
        "cannot paste: there is no display (neither WAYLAND_DISPLAY nor DISPLAY is set)");
    return false;
  }
  std::string xdotool = find_program("xdotool");
  if (xdotool.empty()) {
    complain(
        "cannot paste on X11: xdotool is not installed (install the xdotool package)");
    return false;
  }
  *argv = xdotool_paste(xdotool, chord);
  return true;
}

bool paste_now(const std::vector<std::string> &argv, const std::string &keys) {
  sleep_ms(kFocusBackMs);
  std::string error;
  if (!run_with_input(argv, "", &error)) {
    complain("cannot paste with " + keys + ": " + error);
    return false;
  }
  std::string tool = argv[0].substr(argv[0].rfind('/') + 1);
  printf("pasted with %s (%s)\n", keys.c_str(), tool.c_str());
  fflush(stdout);
  return true;
}

}  // namespace host
