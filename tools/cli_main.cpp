// quillmar-clip: the command-line host of the clipboard history. It parses
// the command line and hands each command to cli_commands.cpp.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli_capture.h"
#include "cli_client.h"
#include "cli_commands.h"
#include "cli_completion.h"
#include "cli_config.h"
#include "cli_help.h"
#include "cli_import.h"
#include "cli_notify.h"
#include "cli_paste.h"
#include "cli_picker.h"
#include "cli_recover.h"
#include "cli_search.h"
#include "cli_server.h"
#include "cli_store.h"
#include "cli_text.h"
#include "cli_util.h"
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
CLI::Validator clip_id() {
  return CLI::Validator(
      [](std::string &s) -> std::string {
        int64_t v = 0;
        if (host::parse_decimal(s, INT_MIN, INT_MAX, &v) != host::Decimal::ok)
          return "not a clip id: " + s;
        s = std::to_string(v);
        return "";
      },
      "ID");
}

// The same for a count. The reason is worded to follow the option's name
// ("--limit takes a number of 1 or more, not 0"), which usage_why puts
// before it.
CLI::Validator decimal(int64_t min, int64_t max) {
  return CLI::Validator(
      [min, max](std::string &s) -> std::string {
        int64_t v = 0;
        switch (host::parse_decimal(s, min, max, &v)) {
          case host::Decimal::ok:
            s = std::to_string(v);
            return "";
          case host::Decimal::not_decimal:
            // A negative count where none is allowed is a number too small.
            if (s.size() < 2 || s[0] != '-' ||
                host::parse_decimal(s.substr(1), 0, INT64_MAX, &v) ==
                    host::Decimal::not_decimal)
              return "takes a decimal number, not " + s;
            break;
          case host::Decimal::out_of_range:
            break;
        }
        bool below =
            s[0] == '-' ||
            (host::parse_decimal(s, 0, INT64_MAX, &v) == host::Decimal::ok && v < min);
        if (below && max == INT_MAX)
          return "takes a number of " + std::to_string(min) + " or more, not " + s;
        return "takes a number from " + std::to_string(min) + " to " +
               std::to_string(max) + ", not " + s;
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
  bool picker = false, print = false, pinned = false, paste = false;
  bool all = false, relabel = false;
  std::string paste_keys;
  CLI::Option *paste_opt = nullptr, *paste_keys_opt = nullptr;
  int id = 0, offset = 0, limit = 0;
  std::string id_arg;  // get and copy: an id, or "-" for a line on standard input
  std::string text, file, label, query, output, dir, older_than, pause_for, shell;
  std::string capture_kind;
  uint64_t seen = 0;  // wayland-record: the bytes the owner sent
  std::string words;  // wayland-record: the label the image's words made
  CLI::Option *words_opt = nullptr;
  bool keep_duplicates = false;
  CLI::Option *label_opt = nullptr, *output_opt = nullptr;
  // watch and store: given on the command line, these win over the config
  // file. Every command that takes --keep-duplicates adds its own option;
  // only the one chosen can have been given.
  CLI::Option *primary_opt = nullptr;
  std::vector<CLI::Option *> keep_opts;
  bool keep_given() const {
    for (CLI::Option *o : keep_opts) {
      if (o->count() > 0) return true;
    }
    return false;
  }
  const CLI::App *app = nullptr;  // the whole command line, for completion
};

// What a command needs of the store directory before it runs.
enum class StoreUse {
  none,   // nothing: it never opens a store
  looks,  // its path: it only looks at the store, or beside it, and makes nothing
  makes,  // the path, with the missing parents of the default store made
};

struct Command {
  const char *group;
  const char *name;
  const char *synopsis;
  const char *summary;
  const char *example;
  StoreUse store_use;
  // Adds the command's arguments and options to its subcommand.
  void (*add)(CLI::App *sub, Args *args);
  // Runs it; the result is the exit status.
  int (*run)(const std::string &store, const Args &args);
};

void no_options(CLI::App *, Args *) {}

void add_id(CLI::App *sub, Args *a) {
  sub->add_option("ID", a->id, "the clip's id")->required()->transform(clip_id());
}

// get and copy: main() reads the id from standard input for "-".
void add_id_or_stdin(CLI::App *sub, Args *a) {
  sub->add_option("ID", a->id_arg, "the clip's id, or - to read it from standard input")
      ->required()
      ->transform(CLI::Validator(
          [](std::string &s) { return s == "-" ? std::string() : clip_id()(s); }, "ID"));
}

void add_limit(CLI::App *sub, Args *a,
               const char *what = "show at most this many clips (50)") {
  sub->add_option("--limit", a->limit, what)
      ->type_name("N")
      ->transform(decimal(1, INT_MAX));
}

void add_keep_duplicates(CLI::App *sub, Args *a) {
  a->keep_opts.push_back(sub->add_flag("--keep-duplicates,!--no-keep-duplicates",
                                       a->keep_duplicates,
                                       "record repeats as new clips"));
}

// The config file with the command line's choices applied. A broken file
// is said and makes the command exit with 2: recording by defaults the user
// did not choose could keep what they asked us to leave alone.
bool recording_config(const Args &a, host::Config *config) {
  std::string error;
  if (!host::load_config(config, &error)) {
    host::complain(error);
    return false;
  }
  if (a.primary_opt != nullptr && a.primary_opt->count() > 0) config->primary = a.primary;
  if (a.keep_given()) config->keep_duplicates = a.keep_duplicates;
  return true;
}

int write_stdout(const std::string &bytes) {
  if (fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
      fflush(stdout) == 0)
    return 0;
  host::complain(std::string("cannot write to standard output: ") + strerror(errno));
  return 1;
}

// The commands in the order --help shows them: what help says of each, the
// arguments and options it takes, and what runs it. A new command is a new
// row.
const Command kCommands[] = {
    {"Recording", "watch", "watch [--primary] [--keep-duplicates]",
     "Follow the clipboard and record every new text and PNG image until Ctrl-C or "
     "SIGTERM; --primary follows PRIMARY too (on X11, a selection dragged further within "
     "5 s replaces the one it grew from). A repeat of an older clip moves it to the top "
     "unless --keep-duplicates. On Wayland (WAYLAND_DISPLAY set) it runs wl-paste "
     "--watch, which needs a compositor with the data-control protocol (sway and other "
     "wlroots compositors, KDE); else it follows X11. Owners that mark their data as a "
     "secret (x-kde-passwordManagerHint), or whose hint cannot be read, are skipped, "
     "and so are those whose offer cannot be listed unless the hint says no secret.",
     "quillmar-clip watch --primary", StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       a->primary_opt = sub->add_flag("--primary,!--no-primary", a->primary,
                                      "follow the PRIMARY selection too");
       add_keep_duplicates(sub, a);
     },
     [](const std::string &store, const Args &a) {
       host::Config config;
       if (!recording_config(a, &config)) return 2;
       host::WatchOptions options;
       options.store = store;
       options.primary = config.primary;
       options.config = config;
       if (a.primary_opt->count() > 0) options.primary_choice = a.primary;
       if (a.keep_given()) options.keep_duplicates_choice = a.keep_duplicates;
       // The watcher serves the store's commands: a second one is not
       // started beside it.
       host::Server server;
       std::string why;
       switch (server.start(store, &why)) {
         case host::Server::Start::serving:
           options.server = &server;
           break;
         case host::Server::Start::running:
           host::complain(why);
           return 1;
         case host::Server::Start::unusable:
           host::complain("not serving commands (they open the store themselves): " + why);
           break;
       }
       if (host::wayland_session()) return host::run_watch_wayland(options);
       return host::run_watch(options);
     }},
    // What wl-paste --watch runs for each new clip on Wayland; not for people,
    // so it has no group and help leaves it out. --primary names the
    // selection the clip came from; the watcher passes on its
    // --keep-duplicates choice, and the capture reads the config file.
    {"", host::kWaylandCaptureCommand, "wayland-capture [--primary] KIND", "", "",
     StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       sub->add_flag("--primary", a->primary);
       add_keep_duplicates(sub, a);
       sub->add_option("KIND", a->capture_kind)
           ->required()
           ->check(CLI::IsMember({"text", "image"}));
     },
     [](const std::string &store, const Args &a) {
       std::optional<bool> keep;
       if (a.keep_given()) keep = a.keep_duplicates;
       return host::wayland_capture(
           store, a.primary,
           a.capture_kind == "image" ? host::ClipKind::image : host::ClipKind::text,
           keep);
     }},
    // What a Wayland capture hands to the watcher that serves the store,
    // once it has checked the offer: the clip on standard input and the
    // count of bytes its owner sent.
    {"", "wayland-record", "wayland-record [--primary] [--label WORDS] --seen N KIND", "",
     "", StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       sub->add_flag("--primary", a->primary);
       add_keep_duplicates(sub, a);
       a->words_opt = sub->add_option("--label", a->words);
       sub->add_option("--seen", a->seen)->required();
       sub->add_option("KIND", a->capture_kind)
           ->required()
           ->check(CLI::IsMember({"text", "image"}));
     },
     [](const std::string &store, const Args &a) {
       std::optional<bool> keep;
       if (a.keep_given()) keep = a.keep_duplicates;
       return host::wayland_record(
           store, a.primary,
           a.capture_kind == "image" ? host::ClipKind::image : host::ClipKind::text, keep,
           a.seen, a.words_opt->count() > 0 ? &a.words : nullptr);
     }},
    {"Recording", "store", "store [--keep-duplicates]",
     "Record one clip read from standard input: a PNG image when the bytes start with "
     "the PNG signature, else a text; other binary data (JPEG, GIF, WebP, PDF, NUL "
     "bytes) is skipped. A repeat of an older clip moves it to the top unless "
     "--keep-duplicates. CLIPBOARD_STATE=sensitive skips it; CLIPBOARD_STATE=clear "
     "deletes the clip that store newly added last, if that was at most 5 minutes ago "
     "and it is still the newest clip and not pinned (never after a skipped clip, nor a "
     "repeat of a clip the history held). This is the command for wl-paste on Wayland.",
     "wl-paste --watch quillmar-clip store", StoreUse::makes, add_keep_duplicates,
     [](const std::string &store, const Args &a) {
       host::Config config;
       if (!recording_config(a, &config)) return 2;
       return host::cmd_store(store, config);
     }},
    {"Recording", "push", "push TEXT", "Record a text.",
     "quillmar-clip push 'meet at 10:30'", StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       sub->add_option("TEXT", a->text, "the text")->required();
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_push(store, a.text);
     }},
    {"Recording", "push-image", "push-image FILE [--label LABEL]",
     "Record the PNG image in FILE, with an optional label.",
     "quillmar-clip push-image shot.png --label 'login page'", StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       sub->add_option("FILE", a->file, "a PNG file")->required();
       a->label_opt = sub->add_option("--label", a->label, "a label for the image")
                          ->type_name("LABEL");
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_push_image(store, a.file,
                                   a.label_opt->count() > 0 ? &a.label : nullptr);
     }},
    {"Recording", "pause", "pause [--for DURATION]",
     "Stop recording (store and watch skip every clip) until resume, or for DURATION.",
     "quillmar-clip pause --for 15m", StoreUse::looks,
     [](CLI::App *sub, Args *a) {
       sub->add_option("--for", a->pause_for, "resume by itself after this long")
           ->type_name("DURATION")
           ->check(duration_validator(true));
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_pause(store, duration_of(a.pause_for));
     }},
    {"Recording", "resume", "resume", "Record again after a pause.",
     "quillmar-clip resume", StoreUse::looks, no_options,
     [](const std::string &store, const Args &) { return host::cmd_resume(store); }},
    {"Reading", "list", "list [--offset N] [--limit N] [--pinned] [--json | --picker]",
     "Clips newest first, a page at a time (50 unless --limit says otherwise); the "
     "table ends saying how many are pinned. --pinned lists only the pinned clips. "
     "--picker prints every clip (unless --limit says otherwise) as one line "
     "ID<TAB>TEXT, the pinned ones first and marked with a star, for a picker such as "
     "fzf or rofi -dmenu.",
     "quillmar-clip list --picker | fzf | quillmar-clip copy -", StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       sub->add_option("--offset", a->offset, "skip this many of the newest clips")
           ->type_name("N")
           ->transform(decimal(0, INT_MAX));
       add_limit(sub, a, "show at most this many clips (50; every one with --picker)");
       CLI::Option *json = sub->add_flag("--json", a->json, "print the library's JSON");
       sub->add_flag("--picker", a->picker,
                     "print one line ID<TAB>TEXT per clip, every clip")
           ->excludes(json);
       sub->add_flag("--pinned", a->pinned, "only the pinned clips");
     },
     [](const std::string &store, const Args &a) {
       if (a.picker) return host::cmd_list_picker(store, a.offset, a.limit, a.pinned);
       return host::cmd_list(store, a.offset, a.limit, a.json, a.pinned);
     }},
    {"Reading", "search", "search QUERY [--limit N] [--json]",
     "Clips that hold every word of QUERY, in any order and ignoring case (MÜNCHEN "
     "finds münchen): text clips by their text, image clips by their label. Best match "
     "first (a word near the start, with its case as typed, counts most), the newest "
     "first among equals.",
     "quillmar-clip search 'invoice march'", StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       sub->add_option("QUERY", a->query, "the words to look for")->required();
       add_limit(sub, a);
       sub->add_flag("--json", a->json, "print JSON");
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_search(store, a.query, a.limit, a.json);
     }},
    {"Reading", "get", "get ID|- [--output FILE]",
     "A text clip's bytes on standard output. An image clip's file path, or with "
     "--output a copy of the image in FILE (- for standard output). With - as ID, the "
     "id is read from standard input: a line of list --picker, or just an id.",
     "quillmar-clip get 12 --output shot.png", StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       add_id_or_stdin(sub, a);
       a->output_opt =
           sub->add_option("-o,--output", a->output,
                           "write the content to FILE (- for standard output)")
               ->type_name("FILE");
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_get(store, a.id, a.output_opt->count() > 0 ? &a.output : nullptr);
     }},
    {"Reading", "copy", "copy ID|-",
     "Put a clip back on the clipboard, through wl-copy (Wayland) or xclip (X11). With - "
     "as ID, the id is read from standard input, as get does.",
     "quillmar-clip copy 12", StoreUse::makes, add_id_or_stdin,
     [](const std::string &store, const Args &a) { return host::cmd_copy(store, a.id); }},
    // What copy and pick ask the server for: the clip's kind and bytes.
    {"", "fetch", "fetch ID", "", "", StoreUse::makes, add_id,
     [](const std::string &store, const Args &a) { return host::cmd_fetch(store, a.id); }},
    {"Reading", "pick", "pick [--print | --paste [--paste-keys CHORD]]",
     "Choose a clip in a picker and put it back on the clipboard, or with --print write "
     "it to standard output as get does. The picker is the shell command in "
     "$QUILLMAR_PICKER, else the config file's picker, else the first found of fzf (in "
     "a terminal), rofi, wofi, fuzzel, bemenu and dmenu, each matching without regard "
     "to case; it reads the lines of list --picker. A known picker named alone gets "
     "the same arguments. Exit status 1, quietly, when nothing is picked. --paste (or "
     "paste = true in the config file) then pastes the clip into the focused window "
     "with ctrl+v, or the chord of --paste-keys (such as ctrl+shift+v for a "
     "terminal), through xdotool on X11 and wtype on Wayland.",
     "QUILLMAR_PICKER='fzf --height 40%' quillmar-clip pick --print", StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       CLI::Option *print = sub->add_flag("--print", a->print,
                                          "write the clip to standard output instead");
       a->paste_opt = sub->add_flag("--paste,!--no-paste", a->paste,
                                    "paste the clip into the focused window too")
                          ->excludes(print);
       a->paste_keys_opt =
           sub->add_option("--paste-keys", a->paste_keys,
                           "the key chord that pastes (ctrl+v), such as ctrl+shift+v")
               ->type_name("CHORD")
               ->excludes(print)
               ->check(CLI::Validator(
                   [](std::string &s) {
                     host::Chord chord;
                     std::string why;
                     return host::parse_chord(s, &chord, &why) ? std::string() : why;
                   },
                   "CHORD"));
     },
     [](const std::string &store, const Args &a) {
       host::PickOptions options;
       options.print = a.print;
       if (a.paste_opt->count() > 0) options.paste = a.paste;
       if (a.paste_keys_opt->count() > 0) {
         options.paste_keys = a.paste_keys;
         if (!options.paste) options.paste = true;
       }
       return host::cmd_pick(store, options);
     }},
    // What fzf's preview pane runs for the line under the cursor; not for
    // people.
    {"", "preview", "preview ID", "", "", StoreUse::makes, add_id,
     [](const std::string &store, const Args &a) {
       return host::cmd_preview(store, a.id);
     }},
    // What pick asks the server for: the rows of its picker.
    {"", "picker-rows", "picker-rows", "", "", StoreUse::makes, no_options,
     [](const std::string &store, const Args &) { return host::cmd_picker_rows(store); }},
    {"Changing", "pin", "pin ID",
     "Pin a clip: pinned clips are never evicted (at most 200 are pinned).",
     "quillmar-clip pin 12", StoreUse::makes, add_id,
     [](const std::string &store, const Args &a) {
       return host::cmd_pin(store, a.id, true);
     }},
    {"Changing", "unpin", "unpin ID", "Unpin a clip.", "quillmar-clip unpin 12",
     StoreUse::makes, add_id,
     [](const std::string &store, const Args &a) {
       return host::cmd_pin(store, a.id, false);
     }},
    {"Changing", "delete", "delete ID", "Delete a clip (and its image file).",
     "quillmar-clip delete 12", StoreUse::makes, add_id,
     [](const std::string &store, const Args &a) {
       return host::cmd_delete(store, a.id);
     }},
    {"Changing", "wipe", "wipe [--yes]",
     "Delete every clip, pinned ones too; ids start again at 1. Asks first on a "
     "terminal; "
     "without one it needs --yes.",
     "quillmar-clip wipe --yes", StoreUse::makes,
     [](CLI::App *sub, Args *a) { sub->add_flag("-y,--yes", a->yes, "do not ask"); },
     [](const std::string &store, const Args &a) {
       return host::cmd_wipe(store, a.yes);
     }},
    {"Maintenance", "stats", "stats [--json]",
     "Clip counts, pinned clips, the size of the index and of the image files, the "
     "limits in force (max_items, expire_after) and whether recording is paused.",
     "quillmar-clip stats", StoreUse::makes,
     [](CLI::App *sub, Args *a) { sub->add_flag("--json", a->json, "print JSON"); },
     [](const std::string &store, const Args &a) {
       return host::cmd_stats(store, a.json);
     }},
    {"Maintenance", "serve", "serve",
     "Keep the history loaded and run this user's commands on it, over a socket "
     "only this user can reach, until Ctrl-C or SIGTERM, without following the "
     "clipboard (watch serves too). Every command asks the server of its store first "
     "and opens the store itself when none answers, with the same result.",
     "quillmar-clip serve", StoreUse::makes, no_options,
     [](const std::string &store, const Args &) { return host::run_serve(store); }},
    {"Maintenance", "verify", "verify",
     "Check the store without writing anything: image files without a clip, clips "
     "without their "
     "image file, damaged indexes set aside, leftovers. Exit status 1 when it finds a "
     "problem.",
     "quillmar-clip verify", StoreUse::looks, no_options,
     [](const std::string &store, const Args &) { return host::cmd_verify(store); }},
    {"Maintenance", "ocr", "ocr ID | ocr --all [--relabel]",
     "Print the words read in an image clip now. With --all, those of every image "
     "clip without a label, oldest first; with --relabel too, record each of them "
     "again with its words as its label, as the newest clips (their ids change; pins "
     "are kept; nothing is evicted). Captured images are read as they are recorded "
     "when the config file's ocr is on.",
     "quillmar-clip ocr --all --relabel", StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       CLI::Option *id =
           sub->add_option("ID", a->id, "the image clip's id")->transform(clip_id());
       CLI::Option *all =
           sub->add_flag("--all", a->all, "every image clip without a label")
               ->excludes(id);
       sub->add_flag("--relabel", a->relabel, "record them again with their words")
           ->needs(all);
       sub->require_option(1, 2);
     },
     [](const std::string &store, const Args &a) {
       host::Config config;
       std::string error;
       if (!host::load_config(&config, &error)) {
         host::complain(error);
         return 2;
       }
       return host::cmd_ocr(store, config, a.id, a.all, a.relabel);
     }},
    {"Maintenance", "export", "export DIR",
     "Copy every clip into DIR (new or empty): text-<id>.txt and image-<id>.png files "
     "and "
     "a manifest.json that describes them.",
     "quillmar-clip export ~/clips-2026-01", StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       sub->add_option("DIR", a->dir, "a new or empty directory")->required();
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_export(store, a.dir);
     }},
    {"Maintenance", "import", "import DIR",
     "Restore the clips that export wrote into DIR, in their order and with their pins "
     "and labels, as the newest clips of the history; their times become the time of "
     "the import. Every file is checked first: a manifest or file that cannot be read "
     "imports nothing, and so do clips that would not fit (at most 200 pinned and 500 "
     "unpinned clips).",
     "quillmar-clip import ~/clips-2026-01", StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       sub->add_option("DIR", a->dir, "a directory written by export")->required();
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_import(store, a.dir);
     }},
    {"Maintenance", "recover", "recover [FILE] [--dry-run]",
     "Give back the clips of a damaged index that was set aside (the newest "
     "clips.json.corrupt.* of the store, or FILE; a bare name is one in the store): "
     "every whole record, and every image file that no clip names, as the newest clips, "
     "oldest first, with their pins and labels. Clips the history holds already are not "
     "added again, and clips that would not fit are refused, never evicting. Each clip "
     "that cannot be given back is named with the reason. The set-aside file stays.",
     "quillmar-clip recover --dry-run", StoreUse::looks,
     [](CLI::App *sub, Args *a) {
       sub->add_option("FILE", a->file, "a set-aside index (default: the newest)");
       sub->add_flag("--dry-run", a->dry_run, "only say what would be recovered");
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_recover(store, a.file, a.dry_run);
     }},
    // Needs no store, so that it works in a shell's start-up files even
    // before there is one.
    {"Maintenance", "completion", "completion bash|zsh|fish",
     "Print the completion script of a shell: the commands, their options, and the ids "
     "of the clips (with their previews where the shell shows them).",
     "source <(quillmar-clip completion bash)", StoreUse::none,
     [](CLI::App *sub, Args *a) {
       sub->add_option("SHELL", a->shell, "bash, zsh or fish")
           ->required()
           ->check(CLI::Validator(
               [](std::string &s) -> std::string {
                 if (s == "bash" || s == "zsh" || s == "fish") return "";
                 return "no completion script for " + s + ": bash, zsh or fish";
               },
               "SHELL"));
     },
     [](const std::string &, const Args &a) {
       return write_stdout(host::completion_script(*a.app, a.shell));
     }},
    // What the completion scripts run for the clip ids; not for people. A Tab
    // reads the store's index and makes nothing, not even the default store.
    {"", host::kCompleteIdsCommand, "complete-ids", "", "", StoreUse::looks, no_options,
     [](const std::string &store, const Args &) {
       return host::print_completion_ids(store);
     }},
    {"Maintenance", "expire", "expire --older-than DURATION [--dry-run]",
     "Delete the unpinned clips older than DURATION.",
     "quillmar-clip expire --older-than 30d", StoreUse::makes,
     [](CLI::App *sub, Args *a) {
       sub->add_option("--older-than", a->older_than, "the age beyond which clips go")
           ->type_name("DURATION")
           ->required()
           ->check(duration_validator(false));
       sub->add_flag("--dry-run", a->dry_run, "only say which clips would go");
     },
     [](const std::string &store, const Args &a) {
       return host::cmd_expire(store, duration_of(a.older_than), a.older_than, a.dry_run);
     }},
};

// The commands that the server of the store runs for this process: those
// that need nothing of it but the command line, an input read whole, the
// directory and the environment settings that matter. copy and pick run
// here (the clipboard tool and the picker need this process's display and
// terminal) and ask the server for the clip and pick's rows; the others
// never load the history. complete-ids reads the index file itself, as a
// server would, and is not sent.
bool served(const Command &c) {
  static const char *const kServed[] = {
      "store", "push",  "push-image", "list",   "search", "get",   "pin",   "unpin",
      "delete", "wipe", "stats",      "export", "import", "expire", "fetch", "wayland-record",
      "preview", "picker-rows"};
  for (const char *name : kServed) {
    if (std::string(c.name) == name) return true;
  }
  return false;
}

// Of those, the ones not to run again when the server went away while it
// ran them: a second run would report what the first did as a failure, or
// do it twice. The others come to the same end run twice (a capture run
// again is a repeat of the clip it recorded).
bool rerun_misleads(const Command &c) {
  std::string name = c.name;
  return name == "delete" || name == "import" || name == "export";
}

const Command *find_command(const std::string &name) {
  for (auto &c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
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

constexpr char kMainUsage[] = "quillmar-clip [--store DIR] COMMAND [ARGS]";

std::string command_usage(const Command &c) {
  return std::string("quillmar-clip ") + c.synopsis;
}

// A usage error in the house style: exit status 2.
int usage_error(const std::string &why, const std::string &usage) {
  fprintf(stderr,
          "quillmar-clip: %s\nusage: %s\n(quillmar-clip --help lists every command)\n",
          why.c_str(), usage.c_str());
  return 2;
}

class HostFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App *app, std::string,
                        CLI::AppFormatMode) const override {
    if (app->get_parent() == nullptr) return main_help();
    const Command *c = find_command(app->get_name());
    return host::command_help(app,
                              std::string("quillmar-clip [--store DIR] ") + c->synopsis,
                              c->summary, c->example);
  }
};

// Hands the command to the server of the store, when one answers: true,
// with *status, when the command is done (the server ran it, or its end is
// not known and it must not run again). With false, it runs here, with
// what was read of its input in place of standard input.
bool ask_server(const Command &c, const std::string &store, int argc, char **argv,
                bool add_yes, Args *args, int *status) {
  host::ServerConnection conn;
  if (!conn.open(store)) return false;
  std::vector<std::string> forwarded(argv + 1, argv + argc);
  if (add_yes) forwarded.push_back("--yes");
  std::string name = c.name, input, error;
  bool has_input = false, more = false;
  bool reads_input = name == "store" || name == "wayland-record";
  if (reads_input) {
    if (!host::read_capped(STDIN_FILENO, host::kReadLimit, &input, &more, &error)) {
      host::complain("standard input: " + error);
      *status = 1;
      return true;
    }
    has_input = true;
  } else if (name == "push-image") {
    // The file is read here, where its name means what the user meant (it
    // may be this process's /dev/stdin), and handed over as input.
    int fd = open(args->file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = host::read_capped(fd, host::kReadLimit, &input, &more, &error);
    close(fd);
    if (!ok) return false;
    has_input = true;
    forwarded = {"--store=" + store, "push-image", "/dev/stdin"};
    if (args->label_opt->count() > 0) forwarded.push_back("--label=" + args->label);
  } else if (args->id_arg == "-") {
    input = std::to_string(args->id) + "\n";
    has_input = true;
  }
  host::Answer answer;
  switch (conn.run(forwarded, has_input ? &input : nullptr, &answer)) {
    case host::Asked::answered:
      *status = host::relay(answer);
      return true;
    case host::Asked::uncertain:
      if (rerun_misleads(c)) {
        host::complain("the server (pid " + std::to_string(conn.pid()) +
                       ") went away while it ran " + name +
                       ": whether it took effect is not known (see 'quillmar-clip list')");
        *status = 1;
        return true;
      }
      break;
    case host::Asked::not_served:
      break;
  }
  if (reads_input || name == "push-image") {
    int fd = host::memory_file("quillmar-input", input);
    if (fd < 0 || dup2(fd, STDIN_FILENO) < 0) {
      host::complain(std::string("cannot keep standard input: ") + strerror(errno));
      *status = 1;
      return true;
    }
    close(fd);
    if (name == "push-image") args->file = "/dev/stdin";
  }
  return false;
}

// Runs the command chosen on the command line, once its arguments are read.
int run_command(const Command &chosen, std::string store, Args &args, int argc, char **argv,
                bool in_server) {
  // get - and copy - take the id from a line on standard input; the other
  // ids were made decimal by clip_id().
  if (args.id_arg == "-") {
    std::string why;
    int rc = host::id_from_stdin(&args.id, &why);
    if (rc == 2) {
      // The line may be a clip's own: the notification leaves it out.
      host::replace_complaint(
          "standard input does not start with a clip id (give a line of 'quillmar-clip "
          "list --picker', or an id)");
      return usage_error(why, command_usage(chosen));
    }
    if (rc != 0) return rc;
  } else if (!args.id_arg.empty()) {
    args.id = std::stoi(args.id_arg);
  }

  if (chosen.store_use == StoreUse::none) return chosen.run("", args);
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
    if (chosen.store_use == StoreUse::makes && !host::make_parents(store, &error)) {
      host::complain(error);
      return 1;
    }
  }
  // Once, here: every command, watcher and capture then names the store,
  // and the markers beside it, the same way. A link may lead where the
  // path is no longer UTF-8.
  std::string resolved = host::resolve_store_dir(store);
  if (!store_problem(resolved).empty()) {
    host::complain(store_problem(resolved) + " (the store " + store + " leads there)");
    return 1;
  }
  store = resolved;
  if (in_server) return host::serves_store(store) ? chosen.run(store, args) : host::kNotServed;
  // wipe asks here, on this process's terminal, and the server wipes.
  bool add_yes = false;
  if (std::string(chosen.name) == "wipe" && !args.yes) {
    int rc = host::confirm_wipe(store);
    if (rc >= 0) return rc;
    args.yes = add_yes = true;
  }
  int status = 0;
  if (served(chosen) && ask_server(chosen, store, argc, argv, add_yes, &args, &status))
    return status;
  return chosen.run(store, args);
}


// Runs a command line: main's, or, in_server, one that the server runs for
// another process (kNotServed for one it leaves to that process).
int run_command_line(int argc, char **argv, bool in_server) {
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
  args.app = &app;
  for (auto &c : kCommands) {
    CLI::App *sub = app.add_subcommand(c.name, c.summary);
    if (c.group[0] == '\0') sub->group("");
    c.add(sub, &args);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    // The client said what was wrong with its command line itself.
    if (in_server) return host::kNotServed;
    if (e.get_exit_code() == 0) return app.exit(e);
    std::string usage = kMainUsage;
    std::string why = host::usage_why(e);
    for (CLI::App *sub : app.get_subcommands())
      usage = command_usage(*find_command(sub->get_name()));
    if (app.get_subcommands().empty()) {
      // The first word that is neither an option nor the value of --store
      // was meant as the command; an option before it that the host lacks
      // is what went wrong.
      for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--store") {
          ++i;
        } else if (!a.empty() && a[0] != '-') {
          if (find_command(a) == nullptr) why = "unknown command: " + a;
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

  const Command *chosen = nullptr;
  for (auto &c : kCommands) {
    if (app.got_subcommand(c.name)) chosen = &c;
  }
  if (chosen == nullptr) return 2;
  if (in_server && !served(*chosen)) return host::kNotServed;

  // pick and copy - run from a hotkey, with no terminal to show a failure
  // on: the first complaint is shown as a desktop notification too.
  std::string name = chosen->name;
  bool hotkey = !in_server && (name == "pick" || (name == "copy" && args.id_arg == "-"));
  if (hotkey) host::remember_complaints();
  int rc = run_command(*chosen, store, args, argc, argv, in_server);
  if (hotkey && rc != 0) host::notify_complaint();
  return rc;
}

int serve_command_line(const std::vector<std::string> &args) {
  std::vector<std::string> words = {"quillmar-clip"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return run_command_line(static_cast<int>(words.size()), argv.data(), true);
}

}  // namespace

int main(int argc, char **argv) {
  // Column widths of the table come from wcwidth, which needs a UTF-8
  // character type; the clips are UTF-8 whatever the user's locale says.
  if (setlocale(LC_CTYPE, "") == nullptr || MB_CUR_MAX == 1)
    setlocale(LC_CTYPE, "C.UTF-8");
  host::set_command_runner(serve_command_line);
  return run_command_line(argc, argv, false);
}
