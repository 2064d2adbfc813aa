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
#include "cli_store.h"
#include "cli_text.h"
#include "cli_watch_wayland.h"
#include "cli_watch_x11.h"
#include "quillmar_clip.h"

namespace {

#define QUILLMAR_STR2(x) #x
#define QUILLMAR_STR(x) QUILLMAR_STR2(x)
constexpr char kVersion[] = QUILLMAR_STR(QUILLMAR_CLIP_VERSION_MAJOR) "." QUILLMAR_STR(
    QUILLMAR_CLIP_VERSION_MINOR) "." QUILLMAR_STR(QUILLMAR_CLIP_VERSION_PATCH);

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

// CLI11 would read "010" as octal and "0x3" as hexadecimal. Ids and counts
// are decimal, leading zeros and all: the value is checked here and handed
// on in its plain decimal form, which CLI11 then converts as it is.
CLI::Validator decimal(int64_t min, int64_t max) {
  return CLI::Validator(
      [min, max](std::string &s) -> std::string {
        int64_t v = 0;
        switch (host::parse_decimal(s, min, max, &v)) {
          case host::Decimal::ok:
            s = std::to_string(v);
            return "";
          case host::Decimal::not_decimal:
            return "not a decimal number: " + s;
          case host::Decimal::out_of_range:
            break;
        }
        return s + " is out of range (" + std::to_string(min) + " to " +
               std::to_string(max) + ")";
      },
      "N");
}

// An empty --store would otherwise fall back to the default store, and a
// path that is not UTF-8 cannot appear in the library's JSON results.
std::string store_problem(const std::string &dir) {
  if (dir.empty()) return "the store directory must not be empty";
  if (host::repair_utf8(dir).invalid > 0) {
    return "the store directory is not valid UTF-8: " + host::repair_utf8(dir).text;
  }
  return "";
}

int64_t duration_of(const std::string &s) {
  int64_t seconds = 0;
  host::parse_duration(s, &seconds);
  return seconds;
}

// The values of every command's arguments and options, as CLI11 fills them.
struct Args {
  bool primary = false, json = false, yes = false, dry_run = false;
  int id = 0, offset = 0, limit = 0;
  std::string text, file, label, query, output, dir, older_than, pause_for;
  std::string capture_kind;
  CLI::Option *label_opt = nullptr, *output_opt = nullptr;
};

struct Command {
  const char *group;
  const char *name;
  const char *synopsis;
  const char *summary;
  const char *example;
  // Whether the missing parents of the default store are made for it (the
  // commands that only look at the store, or beside it, make nothing).
  bool makes_store;
  // Adds the command's arguments and options to its subcommand.
  void (*add)(CLI::App *sub, Args *args);
  // Runs it; the result is the exit status.
  int (*run)(const std::string &store, const Args &args);
};

void no_options(CLI::App *, Args *) {}

void add_id(CLI::App *sub, Args *a) {
  sub->add_option("ID", a->id, "the clip's id")
      ->required()
      ->transform(decimal(INT_MIN, INT_MAX));
}

void add_limit(CLI::App *sub, Args *a) {
  sub->add_option("--limit", a->limit, "show at most this many clips (50)")
      ->transform(decimal(1, INT_MAX));
}

// The commands in the order --help shows them: what help says of each, the
// arguments and options it takes, and what runs it. A new command is a new
// row.
const Command kCommands[] = {
    {"Recording", "watch", "watch [--primary]",
     "Follow the clipboard and record every new text and PNG image until Ctrl-C or "
     "SIGTERM; --primary follows PRIMARY too. On Wayland (WAYLAND_DISPLAY set) it runs "
     "wl-paste --watch, which needs a compositor with the data-control protocol (sway "
     "and other wlroots compositors, KDE); else it follows X11. Owners that mark their "
     "data as a secret (x-kde-passwordManagerHint), or whose hint cannot be read, are "
     "skipped.",
     "quillmar-clip watch --primary", true,
     [](CLI::App *sub, Args *a) {
       sub->add_flag("--primary", a->primary, "follow the PRIMARY selection too");
     },
     [](const std::string &store, const Args &a) {
       if (host::wayland_session()) return host::run_watch_wayland({store, a.primary});
       return host::run_watch({store, a.primary});
     }},
    // What wl-paste --watch runs for each new clip on Wayland; not for people,
    // so it has no group and help leaves it out.
    {"", host::kWaylandCaptureCommand, "wayland-capture [--primary] KIND", "", "", true,
     [](CLI::App *sub, Args *a) {
       sub->add_flag("--primary", a->primary);
       sub->add_option("KIND", a->capture_kind)
           ->required()
           ->check(CLI::IsMember({"text", "image"}));
     },
     [](const std::string &store, const Args &a) {
       return host::wayland_capture(
           store, a.primary,
           a.capture_kind == "image" ? host::ClipKind::image : host::ClipKind::text);
     }},
    {"Recording", "store", "store",
     "Record one clip read from standard input: a PNG image when the bytes start with "
     "the PNG signature, else a text. CLIPBOARD_STATE=sensitive skips it; "
     "CLIPBOARD_STATE=clear deletes the clip that store recorded last, if that was at "
     "most 5 minutes ago and it is still the newest clip and not pinned (never after a "
     "skipped clip). This is the command for wl-paste on Wayland.",
     "wl-paste --watch quillmar-clip store", true, no_options,
     [](const std::string &store, const Args &) { return host::cmd_store(store); }},
    {"Recording", "push", "push TEXT", "Record a text.",
     "quillmar-clip push 'meet at 10:30'", true,
     [](CLI::App *sub, Args *a) {
       sub->add_option("TEXT", a->text, "the text")->required();
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_push(store, a.text);
     }},
    {"Recording", "push-image", "push-image FILE [--label LABEL]",
     "Record the PNG image in FILE, with an optional label.",
     "quillmar-clip push-image shot.png --label 'login page'", true,
     [](CLI::App *sub, Args *a) {
       sub->add_option("FILE", a->file, "a PNG file")->required();
       a->label_opt = sub->add_option("--label", a->label, "a label for the image");
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_push_image(store, a.file,
                                   a.label_opt->count() > 0 ? &a.label : nullptr);
     }},
    {"Recording", "pause", "pause [--for DURATION]",
     "Stop recording (store and watch skip every clip) until resume, or for DURATION.",
     "quillmar-clip pause --for 15m", false,
     [](CLI::App *sub, Args *a) {
       sub->add_option("--for", a->pause_for, "resume by itself after this long")
           ->check(duration_validator(true));
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_pause(store, duration_of(a.pause_for));
     }},
    {"Recording", "resume", "resume", "Record again after a pause.",
     "quillmar-clip resume", false, no_options,
     [](const std::string &store, const Args &) { return host::cmd_resume(store); }},
    {"Reading", "list", "list [--offset N] [--limit N] [--json]",
     "Clips newest first, a page at a time (50 unless --limit says otherwise).",
     "quillmar-clip list --limit 10", true,
     [](CLI::App *sub, Args *a) {
       sub->add_option("--offset", a->offset, "skip this many of the newest clips")
           ->transform(decimal(0, INT_MAX));
       add_limit(sub, a);
       sub->add_flag("--json", a->json, "print the library's JSON");
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_list(store, a.offset, a.limit, a.json);
     }},
    {"Reading", "search", "search QUERY [--limit N] [--json]",
     "Text clips that contain QUERY, ignoring the case of A-Z, best match first.",
     "quillmar-clip search invoice", true,
     [](CLI::App *sub, Args *a) {
       sub->add_option("QUERY", a->query, "the text to look for")->required();
       add_limit(sub, a);
       sub->add_flag("--json", a->json, "print the library's JSON");
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_search(store, a.query, a.limit, a.json);
     }},
    {"Reading", "get", "get ID [--output FILE]",
     "A text clip's bytes on standard output. An image clip's file path, or with "
     "--output "
     "a copy of the image in FILE (- for standard output).",
     "quillmar-clip get 12 --output shot.png", true,
     [](CLI::App *sub, Args *a) {
       add_id(sub, a);
       a->output_opt = sub->add_option(
           "-o,--output", a->output, "write the content to FILE (- for standard output)");
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_get(store, a.id, a.output_opt->count() > 0 ? &a.output : nullptr);
     }},
    {"Reading", "copy", "copy ID",
     "Put a clip back on the clipboard, through wl-copy (Wayland) or xclip (X11).",
     "quillmar-clip copy 12", true, add_id,
     [](const std::string &store, const Args &a) { return host::cmd_copy(store, a.id); }},
    {"Changing", "pin", "pin ID",
     "Pin a clip: pinned clips are never evicted (at most 200 are pinned).",
     "quillmar-clip pin 12", true, add_id,
     [](const std::string &store, const Args &a) {
       return host::cmd_pin(store, a.id, true);
     }},
    {"Changing", "unpin", "unpin ID", "Unpin a clip.", "quillmar-clip unpin 12", true,
     add_id,
     [](const std::string &store, const Args &a) {
       return host::cmd_pin(store, a.id, false);
     }},
    {"Changing", "delete", "delete ID", "Delete a clip (and its image file).",
     "quillmar-clip delete 12", true, add_id,
     [](const std::string &store, const Args &a) {
       return host::cmd_delete(store, a.id);
     }},
    {"Changing", "wipe", "wipe [--yes]",
     "Delete every clip, pinned ones too; ids start again at 1. Asks first on a "
     "terminal; "
     "without one it needs --yes.",
     "quillmar-clip wipe --yes", true,
     [](CLI::App *sub, Args *a) { sub->add_flag("-y,--yes", a->yes, "do not ask"); },
     [](const std::string &store, const Args &a) {
       return host::cmd_wipe(store, a.yes);
     }},
    {"Maintenance", "stats", "stats [--json]",
     "Clip counts, pinned clips, the size of the index and of the image files.",
     "quillmar-clip stats", true,
     [](CLI::App *sub, Args *a) { sub->add_flag("--json", a->json, "print JSON"); },
     [](const std::string &store, const Args &a) {
       return host::cmd_stats(store, a.json);
     }},
    {"Maintenance", "verify", "verify",
     "Check the store without writing anything: image files without a clip, clips "
     "without their "
     "image file, damaged indexes set aside, leftovers. Exit status 1 when it finds a "
     "problem.",
     "quillmar-clip verify", false, no_options,
     [](const std::string &store, const Args &) { return host::cmd_verify(store); }},
    {"Maintenance", "export", "export DIR",
     "Copy every clip into DIR (new or empty): text-<id>.txt and image-<id>.png files "
     "and "
     "a manifest.json that describes them.",
     "quillmar-clip export ~/clips-2026-01", true,
     [](CLI::App *sub, Args *a) {
       sub->add_option("DIR", a->dir, "a new or empty directory")->required();
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_export(store, a.dir);
     }},
    {"Maintenance", "expire", "expire --older-than DURATION [--dry-run]",
     "Delete the unpinned clips older than DURATION.",
     "quillmar-clip expire --older-than 30d", true,
     [](CLI::App *sub, Args *a) {
       sub->add_option("--older-than", a->older_than, "the age beyond which clips go")
           ->required()
           ->check(duration_validator(false));
       sub->add_flag("--dry-run", a->dry_run, "only say which clips would go");
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_expire(store, duration_of(a.older_than), a.older_than, a.dry_run);
     }},
};

const Command *find_command(const std::string &name) {
  for (auto &c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
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
    if (c.group[0] == '\0') continue;
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
      "  --version     the version\n"
      "\n"
      "list and search print a table on a terminal, and the library's JSON with --json "
      "or\n"
      "when the output is not a terminal. DURATION is a number and a unit: 45s, 90m, "
      "12h,\n"
      "30d, 2w, or several (1d12h). ID and N are decimal (010 is ten; 0x3 is refused).\n"
      "Texts that are not valid UTF-8 are recorded with U+FFFD in place of the invalid\n"
      "bytes. An empty --store DIR, or one that is not valid UTF-8, is a usage error.\n"
      "Exit status: 0 success, 1 failure, 2 usage error.\n";
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
  app.add_option("--store", store, "the store directory")
      ->type_name("DIR")
      ->check(CLI::Validator(store_problem, "DIR"));
  Args args;
  for (auto &c : kCommands) {
    CLI::App *sub = app.add_subcommand(c.name, c.summary);
    if (c.group[0] == '\0') sub->group("");
    if (c.example[0] != '\0') sub->footer(std::string("Example: ") + c.example);
    c.add(sub, &args);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::string usage = "quillmar-clip [--store DIR] COMMAND [ARGS]";
    std::string why = e.what();
    for (CLI::App *sub : app.get_subcommands()) {
      usage = std::string("quillmar-clip ") + find_command(sub->get_name())->synopsis;
    }
    if (app.get_subcommands().empty()) {
      // The first word that is neither an option nor the value of --store
      // was meant as the command.
      for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--store") {
          ++i;
        } else if (!a.empty() && a[0] != '-') {
          if (find_command(a) == nullptr) why = "unknown command: " + a;
          break;
        }
      }
    }
    fprintf(stderr,
            "quillmar-clip: %s\nusage: %s\n(quillmar-clip --help lists every command)\n",
            why.c_str(), usage.c_str());
    return 2;
  }

  const Command *chosen = nullptr;
  for (auto &c : kCommands) {
    if (app.got_subcommand(c.name)) chosen = &c;
  }
  if (chosen == nullptr) return 2;
  if (store.empty()) {
    std::string error;
    store = host::default_store_dir(&error);
    if (store.empty()) {
      host::complain(error);
      return 1;
    }
    if (!store_problem(store).empty()) {
      host::complain(store_problem(store) + " (set XDG_DATA_HOME or give --store DIR)");
      return 1;
    }
    if (chosen->makes_store && !host::make_parents(store, &error)) {
      host::complain(error);
      return 1;
    }
  }
  return chosen->run(store, args);
}
