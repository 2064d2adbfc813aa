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

// Keyed by the command's name, in the order of the table of commands,
// which is the order quillmar-clip --help lists them in.
const CommandHelp kHelp[] = {
    {"watch", "Recording", "watch [--primary] [--keep-duplicates]",
     "Follow the clipboard and record every new text and PNG image until Ctrl-C or "
     "SIGTERM; --primary follows PRIMARY too (on X11, a selection dragged further "
     "within 5 s replaces the one it grew from). A repeat of an older clip moves it "
     "to the top unless --keep-duplicates. On Wayland (WAYLAND_DISPLAY set) it runs "
     "wl-paste --watch, which needs a compositor with the data-control protocol "
     "(sway and other wlroots compositors, KDE); else it follows X11. Owners that "
     "mark their data as a secret (x-kde-passwordManagerHint), or whose hint cannot "
     "be read, are skipped, and so are those whose offer cannot be listed unless "
     "the hint says no secret.",
     "quillmar-clip watch --primary"},
    {"wayland-capture", "", "wayland-capture [--primary] KIND", "", ""},
    {"wayland-record", "", "wayland-record [--primary] [--label WORDS] --seen N KIND", "",
     ""},
    {"store", "Recording", "store [--keep-duplicates]",
     "Record one clip read from standard input: a PNG image when the bytes start "
     "with the PNG signature, else a text; other binary data (JPEG, GIF, WebP, PDF, "
     "NUL bytes) is skipped. A repeat of an older clip moves it to the top unless "
     "--keep-duplicates. CLIPBOARD_STATE=sensitive skips it; CLIPBOARD_STATE=clear "
     "deletes the clip that store newly added last, if that was at most 5 minutes "
     "ago and it is still the newest clip and not pinned (never after a skipped "
     "clip, nor a repeat of a clip the history held). This is the command for "
     "wl-paste on Wayland.",
     "wl-paste --watch quillmar-clip store"},
    {"push", "Recording", "push TEXT", "Record a text.",
     "quillmar-clip push 'meet at 10:30'"},
    {"push-image", "Recording", "push-image FILE [--label LABEL]",
     "Record the PNG image in FILE, with an optional label.",
     "quillmar-clip push-image shot.png --label 'login page'"},
    {"pause", "Recording", "pause [--for DURATION]",
     "Stop recording (store and watch skip every clip) until resume, or for "
     "DURATION.",
     "quillmar-clip pause --for 15m"},
    {"resume", "Recording", "resume", "Record again after a pause.",
     "quillmar-clip resume"},
    {"list", "Reading", "list [--offset N] [--limit N] [--pinned] [--json | --picker]",
     "Clips newest first, a page at a time (50 unless --limit says otherwise); the "
     "table ends saying how many are pinned. --pinned lists only the pinned clips. "
     "--picker prints every clip (unless --limit says otherwise) as one line "
     "ID<TAB>TEXT, the pinned ones first and marked with a star, for a picker such "
     "as fzf or rofi -dmenu.",
     "quillmar-clip list --picker | fzf | quillmar-clip copy -"},
    {"search", "Reading", "search QUERY [--limit N] [--json]",
     "Clips that hold every word of QUERY, in any order and ignoring case (MÜNCHEN "
     "finds münchen): text clips by their text, image clips by their label. Best "
     "match first (a word near the start, with its case as typed, counts most), the "
     "newest first among equals.",
     "quillmar-clip search 'invoice march'"},
    {"get", "Reading", "get ID|- [--output FILE]",
     "A text clip's bytes on standard output. An image clip's file path, or with "
     "--output a copy of the image in FILE (- for standard output). With - as ID, "
     "the id is read from standard input: a line of list --picker, or just an id.",
     "quillmar-clip get 12 --output shot.png"},
    {"copy", "Reading", "copy ID|-",
     "Put a clip back on the clipboard, through wl-copy (Wayland) or xclip (X11). "
     "With - as ID, the id is read from standard input, as get does.",
     "quillmar-clip copy 12"},
    {"fetch", "", "fetch ID", "", ""},
    {"pick", "Reading", "pick [--print | --paste [--paste-keys CHORD]]",
     "Choose a clip in a picker and put it back on the clipboard, or with --print "
     "write it to standard output as get does. The picker is the shell command in "
     "$QUILLMAR_PICKER, else the config file's picker, else the first found of fzf "
     "(in a terminal), rofi, wofi, fuzzel, bemenu and dmenu, each matching without "
     "regard to case; it reads the lines of list --picker. A known picker named "
     "alone gets the same arguments. Exit status 1, quietly, when nothing is "
     "picked. --paste (or paste = true in the config file) then pastes the clip "
     "into the focused window with ctrl+v, or the chord of --paste-keys (such as "
     "ctrl+shift+v for a terminal), through xdotool on X11 and wtype on Wayland.",
     "QUILLMAR_PICKER='fzf --height 40%' quillmar-clip pick --print"},
    {"preview", "", "preview ID", "", ""},
    {"picker-rows", "", "picker-rows", "", ""},
    {"pin", "Changing", "pin ID",
     "Pin a clip: pinned clips are never evicted (at most 200 are pinned).",
     "quillmar-clip pin 12"},
    {"unpin", "Changing", "unpin ID", "Unpin a clip.", "quillmar-clip unpin 12"},
    {"delete", "Changing", "delete ID", "Delete a clip (and its image file).",
     "quillmar-clip delete 12"},
    {"wipe", "Changing", "wipe [--yes]",
     "Delete every clip, pinned ones too; ids start again at 1. Asks first on a "
     "terminal; without one it needs --yes.",
     "quillmar-clip wipe --yes"},
    {"stats", "Maintenance", "stats [--json]",
     "Clip counts, pinned clips, the size of the index and of the image files, the "
     "limits in force (max_items, expire_after) and whether recording is paused.",
     "quillmar-clip stats"},
    {"serve", "Maintenance", "serve",
     "Keep the history loaded and run this user's commands on it, over a socket "
     "only this user can reach, until Ctrl-C or SIGTERM, without following the "
     "clipboard (watch serves too). Every command asks the server of its store "
     "first and opens the store itself when none answers, with the same result.",
     "quillmar-clip serve"},
    {"verify", "Maintenance", "verify",
     "Check the store without writing anything: image files without a clip, clips "
     "without their image file, damaged indexes set aside, leftovers. Exit status 1 "
     "when it finds a problem.",
     "quillmar-clip verify"},
    {"ocr", "Maintenance", "ocr ID | ocr --all [--relabel]",
     "Print the words read in an image clip now. With --all, those of every image "
     "clip without a label, oldest first; with --relabel too, record each of them "
     "again with its words as its label, as the newest clips (their ids change; "
     "pins are kept; nothing is evicted). Captured images are read as they are "
     "recorded when the config file's ocr is on.",
     "quillmar-clip ocr --all --relabel"},
    {"export", "Maintenance", "export DIR",
     "Copy every clip into DIR (new or empty): text-<id>.txt and image-<id>.png "
     "files and a manifest.json that describes them.",
     "quillmar-clip export ~/clips-2026-01"},
    {"import", "Maintenance", "import DIR",
     "Restore the clips that export wrote into DIR, in their order and with their "
     "pins and labels, as the newest clips of the history; their times become the "
     "time of the import. Every file is checked first: a manifest or file that "
     "cannot be read imports nothing, and so do clips that would not fit (at most "
     "200 pinned and 500 unpinned clips).",
     "quillmar-clip import ~/clips-2026-01"},
    {"recover", "Maintenance", "recover [FILE] [--dry-run]",
     "Give back the clips of a damaged index that was set aside (the newest "
     "clips.json.corrupt.* of the store, or FILE; a bare name is one in the store): "
     "every whole record, and every image file that no clip names, as the newest "
     "clips, oldest first, with their pins and labels. Clips the history holds "
     "already are not added again, and clips that would not fit are refused, never "
     "evicting. Each clip that cannot be given back is named with the reason. The "
     "set-aside file stays.",
     "quillmar-clip recover --dry-run"},
    {"completion", "Maintenance", "completion bash|zsh|fish",
     "Print the completion script of a shell: the commands, their options, and the "
     "ids of the clips (with their previews where the shell shows them).",
     "source <(quillmar-clip completion bash)"},
    {"complete-ids", "", "complete-ids", "", ""},
    {"expire", "Maintenance", "expire --older-than DURATION [--dry-run]",
     "Delete the unpinned clips older than DURATION.",
     "quillmar-clip expire --older-than 30d"},
};

}  // namespace

const CommandHelp *help_of(std::string_view name) {
  for (auto &h : kHelp) {
    if (name == h.name) return &h;
  }
  return nullptr;
}

std::string main_help(const CLI::App *app) {
  std::string out =
      "Usage: quillmar-clip [--store DIR] COMMAND [ARGS]\n"
      "\n"
      "A clipboard history of texts and PNG images, kept in one store directory\n"
      "(at most 500 unpinned clips; older ones are evicted).\n";
  const char *group = "";
  for (const CLI::App *sub :
       app->get_subcommands([](const CLI::App *) { return true; })) {
    const CommandHelp *h = help_of(sub->get_name());
    if (h == nullptr || h->group[0] == '\0') continue;
    if (std::string(group) != h->group) {
      group = h->group;
      out += std::string("\n") + group + ":\n";
    }
    out += std::string("  ") + h->synopsis + "\n";
    out += wrap(h->summary, 6, 80);
    out += std::string("      e.g. ") + h->example + "\n";
  }
  out +=
      "\n"
      "Options:\n"
      "  --store DIR   the store directory; by default "
      "$XDG_DATA_HOME/quillmar-clipboard-history\n"
      "                (~/.local/share/quillmar-clipboard-history when XDG_DATA_HOME is "
      "unset)\n"
      "  -h, --help    this text; COMMAND --help describes one command\n"
      "  --no-primary, --no-keep-duplicates\n"
      "                (watch, store) override the config file\n"
      "                ~/.config/quillmar-clip/config.toml (man quillmar-clip)\n"
      "  --version     the version\n"
      "\n"
      "list and search print a table on a terminal, and the library's JSON with --json "
      "or\n"
      "when the output is not a terminal. DURATION is a number and a unit: 45s, 90m, "
      "12h,\n"
      "30d, 2w, or several (1d12h). ID and N are decimal (010 is ten; 0x3 is refused).\n"
      "Texts that are not valid UTF-8 are recorded with U+FFFD in place of the invalid\n"
      "bytes. An empty --store DIR, or one that is not valid UTF-8, is a usage error.\n"
      "Exit status: 0 success, 1 failure, 2 usage error or a broken config file.\n";
  return out;
}

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
