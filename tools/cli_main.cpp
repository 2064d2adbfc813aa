// quillmar-clip: the command-line host of the clipboard history. It parses
// the command line and hands each command to cli_commands.cpp.
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <clocale>
#include <cstdio>
#include <memory>
#include <string>

#include "cli_commands.h"
#include "cli_config.h"
#include "cli_store.h"
#include "cli_text.h"
#include "cli_watch_x11.h"
#include "quillmar_clip.h"

namespace {

#define QUILLMAR_STR2(x) #x
#define QUILLMAR_STR(x) QUILLMAR_STR2(x)
constexpr char kVersion[] = QUILLMAR_STR(QUILLMAR_CLIP_VERSION_MAJOR) "." QUILLMAR_STR(
    QUILLMAR_CLIP_VERSION_MINOR) "." QUILLMAR_STR(QUILLMAR_CLIP_VERSION_PATCH);

struct Command {
  const char *group;
  const char *name;
  const char *synopsis;
  const char *summary;
  const char *example;
};

// The commands in the order --help shows them.
const Command kCommands[] = {
    {"Recording", "watch", "watch [--primary] [--keep-duplicates]",
     "Follow the X11 CLIPBOARD selection and record every new text and PNG image until "
     "Ctrl-C or SIGTERM; --primary follows PRIMARY too (a selection dragged further "
     "within 5 s replaces the one it grew from). A repeat of an older clip moves it to "
     "the top unless --keep-duplicates. Owners that mark their data as a secret "
     "(x-kde-passwordManagerHint) are skipped.",
     "quillmar-clip watch --primary"},
    {"Recording", "store", "store [--keep-duplicates]",
     "Record one clip read from standard input: a PNG image when the bytes start with "
     "the PNG signature, else a text; other binary data (JPEG, GIF, WebP, PDF, NUL "
     "bytes) is skipped. A repeat of an older clip moves it to the top unless "
     "--keep-duplicates. CLIPBOARD_STATE=sensitive skips it; CLIPBOARD_STATE=clear "
     "deletes the newest clip. This is the command for wl-paste on Wayland.",
     "wl-paste --watch quillmar-clip store"},
    {"Recording", "push", "push TEXT", "Record a text.",
     "quillmar-clip push 'meet at 10:30'"},
    {"Recording", "push-image", "push-image FILE [--label LABEL]",
     "Record the PNG image in FILE, with an optional label.",
     "quillmar-clip push-image shot.png --label 'login page'"},
    {"Recording", "pause", "pause [--for DURATION]",
     "Stop recording (store and watch skip every clip) until resume, or for DURATION.",
     "quillmar-clip pause --for 15m"},
    {"Recording", "resume", "resume", "Record again after a pause.",
     "quillmar-clip resume"},
    {"Reading", "list", "list [--offset N] [--limit N] [--json]",
     "Clips newest first, a page at a time (50 unless --limit says otherwise).",
     "quillmar-clip list --limit 10"},
    {"Reading", "search", "search QUERY [--limit N] [--json]",
     "Text clips that contain QUERY, ignoring the case of A-Z, best match first.",
     "quillmar-clip search invoice"},
    {"Reading", "get", "get ID [--output FILE]",
     "A text clip's bytes on standard output. An image clip's file path, or with "
     "--output "
     "a copy of the image in FILE (- for standard output).",
     "quillmar-clip get 12 --output shot.png"},
    {"Reading", "copy", "copy ID",
     "Put a clip back on the clipboard, through wl-copy (Wayland) or xclip (X11).",
     "quillmar-clip copy 12"},
    {"Changing", "pin", "pin ID",
     "Pin a clip: pinned clips are never evicted (at most 200 are pinned).",
     "quillmar-clip pin 12"},
    {"Changing", "unpin", "unpin ID", "Unpin a clip.", "quillmar-clip unpin 12"},
    {"Changing", "delete", "delete ID", "Delete a clip (and its image file).",
     "quillmar-clip delete 12"},
    {"Changing", "wipe", "wipe [--yes]",
     "Delete every clip, pinned ones too; ids start again at 1. Asks first on a "
     "terminal; "
     "without one it needs --yes.",
     "quillmar-clip wipe --yes"},
    {"Maintenance", "stats", "stats [--json]",
     "Clip counts, pinned clips, the size of the index and of the image files.",
     "quillmar-clip stats"},
    {"Maintenance", "verify", "verify",
     "Check the store without changing it: image files without a clip, clips without "
     "their "
     "image file, damaged indexes set aside, leftovers. Exit status 1 when it finds a "
     "problem.",
     "quillmar-clip verify"},
    {"Maintenance", "export", "export DIR",
     "Copy every clip into DIR (new or empty): text-<id>.txt and image-<id>.png files "
     "and "
     "a manifest.json that describes them.",
     "quillmar-clip export ~/clips-2026-01"},
    {"Maintenance", "expire", "expire --older-than DURATION [--dry-run]",
     "Delete the unpinned clips older than DURATION.",
     "quillmar-clip expire --older-than 30d"},
};

const Command &command(const std::string &name) {
  for (auto &c : kCommands) {
    if (name == c.name) return c;
  }
  return kCommands[0];
}

// Wraps text to width columns, each line after indent spaces.
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

std::string main_help() {
  std::string out =
      "Usage: quillmar-clip [--store DIR] COMMAND [ARGS]\n"
      "\n"
      "A clipboard history of texts and PNG images, kept in one store directory\n"
      "(at most 500 unpinned clips; older ones are evicted).\n";
  const char *group = "";
  for (auto &c : kCommands) {
    if (std::string(group) != c.group) {
      group = c.group;
      out += std::string("\n") + group + ":\n";
    }
    out += std::string("  ") + c.synopsis + "\n";
    out += wrap(c.summary, 6, 80);
    out += std::string("      e.g. ") + c.example + "\n";
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
      "30d, 2w, or several (1d12h). Texts that are not valid UTF-8 are recorded with\n"
      "U+FFFD in place of the invalid bytes. Exit status: 0 success, 1 failure, 2 usage\n"
      "error or a broken config file.\n";
  return out;
}

class HostFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App *app, std::string name,
                        CLI::AppFormatMode mode) const override {
    if (app->get_parent() == nullptr) return main_help();
    return CLI::Formatter::make_help(app, name, mode);
  }
};

CLI::App *add_command(CLI::App &app, const char *name) {
  const Command &c = command(name);
  CLI::App *sub = app.add_subcommand(c.name, c.summary);
  sub->footer(std::string("Example: ") + c.example);
  return sub;
}

CLI::Validator duration_validator(bool positive) {
  return CLI::Validator(
      [positive](std::string &s) -> std::string {
        int64_t seconds = 0;
        if (!host::parse_duration(s, &seconds)) {
          return "not a duration such as 45s, 90m, 12h, 30d or 2w: " + s;
        }
        if (positive && seconds == 0) return "the duration must be longer than 0: " + s;
        return "";
      },
      "DURATION");
}

int64_t duration_of(const std::string &s) {
  int64_t seconds = 0;
  host::parse_duration(s, &seconds);
  return seconds;
}

}  // namespace

int main(int argc, char **argv) {
  // Column widths of the table come from wcwidth, which needs a UTF-8
  // character type; the clips are UTF-8 whatever the user's locale says.
  if (setlocale(LC_CTYPE, "") == nullptr || MB_CUR_MAX == 1)
    setlocale(LC_CTYPE, "C.UTF-8");

  CLI::App app{"A clipboard history of texts and PNG images", "quillmar-clip"};
  app.formatter(std::make_shared<HostFormatter>());
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", std::string("quillmar-clip ") + kVersion);
  std::string store;
  app.add_option("--store", store, "the store directory")->type_name("DIR");

  bool primary = false, json = false, yes = false, dry_run = false;
  int id = 0, offset = 0, limit = 0;
  std::string text, file, label, query, output, dir, older_than, pause_for;

  bool keep_duplicates = false;
  CLI::App *watch = add_command(app, "watch");
  CLI::Option *primary_opt = watch->add_flag("--primary,!--no-primary", primary,
                                             "follow the PRIMARY selection too");
  CLI::Option *keep_watch =
      watch->add_flag("--keep-duplicates,!--no-keep-duplicates", keep_duplicates,
                      "record repeats as new clips");
  CLI::App *store_cmd = add_command(app, "store");
  CLI::Option *keep_store =
      store_cmd->add_flag("--keep-duplicates,!--no-keep-duplicates", keep_duplicates,
                          "record repeats as new clips");
  CLI::App *push = add_command(app, "push");
  push->add_option("TEXT", text, "the text")->required();
  CLI::App *push_image = add_command(app, "push-image");
  push_image->add_option("FILE", file, "a PNG file")->required();
  CLI::Option *label_opt =
      push_image->add_option("--label", label, "a label for the image");
  CLI::App *pause = add_command(app, "pause");
  pause->add_option("--for", pause_for, "resume by itself after this long")
      ->check(duration_validator(true));
  CLI::App *resume = add_command(app, "resume");
  CLI::App *list = add_command(app, "list");
  list->add_option("--offset", offset, "skip this many of the newest clips")
      ->check(CLI::Range(0, INT_MAX));
  list->add_option("--limit", limit, "show at most this many clips (50)")
      ->check(CLI::Range(1, INT_MAX));
  list->add_flag("--json", json, "print the library's JSON");
  CLI::App *search = add_command(app, "search");
  search->add_option("QUERY", query, "the text to look for")->required();
  search->add_option("--limit", limit, "show at most this many clips (50)")
      ->check(CLI::Range(1, INT_MAX));
  search->add_flag("--json", json, "print the library's JSON");
  CLI::App *get = add_command(app, "get");
  get->add_option("ID", id, "the clip's id")->required();
  CLI::Option *output_opt = get->add_option(
      "-o,--output", output, "write the content to FILE (- for standard output)");
  CLI::App *copy = add_command(app, "copy");
  copy->add_option("ID", id, "the clip's id")->required();
  CLI::App *pin = add_command(app, "pin");
  pin->add_option("ID", id, "the clip's id")->required();
  CLI::App *unpin = add_command(app, "unpin");
  unpin->add_option("ID", id, "the clip's id")->required();
  CLI::App *del = add_command(app, "delete");
  del->add_option("ID", id, "the clip's id")->required();
  CLI::App *wipe = add_command(app, "wipe");
  wipe->add_flag("-y,--yes", yes, "do not ask");
  CLI::App *stats = add_command(app, "stats");
  stats->add_flag("--json", json, "print JSON");
  CLI::App *verify = add_command(app, "verify");
  CLI::App *export_cmd = add_command(app, "export");
  export_cmd->add_option("DIR", dir, "a new or empty directory")->required();
  CLI::App *expire = add_command(app, "expire");
  expire->add_option("--older-than", older_than, "the age beyond which clips go")
      ->required()
      ->check(duration_validator(false));
  expire->add_flag("--dry-run", dry_run, "only say which clips would go");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::string usage = "quillmar-clip [--store DIR] COMMAND [ARGS]";
    std::string why = e.what();
    for (CLI::App *sub : app.get_subcommands()) {
      usage = std::string("quillmar-clip ") + command(sub->get_name()).synopsis;
    }
    if (app.get_subcommands().empty()) {
      // The first word that is neither an option nor the value of --store
      // was meant as the command.
      for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--store") {
          ++i;
        } else if (!a.empty() && a[0] != '-') {
          why = "unknown command: " + a;
          break;
        }
      }
    }
    fprintf(stderr,
            "quillmar-clip: %s\nusage: %s\n(quillmar-clip --help lists every command)\n",
            why.c_str(), usage.c_str());
    return 2;
  }

  bool opens_store = !(app.got_subcommand(verify) || app.got_subcommand(pause) ||
                       app.got_subcommand(resume));
  if (store.empty()) {
    std::string error;
    store = host::default_store_dir(&error);
    if (store.empty()) {
      host::complain(error);
      return 1;
    }
    if (opens_store && !host::make_parents(store, &error)) {
      host::complain(error);
      return 1;
    }
  }

  if (app.got_subcommand(watch) || app.got_subcommand(store_cmd)) {
    // A broken config file is a usage error: recording by defaults the user
    // did not choose could keep what they asked us to leave alone.
    host::Config config;
    std::string error;
    if (!host::load_config(&config, &error)) {
      host::complain(error);
      return 2;
    }
    if (primary_opt->count() > 0) config.primary = primary;
    if (keep_watch->count() + keep_store->count() > 0)
      config.keep_duplicates = keep_duplicates;
    if (app.got_subcommand(store_cmd)) return host::cmd_store(store, config);
    host::WatchOptions options{store, config.primary, config};
    return host::run_watch(options);
  }
  if (app.got_subcommand(push)) return host::cmd_push(store, text);
  if (app.got_subcommand(push_image)) {
    return host::cmd_push_image(store, file, label_opt->count() > 0 ? &label : nullptr);
  }
  if (app.got_subcommand(pause)) return host::cmd_pause(store, duration_of(pause_for));
  if (app.got_subcommand(resume)) return host::cmd_resume(store);
  if (app.got_subcommand(list)) return host::cmd_list(store, offset, limit, json);
  if (app.got_subcommand(search)) return host::cmd_search(store, query, limit, json);
  if (app.got_subcommand(get)) {
    return host::cmd_get(store, id, output_opt->count() > 0 ? &output : nullptr);
  }
  if (app.got_subcommand(copy)) return host::cmd_copy(store, id);
  if (app.got_subcommand(pin)) return host::cmd_pin(store, id, true);
  if (app.got_subcommand(unpin)) return host::cmd_pin(store, id, false);
  if (app.got_subcommand(del)) return host::cmd_delete(store, id);
  if (app.got_subcommand(wipe)) return host::cmd_wipe(store, yes);
  if (app.got_subcommand(stats)) return host::cmd_stats(store, json);
  if (app.got_subcommand(verify)) return host::cmd_verify(store);
  if (app.got_subcommand(export_cmd)) return host::cmd_export(store, dir);
  if (app.got_subcommand(expire)) {
    return host::cmd_expire(store, duration_of(older_than), older_than, dry_run);
  }
  return 2;
}
