// The host's config file, $XDG_CONFIG_HOME/quillmar-clip/config.toml
// (~/.config/quillmar-clip/config.toml when XDG_CONFIG_HOME is unset):
//
//   ignore = ["^otpauth://", "(?i)(password|secret)[:=]"]  # never recorded
//   min_length = 3          # texts shorter than this many bytes are skipped
//   primary = true          # watch follows PRIMARY too
//   keep_duplicates = false # a repeat of an older clip moves it to the top
//   picker = "fzf"          # the command pick runs
//   ocr = true              # read captured images for words (the label)
//   ocr_languages = ["eng"] # Tesseract's languages, each with its data
//
// Every key is optional. A file that is not TOML, a key we do not know, a
// value of the wrong type or a pattern that does not compile is an error
// naming the line and the key: a typo must never silently record what the
// user asked us to leave alone.
//
// The ignore patterns are RE2 regular expressions (Perl's syntax without
// back-references and look-around), searched for anywhere in the text,
// case-sensitive unless they start with (?i). RE2 matches in time linear in
// the text, whatever the pattern: a capture of 1 MiB never stalls the
// watcher, as a backtracking engine does on a pattern such as ".*password".
#ifndef QUILLMAR_CLI_CONFIG_H
#define QUILLMAR_CLI_CONFIG_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace re2 {
class RE2;
}

namespace host {

struct Config {
  std::string path;  // the file it was read from; empty when there is none
  // RE2 regular expressions, searched for anywhere in a text; ignore_re
  // holds them compiled (shared, so that a Config may be copied).
  std::vector<std::string> ignore;
  std::vector<std::shared_ptr<const re2::RE2>> ignore_re;
  uint64_t min_length = 0;  // bytes
  bool primary = false;
  bool keep_duplicates = false;
  std::string picker;  // empty when not set
  // Read captured images for words. Unset, it is on when images can be
  // read (ocr_unavailable() is empty); set to true when they cannot, the
  // file is refused with the reason.
  bool ocr = false;
  bool ocr_set = false;
  std::vector<std::string> ocr_languages;  // empty: the default, "eng"
  // Whether captured images are read, and in which languages.
  bool reads_images() const;
  std::vector<std::string> languages() const;

  // Why the text (valid UTF-8, as it would be stored) is not to be
  // recorded, such as "it matches the ignore pattern \"^otpauth://\"", or
  // "" when it is to be recorded.
  std::string skip_reason(std::string_view text) const;
};

// Where the config file is looked for; "" when there is no home directory.
std::string config_path();

// Reads the config file at config_path() into *out; a missing file leaves
// the defaults. False, with *error such as "<path>, line 3: min_length must
// be ...", when the file cannot be read or is broken.
bool load_config(Config *out, std::string *error);
bool load_config_file(const std::string &path, Config *out, std::string *error);

}  // namespace host

#endif  // QUILLMAR_CLI_CONFIG_H
