#include "cli_help.h"

#include <algorithm>
#include <string_view>
#include <type_traits>
#include <vector>

namespace host {
namespace {

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// "-o, --output FILE", "--json", "ID".
std::string option_label(const CLI::Option *opt) {
  if (!opt->nonpositional()) return opt->get_name(true);
  std::string label;
  for (auto &s : opt->get_snames()) label += (label.empty() ? "-" : ", -") + s;
  for (auto &l : opt->get_lnames()) label += (label.empty() ? "--" : ", --") + l;
  std::string value = value_name(opt);
  if (!value.empty()) label += " " + value;
  return label;
}

// Rows of two columns: the label, and the description wrapped beside it.
std::string rows(const std::vector<std::pair<std::string, std::string>> &items) {
  size_t col = 0;
  for (auto &[label, desc] : items) col = std::max(col, label.size());
  col = std::min<size_t>(col, 24) + 4;
  std::string out;
  for (auto &[label, desc] : items) {
    std::string body = wrap(desc, col, 80);
    std::string line = "  " + label;
    if (body.empty()) {
      out += line + "\n";
    } else if (line.size() + 2 > col) {
      out += line + "\n" + body;
    } else {
      out += line + body.substr(line.size());
    }
  }
  return out;
}

}  // namespace

std::string wrap(const std::string &text, size_t indent, size_t width) {
  std::string out, line;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(start, end - start);
    if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
      out += std::string(indent, ' ') + line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    start = end + 1;
  }
  if (!line.empty()) out += std::string(indent, ' ') + line + "\n";
  return out;
}

std::string value_name(const CLI::Option *opt) {
  if (opt->get_type_size() == 0) return "";
  // CLI11 appends the names of the validators after a colon.
  std::string name = opt->get_type_name();
  return name.substr(0, name.find(':'));
}

std::string command_help(const CLI::App *sub, const std::string &usage,
                         const std::string &summary, const std::string &example) {
  // The usage line goes on below "Usage: " when it is too long for one.
  std::string out =
      "Usage: " + wrap(usage, 7, 80).substr(7) + "\n" + wrap(summary, 0, 80);
  std::vector<std::pair<std::string, std::string>> args, opts;
  for (const CLI::Option *opt : sub->get_options()) {
    std::string desc = opt->get_description();
    if (opt == sub->get_help_ptr()) desc = "this text";
    (opt->nonpositional() ? opts : args).emplace_back(option_label(opt), desc);
  }
  if (!args.empty()) out += "\nArguments:\n" + rows(args);
  // Options in the order of the usage line, help last.
  std::rotate(opts.begin(), opts.begin() + 1, opts.end());
  out += "\nOptions:\n" + rows(opts);
  // The hidden command run by the Wayland watcher has none.
  if (!example.empty()) out += "\nExample: " + example + "\n";
  out +=
      "(--store DIR goes before the command; quillmar-clip --help lists every command)\n";
  return out;
}

std::string usage_why(const CLI::ParseError &e) {
  std::string msg = e.what();
  // Some errors carry the command's name instead of their own, so the kind
  // comes from the type.
  auto is = [&e](auto *kind) {
    return dynamic_cast<std::remove_pointer_t<decltype(kind)> const *>(&e) != nullptr;
  };
  if (is(static_cast<CLI::RequiredError *>(nullptr))) {
    if (msg == "A subcommand is required") return "missing COMMAND";
    // require_option on a command whose arguments are alternatives: the
    // first of them is what is missing ("missing ID").
    const std::string some = "At least 1 option from [";
    if (starts_with(msg, some)) {
      size_t end = msg.find_first_of(",]", some.size());
      return "missing " + msg.substr(some.size(), end - some.size());
    }
    size_t at = msg.rfind(" is required");
    if (at != std::string::npos) return "missing " + msg.substr(0, at);
  }
  // Numbers are checked before CLI11 converts them, so what it cannot
  // convert is the value given to a flag ("--json=maybe").
  if (is(static_cast<CLI::ConversionError *>(nullptr)) &&
      starts_with(msg, "Could not convert: ")) {
    size_t eq = msg.find(" = ");
    if (eq != std::string::npos) {
      size_t from = sizeof "Could not convert: " - 1;
      return "not a value for " + msg.substr(from, eq - from) + ": " + msg.substr(eq + 3);
    }
  }
  if (is(static_cast<CLI::ValidationError *>(nullptr))) {
    size_t colon = msg.find(": ");
    if (colon != std::string::npos) {
      std::string name = msg.substr(0, colon), why = msg.substr(colon + 2);
      // A positional argument's own checks say what they found; an
      // option's may be worded to follow its name ("takes a number of 1 or
      // more, not 0").
      if (!starts_with(name, "-")) return why;
      if (starts_with(why, "takes ")) return name + " " + why;
    }
  }
  if (is(static_cast<CLI::ExtrasError *>(nullptr))) {
    size_t colon = msg.find(": ");
    std::string listed = colon != std::string::npos ? msg.substr(colon + 2) : msg;
    // CLI11 lists them last first.
    std::string extras;
    for (size_t end = listed.size(); end != std::string::npos && end > 0;) {
      size_t space = listed.rfind(' ', end - 1);
      size_t from = space == std::string::npos ? 0 : space + 1;
      extras += (extras.empty() ? "" : " ") + listed.substr(from, end - from);
      end = space;
    }
    bool one = extras.find(' ') == std::string::npos;
    if (one && starts_with(extras, "-")) return "unknown option: " + extras;
    return (one ? "unexpected argument: " : "unexpected arguments: ") + extras;
  }
  if (is(static_cast<CLI::ArgumentMismatch *>(nullptr))) {
    size_t colon = msg.find(": ");
    if (colon != std::string::npos && msg.find(" missing") != std::string::npos)
      return msg.substr(0, colon) + " needs a value";
  }
  if (is(static_cast<CLI::ExcludesError *>(nullptr))) {
    size_t ex = msg.find(" excludes ");
    if (ex != std::string::npos)
      return msg.substr(0, ex) + " and " + msg.substr(ex + 10) +
             " cannot be used together";
  }
  if (!msg.empty() && msg[0] >= 'A' && msg[0] <= 'Z')
    msg[0] = static_cast<char>(msg[0] - 'A' + 'a');
  return msg;
}

}  // namespace host
