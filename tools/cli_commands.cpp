#include "cli_commands.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli_capture.h"
#include "cli_capture_queue.h"
#include "cli_client.h"
#include "cli_config.h"
#include "cli_layout.h"
#include "cli_limits.h"
#include "cli_markers.h"
#include "cli_ocr.h"
#include "cli_recover.h"
#include "cli_spawn.h"
#include "cli_store.h"
#include "cli_text.h"
#include "cli_util.h"
#include "cli_watcher_mark.h"
#include "quillmar_clip.h"

namespace host {
namespace {

int fail(const std::string &message) {
  complain(message);
  return 1;
}

int fail_library() { return fail(library_error()); }

int print_line(const std::string &s) {
  std::string line = s + "\n";
  if (!write_stdout(line)) {
    return fail(std::string("cannot write to standard output: ") + strerror(errno));
  }
  return 0;
}

// Reads at most kReadLimit bytes of fd; *seen is what was kept, plus one
// when the input may go on beyond it.
bool read_input(int fd, std::string *out, uint64_t *seen, std::string *error) {
  bool more = false;
  if (!read_capped(fd, kReadLimit, out, &more, error)) return false;
  *seen = out->size() + (more ? 1 : 0);
  return true;
}

void print_table(const std::vector<ClipSummary> &clips, bool scores) {
  int64_t now = static_cast<int64_t>(time(nullptr));
  int id_width = 2;
  for (auto &c : clips)
    id_width = std::max(id_width, static_cast<int>(std::to_string(c.id).size()));
  std::string head;
  char buf[128];
  if (scores) {
    snprintf(buf, sizeof buf, "%*s  %5s  %-10s  %-5s  %-3s  ", id_width, "ID", "SCORE",
             "AGE", "KIND", "PIN");
  } else {
    snprintf(buf, sizeof buf, "%*s  %-10s  %-5s  %-3s  ", id_width, "ID", "AGE", "KIND",
             "PIN");
  }
  head = buf;
  int room = std::max(10, terminal_columns() - static_cast<int>(head.size()));
  std::string out = head + "PREVIEW\n";
  for (auto &c : clips) {
    std::string age = format_age(now, c.ts);
    if (scores) {
      snprintf(buf, sizeof buf, "%*d  %5d  %-10s  %-5s  %-3s  ", id_width, c.id, c.score,
               age.c_str(), c.image ? "image" : "text", c.pinned ? "*" : "");
    } else {
      snprintf(buf, sizeof buf, "%*d  %-10s  %-5s  %-3s  ", id_width, c.id, age.c_str(),
               c.image ? "image" : "text", c.pinned ? "*" : "");
    }
    out += buf;
    out += terminal_cell(c.preview, room);
    out += "\n";
  }
  write_stdout(out);
}

int show_listing(char *raw, bool json, bool scores, const char *empty) {
  ClipString result(raw);
  if (!result) return fail_library();
  if (json || !stdout_is_terminal()) return print_line(result.get());
  std::vector<ClipSummary> clips;
  if (!parse_summaries(result.get(), &clips))
    return fail("the library's result is not a JSON array");
  if (clips.empty()) return print_line(empty);
  print_table(clips, scores);
  return 0;
}

// A listing in the library's own JSON form, for clips it does not list in
// one call (the pinned ones alone, the host's search).
bool summaries_json(const ClipSummary *clips, size_t n, bool scores, std::string *out) {
  MutDoc doc(yyjson_mut_doc_new(nullptr));
  if (!doc) return false;
  yyjson_mut_doc *d = doc.get();
  yyjson_mut_val *root = yyjson_mut_arr(d);
  yyjson_mut_doc_set_root(d, root);
  for (size_t i = 0; i < n; ++i) {
    const ClipSummary &c = clips[i];
    yyjson_mut_val *o = yyjson_mut_obj(d);
    yyjson_mut_obj_add_int(d, o, "id", c.id);
    yyjson_mut_obj_add_int(d, o, "ts", c.ts);
    yyjson_mut_obj_add_str(d, o, "kind", c.image ? "image" : "text");
    yyjson_mut_obj_add_strncpy(d, o, "preview", c.preview.data(), c.preview.size());
    yyjson_mut_obj_add_bool(d, o, "pinned", c.pinned);
    if (scores) yyjson_mut_obj_add_int(d, o, "score", c.score);
    yyjson_mut_arr_append(root, o);
  }
  size_t len = 0;
  char *text = yyjson_mut_write(d, 0, &len);
  if (text == nullptr) return false;
  out->assign(text, len);
  free(text);
  return true;
}

const ClipSummary *find_clip(const std::vector<ClipSummary> &clips, int id) {
  for (auto &c : clips) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

// The image fetch result: the file's path and the label (when there is one).
bool parse_image_result(const char *json, std::string *path, std::string *label,
                        bool *has_label) {
  Doc doc(yyjson_read(json, strlen(json), 0));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  yyjson_val *p = yyjson_obj_get(root, "image_path");
  if (!yyjson_is_str(p)) return false;
  path->assign(yyjson_get_str(p), yyjson_get_len(p));
  yyjson_val *l = yyjson_obj_get(root, "label");
  *has_label = yyjson_is_str(l);
  if (*has_label) label->assign(yyjson_get_str(l), yyjson_get_len(l));
  return true;
}

using Content = ClipContent;

// clip_get answers a text clip with the text itself and an image clip with
// JSON, so the kind comes from the listing: from the caller's copy of it
// when there is one (known), else from a fresh one.
bool fetch(int id, bool read_image, Content *out,
           const std::vector<ClipSummary> *known = nullptr) {
  ClipString got(clip_get(id));
  if (!got) {
    complain(library_error());
    return false;
  }
  std::vector<ClipSummary> clips;
  if (known == nullptr) {
    if (!all_clips(&clips)) return false;
    known = &clips;
  }
  const ClipSummary *c = find_clip(*known, id);
  out->image = c != nullptr && c->image;
  if (!out->image) {
    out->bytes = got.get();
    return true;
  }
  if (!parse_image_result(got.get(), &out->path, &out->label, &out->has_label)) {
    complain("the library's image result cannot be read");
    return false;
  }
  out->path = as_named(out->path);
  if (!read_image) return true;
  std::string error;
  if (!read_whole_file(out->path, &out->bytes, &error)) {
    complain("the image file of clip " + std::to_string(id) +
             " cannot be read: " + error);
    return false;
  }
  return true;
}

bool confirm(const std::string &question) {
  fprintf(stderr, "%s [y/N] ", question.c_str());
  fflush(stderr);
  char answer[64];
  if (fgets(answer, sizeof answer, stdin) == nullptr) return false;
  std::string a = answer;
  while (!a.empty() && (a.back() == '\n' || a.back() == '\r' || a.back() == ' '))
    a.pop_back();
  std::transform(a.begin(), a.end(), a.begin(),
                 [](unsigned char c) { return tolower(c); });
  return a == "y" || a == "yes";
}

// The newest clip of the open store, *none when there is none. False after
// a message when it cannot be had.
bool newest_clip(ClipSummary *out, bool *none) {
  ClipString newest(clip_list(0, 1));
  if (!newest) {
    complain(library_error());
    return false;
  }
  std::vector<ClipSummary> clips;
  if (!parse_summaries(newest.get(), &clips)) {
    complain("the library's listing is not a JSON array");
    return false;
  }
  *none = clips.empty();
  if (!clips.empty()) *out = clips[0];
  return true;
}

// CLIPBOARD_STATE=clear: the clipboard lost what it held. When that is the
// clip store recorded a moment ago, and it is still the newest, unpinned,
// it goes too (a password manager clearing what it put there). Anything
// else stays: a clear after a skipped or unrecorded clip, a clip someone
// pinned, one recorded before the window, or one a later clip followed.
int clear_last_stored(const std::string &store) {
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  int id = 0;
  int64_t ts = 0;
  bool remembered = last_stored(store, &id, &ts);
  std::string error;
  if (!forget_stored(store, &error)) return fail(error);
  if (!remembered) return 0;
  ClipSummary newest;
  bool none = false;
  if (!newest_clip(&newest, &none)) return 1;
  int64_t age = static_cast<int64_t>(time(nullptr)) - ts;
  if (none || newest.id != id || newest.ts != ts || newest.pinned || age < 0 ||
      age > kClearWindowSeconds) {
    return 0;
  }
  if (!clip_delete(id)) return fail_library();
  return print_line("deleted clip " + std::to_string(id) + ": the clipboard was cleared");
}

}  // namespace

bool fetch_clip(int id, bool read_image, ClipContent *out,
                const std::vector<ClipSummary> *listing) {
  return fetch(id, read_image, out, listing);
}

int print_listing(const std::vector<ClipSummary> &clips, bool json, bool scores,
                  const char *empty) {
  if (json || !stdout_is_terminal()) {
    std::string out;
    if (!summaries_json(clips.data(), clips.size(), scores, &out))
      return fail("out of memory");
    return print_line(out);
  }
  if (clips.empty()) return print_line(empty);
  print_table(clips, scores);
  return 0;
}

int cmd_store(const std::string &store, const Config &config) {
  std::string bytes, error;
  uint64_t seen = 0;
  if (!read_input(STDIN_FILENO, &bytes, &seen, &error))
    return fail("standard input: " + error);
  const char *state = getenv("CLIPBOARD_STATE");
  std::string st = state != nullptr ? state : "";
  if (st == "clear") {
    // A paused history recorded nothing that a clear could refer to.
    if (recording_paused(store)) return forget_stored(store, &error) ? 0 : fail(error);
    return clear_last_stored(store);
  }
  // From here on the clipboard holds something new: whatever store recorded
  // before is no longer what a clear would take away, unless this very clip
  // is recorded below.
  StoreLock lock;
  if (!lock.acquire(store, true, false, &error)) return fail(error);
  int last_id = 0;
  int64_t last_ts = 0;
  bool remembered = last_stored(store, &last_id, &last_ts);
  if (!forget_stored(store, &error)) return fail(error);
  if (st == "sensitive" || st == "nil") return 0;
  if (recording_paused(store)) {
    complain("recording is paused: clip not stored");
    return 0;
  }
  if (seen == 0) {
    complain("standard input is empty: nothing stored");
    return 0;
  }
  // wl-paste hands over whatever type the clipboard offers first: a picture
  // in another format, or a document, would become a text of U+FFFD soup.
  if (const char *what = binary_kind(bytes)) {
    complain(std::string("standard input is ") + what +
             ", neither text nor a PNG image: nothing stored");
    return 0;
  }
  Capture capture;
  capture.kind = has_png_signature(bytes) ? ClipKind::image : ClipKind::text;
  capture.bytes = std::move(bytes);
  capture.seen = seen;
  capture.origin = "standard input";
  // An image is read for words under the lock, so that the clips copied
  // while it is read are recorded after it.
  QueuedCapture q;
  q.capture = std::move(capture);
  read_words_now(&q, config, false);
  Recorder recorder(store, config);
  Recorded rec;
  if (!recorder.record(std::move(q.capture), &rec, &lock)) return 1;
  if (!rec.skipped.empty()) {
    complain("standard input not recorded: " + rec.skipped);
    return 0;
  }
  int rc = print_line(rec.result);
  // The library's state is current under the lock that recorded the clip.
  Trimmed trimmed;
  if (!apply_limits(config, static_cast<int64_t>(time(nullptr)), &trimmed)) {
    rc = 1;
  } else if (std::string said = describe_trimmed(config, trimmed); !said.empty()) {
    rc = print_line(said);
  }
  // A clear may take away only what store itself added. Bytes the history
  // held already (a repeat moved to the top, or one that kept its place)
  // were the user's before this copy: they are not remembered, unless the
  // repeat is of the newest clip that store remembered, with its time.
  ClipSummary newest;
  bool none = false;
  if (!newest_clip(&newest, &none) || none || newest.id != rec.id) return rc;
  bool added = !rec.dedup && rec.twin == 0;
  if (!added && !(rec.dedup && remembered && last_id == rec.id && last_ts == newest.ts))
    return rc;
  if (!remember_stored(store, rec.id, newest.ts, &error)) {
    complain(error + " (a later CLIPBOARD_STATE=clear deletes nothing)");
  }
  return rc;
}

int cmd_push(const std::string &store, const std::string &text) {
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  ClipString result(clip_push_text(text.c_str()));
  if (!result) return fail_library();
  return print_line(result.get());
}

int cmd_push_image(const std::string &store, const std::string &file,
                   const std::string *label) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail("cannot open " + file + ": " + strerror(errno));
  std::string bytes, error;
  uint64_t seen = 0;
  bool ok = read_input(fd, &bytes, &seen, &error);
  close(fd);
  if (!ok) return fail(file + ": " + error);
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  int len = static_cast<int>(std::min(bytes.size(), kReadLimit));
  ClipString result(clip_push_image(reinterpret_cast<const unsigned char *>(bytes.data()),
                                    len, label != nullptr ? label->c_str() : nullptr));
  if (!result) return fail_library();
  return print_line(result.get());
}

int cmd_list(const std::string &store, int offset, int limit, bool json,
             bool pinned_only) {
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  if (!pinned_only && (json || !stdout_is_terminal()))
    return show_listing(clip_list(offset, limit), true, false, "");
  // The table says what the page leaves out, which needs the whole count.
  std::vector<ClipSummary> all;
  if (!all_clips(&all)) return 1;
  size_t pinned = static_cast<size_t>(std::count_if(
      all.begin(), all.end(), [](const ClipSummary &c) { return c.pinned; }));
  if (pinned_only) {
    all.erase(std::remove_if(all.begin(), all.end(),
                             [](const ClipSummary &c) { return !c.pinned; }),
              all.end());
  }
  size_t first = std::min(static_cast<size_t>(std::max(offset, 0)), all.size());
  size_t want = static_cast<size_t>(limit > 0 ? limit : CLIP_DEFAULT_LIMIT);
  size_t n = std::min(want, all.size() - first);
  if (json || !stdout_is_terminal()) {
    std::string out;
    if (!summaries_json(all.data() + first, n, false, &out)) return fail("out of memory");
    return print_line(out);
  }
  if (all.empty()) {
    if (pinned_only)
      return print_line("no pinned clips: 'quillmar-clip pin ID' pins one");
    return print_line(
        "no clips yet: start recording with 'quillmar-clip watch' (or 'systemctl --user "
        "enable --now quillmar-clip-watch.service')");
  }
  std::string total = std::to_string(all.size());
  const char *noun = pinned_only ? " pinned clip" : " clip";
  if (n == 0) {
    return print_line("nothing to show: --offset " + std::to_string(offset) +
                      " skips all " + total + noun + (all.size() == 1 ? "" : "s"));
  }
  std::vector<ClipSummary> page(all.begin() + static_cast<ptrdiff_t>(first),
                                all.begin() + static_cast<ptrdiff_t>(first + n));
  print_table(page, false);
  // The last line says what the page leaves out, and how many clips are
  // pinned when some are: the only clips that eviction never takes.
  std::string pins;
  if (!pinned_only && pinned > 0)
    pins = std::to_string(pinned) + " pinned ('quillmar-clip list --pinned')";
  if (n == all.size()) return pins.empty() ? 0 : print_line(pins);
  std::string shown;
  if (first == 0) {
    shown = std::to_string(n);
  } else if (n == 1) {
    shown = "clip " + std::to_string(first + 1);
  } else {
    shown = "clips " + std::to_string(first + 1) + "-" + std::to_string(first + n);
  }
  return print_line(shown + " of " + total + (pinned_only ? " pinned" : "") +
                    ": --limit or --offset for more" + (pins.empty() ? "" : "; " + pins));
}

int cmd_get(const std::string &store, int id, const std::string *output) {
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  Content c;
  bool to_stdout = output == nullptr || *output == "-";
  // An image without --output prints its path, so its bytes are not needed.
  if (!fetch(id, output != nullptr, &c)) return 1;
  if (c.image && output == nullptr) return print_line(c.path);
  if (to_stdout) {
    if (!write_stdout(c.bytes)) {
      return fail(std::string("cannot write to standard output: ") + strerror(errno));
    }
    return 0;
  }
  std::string error;
  // The copy holds clip content: as private as the store's own files.
  if (!write_whole_file(*output, c.bytes, 0600, &error)) return fail(error);
  return 0;
}

int cmd_fetch(const std::string &store, int id) {
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  Content c;
  if (!fetch(id, true, &c)) return 1;
  lock.release();
  std::string out = (c.image ? "image\n" : "text\n") + c.bytes;
  if (!write_stdout(out)) {
    return fail(std::string("cannot write to standard output: ") + strerror(errno));
  }
  return 0;
}

int cmd_copy(const std::string &store, int id) {
  Content c;
  std::string fetched;
  int status = 0;
  // The server hands the clip over; the clipboard tool runs here, on this
  // process's display.
  if (served_output(store, {"fetch", std::to_string(id)}, &fetched, &status)) {
    if (status != 0) return status;
    size_t eol = fetched.find('\n');
    if (eol == std::string::npos) return fail("the server's answer cannot be read");
    c.image = fetched.compare(0, eol, "image") == 0;
    c.bytes = fetched.substr(eol + 1);
  } else {
    StoreLock lock;
    if (!open_store(store, &lock)) return 1;
    if (!fetch(id, true, &c)) return 1;
  }
  const char *wayland = getenv("WAYLAND_DISPLAY");
  const char *x11 = getenv("DISPLAY");
  std::string wl_copy = find_program("wl-copy");
  std::string xclip = find_program("xclip");
  std::vector<std::string> argv;
  if (wayland != nullptr && wayland[0] != '\0' && !wl_copy.empty()) {
    argv = {wl_copy};
    if (c.image) argv.insert(argv.end(), {"--type", "image/png"});
  } else if (x11 != nullptr && x11[0] != '\0' && !xclip.empty()) {
    argv = {xclip, "-selection", "clipboard"};
    if (c.image) argv.insert(argv.end(), {"-t", "image/png"});
  } else if (wayland != nullptr && wayland[0] != '\0') {
    return fail(
        "cannot copy on Wayland: wl-copy is not installed (install the wl-clipboard "
        "package)");
  } else if (wl_copy.empty() && xclip.empty()) {
    return fail(
        "cannot copy: neither xclip nor wl-copy is installed (install the xclip or the "
        "wl-clipboard package)");
  } else {
    return fail(std::string("cannot copy: ") + (xclip.empty() ? "wl-copy" : "xclip") +
                " is installed but there is no display for it (" +
                (xclip.empty() ? "WAYLAND_DISPLAY" : "DISPLAY") + " is not set)");
  }
  std::string error;
  if (!run_with_input(argv, c.bytes, &error)) return fail("cannot copy: " + error);
  std::string tool = argv[0].substr(argv[0].rfind('/') + 1);
  return print_line("clip " + std::to_string(id) + " is on the clipboard (" + tool + ")");
}

int cmd_pin(const std::string &store, int id, bool pinned) {
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  return clip_pin(id, pinned ? 1 : 0) ? 0 : fail_library();
}

int cmd_delete(const std::string &store, int id) {
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  return clip_delete(id) ? 0 : fail_library();
}

namespace {

// The library deletes every file in the directory, whoever made it: a
// directory holding anything else is not a history of ours to wipe.
int refuse_foreign_files(const std::string &store) {
  std::vector<std::string> names;
  if (list_files(store, &names)) {
    for (auto &n : names) {
      if (classify_store_file(n) == StoreFile::other) {
        return fail("refusing to wipe " + store +
                    ": it holds files the history did not make (" + n +
                    "); move them away first");
      }
    }
  }
  return 0;
}

}  // namespace

int confirm_wipe(const std::string &store) {
  if (int rc = refuse_foreign_files(store)) return rc;
  if (!stdin_is_terminal()) {
    return fail("refusing to wipe without confirmation: run 'quillmar-clip wipe --yes'");
  }
  if (!confirm("Delete the whole clipboard history in " + store + ", pinned clips too?")) {
    return fail("wipe cancelled");
  }
  return -1;
}

int cmd_wipe(const std::string &store, bool yes) {
  if (!yes) {
    if (int rc = confirm_wipe(store); rc >= 0) return rc;
  } else if (int rc = refuse_foreign_files(store)) {
    return rc;
  }
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  bool wiped = clip_wipe();
  // Ids start again from 1.
  next_store_epoch();
  if (!wiped) return fail_library();
  return print_line("wiped " + store);
}

int cmd_pause(const std::string &store, int64_t seconds) {
  std::string marker = pause_marker_path(store), error;
  if (!make_parents(marker, &error)) return fail(error);
  std::string content = "paused\n";
  int64_t until = 0;
  if (seconds > 0) {
    until = static_cast<int64_t>(time(nullptr)) + seconds;
    content = "until " + std::to_string(until) + "\n";
  }
  if (!write_whole_file(marker, content, 0600, &error)) return fail(error);
  if (seconds == 0) return print_line("recording paused until 'quillmar-clip resume'");
  time_t t = static_cast<time_t>(until);
  struct tm tm;
  char when[64] = "";
  if (localtime_r(&t, &tm) != nullptr)
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  return print_line(std::string("recording paused until ") + when);
}

int cmd_resume(const std::string &store) {
  std::string marker = pause_marker_path(store);
  if (unlink(marker.c_str()) != 0) {
    if (errno == ENOENT) return print_line("recording was not paused");
    return fail("cannot remove " + marker + ": " + strerror(errno));
  }
  return print_line("recording resumed");
}

int cmd_stats(const std::string &store, bool json) {
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  notice_set_aside(store);
  std::vector<ClipSummary> clips;
  if (!all_clips(&clips)) return 1;
  size_t images = 0, pinned = 0;
  for (auto &c : clips) {
    images += c.image ? 1 : 0;
    pinned += c.pinned ? 1 : 0;
  }
  struct stat st;
  uint64_t index_bytes = stat(index_path(store).c_str(), &st) == 0 ? st.st_size : 0;
  std::vector<std::string> names;
  list_files(store, &names);
  uint64_t image_bytes = 0;
  size_t image_files = 0;
  for (auto &n : names) {
    if (classify_store_file(n) != StoreFile::image) continue;
    if (stat((store + "/" + n).c_str(), &st) != 0) continue;
    image_bytes += static_cast<uint64_t>(st.st_size);
    ++image_files;
  }
  int64_t until = 0;
  bool paused = recording_paused(store, &until);
  RunningWatcher watcher;
  bool watching = running_watcher(store, &watcher);
  // The limits in force, and whether captured images are read for words
  // (and if not, why).
  Config config;
  std::string config_error, ocr_off;
  bool config_ok = load_config(&config, &config_error);
  if (!config_ok) {
    ocr_off = "the config file is broken: " + config_error;
  } else if (config.ocr_set && !config.ocr) {
    ocr_off = "ocr = false in the config file";
  } else {
    ocr_off = ocr_unavailable(config.languages());
  }
  std::string languages;
  for (const std::string &l : config.languages())
    languages += (languages.empty() ? "" : ", ") + l;
  ServerStatus server = server_status(store);
  if (json) {
    MutDoc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val *root = yyjson_mut_obj(doc.get());
    yyjson_mut_doc_set_root(doc.get(), root);
    yyjson_mut_obj_add_strcpy(doc.get(), root, "store", store.c_str());
    yyjson_mut_obj_add_uint(doc.get(), root, "clips", clips.size());
    yyjson_mut_obj_add_uint(doc.get(), root, "text", clips.size() - images);
    yyjson_mut_obj_add_uint(doc.get(), root, "image", images);
    yyjson_mut_obj_add_uint(doc.get(), root, "pinned", pinned);
    yyjson_mut_obj_add_uint(doc.get(), root, "index_bytes", index_bytes);
    yyjson_mut_obj_add_uint(doc.get(), root, "image_files", image_files);
    yyjson_mut_obj_add_uint(doc.get(), root, "image_bytes", image_bytes);
    yyjson_mut_obj_add_bool(doc.get(), root, "paused", paused);
    if (watching) {
      yyjson_mut_val *w = yyjson_mut_obj_add_obj(doc.get(), root, "watcher");
      yyjson_mut_obj_add_int(doc.get(), w, "pid", watcher.pid);
      yyjson_mut_obj_add_strcpy(doc.get(), w, "display", watcher.display.c_str());
    } else {
      yyjson_mut_obj_add_null(doc.get(), root, "watcher");
    }
    if (config_ok) {
      yyjson_mut_obj_add_int(doc.get(), root, "max_items",
                             config.max_items > 0 ? config.max_items : CLIP_MAX_UNPINNED);
      if (config.expire_after > 0) {
        yyjson_mut_obj_add_int(doc.get(), root, "expire_after", config.expire_after);
      } else {
        yyjson_mut_obj_add_null(doc.get(), root, "expire_after");
      }
    }
    yyjson_mut_obj_add_bool(doc.get(), root, "ocr", ocr_off.empty());
    if (ocr_off.empty()) {
      yyjson_mut_obj_add_strcpy(doc.get(), root, "ocr_languages", languages.c_str());
    } else {
      yyjson_mut_obj_add_strcpy(doc.get(), root, "ocr_off", ocr_off.c_str());
    }
    if (server.answers) {
      yyjson_mut_val *o = yyjson_mut_obj_add_obj(doc.get(), root, "server");
      yyjson_mut_obj_add_int(doc.get(), o, "pid", server.pid);
      yyjson_mut_obj_add_int(doc.get(), o, "since", server.since);
      yyjson_mut_obj_add_uint(doc.get(), o, "captures", server.captures);
      yyjson_mut_obj_add_strcpy(doc.get(), o, "version", server.version.c_str());
      yyjson_mut_obj_add_bool(doc.get(), o, "serves", server.serves);
    } else {
      yyjson_mut_obj_add_null(doc.get(), root, "server");
    }
    char *text = yyjson_mut_write(doc.get(), 0, nullptr);
    if (text == nullptr) return fail("out of memory");
    int rc = print_line(text);
    free(text);
    return rc;
  }
  char buf[256];
  std::string out = "store      " + store + "\n";
  snprintf(buf, sizeof buf, "clips      %zu (%zu text, %zu image)\n", clips.size(),
           clips.size() - images, images);
  out += buf;
  snprintf(buf, sizeof buf, "pinned     %zu of at most %d\n", pinned, CLIP_MAX_PINNED);
  out += buf;
  snprintf(buf, sizeof buf, "index      %s (%llu bytes)\n",
           format_bytes(index_bytes).c_str(),
           static_cast<unsigned long long>(index_bytes));
  out += buf;
  snprintf(buf, sizeof buf, "images     %zu file%s, %s (%llu bytes)\n", image_files,
           image_files == 1 ? "" : "s", format_bytes(image_bytes).c_str(),
           static_cast<unsigned long long>(image_bytes));
  out += buf;
  out += "limits     " +
         (config_ok ? describe_limits(config)
                    : "unknown: the config file is broken (" + config_error + ")") +
         "\n";
  // Recording is on only while a watcher records into this store.
  std::string by = watching ? "watcher " + std::to_string(watcher.pid) + " on " +
                                  (watcher.display.empty() ? "?" : watcher.display)
                            : "";
  if (!paused) {
    out += watching ? "recording  on (" + by + ")"
                    : "recording  off: no watcher running (start one with 'quillmar-clip "
                      "watch', or 'systemctl --user enable --now "
                      "quillmar-clip-watch.service')";
  } else {
    out += "recording  paused";
  }
  if (paused && until > 0) {
    time_t t = static_cast<time_t>(until);
    struct tm tm;
    char when[64] = "";
    if (localtime_r(&t, &tm) != nullptr)
      strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    out += std::string(" until ") + when;
  }
  if (paused) out += watching ? " (" + by + ")" : " (no watcher running)";
  out += "\n";
  out += "ocr        " +
         (ocr_off.empty() ? "on (" + languages + ")" : "off: " + ocr_off) + "\n";
  out += server_line(server) + "\n";
  if (!write_stdout(out)) {
    return fail(std::string("cannot write to standard output: ") + strerror(errno));
  }
  return 0;
}

int cmd_verify(const std::string &store) {
  StoreLock lock;
  std::string error;
  if (!lock.acquire(store, false, false, &error)) return fail(error);
  // Read where it lies: a copy of the index elsewhere would be a copy of
  // the history, left behind if verify were killed.
  std::vector<IndexedClip> clips;
  bool damaged = false;
  if (!read_index(store, &clips, &damaged, &error)) return fail(error);
  std::vector<std::string> names, subdirs;
  if (!list_files(store, &names, &subdirs)) {
    return fail("cannot read " + store + ": " + strerror(errno));
  }
  std::vector<std::string> problems;
  if (damaged) {
    problems.push_back(
        "clips.json is damaged: the next command sets it aside and starts an empty "
        "history");
  }
  std::map<int, std::string> image_files;
  for (auto &n : names) {
    int id = 0;
    switch (classify_store_file(n, &id)) {
      case StoreFile::index:
        break;
      case StoreFile::image:
        image_files[id] = n;
        break;
      case StoreFile::corrupt:
        problems.push_back(
            n +
            ": a damaged index set aside (its clips are not in the history: "
            "'quillmar-clip recover' gives them back)");
        break;
      case StoreFile::index_tmp:
      case StoreFile::image_tmp:
        problems.push_back(n + ": left over from an interrupted write");
        break;
      case StoreFile::other:
        problems.push_back(n + ": not made by the history (a wipe deletes it)");
        break;
    }
  }
  for (auto &d : subdirs)
    problems.push_back(d + "/: a directory the history did not make");
  std::map<int, int> seen_ids;
  size_t images = 0;
  for (auto it = clips.begin(); it != clips.end(); ++it) {
    if (++seen_ids[it->id] == 2) {
      problems.push_back("clip " + std::to_string(it->id) +
                         ": the id is used more than once in clips.json");
    }
    if (!it->image) continue;
    ++images;
    if (image_files.erase(it->id) == 0) {
      problems.push_back("clip " + std::to_string(it->id) + ": its image file " +
                         image_file_name(it->id) + " is missing");
    }
  }
  if (!damaged) {
    for (auto &[id, name] : image_files)
      problems.push_back(name + ": no clip names this image");
  }
  std::string out = "store " + store + ": " + std::to_string(clips.size()) +
                    (clips.size() == 1 ? " clip (" : " clips (") +
                    std::to_string(images) + (images == 1 ? " image)\n" : " images)\n");
  for (auto &p : problems) out += "problem: " + p + "\n";
  if (problems.empty()) {
    out += "no problems found\n";
  } else {
    out += std::to_string(problems.size()) +
           (problems.size() == 1 ? " problem" : " problems") + " found\n";
  }
  if (!write_stdout(out)) {
    return fail(std::string("cannot write to standard output: ") + strerror(errno));
  }
  return problems.empty() ? 0 : 1;
}

int cmd_expire(const std::string &store, int64_t seconds, const std::string &spelled,
               bool dry_run) {
  StoreLock lock;
  if (!open_store(store, &lock)) return 1;
  std::vector<ClipSummary> clips;
  if (!all_clips(&clips)) return 1;
  int64_t cutoff = static_cast<int64_t>(time(nullptr)) - seconds;
  std::vector<int> gone;
  for (auto &c : clips) {
    if (c.pinned || c.ts >= cutoff) continue;
    if (!dry_run && !clip_delete(c.id)) return fail_library();
    gone.push_back(c.id);
  }
  std::string ids;
  for (int id : gone) ids += (ids.empty() ? ": " : ", ") + std::to_string(id);
  std::string n = std::to_string(gone.size()) + (gone.size() == 1 ? " clip" : " clips");
  return print_line((dry_run ? "would delete " : "deleted ") + n + " older than " +
                    spelled + ids);
}

}  // namespace host
