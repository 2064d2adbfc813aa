// quillmar-clip: the command-line host of the clipboard history. It parses
// the command line with CLI11 and runs the command it names, through the
// server of the store when one answers. The table of commands, kCommands,
// has a row for each: its name, the function that runs it, what it needs of
// the store, the function that adds its arguments and options, and whether
// the server runs it. cli_help.cpp holds what help says of each command.
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
#include <string_view>
#include <vector>

#include "cli_capture.h"
#include "cli_client.h"
#include "cli_commands.h"
#include "cli_completion.h"
#include "cli_config.h"
#include "cli_export_import.h"
#include "cli_help.h"
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

// Whether the server of the store runs the command for this process (see
// ask_server). Those it runs need nothing of this process but the command
// line, an input read whole, the directory and the environment settings
// that matter. copy and pick run here (the clipboard tool and the picker
// need this process's display and terminal) and ask the server for the
// clip and pick's rows; the others that run here never load the history.
// complete-ids reads the index file itself, as a server would, and is not
// sent.
enum class Served {
  no,    // it runs here
  yes,   // by the server, when one answers; here when none does, or when the
         // server went away while it ran it (run twice, it comes to the same
         // end: a capture run again is a repeat of the clip it recorded)
  once,  // the same, but not run again when the server went away: a second
         // run would report what the first did as a failure, or do it twice
};

// A command: what runs it (its exit status), what it needs of the store,
// what adds its arguments and options to its subcommand, and whether the
// server runs it. What help says of it is in cli_help.cpp, under its name.
struct Command {
  const char *name;
  int (*run)(const std::string &store, const Args &args);
  StoreUse store_use;
  void (*options)(CLI::App *sub, Args *args);
  Served served;
};

// ---- Arguments and options shared by several commands ----

void no_options(CLI::App *, Args *) {}

void options_id(CLI::App *sub, Args *a) {
  sub->add_option("ID", a->id, "the clip's id")->required()->transform(clip_id());
}

// get and copy: run_command reads the id from standard input for "-".
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

// --keep-duplicates or --no-keep-duplicates, when one was given.
std::optional<bool> keep_duplicates_choice(const Args &a) {
  std::optional<bool> keep;
  if (a.keep_given()) keep = a.keep_duplicates;
  return keep;
}

// wayland-capture and wayland-record: the KIND of the clip.
host::ClipKind capture_kind(const Args &a) {
  return a.capture_kind == "image" ? host::ClipKind::image : host::ClipKind::text;
}

void add_capture_kind(CLI::App *sub, Args *a) {
  sub->add_option("KIND", a->capture_kind)
      ->required()
      ->check(CLI::IsMember({"text", "image"}));
}

// ---- The commands, in the order of the table ----

void options_watch(CLI::App *sub, Args *a) {
  a->primary_opt = sub->add_flag("--primary,!--no-primary", a->primary,
                                 "follow the PRIMARY selection too");
  add_keep_duplicates(sub, a);
}

int run_watch(const std::string &store, const Args &a) {
  host::Config config;
  if (!recording_config(a, &config)) return 2;
  host::WatchOptions options;
  options.store = store;
  options.primary = config.primary;
  options.config = config;
  if (a.primary_opt->count() > 0) options.primary_choice = a.primary;
  options.keep_duplicates_choice = keep_duplicates_choice(a);
  // The watcher serves the store's commands: a second one is not started
  // beside it.
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
}

// wayland-capture: what wl-paste --watch runs for each new clip on Wayland.
// --primary names the selection the clip came from; the watcher passes on
// its --keep-duplicates choice, and the capture reads the config file.
void options_capture(CLI::App *sub, Args *a) {
  sub->add_flag("--primary", a->primary);
  add_keep_duplicates(sub, a);
  add_capture_kind(sub, a);
}

int run_capture(const std::string &store, const Args &a) {
  return host::wayland_capture(store, a.primary, capture_kind(a),
                               keep_duplicates_choice(a));
}

// wayland-record: what a Wayland capture hands to the watcher that serves
// the store, once it has checked the offer: the clip on standard input and
// the count of bytes its owner sent.
void options_record(CLI::App *sub, Args *a) {
  sub->add_flag("--primary", a->primary);
  add_keep_duplicates(sub, a);
  a->words_opt = sub->add_option("--label", a->words);
  sub->add_option("--seen", a->seen)->required();
  add_capture_kind(sub, a);
}

int run_record(const std::string &store, const Args &a) {
  return host::wayland_record(store, a.primary, capture_kind(a),
                              keep_duplicates_choice(a), a.seen,
                              a.words_opt->count() > 0 ? &a.words : nullptr);
}

void options_store(CLI::App *sub, Args *a) { add_keep_duplicates(sub, a); }

int run_store(const std::string &store, const Args &a) {
  host::Config config;
  if (!recording_config(a, &config)) return 2;
  return host::cmd_store(store, config);
}

void options_push(CLI::App *sub, Args *a) {
  sub->add_option("TEXT", a->text, "the text")->required();
}

int run_push(const std::string &store, const Args &a) {
  return host::cmd_push(store, a.text);
}

void options_push_image(CLI::App *sub, Args *a) {
  sub->add_option("FILE", a->file, "a PNG file")->required();
  a->label_opt =
      sub->add_option("--label", a->label, "a label for the image")->type_name("LABEL");
}

int run_push_image(const std::string &store, const Args &a) {
  return host::cmd_push_image(store, a.file,
                              a.label_opt->count() > 0 ? &a.label : nullptr);
}

void options_pause(CLI::App *sub, Args *a) {
  sub->add_option("--for", a->pause_for, "resume by itself after this long")
      ->type_name("DURATION")
      ->check(duration_validator(true));
}

int run_pause(const std::string &store, const Args &a) {
  return host::cmd_pause(store, duration_of(a.pause_for));
}

int run_resume(const std::string &store, const Args &) { return host::cmd_resume(store); }

void options_list(CLI::App *sub, Args *a) {
  sub->add_option("--offset", a->offset, "skip this many of the newest clips")
      ->type_name("N")
      ->transform(decimal(0, INT_MAX));
  add_limit(sub, a, "show at most this many clips (50; every one with --picker)");
  CLI::Option *json = sub->add_flag("--json", a->json, "print the library's JSON");
  sub->add_flag("--picker", a->picker, "print one line ID<TAB>TEXT per clip, every clip")
      ->excludes(json);
  sub->add_flag("--pinned", a->pinned, "only the pinned clips");
}

int run_list(const std::string &store, const Args &a) {
  if (a.picker) return host::cmd_list_picker(store, a.offset, a.limit, a.pinned);
  return host::cmd_list(store, a.offset, a.limit, a.json, a.pinned);
}

void options_search(CLI::App *sub, Args *a) {
  sub->add_option("QUERY", a->query, "the words to look for")->required();
  add_limit(sub, a);
  sub->add_flag("--json", a->json, "print JSON");
}

int run_search(const std::string &store, const Args &a) {
  return host::cmd_search(store, a.query, a.limit, a.json);
}

void options_get(CLI::App *sub, Args *a) {
  add_id_or_stdin(sub, a);
  a->output_opt = sub->add_option("-o,--output", a->output,
                                  "write the content to FILE (- for standard output)")
                      ->type_name("FILE");
}

int run_get(const std::string &store, const Args &a) {
  return host::cmd_get(store, a.id, a.output_opt->count() > 0 ? &a.output : nullptr);
}

void options_copy(CLI::App *sub, Args *a) { add_id_or_stdin(sub, a); }

int run_copy(const std::string &store, const Args &a) {
  return host::cmd_copy(store, a.id);
}

// fetch: what copy and pick ask the server for, the clip's kind and bytes.
int run_fetch(const std::string &store, const Args &a) {
  return host::cmd_fetch(store, a.id);
}

void options_pick(CLI::App *sub, Args *a) {
  CLI::Option *print =
      sub->add_flag("--print", a->print, "write the clip to standard output instead");
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
}

int run_pick(const std::string &store, const Args &a) {
  host::PickOptions options;
  options.print = a.print;
  if (a.paste_opt->count() > 0) options.paste = a.paste;
  if (a.paste_keys_opt->count() > 0) {
    options.paste_keys = a.paste_keys;
    if (!options.paste) options.paste = true;
  }
  return host::cmd_pick(store, options);
}

// preview: what fzf's preview pane runs for the line under the cursor.
int run_preview(const std::string &store, const Args &a) {
  return host::cmd_preview(store, a.id);
}

// picker-rows: what pick asks the server for, the rows of its picker.
int run_picker_rows(const std::string &store, const Args &) {
  return host::cmd_picker_rows(store);
}

int run_pin(const std::string &store, const Args &a) {
  return host::cmd_pin(store, a.id, true);
}

int run_unpin(const std::string &store, const Args &a) {
  return host::cmd_pin(store, a.id, false);
}

int run_delete(const std::string &store, const Args &a) {
  return host::cmd_delete(store, a.id);
}

void options_wipe(CLI::App *sub, Args *a) {
  sub->add_flag("-y,--yes", a->yes, "do not ask");
}

int run_wipe(const std::string &store, const Args &a) {
  return host::cmd_wipe(store, a.yes);
}

void options_stats(CLI::App *sub, Args *a) {
  sub->add_flag("--json", a->json, "print JSON");
}

int run_stats(const std::string &store, const Args &a) {
  return host::cmd_stats(store, a.json);
}

int run_serve(const std::string &store, const Args &) { return host::run_serve(store); }

int run_verify(const std::string &store, const Args &) { return host::cmd_verify(store); }

void options_ocr(CLI::App *sub, Args *a) {
  CLI::Option *id =
      sub->add_option("ID", a->id, "the image clip's id")->transform(clip_id());
  CLI::Option *all =
      sub->add_flag("--all", a->all, "every image clip without a label")->excludes(id);
  sub->add_flag("--relabel", a->relabel, "record them again with their words")
      ->needs(all);
  sub->require_option(1, 2);
}

int run_ocr(const std::string &store, const Args &a) {
  host::Config config;
  std::string error;
  if (!host::load_config(&config, &error)) {
    host::complain(error);
    return 2;
  }
  return host::cmd_ocr(store, config, a.id, a.all, a.relabel);
}

void options_export(CLI::App *sub, Args *a) {
  sub->add_option("DIR", a->dir, "a new or empty directory")->required();
}

int run_export(const std::string &store, const Args &a) {
  return host::cmd_export(store, a.dir);
}

void options_import(CLI::App *sub, Args *a) {
  sub->add_option("DIR", a->dir, "a directory written by export")->required();
}

int run_import(const std::string &store, const Args &a) {
  return host::cmd_import(store, a.dir);
}

void options_recover(CLI::App *sub, Args *a) {
  sub->add_option("FILE", a->file, "a set-aside index (default: the newest)");
  sub->add_flag("--dry-run", a->dry_run, "only say what would be recovered");
}

int run_recover(const std::string &store, const Args &a) {
  return host::cmd_recover(store, a.file, a.dry_run);
}

void options_completion(CLI::App *sub, Args *a) {
  sub->add_option("SHELL", a->shell, "bash, zsh or fish")
      ->required()
      ->check(CLI::Validator(
          [](std::string &s) -> std::string {
            if (s == "bash" || s == "zsh" || s == "fish") return "";
            return "no completion script for " + s + ": bash, zsh or fish";
          },
          "SHELL"));
}

int run_completion(const std::string &, const Args &a) {
  if (host::write_stdout(host::completion_script(*a.app, a.shell))) return 0;
  host::complain(std::string("cannot write to standard output: ") + strerror(errno));
  return 1;
}

// complete-ids: what the completion scripts run for the clip ids.
int run_complete_ids(const std::string &store, const Args &) {
  return host::print_completion_ids(store);
}

void options_expire(CLI::App *sub, Args *a) {
  sub->add_option("--older-than", a->older_than, "the age beyond which clips go")
      ->type_name("DURATION")
      ->required()
      ->check(duration_validator(false));
  sub->add_flag("--dry-run", a->dry_run, "only say which clips would go");
}

int run_expire(const std::string &store, const Args &a) {
  return host::cmd_expire(store, duration_of(a.older_than), a.older_than, a.dry_run);
}

// The commands, one a row, in the order --help lists them. A command that help leaves out
// is for other programs: the Wayland watcher runs wayland-capture, which
// hands the clip to wayland-record; copy and pick fetch the clip, and pick
// its picker's rows; fzf's preview pane runs preview; the completion scripts run complete-ids, which
// on a Tab reads the store's index and makes nothing, not even the default
// store. completion needs no store, so that it works in a shell's start-up
// files even before there is one.
// clang-format off
const Command kCommands[] = {
  // name             run               store            options             served
  {"watch",           run_watch,        StoreUse::makes, options_watch,      Served::no},
  {"wayland-capture", run_capture,      StoreUse::makes, options_capture,    Served::no},
  {"wayland-record",  run_record,       StoreUse::makes, options_record,     Served::yes},
  {"store",           run_store,        StoreUse::makes, options_store,      Served::yes},
  {"push",            run_push,         StoreUse::makes, options_push,       Served::yes},
  {"push-image",      run_push_image,   StoreUse::makes, options_push_image, Served::yes},
  {"pause",           run_pause,        StoreUse::looks, options_pause,      Served::no},
  {"resume",          run_resume,       StoreUse::looks, no_options,         Served::no},
  {"list",            run_list,         StoreUse::makes, options_list,       Served::yes},
  {"search",          run_search,       StoreUse::makes, options_search,     Served::yes},
  {"get",             run_get,          StoreUse::makes, options_get,        Served::yes},
  {"copy",            run_copy,         StoreUse::makes, options_copy,       Served::no},
  {"fetch",           run_fetch,        StoreUse::makes, options_id,         Served::yes},
  {"pick",            run_pick,         StoreUse::makes, options_pick,       Served::no},
  {"preview",         run_preview,      StoreUse::makes, options_id,         Served::yes},
  {"picker-rows",     run_picker_rows,  StoreUse::makes, no_options,         Served::yes},
  {"pin",             run_pin,          StoreUse::makes, options_id,         Served::yes},
  {"unpin",           run_unpin,        StoreUse::makes, options_id,         Served::yes},
  {"delete",          run_delete,       StoreUse::makes, options_id,         Served::once},
  {"wipe",            run_wipe,         StoreUse::makes, options_wipe,       Served::yes},
  {"stats",           run_stats,        StoreUse::makes, options_stats,      Served::yes},
  {"serve",           run_serve,        StoreUse::makes, no_options,         Served::no},
  {"verify",          run_verify,       StoreUse::looks, no_options,         Served::no},
  {"ocr",             run_ocr,          StoreUse::makes, options_ocr,        Served::no},
  {"export",          run_export,       StoreUse::makes, options_export,     Served::once},
  {"import",          run_import,       StoreUse::makes, options_import,     Served::once},
  {"recover",         run_recover,      StoreUse::looks, options_recover,    Served::no},
  {"completion",      run_completion,   StoreUse::none,  options_completion, Served::no},
  {"complete-ids",    run_complete_ids, StoreUse::looks, no_options,         Served::no},
  {"expire",          run_expire,       StoreUse::makes, options_expire,     Served::yes},
};
// clang-format on

// The watchers and the completion scripts run these by the names their
// units give them.
static_assert(std::string_view(host::kWaylandCaptureCommand) == "wayland-capture");
static_assert(std::string_view(host::kCompleteIdsCommand) == "complete-ids");

const Command *find_command(const std::string &name) {
  for (auto &c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

// What help says of a command of the table: every one has a row in
// cli_help.cpp's table.
const host::CommandHelp &help_of(const std::string &name) {
  const host::CommandHelp *help = host::help_of(name);
  if (help == nullptr) abort();
  return *help;
}

// ---- Usage and help ----

constexpr char kMainUsage[] = "quillmar-clip [--store DIR] COMMAND [ARGS]";

std::string command_usage(const std::string &name) {
  return std::string("quillmar-clip ") + help_of(name).synopsis;
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
    if (app->get_parent() == nullptr) return host::main_help(app);
    const host::CommandHelp &help = help_of(app->get_name());
    return host::command_help(app,
                              std::string("quillmar-clip [--store DIR] ") + help.synopsis,
                              help.summary, help.example);
  }
};

// ---- Handing a command to the server of its store ----

// What a served command reads besides its command line, which it hands to
// the server: store and wayland-record read standard input whole,
// push-image its file.
enum class Input { none, standard_input, file };

Input input_of(const Command &c) {
  std::string name = c.name;
  if (name == "store" || name == "wayland-record") return Input::standard_input;
  if (name == "push-image") return Input::file;
  return Input::none;
}

// What the server is handed: the command line (after the program's name)
// and the input (with has_input).
struct Handover {
  std::vector<std::string> words;
  std::string input;
  bool has_input = false;
};

enum class Handed {
  ready,
  run_here,  // the command runs here, at once
  failed,    // exit status 1, said
};

Handed hand_over(const Command &c, const std::string &store, int argc, char **argv,
                 bool add_yes, const Args &args, Handover *h) {
  h->words.assign(argv + 1, argv + argc);
  if (add_yes) h->words.push_back("--yes");
  std::string error;
  bool more = false;
  switch (input_of(c)) {
    case Input::standard_input:
      if (!host::read_capped(STDIN_FILENO, host::kReadLimit, &h->input, &more, &error)) {
        host::complain("standard input: " + error);
        return Handed::failed;
      }
      h->has_input = true;
      break;
    case Input::file: {
      // The file is read here, where its name means what the user meant (it
      // may be this process's /dev/stdin), and handed over as input. When it
      // cannot be, the command says why in its own words.
      int fd = open(args.file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return Handed::run_here;
      bool ok = host::read_capped(fd, host::kReadLimit, &h->input, &more, &error);
      close(fd);
      if (!ok) return Handed::run_here;
      h->has_input = true;
      h->words = {"--store=" + store, "push-image", "/dev/stdin"};
      if (args.label_opt->count() > 0) h->words.push_back("--label=" + args.label);
      break;
    }
    case Input::none:
      // get - and copy - read the id here: the server is handed it as the
      // line it was.
      if (args.id_arg == "-") {
        h->input = std::to_string(args.id) + "\n";
        h->has_input = true;
      }
      break;
  }
  return Handed::ready;
}

// For a command that runs here after all: what was read of its input, in
// place of standard input. False after saying why not.
bool keep_input(const std::string &input, Input kind, Args *args) {
  int fd = host::memory_file("quillmar-input", input);
  if (fd < 0 || dup2(fd, STDIN_FILENO) < 0) {
    host::complain(std::string("cannot keep standard input: ") + strerror(errno));
    return false;
  }
  close(fd);
  if (kind == Input::file) args->file = "/dev/stdin";
  return true;
}

// Hands the command to the server of the store, when one answers: true,
// with *status, when the command is done (the server ran it, or its end is
// not known and it must not run again). With false, it runs here, with
// what was read of its input in place of standard input.
bool ask_server(const Command &c, const std::string &store, int argc, char **argv,
                bool add_yes, Args *args, int *status) {
  host::ServerConnection conn;
  if (!conn.open(store)) return false;
  Handover h;
  switch (hand_over(c, store, argc, argv, add_yes, *args, &h)) {
    case Handed::ready:
      break;
    case Handed::run_here:
      return false;
    case Handed::failed:
      *status = 1;
      return true;
  }
  host::Answer answer;
  switch (conn.run(h.words, h.has_input ? &h.input : nullptr, &answer)) {
    case host::Asked::answered:
      *status = host::relay(answer);
      return true;
    case host::Asked::uncertain:
      if (c.served == Served::once) {
        host::complain(
            "the server (pid " + std::to_string(conn.pid()) +
            ") went away while it ran " + c.name +
            ": whether it took effect is not known (see 'quillmar-clip list')");
        *status = 1;
        return true;
      }
      break;
    case host::Asked::not_served:
      break;
  }
  Input kind = input_of(c);
  if (kind != Input::none && !keep_input(h.input, kind, args)) {
    *status = 1;
    return true;
  }
  return false;
}

// ---- Running a command ----

// get - and copy - take the id from a line on standard input; the other
// ids were made decimal by clip_id(). 0, or the exit status.
int take_id(const Command &chosen, Args *args) {
  if (args->id_arg == "-") {
    std::string why;
    int rc = host::id_from_stdin(&args->id, &why);
    if (rc == 2) {
      // The line may be a clip's own: the notification leaves it out.
      host::replace_complaint(
          "standard input does not start with a clip id (give a line of 'quillmar-clip "
          "list --picker', or an id)");
      return usage_error(why, command_usage(chosen.name));
    }
    if (rc != 0) return rc;
  } else if (!args->id_arg.empty()) {
    args->id = std::stoi(args->id_arg);
  }
  return 0;
}

// The store directory the command uses: --store's, or the default one (its
// missing parents made when the command makes the store), resolved once,
// here, so that every command, watcher and capture then names the store,
// and the markers beside it, the same way. False after saying why not.
bool settle_store(StoreUse use, std::string *store) {
  if (store->empty()) {
    std::string error;
    *store = host::default_store_dir(&error);
    if (store->empty()) {
      host::complain(error);
      return false;
    }
    if (!store_problem(*store).empty()) {
      host::complain(store_problem(*store) + " (set XDG_DATA_HOME or give --store DIR)");
      return false;
    }
    if (use == StoreUse::makes && !host::make_parents(*store, &error)) {
      host::complain(error);
      return false;
    }
  }
  // A link may lead where the path is no longer UTF-8.
  std::string resolved = host::resolve_store_dir(*store);
  if (!store_problem(resolved).empty()) {
    host::complain(store_problem(resolved) + " (the store " + *store + " leads there)");
    return false;
  }
  *store = resolved;
  return true;
}

// Runs the command chosen on the command line, once its arguments are read.
int run_command(const Command &chosen, std::string store, Args &args, int argc,
                char **argv, bool in_server) {
  if (int rc = take_id(chosen, &args); rc != 0) return rc;
  if (chosen.store_use == StoreUse::none) return chosen.run("", args);
  if (!settle_store(chosen.store_use, &store)) return 1;
  if (in_server)
    return host::serves_store(store) ? chosen.run(store, args) : host::kNotServed;
  // wipe asks here, on this process's terminal, and the server wipes.
  bool add_yes = false;
  if (std::string(chosen.name) == "wipe" && !args.yes) {
    int rc = host::confirm_wipe(store);
    if (rc >= 0) return rc;
    args.yes = add_yes = true;
  }
  int status = 0;
  if (chosen.served != Served::no &&
      ask_server(chosen, store, argc, argv, add_yes, &args, &status))
    return status;
  return chosen.run(store, args);
}

// ---- The command line ----

// Sets app up to read a command line into *store and *args: --store,
// --version, and every command of the table with its arguments and
// options.
void set_up(CLI::App *app, std::string *store, Args *args) {
  app->formatter(std::make_shared<HostFormatter>());
  app->require_subcommand(1);
  app->fallthrough();
  app->set_version_flag("--version", std::string("quillmar-clip ") + kVersion);
  app->add_option("--store", *store, "the store directory")
      ->type_name("DIR")
      ->check(CLI::Validator(store_problem, "DIR"));
  args->app = app;
  for (auto &c : kCommands) {
    const host::CommandHelp &help = help_of(c.name);
    CLI::App *sub = app->add_subcommand(c.name, help.summary);
    if (help.group[0] == '\0') sub->group("");
    c.options(sub, args);
  }
}

// When CLI11 found no command: the first word that is neither an option nor
// the value of --store was meant as the command, and an option before it
// that the host lacks is what went wrong. Else why, CLI11's reason.
std::string why_no_command(int argc, char **argv, const std::string &why) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--store") {
      ++i;
    } else if (!a.empty() && a[0] != '-') {
      if (find_command(a) == nullptr) return "unknown command: " + a;
      break;
    } else if (a != "-h" && a != "--help" && a != "--version" &&
               a.rfind("--store=", 0) != 0) {
      return "unknown option: " + a;
    }
  }
  return why;
}

// A command line CLI11 did not take: --help and --version print their text
// (exit status 0); anything else is a usage error.
int not_taken(CLI::App &app, const CLI::ParseError &e, int argc, char **argv) {
  if (e.get_exit_code() == 0) return app.exit(e);
  std::string usage = kMainUsage;
  std::string why = host::usage_why(e);
  for (CLI::App *sub : app.get_subcommands()) usage = command_usage(sub->get_name());
  if (app.get_subcommands().empty()) why = why_no_command(argc, argv, why);
  return usage_error(why, usage);
}

// Runs a command line: main's, or, in_server, one that the server runs for
// another process (kNotServed for one it leaves to that process).
int run_command_line(int argc, char **argv, bool in_server) {
  CLI::App app{"A clipboard history of texts and PNG images", "quillmar-clip"};
  std::string store;
  Args args;
  set_up(&app, &store, &args);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    // The client said what was wrong with its command line itself.
    if (in_server) return host::kNotServed;
    return not_taken(app, e, argc, argv);
  }

  const Command *chosen = nullptr;
  for (auto &c : kCommands) {
    if (app.got_subcommand(c.name)) chosen = &c;
  }
  if (chosen == nullptr) return 2;
  if (in_server && chosen->served == Served::no) return host::kNotServed;

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
