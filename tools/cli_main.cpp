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
#include "cli_completion.h"
#include "cli_help.h"
#include "cli_import.h"
#include "cli_picker.h"
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
    {"Recording", "watch", "watch [--primary]",
     "Follow the X11 CLIPBOARD selection and record every new text and PNG image until "
     "Ctrl-C or SIGTERM; --primary follows PRIMARY too. Owners that mark their data as a "
     "secret (x-kde-passwordManagerHint) are skipped.",
     "quillmar-clip watch --primary"},
    {"Recording", "store", "store",
     "Record one clip read from standard input: a PNG image when the bytes start with "
     "the "
     "PNG signature, else a text. CLIPBOARD_STATE=sensitive skips it; "
     "CLIPBOARD_STATE=clear "
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
    {"Reading", "list", "list [--offset N] [--limit N] [--json | --picker]",
     "Clips newest first, a page at a time (50 unless --limit says otherwise). --picker "
     "prints every clip (unless --limit says otherwise) as one line ID<TAB>PREVIEW, "
     "for a picker such as fzf or rofi -dmenu.",
     "quillmar-clip list --picker | fzf | quillmar-clip copy -"},
    {"Reading", "search", "search QUERY [--limit N] [--json]",
     "Text clips that contain QUERY, ignoring the case of A-Z, best match first.",
     "quillmar-clip search invoice"},
    {"Reading", "get", "get ID|- [--output FILE]",
     "A text clip's bytes on standard output. An image clip's file path, or with "
     "--output a copy of the image in FILE (- for standard output). With - as ID, the "
     "id is read from standard input: a line of list --picker, or just an id.",
     "quillmar-clip get 12 --output shot.png"},
    {"Reading", "copy", "copy ID|-",
     "Put a clip back on the clipboard, through wl-copy (Wayland) or xclip (X11). With - "
     "as ID, the id is read from standard input, as get does.",
     "quillmar-clip copy 12"},
    {"Reading", "pick", "pick [--print]",
     "Choose a clip in a picker and put it back on the clipboard, or with --print write "
     "it to standard output as get does. The picker is the shell command in "
     "$QUILLMAR_PICKER, else the first found of fzf (in a terminal), rofi -dmenu, wofi "
     "--dmenu, fuzzel --dmenu, bemenu and dmenu; it reads the lines of list --picker. "
     "Exit status 1 when nothing is picked.",
     "QUILLMAR_PICKER='fzf --height 40%' quillmar-clip pick --print"},
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
    {"Maintenance", "import", "import DIR",
     "Restore the clips that export wrote into DIR, in their order and with their pins "
     "and labels, as the newest clips of the history; their times become the time of "
     "the import. Every file is checked first: a manifest or file that cannot be read "
     "imports nothing, and so do clips that would not fit (at most 200 pinned and 500 "
     "unpinned clips).",
     "quillmar-clip import ~/clips-2026-01"},
    {"Maintenance", "completion", "completion bash|zsh|fish",
     "Print the completion script of a shell: the commands, their options, and the ids "
     "of the clips (with their previews where the shell shows them).",
     "source <(quillmar-clip completion bash)"},
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
    out += host::wrap(c.summary, 6, 80);
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
      "  --version     the version\n"
      "\n"
      "list and search print a table on a terminal, and the library's JSON with --json "
      "or\n"
      "when the output is not a terminal. DURATION is a number and a unit: 45s, 90m, "
      "12h,\n"
      "30d, 2w, or several (1d12h). Texts that are not valid UTF-8 are recorded with\n"
      "U+FFFD in place of the invalid bytes. Exit status: 0 success, 1 failure, 2 usage\n"
      "error.\n";
  return out;
}

class HostFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App *app, std::string name,
                        CLI::AppFormatMode mode) const override {
    (void)name;
    (void)mode;
    if (app->get_parent() == nullptr) return main_help();
    const Command &c = command(app->get_name());
    return host::command_help(app,
                              std::string("quillmar-clip [--store DIR] ") + c.synopsis,
                              c.summary, c.example);
  }
};

constexpr char main_usage[] = "quillmar-clip [--store DIR] COMMAND [ARGS]";

std::string command_usage(const std::string &name) {
  return std::string("quillmar-clip ") + command(name).synopsis;
}

// A usage error in the house style: exit status 2.
int usage_error(const std::string &why, const std::string &usage) {
  fprintf(stderr,
          "quillmar-clip: %s\nusage: %s\n(quillmar-clip --help lists every command)\n",
          why.c_str(), usage.c_str());
  return 2;
}

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

// A clip id, or "-" for the id at the start of a line on standard input.
CLI::Validator id_or_stdin() {
  return CLI::Validator(
      [](std::string &s) -> std::string {
        int id = 0;
        if (s == "-" ||
            (s.find_first_of(" \t") == std::string::npos && host::leading_id(s, &id))) {
          return "";
        }
        return "not a clip id: " + s;
      },
      "ID");
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
  std::string id_arg;  // get and copy: an id, or "-"
  bool picker = false, print = false;

  CLI::App *watch = add_command(app, "watch");
  watch->add_flag("--primary", primary, "follow the PRIMARY selection too");
  CLI::App *store_cmd = add_command(app, "store");
  CLI::App *push = add_command(app, "push");
  push->add_option("TEXT", text, "the text")->required();
  CLI::App *push_image = add_command(app, "push-image");
  push_image->add_option("FILE", file, "a PNG file")->required();
  CLI::Option *label_opt =
      push_image->add_option("--label", label, "a label for the image")
          ->type_name("LABEL");
  CLI::App *pause = add_command(app, "pause");
  pause->add_option("--for", pause_for, "resume by itself after this long")
      ->type_name("DURATION")
      ->check(duration_validator(true));
  CLI::App *resume = add_command(app, "resume");
  CLI::App *list = add_command(app, "list");
  list->add_option("--offset", offset, "skip this many of the newest clips")
      ->type_name("N")
      ->check(CLI::Range(0, INT_MAX));
  list->add_option("--limit", limit,
                   "show at most this many clips (50; every one with --picker)")
      ->type_name("N")
      ->check(CLI::Range(1, INT_MAX));
  CLI::Option *list_json = list->add_flag("--json", json, "print the library's JSON");
  list->add_flag("--picker", picker, "print one line ID<TAB>PREVIEW per clip, every clip")
      ->excludes(list_json);
  CLI::App *search = add_command(app, "search");
  search->add_option("QUERY", query, "the text to look for")->required();
  search->add_option("--limit", limit, "show at most this many clips (50)")
      ->type_name("N")
      ->check(CLI::Range(1, INT_MAX));
  search->add_flag("--json", json, "print the library's JSON");
  CLI::App *get = add_command(app, "get");
  get->add_option("ID", id_arg, "the clip's id, or - to read it from standard input")
      ->required()
      ->check(id_or_stdin());
  CLI::Option *output_opt =
      get->add_option("-o,--output", output,
                      "write the content to FILE (- for standard output)")
          ->type_name("FILE");
  CLI::App *copy = add_command(app, "copy");
  copy->add_option("ID", id_arg, "the clip's id, or - to read it from standard input")
      ->required()
      ->check(id_or_stdin());
  CLI::App *pick = add_command(app, "pick");
  pick->add_flag("--print", print, "write the clip to standard output instead");
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
  CLI::App *import_cmd = add_command(app, "import");
  import_cmd->add_option("DIR", dir, "a directory written by export")->required();
  CLI::App *completion = add_command(app, "completion");
  std::string shell;
  completion->add_option("SHELL", shell, "bash, zsh or fish")
      ->required()
      ->check(CLI::Validator(
          [](std::string &s) -> std::string {
            if (s == "bash" || s == "zsh" || s == "fish") return "";
            return "no completion script for " + s + ": bash, zsh or fish";
          },
          "SHELL"));
  CLI::App *expire = add_command(app, "expire");
  expire->add_option("--older-than", older_than, "the age beyond which clips go")
      ->type_name("DURATION")
      ->required()
      ->check(duration_validator(false));
  expire->add_flag("--dry-run", dry_run, "only say which clips would go");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::string usage = main_usage;
    std::string why = host::usage_why(e);
    for (CLI::App *sub : app.get_subcommands()) usage = command_usage(sub->get_name());
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
        } else if (a != "-h" && a != "--help" && a != "--version" &&
                   a.rfind("--store=", 0) != 0) {
          why = "unknown option: " + a;
          break;
        }
      }
    }
    return usage_error(why, usage);
  }

  // get - and copy - take the id from a line on standard input.
  if (app.got_subcommand(get) || app.got_subcommand(copy)) {
    if (id_arg == "-") {
      std::string why;
      int rc = host::id_from_stdin(&id, &why);
      if (rc == 2) return usage_error(why, command_usage(get->parsed() ? "get" : "copy"));
      if (rc != 0) return rc;
    } else {
      host::leading_id(id_arg, &id);
    }
  }

  // Needs no store, so it works in a shell's start-up files even without one.
  if (app.got_subcommand(completion)) {
    std::string script = host::completion_script(app, shell);
    return fwrite(script.data(), 1, script.size(), stdout) == script.size() &&
                   fflush(stdout) == 0
               ? 0
               : 1;
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

  if (app.got_subcommand(watch)) return host::run_watch({store, primary});
  if (app.got_subcommand(store_cmd)) return host::cmd_store(store);
  if (app.got_subcommand(push)) return host::cmd_push(store, text);
  if (app.got_subcommand(push_image)) {
    return host::cmd_push_image(store, file, label_opt->count() > 0 ? &label : nullptr);
  }
  if (app.got_subcommand(pause)) return host::cmd_pause(store, duration_of(pause_for));
  if (app.got_subcommand(resume)) return host::cmd_resume(store);
  if (app.got_subcommand(list)) {
    if (picker) return host::cmd_list_picker(store, offset, limit);
    return host::cmd_list(store, offset, limit, json);
  }
  if (app.got_subcommand(search)) return host::cmd_search(store, query, limit, json);
  if (app.got_subcommand(get)) {
    return host::cmd_get(store, id, output_opt->count() > 0 ? &output : nullptr);
  }
  if (app.got_subcommand(copy)) return host::cmd_copy(store, id);
  if (app.got_subcommand(pick)) return host::cmd_pick(store, print);
  if (app.got_subcommand(pin)) return host::cmd_pin(store, id, true);
  if (app.got_subcommand(unpin)) return host::cmd_pin(store, id, false);
  if (app.got_subcommand(del)) return host::cmd_delete(store, id);
  if (app.got_subcommand(wipe)) return host::cmd_wipe(store, yes);
  if (app.got_subcommand(stats)) return host::cmd_stats(store, json);
  if (app.got_subcommand(verify)) return host::cmd_verify(store);
  if (app.got_subcommand(export_cmd)) return host::cmd_export(store, dir);
  if (app.got_subcommand(import_cmd)) return host::cmd_import(store, dir);
  if (app.got_subcommand(expire)) {
    return host::cmd_expire(store, duration_of(older_than), older_than, dry_run);
  }
  return 2;
}
