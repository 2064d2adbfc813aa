#include "cli_config.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <re2/re2.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <cstring>

#include "cli_ocr.h"
#include "cli_util.h"

namespace host {
namespace {

const char *type_name(toml::node_type t) {
  switch (t) {
    case toml::node_type::string:
      return "a string";
    case toml::node_type::integer:
      return "an integer";
    case toml::node_type::floating_point:
      return "a floating-point number";
    case toml::node_type::boolean:
      return "a boolean";
    case toml::node_type::date:
      return "a date";
    case toml::node_type::time:
      return "a time";
    case toml::node_type::date_time:
      return "a date-time";
    case toml::node_type::array:
      return "an array";
    case toml::node_type::table:
      return "a table";
    default:
      return "nothing";
  }
}

std::string at_line(const std::string &path, const toml::source_region &where) {
  return path + ", line " + std::to_string(where.begin.line) + ": ";
}

// RE2 matches in time linear in the text whatever the pattern, and so has
// no back-references: they are refused here in plainer words than its
// "invalid escape sequence".
bool has_back_reference(std::string_view pattern) {
  for (size_t i = 0; i + 1 < pattern.size(); ++i) {
    if (pattern[i] != '\\') continue;
    if (pattern[i + 1] >= '1' && pattern[i + 1] <= '9') return true;
    ++i;  // the escaped character, which may be a backslash itself
  }
  return false;
}

bool read_ignore(const std::string &path, const toml::node &node, Config *out,
                 std::string *error) {
  const toml::array *list = node.as_array();
  if (list == nullptr) {
    *error =
        at_line(path, node.source()) +
        "ignore must be a list of regular expressions, such as [\"^otpauth://\"], not " +
        type_name(node.type());
    return false;
  }
  for (size_t i = 0; i < list->size(); ++i) {
    const toml::node &item = *list->get(i);
    std::string name = "ignore[" + std::to_string(i + 1) + "]";
    const std::string *pattern = item.is_string() ? &item.as_string()->get() : nullptr;
    if (pattern == nullptr) {
      *error = at_line(path, item.source()) + name +
               " must be a string (a regular expression), not " + type_name(item.type());
      return false;
    }
    if (has_back_reference(*pattern)) {
      *error = at_line(path, item.source()) + name + " \"" + *pattern +
               "\": back-references such as \\1 are not supported";
      return false;
    }
    RE2::Options options;
    options.set_log_errors(false);  // the error is reported below, once
    // Only whether it matches is asked, never what the groups hold.
    options.set_never_capture(true);
    auto re = std::make_shared<const RE2>(*pattern, options);
    if (!re->ok()) {
      *error = at_line(path, item.source()) + name + " \"" + *pattern +
               "\" is not a valid regular expression (RE2 syntax): " + re->error();
      return false;
    }
    out->ignore_re.push_back(std::move(re));
    out->ignore.push_back(*pattern);
  }
  return true;
}

bool read_bool(const std::string &path, const char *key, const toml::node &node,
               bool *out, std::string *error) {
  if (!node.is_boolean()) {
    *error = at_line(path, node.source()) + key + " must be true or false, not " +
             type_name(node.type());
    return false;
  }
  *out = node.as_boolean()->get();
  return true;
}

bool read_languages(const std::string &path, const toml::node &node, Config *out,
                    std::string *error) {
  const toml::array *list = node.as_array();
  if (list == nullptr || list->empty()) {
    *error = at_line(path, node.source()) +
             "ocr_languages must be a list of Tesseract languages, such as [\"eng\", "
             "\"deu\"], not " +
             (list == nullptr ? type_name(node.type()) : "an empty list");
    return false;
  }
  for (size_t i = 0; i < list->size(); ++i) {
    const toml::node &item = *list->get(i);
    if (!item.is_string()) {
      *error = at_line(path, item.source()) + "ocr_languages[" + std::to_string(i + 1) +
               "] must be a string (a language such as \"eng\"), not " +
               type_name(item.type());
      return false;
    }
    out->ocr_languages.push_back(item.as_string()->get());
  }
  return true;
}

}  // namespace

std::vector<std::string> Config::languages() const {
  return ocr_languages.empty() ? default_ocr_languages() : ocr_languages;
}

bool Config::reads_images() const {
  if (ocr_set) return ocr;
  return ocr_unavailable(languages()).empty();
}

std::string Config::skip_reason(std::string_view text) const {
  if (text.size() < min_length) {
    return "it is shorter than min_length (" + std::to_string(text.size()) + " of " +
           std::to_string(min_length) + " bytes)";
  }
  for (size_t i = 0; i < ignore_re.size(); ++i) {
    if (RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), *ignore_re[i]))
      return "it matches the ignore pattern \"" + ignore[i] + "\"";
  }
  return "";
}

std::string config_path() {
  const char *config = getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/')
    return std::string(config) + "/quillmar-clip/config.toml";
  const char *home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    struct passwd *pw = getpwuid(getuid());
    home = pw != nullptr ? pw->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] == '\0') return "";
  return std::string(home) + "/.config/quillmar-clip/config.toml";
}

bool load_config(Config *out, std::string *error) {
  std::string path = config_path();
  struct stat st;
  if (path.empty() || (stat(path.c_str(), &st) != 0 && errno == ENOENT)) return true;
  return load_config_file(path, out, error);
}

bool load_config_file(const std::string &path, Config *out, std::string *error) {
  // Capped, non-blocking and for regular files only: a FIFO or a link to a
  // device in the file's place would otherwise hang or grow every capture.
  std::string bytes, why;
  if (!read_whole_file(path, &bytes, &why)) {
    size_t at = why.find(path + ": ");
    std::string reason = at != std::string::npos ? why.substr(at + path.size() + 2) : why;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) reason = strerror(EISDIR);
    *error = "cannot read the config file " + path + ": " + reason;
    return false;
  }
  toml::table table;
  try {
    table = toml::parse(bytes, path);
  } catch (const toml::parse_error &e) {
    *error =
        at_line(path, e.source()) + "not valid TOML: " + std::string(e.description());
    return false;
  }
  Config c;
  c.path = path;
  for (auto &&[key, node] : table) {
    std::string_view k = key.str();
    if (k == "ignore") {
      if (!read_ignore(path, node, &c, error)) return false;
    } else if (k == "min_length") {
      const toml::value<int64_t> *n = node.as_integer();
      if (n == nullptr || n->get() < 0) {
        *error =
            at_line(path, node.source()) +
            "min_length must be a whole number of bytes, 0 or more, not " +
            (n == nullptr ? type_name(node.type()) : std::to_string(n->get()).c_str());
        return false;
      }
      c.min_length = static_cast<uint64_t>(n->get());
    } else if (k == "primary") {
      if (!read_bool(path, "primary", node, &c.primary, error)) return false;
    } else if (k == "keep_duplicates") {
      if (!read_bool(path, "keep_duplicates", node, &c.keep_duplicates, error))
        return false;
    } else if (k == "picker") {
      if (!node.is_string()) {
        *error = at_line(path, node.source()) +
                 "picker must be a string (a shell command), not " +
                 type_name(node.type());
        return false;
      }
      c.picker = node.as_string()->get();
    } else if (k == "ocr") {
      if (!read_bool(path, "ocr", node, &c.ocr, error)) return false;
      c.ocr_set = true;
    } else if (k == "ocr_languages") {
      if (!read_languages(path, node, &c, error)) return false;
    } else {
      *error =
          at_line(path, key.source()) + "unknown key \"" + std::string(k) +
          "\" (the keys are ignore, min_length, primary, keep_duplicates, picker, ocr and "
          "ocr_languages)";
      return false;
    }
  }
  // A language whose data is missing is refused now rather than found out
  // at the first screenshot. A build or a machine without Tesseract at all
  // is no error of the file: images are then recorded without words, and
  // stats says why.
  if (c.ocr_set ? c.ocr : !c.ocr_languages.empty()) {
    std::string missing = ocr_missing_language(c.languages());
    if (!missing.empty()) {
      *error = path + ": ocr_languages: " + missing;
      return false;
    }
  }
  *out = std::move(c);
  return true;
}

}  // namespace host
