#include "cli_picker.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "cli_capture.h"
#include "cli_client.h"
#include "cli_commands.h"
#include "cli_config.h"
#include "cli_notify.h"
#include "cli_paste.h"
#include "cli_process.h"
#include "cli_spawn.h"
#include "cli_store.h"
#include "cli_text.h"
#include "cli_util.h"
#include "quillmar_clip.h"

namespace host {
namespace {

int fail(const std::string &message) {
  complain(message);
  return 1;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// One clip as a picker shows it.
struct PickerRow {
  int id = 0;
  bool pinned = false;
  std::string text;  // what follows the id and the pin mark
  std::string file;  // an image clip's own file in the store
};

// The mark of a pinned clip, before its text.
constexpr char kPinMark[] = "\xE2\x98\x85 ";  // ★

// The line of an image clip: its size from the PNG header and its label, or
// the library's preview when the file cannot be read.
std::string image_row_text(const ClipSummary &c, std::string *file) {
  ClipString got(clip_get(c.id));
  if (!got) return terminal_cell(c.preview, INT_MAX);
  Doc doc(yyjson_read(got.get(), strlen(got.get()), 0));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  yyjson_val *path = yyjson_obj_get(root, "image_path");
  yyjson_val *label = yyjson_obj_get(root, "label");
  if (!yyjson_is_str(path)) return terminal_cell(c.preview, INT_MAX);
  // In a server, the path as the command named its store.
  *file = as_named(yyjson_get_str(path));
  std::string_view l = yyjson_is_str(label) ? std::string_view(yyjson_get_str(label),
                                                               yyjson_get_len(label))
                                            : std::string_view();
  int fd = open(file->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    file->clear();
    return terminal_cell(c.preview, INT_MAX);
  }
  char head[24];
  ssize_t n = pread(fd, head, sizeof head, 0);
  close(fd);
  uint32_t w = 0, h = 0;
  if (n <= 0 || !png_dimensions(std::string_view(head, static_cast<size_t>(n)), &w, &h))
    w = h = 0;
  return image_line(w, h, static_cast<uint64_t>(st.st_size), l);
}

// The rows of the text clips made so far, by id, for one epoch of the
// store (cli_store.h): a text's row is made from the start of the text,
// which clip_get hands over only with the rest of it, so a process that
// holds the history (a server) copies each text once, not every text for
// every picker. Image rows are made anew each time, from their files.
struct TextRows {
  uint64_t epoch = 0;
  std::unordered_map<int, std::string> by_id;
};
TextRows g_text_rows;

// The rows of the open store: the pinned clips first, then the others, each
// newest first; only the pinned ones with pinned_only. A text's row is made
// from the text itself, so that its line breaks show.
bool picker_rows(bool pinned_only, std::vector<PickerRow> *rows, size_t *pinned) {
  std::vector<ClipSummary> clips;
  if (!all_clips(&clips)) return false;
  std::stable_partition(clips.begin(), clips.end(),
                        [](const ClipSummary &c) { return c.pinned; });
  if (g_text_rows.epoch != store_epoch()) {
    g_text_rows.by_id.clear();
    g_text_rows.epoch = store_epoch();
  }
  // What is kept: the rows of the clips still there.
  std::unordered_map<int, std::string> kept;
  *pinned = 0;
  for (auto &c : clips) {
    *pinned += c.pinned ? 1 : 0;
    auto made = c.image ? g_text_rows.by_id.end() : g_text_rows.by_id.find(c.id);
    if (made != g_text_rows.by_id.end()) kept.emplace(c.id, std::move(made->second));
    if (pinned_only && !c.pinned) continue;
    PickerRow row;
    row.id = c.id;
    row.pinned = c.pinned;
    if (c.image) {
      row.text = image_row_text(c, &row.file);
    } else if (auto k = kept.find(c.id); k != kept.end()) {
      row.text = k->second;
    } else {
      ClipString text(clip_get(c.id));
      if (text) {
        row.text = picker_text(text.get(), CLIP_PREVIEW_CHARS);
        kept.emplace(c.id, row.text);
      } else {
        row.text = terminal_cell(c.preview, INT_MAX);
      }
    }
    rows->push_back(std::move(row));
  }
  g_text_rows.by_id.swap(kept);
  return true;
}

// The rows as another process reads them back exactly: a JSON array of
// {"id", "pinned", "text", "file"}, the strings byte for byte as they are
// (the writer and the reader let invalid UTF-8 through untouched).
constexpr yyjson_write_flag kRowsWrite = YYJSON_WRITE_ALLOW_INVALID_UNICODE;
constexpr yyjson_read_flag kRowsRead = YYJSON_READ_ALLOW_INVALID_UNICODE;

bool encode_rows(const std::vector<PickerRow> &rows, std::string *out) {
  MutDoc doc(yyjson_mut_doc_new(nullptr));
  if (!doc) return false;
  yyjson_mut_doc *d = doc.get();
  yyjson_mut_val *root = yyjson_mut_arr(d);
  yyjson_mut_doc_set_root(d, root);
  for (auto &row : rows) {
    yyjson_mut_val *o = yyjson_mut_arr_add_obj(d, root);
    if (o == nullptr) return false;
    yyjson_mut_obj_add_int(d, o, "id", row.id);
    yyjson_mut_obj_add_bool(d, o, "pinned", row.pinned);
    yyjson_mut_obj_add_strn(d, o, "text", row.text.data(), row.text.size());
    yyjson_mut_obj_add_strn(d, o, "file", row.file.data(), row.file.size());
  }
  size_t len = 0;
  char *text = yyjson_mut_write(d, kRowsWrite, &len);
  if (text == nullptr) return false;
  out->assign(text, len);
  free(text);
  return true;
}

bool decode_rows(const std::string &in, std::vector<PickerRow> *rows, size_t *pinned) {
  Doc doc(yyjson_read(in.data(), in.size(), kRowsRead));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_arr(root)) return false;
  *pinned = 0;
  size_t i, n;
  yyjson_val *o;
  yyjson_arr_foreach(root, i, n, o) {
    yyjson_val *id = yyjson_obj_get(o, "id");
    yyjson_val *pin = yyjson_obj_get(o, "pinned");
    yyjson_val *text = yyjson_obj_get(o, "text");
    yyjson_val *file = yyjson_obj_get(o, "file");
    if (!yyjson_is_int(id) || !yyjson_is_bool(pin) || !yyjson_is_str(text) ||
        !yyjson_is_str(file))
      return false;
    PickerRow row;
    row.id = static_cast<int>(yyjson_get_sint(id));
    row.pinned = yyjson_get_bool(pin);
    row.text.assign(yyjson_get_str(text), yyjson_get_len(text));
    row.file.assign(yyjson_get_str(file), yyjson_get_len(file));
    *pinned += row.pinned ? 1 : 0;
    rows->push_back(std::move(row));
  }
  return true;
}

std::string row_line(const PickerRow &row) {
  return std::to_string(row.id) + "\t" + (row.pinned ? kPinMark : "") + row.text;
}

// The lines of list --picker: rows offset.. of the open store, at most limit
// of them (every one for 0).
bool picker_lines(int offset, int limit, bool pinned_only, std::string *out) {
  std::vector<PickerRow> rows;
  size_t pinned = 0;
  if (!picker_rows(pinned_only, &rows, &pinned)) return false;
  size_t first = std::min(rows.size(), static_cast<size_t>(std::max(offset, 0)));
  size_t n = limit > 0 ? std::min(rows.size() - first, static_cast<size_t>(limit))
                       : rows.size() - first;
  for (size_t i = first; i < first + n; ++i)
    out->append(row_line(rows[i])).push_back('\n');
  return true;
}

// The pickers tried in turn when none is named, with the arguments their
// users expect: matching without regard to case, a prompt that says what is
// being chosen, and no way to pick a line that is not in the list. fzf draws
// on the terminal, so it is passed over when there is none (a pick bound to
// a hotkey).
enum class Flavor { fzf, rofi, wofi, fuzzel, bemenu, dmenu, shell };
struct KnownPicker {
  const char *program;
  Flavor flavor;
  bool needs_terminal;
};
constexpr KnownPicker kKnownPickers[] = {
    {"fzf", Flavor::fzf, true},        {"rofi", Flavor::rofi, false},
    {"wofi", Flavor::wofi, false},     {"fuzzel", Flavor::fuzzel, false},
    {"bemenu", Flavor::bemenu, false}, {"dmenu", Flavor::dmenu, false},
};

bool have_terminal() {
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// What the picker is to show beside the lines.
struct PickerView {
  size_t pinned = 0;    // the first rows
  bool images = false;  // some rows have a thumbnail
  // fzf's preview pane runs "<self> --store <store> preview <id>".
  std::string self, store;
};

// A word for /bin/sh, in single quotes.
std::string shell_quote(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Picker {
  std::string path;  // a known picker's program; empty for a shell command
  std::string name;  // for messages; the command itself for a shell command
  Flavor flavor = Flavor::shell;
};

std::vector<std::string> picker_argv(const Picker &p, const PickerView &view) {
  if (p.flavor == Flavor::shell) return {"/bin/sh", "-c", p.name};
  // The prompt names what is chosen and, where the picker has no other
  // place for it, how many of the clips are pinned.
  std::string pins = std::to_string(view.pinned) + " pinned";
  std::string prompt = view.pinned > 0 ? "clip (" + pins + ")" : "clip";
  std::vector<std::string> argv = {p.path};
  auto add = [&](std::initializer_list<std::string> args) {
    argv.insert(argv.end(), args.begin(), args.end());
  };
  switch (p.flavor) {
    case Flavor::fzf:
      // The id stays in the line that fzf prints, but is neither shown nor
      // matched; ties keep the list's order, pinned clips first.
      add({"-i", "--prompt=clip> ", "--delimiter=\t", "--with-nth=2..",
           "--tiebreak=index"});
      if (view.pinned > 0) add({"--header=" + pins});
      // The whole clip beside the list: {1} is the line's id.
      if (!view.self.empty()) {
        add({"--preview=" + shell_quote(view.self) + " --store " +
                 shell_quote(view.store) + " preview {1}",
             "--preview-window=right,50%,wrap"});
      }
      break;
    case Flavor::rofi:
      add({"-dmenu", "-i", "-p", "clip", "-no-custom"});
      if (view.images) add({"-show-icons"});
      // The pinned rows, first in the list, drawn as rofi's active rows.
      if (view.pinned > 0)
        add({"-mesg", pins, "-a", "0-" + std::to_string(view.pinned - 1)});
      break;
    case Flavor::wofi:
      add({"--dmenu", "-i", "-p", prompt});
      if (view.images) add({"--allow-images"});
      break;
    case Flavor::fuzzel:
      // fuzzel matches without regard to case by itself.
      add({"--dmenu", "--prompt=" + prompt + "> "});
      break;
    case Flavor::bemenu:
    case Flavor::dmenu:
      add({"-i", "-p", prompt});
      break;
    case Flavor::shell:
      break;
  }
  return argv;
}

// A row as the picker is given it: the line, and for an image clip its own
// file as the thumbnail where the picker shows one (rofi's and fuzzel's row
// option "\0icon\x1f<path>", wofi's "img:<path>:text:<line>"). The line
// itself never holds a NUL or a line break.
std::string picker_row(Flavor flavor, const PickerRow &row) {
  std::string line = row_line(row);
  if (row.file.empty() || row.file.find('\n') != std::string::npos) return line;
  switch (flavor) {
    case Flavor::rofi:
    case Flavor::fuzzel:
      return line + std::string("\0icon\x1f", 6) + row.file;
    case Flavor::wofi:
      // wofi reads the path up to the next colon.
      if (row.file.find(':') == std::string::npos)
        return "img:" + row.file + ":text:" + line;
      return line;
    default:
      return line;
  }
}

// The picker to run, given the command the user named ("" for none). A
// command that is just the name of a known picker gets that picker's
// arguments; any other runs as it is, through the shell.
bool choose_picker(const std::string &named, Picker *out) {
  size_t b = named.find_first_not_of(" \t"), e = named.find_last_not_of(" \t");
  std::string word = b == std::string::npos ? "" : named.substr(b, e - b + 1);
  for (auto &p : kKnownPickers) {
    if (!named.empty() && word != p.program) continue;
    if (named.empty() && p.needs_terminal && !have_terminal()) continue;
    std::string path = find_program(p.program);
    if (path.empty()) {
      if (named.empty()) continue;
      complain(std::string("the picker ") + p.program + " is not installed");
      return false;
    }
    out->name = p.program;
    out->flavor = p.flavor;
    out->path = path;
    return true;
  }
  if (!named.empty()) {
    out->name = named;
    return true;
  }
  complain(
      "no picker found: install fzf (in a terminal), rofi, wofi, fuzzel, bemenu or "
      "dmenu, or name one in QUILLMAR_PICKER (such as 'fzf --height 40%')");
  return false;
}

enum class PickOutcome { chosen, cancelled, failed };

// The first line the picker printed, without its line break.
std::string first_line(std::string answer) {
  size_t eol = answer.find('\n');
  if (eol != std::string::npos) answer.resize(eol);
  if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  return answer;
}

// What the end of the picker (given as name) says of the pick, with
// answer, the first line it printed, as *chosen.
PickOutcome judge_pick(const RunResult &r, const std::string &name,
                       const std::string &answer, std::string *chosen) {
  int code = r.how == Ended::exited ? r.code : -1;
  if (code == 126 || code == 127) {
    // The shell's words for a command it cannot find or run.
    complain("cannot run the picker " + name + " (exit status " + std::to_string(code) +
             ")");
    return PickOutcome::failed;
  }
  if (code == 0 && !answer.empty()) {
    *chosen = answer;
    return PickOutcome::chosen;
  }
  if (code == 0 || code == 1 || code == 130 ||
      (r.how == Ended::signaled && r.code == SIGINT)) {
    // Escape in the dmenu family (1), in fzf (130) or Ctrl-C: the user
    // changed their mind, which needs no word from us.
    return PickOutcome::cancelled;
  }
  if (code > 1) {
    complain("the picker " + name + " failed (exit status " + std::to_string(code) + ")");
  } else {
    complain("the picker " + name + " was killed by signal " + std::to_string(r.code));
  }
  return PickOutcome::failed;
}

// Runs the picker with lines on its standard input (from an anonymous file
// in memory: nothing waits on a pipe that the picker stops reading, and the
// previews of the history never reach a disk outside the store) and its
// standard error on ours, and keeps the first line it prints.
PickOutcome run_picker(const std::vector<std::string> &argv, const std::string &name,
                       const std::string &lines, std::string *chosen) {
  RunOptions o;
  o.in = Stream::memory;
  o.input = lines;
  o.out = Stream::pipe;
  // One line is all that counts; the rest is read only to let the picker
  // finish.
  o.out_keep = 65536;
  o.err = Stream::inherit;
  // Ctrl-C in a terminal picker reaches us too: it cancels the pick, so we
  // ignore it while the picker runs, and the picker gets it as usual.
  o.leave_interrupts = true;
  RunResult r = run_program(argv, o);
  if (r.how == Ended::not_started) {
    complain(!r.setup_error.empty()
                 ? r.setup_error
                 : "cannot run the picker " + name + ": " + strerror(r.code));
    return PickOutcome::failed;
  }
  return judge_pick(r, name, first_line(r.out), chosen);
}

}  // namespace

std::string picker_line(int id, std::string_view preview) {
  return std::to_string(id) + "\t" + terminal_cell(preview, INT_MAX);
}

bool leading_id(std::string_view line, int *id) {
  size_t i = 0;
  while (i < line.size() && is_blank(line[i])) ++i;
  size_t start = i;
  long long n = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
    n = n * 10 + (line[i] - '0');
    if (n > INT_MAX) return false;
    ++i;
  }
  if (i == start) return false;
  if (i < line.size() && !is_blank(line[i]) && line[i] != '\n' && line[i] != '\r')
    return false;
  *id = static_cast<int>(n);
  return true;
}

int id_from_stdin(int *id, std::string *why) {
  std::string line;
  int c;
  while ((c = getc(stdin)) != EOF && c != '\n') {
    if (line.size() < 256) line.push_back(static_cast<char>(c));
  }
  if (ferror(stdin)) {
    complain(std::string("cannot read standard input: ") + strerror(errno));
    return 1;
  }
  if (line.empty() && c == EOF) {
    complain("no clip id on standard input: nothing was picked");
    return 1;
  }
  if (leading_id(line, id)) return 0;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  *why = "standard input does not start with a clip id: '" + terminal_cell(line, 40) +
         "' (give a line of 'quillmar-clip list --picker', or an id)";
  return 2;
}

int cmd_list_picker(const std::string &store, int offset, int limit, bool pinned_only) {
  std::string lines;
  {
    StoreLock lock;
    if (!open_store(store, &lock)) return 1;
    if (!picker_lines(offset, limit, pinned_only, &lines)) return 1;
  }
  if (fwrite(lines.data(), 1, lines.size(), stdout) != lines.size() ||
      fflush(stdout) != 0)
    return fail(std::string("cannot write to standard output: ") + strerror(errno));
  return 0;
}

int cmd_preview(const std::string &store, int id) {
  std::string out;
  {
    StoreLock lock;
    if (!open_store(store, &lock)) return 1;
    std::vector<ClipSummary> clips;
    if (!all_clips(&clips)) return 1;
    auto c = std::find_if(clips.begin(), clips.end(),
                          [id](const ClipSummary &s) { return s.id == id; });
    if (c == clips.end()) return fail("no clip " + std::to_string(id));
    if (c->image) {
      std::string file;
      out = image_row_text(*c, &file) + "\n" + file + "\n";
    } else {
      ClipString text(clip_get(id));
      if (!text) return fail(library_error());
      out = preview_text(text.get());
    }
  }
  if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) != 0)
    return fail(std::string("cannot write to standard output: ") + strerror(errno));
  return 0;
}

int cmd_picker_rows(const std::string &store) {
  std::vector<PickerRow> rows;
  std::string out;
  {
    StoreLock lock;
    if (!open_store(store, &lock)) return 1;
    size_t pinned = 0;
    if (!picker_rows(false, &rows, &pinned)) return 1;
  }
  if (!encode_rows(rows, &out)) return fail("out of memory");
  if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) != 0)
    return fail(std::string("cannot write to standard output: ") + strerror(errno));
  return 0;
}

int cmd_pick(const std::string &store, const PickOptions &options) {
  // The environment names the picker for one call, so it wins over the
  // file; a broken file then costs only its other keys, and is said.
  const char *env = getenv("QUILLMAR_PICKER");
  std::string named = env != nullptr ? env : "";
  Config config;
  std::string error;
  if (!load_config(&config, &error)) {
    complain(error);
    if (named.empty()) return 2;
    complain("the config file is left aside: QUILLMAR_PICKER names the picker");
    config = Config{};
  }
  if (named.empty()) named = config.picker;
  // --print writes the clip out instead: there is nothing to paste.
  bool paste = !options.print && options.paste.value_or(config.paste);
  std::string keys = options.paste_keys.value_or(
      config.paste_keys.empty() ? std::string(kDefaultPasteKeys) : config.paste_keys);
  std::vector<std::string> paste_argv;
  if (paste) {
    // Said before the picker opens, not after the user chose.
    Chord chord;
    if (!parse_chord(keys, &chord, &error)) return fail(error);
    if (!paste_command(chord, &paste_argv)) return 1;
  }
  std::vector<PickerRow> rows;
  PickerView view;
  // The server of the store makes the rows from the history it holds; the
  // picker runs here, on this process's terminal or display.
  std::string served;
  int served_status = 0;
  if (served_output(store, {"picker-rows"}, &served, &served_status)) {
    if (served_status != 0) return served_status;
    if (!decode_rows(served, &rows, &view.pinned))
      return fail("the server's answer cannot be read");
  } else {
    // The store stays unlocked while the user chooses, so that a watcher
    // can record in the meantime.
    StoreLock lock;
    if (!open_store(store, &lock)) return 1;
    if (!picker_rows(false, &rows, &view.pinned)) return 1;
  }
  if (rows.empty()) {
    return fail(
        "nothing to pick: the history is empty (start recording with 'quillmar-clip "
        "watch')");
  }
  Picker picker;
  if (!choose_picker(named, &picker)) return 1;
  if (picker.flavor == Flavor::fzf) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    char resolved[PATH_MAX];
    if (n > 0 && realpath(store.c_str(), resolved) != nullptr) {
      view.self.assign(self, static_cast<size_t>(n));
      view.store = resolved;
    }
  }
  std::string lines;
  for (auto &row : rows) {
    view.images = view.images || !row.file.empty();
    lines.append(picker_row(picker.flavor, row)).push_back('\n');
  }
  std::string chosen;
  switch (run_picker(picker_argv(picker, view), picker.name, lines, &chosen)) {
    case PickOutcome::failed:
    case PickOutcome::cancelled:
      return 1;
    case PickOutcome::chosen:
      break;
  }
  // wofi answers with an image row as it was given.
  if (picker.flavor == Flavor::wofi && chosen.rfind("img:", 0) == 0) {
    size_t text = chosen.find(":text:");
    if (text != std::string::npos) chosen.erase(0, text + 6);
  }
  int id = 0;
  if (!leading_id(chosen, &id)) {
    fail("the picker's answer is not a line of the list: '" + terminal_cell(chosen, 40) +
         "'");
    // What was typed may be a clip's own text: the notification leaves it out.
    replace_complaint("the picker's answer is not a line of the list");
    return 1;
  }
  if (options.print) {
    int status = 0;
    if (run_served(store, {"get", std::to_string(id)}, &status)) return status;
    return cmd_get(store, id, nullptr);
  }
  int rc = cmd_copy(store, id);
  if (rc != 0 || !paste) return rc;
  return paste_now(paste_argv, keys) ? 0 : 1;
}

}  // namespace host
