// Measures every exported operation on three histories and, in the same run,
// what the machine itself needs for the same work, so that each figure comes
// with the floor it is judged against:
//
//   typical  500 texts of about 200 bytes, 20 images of 50 KB, 30 pinned
//   heavy    500 texts of 64 KiB
//   worst    500 unpinned and 200 pinned texts of 1 MiB (the largest index)
//
// Each history is written straight to disk as the library would have written
// it (an index of the same bytes, image files beside it), copied into a fresh
// store directory whenever an operation needs it back as it was.
//
// The floors:
//   save   the same number of bytes written to a new file, fsync'd, renamed
//          onto the old one, and the directory fsync'd; and the same again
//          with the disk asked to start on every 8 MiB as it is handed over;
//   load   a plain read of the index into a new buffer, and that read plus an
//          in-place parse with yyjson alone;
//   search memchr over the same texts.
//
// Usage: perf_tool [--quick] [--csv FILE] [--dir DIR] [--only NAME[,NAME]]
//        perf_tool --probe-init DIR     (internal: peak memory of clip_init)
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <yyjson.h>

#include "bench_history.h"
#include "proc_status.h"
#include "quillmar_clip.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string &what) {
  fprintf(stderr, "perf_tool: %s\n", what.c_str());
  exit(1);
}

void check(bool ok, const char *what) {
  if (!ok) die(std::string(what) + ": " + clip_last_error());
}

// A result string of the library: checked, then released.
void consume(char *s, const char *what) {
  check(s != nullptr, what);
  clip_free_string(s);
}

template <class F>
double time_ms(F &&f) {
  auto start = Clock::now();
  f();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---------------------------------------------------------------------------
// Results

struct Stats {
  double median = 0, p90 = 0, max = 0;
};

Stats stats_of(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  s.median = n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  s.p90 = v[std::min(n - 1, (n * 9 + 9) / 10 - 1)];  // nearest rank
  s.max = v.back();
  return s;
}

struct Row {
  std::string history;
  std::string kind;  // "time" (milliseconds), "bytes" or "ratio"
  std::string name;
  size_t n;
  Stats s;
};

std::vector<Row> g_rows;

void add_time(const std::string &history, const std::string &name,
              const std::vector<double> &ms) {
  g_rows.push_back({history, "time", name, ms.size(), stats_of(ms)});
  const Stats &s = g_rows.back().s;
  printf("  %-28s %5zu  %12.4f %12.4f %12.4f\n", name.c_str(), ms.size(),
         s.median, s.p90, s.max);
  fflush(stdout);
}

void add_value(const std::string &history, const std::string &kind,
               const std::string &name, double value, const char *unit) {
  Stats s{value, value, value};
  g_rows.push_back({history, kind, name, 1, s});
  printf("  %-28s %12.4g %s\n", name.c_str(), value, unit);
  fflush(stdout);
}

const Stats &find(const std::string &history, const std::string &name) {
  for (const Row &r : g_rows) {
    if (r.history == history && r.name == name) return r.s;
  }
  die("no figure for " + history + " " + name);
}

void add_ratio(const std::string &history, const std::string &name,
               const std::string &num, const std::string &den) {
  add_value(history, "ratio", name, find(history, num).median / find(history, den).median,
            "x");
}

// ---------------------------------------------------------------------------
// Histories

struct Shape {
  const char *name;
  int texts;          // text clips
  size_t text_bytes;  // bytes of each text (typical: the mean)
  int images;
  size_t image_bytes;
  int pinned;  // text clips pinned, spread over the list (worst: the oldest)
};

constexpr Shape kTypical{"typical", 500, 200, 20, 50 * 1000, 30};
constexpr Shape kHeavy{"heavy", 500, 64 * 1024, 0, 0, 0};
constexpr Shape kWorst{"worst", 700, 1024 * 1024, 0, 0, 200};

// Planted near the end of every tenth text: the query that matches late.
constexpr const char *kLateToken = "late-needle-zq";
// Occurs in no text.
constexpr const char *kMissQuery = "xylophone-4217";

// A text of about `bytes` bytes, distinct for every tag, cut at a character.
std::string make_text(const std::string &corpus, const std::string &tag, size_t bytes,
                      bool late) {
  std::string t = tag + "\n";
  size_t want = bytes > t.size() ? bytes - t.size() : 0;
  size_t start = bench::cut_back(corpus.data(), corpus.size(),
                                 bench::next_random() % (corpus.size() - want - 8));
  while (bench::is_continuation(static_cast<unsigned char>(corpus[start]))) ++start;
  size_t n = bench::cut_back(corpus.data() + start, corpus.size() - start, want);
  t.append(corpus, start, n);
  if (late && t.size() > 64) {
    t.resize(bench::cut_back(t.data(), t.size(), t.size() - 40));
    t += "\nsee ";
    t += kLateToken;
    t += " below\n";
  }
  return t;
}

struct Clip {
  bool image;
  bool pinned;
  std::string text;  // or the label of an image
  std::string png;   // an image's bytes
};

struct History {
  Shape shape;
  std::vector<Clip> clips;
  std::string template_dir;  // the history as files, copied into each store
  size_t index_bytes = 0;
  std::string corpus;
};

std::string read_whole(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("cannot open " + path);
  struct stat st;
  fstat(fd, &st);
  std::string out(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < out.size()) {
    ssize_t n = read(fd, out.data() + got, out.size() - got);
    if (n <= 0) die("cannot read " + path);
    got += static_cast<size_t>(n);
  }
  close(fd);
  return out;
}

std::string image_bytes(size_t n, uint64_t seed) {
  std::string png(n, '\0');
  static const unsigned char sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  uint64_t x = seed | 1;
  for (size_t i = 0; i < n; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    memcpy(&png[i], &x, std::min<size_t>(8, n - i));
  }
  memcpy(&png[0], sig, std::min<size_t>(8, n));
  return png;
}

// Writes the history's index (and image files) into its template directory,
// byte for byte as the library writes them.
void build_history(History &h, const std::string &base) {
  const Shape &s = h.shape;
  h.corpus = bench::prose_corpus(std::max<size_t>(s.text_bytes * 3, 1 << 20));
  int total = s.texts + s.images;
  int image_every = s.images > 0 ? total / s.images : 0;
  int pin_every = s.pinned > 0 && s.pinned < s.texts ? s.texts / s.pinned : 0;
  int text_no = 0;
  for (int i = 0; i < total; ++i) {
    Clip c{};
    if (image_every > 0 && i % image_every == image_every - 1) {
      c.image = true;
      c.text = "screenshot " + std::to_string(i);
      c.png = image_bytes(s.image_bytes, static_cast<uint64_t>(i) * 7919);
    } else {
      size_t bytes = s.text_bytes;
      if (s.text_bytes < 1024)
        bytes = s.text_bytes / 2 + bench::next_random() % s.text_bytes;
      c.text = make_text(h.corpus, "clip " + std::to_string(i + 1), bytes, i % 10 == 3);
      if (s.name == kWorst.name) {
        c.pinned = text_no < s.pinned;
      } else {
        c.pinned = pin_every > 0 && text_no % pin_every == pin_every / 2 &&
                   text_no / pin_every < s.pinned;
      }
      ++text_no;
    }
    h.clips.push_back(std::move(c));
  }

  h.template_dir = base + "/template-" + s.name;
  fs::create_directories(h.template_dir);
  std::vector<bench::Record> records;
  for (const Clip &c : h.clips) records.push_back({c.image, c.pinned, c.text, c.png});
  h.index_bytes = bench::write_history(h.template_dir, records);
  if (h.index_bytes == 0) die("cannot write the history into " + h.template_dir);
}

// A fresh store directory holding the history as it was built.
void restore(const History &h, const std::string &store) {
  fs::remove_all(store);
  fs::create_directories(store);
  fs::permissions(store, fs::perms::owner_all);
  for (const auto &ent : fs::directory_iterator(h.template_dir)) {
    fs::copy_file(ent.path(), store + "/" + ent.path().filename().string());
  }
}

// ---------------------------------------------------------------------------
// The floors

// Writes len bytes to a new file, forces them to the disk, renames the file
// onto `path` and forces the directory: what any save has to pay. With
// `early`, the bytes go in pieces of 8 MiB and the disk is asked to start on
// each at once, so that it writes while the rest is still being handed over.
void floor_save(const std::string &dir, const char *data, size_t len, bool early) {
  std::string tmp = dir + "/floor.tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) die("cannot create " + tmp);
  const size_t piece = early ? size_t{8} << 20 : len;
  size_t off = 0;
  while (off < len) {
    size_t end = std::min(len, off + piece);
    size_t start = off;
    while (off < end) {
      ssize_t n = write(fd, data + off, end - off);
      if (n <= 0) die("cannot write " + tmp);
      off += static_cast<size_t>(n);
    }
    if (early) {
      sync_file_range(fd, static_cast<off_t>(start), static_cast<off_t>(end - start),
                      SYNC_FILE_RANGE_WRITE);
    }
  }
  if (fsync(fd) != 0) die("fsync failed");
  close(fd);
  if (rename(tmp.c_str(), (dir + "/floor").c_str()) != 0) die("rename failed");
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  fsync(dfd);
  close(dfd);
}

// Reads the file into a new buffer; parses it in place too when asked.
void floor_load(const std::string &path, bool parse) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("cannot open " + path);
  struct stat st;
  fstat(fd, &st);
  size_t size = static_cast<size_t>(st.st_size);
  char *buf = static_cast<char *>(malloc(size + YYJSON_PADDING_SIZE));
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, buf + got, size - got);
    if (n <= 0) die("cannot read " + path);
    got += static_cast<size_t>(n);
  }
  close(fd);
  memset(buf + got, 0, YYJSON_PADDING_SIZE);
  if (parse) {
    yyjson_doc *doc = yyjson_read_opts(buf, got, YYJSON_READ_INSITU, nullptr, nullptr);
    if (doc == nullptr) die("the index does not parse");
    yyjson_doc_free(doc);
  }
  free(buf);
}

// The texts as one block of memory, the way memchr would see them.
struct TextBlock {
  std::vector<const char *> at;
  std::vector<size_t> len;
};

volatile size_t g_sink;

void floor_search(const TextBlock &b) {
  size_t found = 0;
  for (size_t i = 0; i < b.at.size(); ++i) {
    if (memchr(b.at[i], '\x01', b.len[i]) != nullptr) ++found;
  }
  g_sink = found;
}

// ---------------------------------------------------------------------------
// Peak memory of clip_init, measured in a process of its own

long vm_hwm_kib() { return proc_status_kib("VmHWM:"); }

int probe_init(const char *dir) {
  long before = vm_hwm_kib();
  int ok = 0;
  double ms = time_ms([&] { ok = clip_init(dir); });
  long after = vm_hwm_kib();
  if (!ok) {
    fprintf(stderr, "clip_init: %s\n", clip_last_error());
    return 1;
  }
  printf("%ld %ld %.6f\n", before, after, ms);
  return 0;
}

// Runs clip_init on `dir` in a process of its own, as a host does when it
// starts: the process's peak resident memory before the call and after it,
// in bytes, and the call's time.
void init_in_new_process(const std::string &dir, long *before, long *peak, double *ms) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) die("cannot find the program");
  self[n] = '\0';
  int fds[2];
  if (pipe(fds) != 0) die("pipe failed");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execl(self, self, "--probe-init", dir.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  char out[128] = {};
  ssize_t got = read(fds[0], out, sizeof out - 1);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (got <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      sscanf(out, "%ld %ld %lf", before, peak, ms) != 3) {
    die("the memory probe failed");
  }
  *before *= 1024;
  *peak *= 1024;
}

// ---------------------------------------------------------------------------
// The run

struct Options {
  bool quick = false;
  std::string csv;
  std::string dir;
  std::vector<std::string> only;
};

struct Iterations {
  int save;    // operations that rewrite the index
  int load;    // clip_init and its floors
  int read;    // list, get, search
  int wipe;
};

Iterations iterations_for(const Shape &s, bool quick) {
  if (quick) return {3, 3, 5, 2};
  if (s.text_bytes >= 1024 * 1024) return {9, 9, 15, 3};
  if (s.text_bytes >= 64 * 1024) return {21, 21, 101, 7};
  return {51, 51, 1001, 21};
}

struct ClipInfo {
  int id;
  bool image;
  bool pinned;
};

std::vector<ClipInfo> list_all() {
  char *json = clip_list(0, 100000);
  check(json != nullptr, "clip_list");
  std::vector<ClipInfo> out;
  yyjson_doc *doc = yyjson_read(json, strlen(json), 0);
  size_t i, max;
  yyjson_val *item;
  yyjson_arr_foreach(yyjson_doc_get_root(doc), i, max, item) {
    out.push_back({static_cast<int>(yyjson_get_int(yyjson_obj_get(item, "id"))),
                   yyjson_equals_str(yyjson_obj_get(item, "kind"), "image"),
                   yyjson_get_bool(yyjson_obj_get(item, "pinned"))});
  }
  yyjson_doc_free(doc);
  clip_free_string(json);
  std::reverse(out.begin(), out.end());  // oldest first, like the list
  return out;
}

size_t file_size(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) die("cannot stat " + path);
  return static_cast<size_t>(st.st_size);
}

void run_history(History &h, const std::string &base, const Options &opt) {
  const Shape &s = h.shape;
  const std::string name = s.name;
  Iterations it = iterations_for(s, opt.quick);
  printf("\n== %s: %d texts of %zu bytes, %d images of %zu bytes, %d pinned\n", s.name,
         s.texts, s.text_bytes, s.images, s.image_bytes, s.pinned);
  fflush(stdout);
  auto built = time_ms([&] { build_history(h, base); });
  printf("  (history built in %.0f ms)\n", built);
  printf("  %-28s %5s  %12s %12s %12s\n", "operation", "n", "median ms", "p90 ms", "max ms");

  const std::string store = base + "/store-" + name;
  const std::string floor_dir = base + "/floor-" + name;
  fs::create_directories(floor_dir);
  const std::string index = store + "/clips.json";
  restore(h, store);
  add_value(name, "bytes", "index size", static_cast<double>(h.index_bytes), "bytes");

  // Loading.
  long rss_before = 0, rss_peak = 0;
  {
    std::vector<double> fresh;
    for (int i = 0; i < std::min(it.load, 5); ++i) {
      double ms = 0;
      init_in_new_process(store, &rss_before, &rss_peak, &ms);
      fresh.push_back(ms);
    }
    add_time(name, "clip_init new process", fresh);
  }
  add_value(name, "bytes", "peak RSS of clip_init", static_cast<double>(rss_peak), "bytes");
  add_value(name, "bytes", "RSS before clip_init", static_cast<double>(rss_before), "bytes");
  {
    std::vector<double> init, read, parse;
    check(clip_init(store.c_str()), "clip_init");  // warm-up
    for (int i = 0; i < it.load; ++i) {
      init.push_back(time_ms([&] { check(clip_init(store.c_str()), "clip_init"); }));
      read.push_back(time_ms([&] { floor_load(index, false); }));
      parse.push_back(time_ms([&] { floor_load(index, true); }));
    }
    add_time(name, "clip_init", init);
    add_time(name, "floor: read", read);
    add_time(name, "floor: read + parse", parse);
  }

  // Reading.
  std::vector<ClipInfo> clips = list_all();
  int text_id = -1, image_id = -1;
  for (const ClipInfo &c : clips) {
    if (!c.image && text_id < 0) text_id = c.id;
    if (c.image && image_id < 0) image_id = c.id;
  }
  auto repeat = [&](const char *op, int n, auto &&f) {
    std::vector<double> v;
    f();  // warm-up
    for (int i = 0; i < n; ++i) v.push_back(time_ms(f));
    add_time(name, op, v);
  };
  repeat("clip_list page", it.read, [] { consume(clip_list(0, 0), "clip_list"); });
  repeat("clip_list 700", it.read, [] { consume(clip_list(0, 700), "clip_list"); });
  repeat("clip_get text", it.read, [&] { consume(clip_get(text_id), "clip_get"); });
  if (image_id >= 0) {
    repeat("clip_get image", it.read, [&] { consume(clip_get(image_id), "clip_get"); });
  }
  {
    TextBlock block;
    for (const Clip &c : h.clips) {
      if (c.image) continue;
      block.at.push_back(c.text.data());
      block.len.push_back(c.text.size());
    }
    std::vector<double> miss, late, empty, floor;
    auto once = [](const char *q) { consume(clip_search(q, 0), "clip_search"); };
    once(kMissQuery);
    floor_search(block);
    int n = std::max(3, it.read / 4);
    for (int i = 0; i < n; ++i) {
      miss.push_back(time_ms([&] { once(kMissQuery); }));
      late.push_back(time_ms([&] { once(kLateToken); }));
      empty.push_back(time_ms([&] { once(""); }));
      floor.push_back(time_ms([&] { floor_search(block); }));
    }
    add_time(name, "clip_search miss", miss);
    add_time(name, "clip_search late", late);
    add_time(name, "clip_search empty", empty);
    add_time(name, "floor: memchr", floor);
  }

  // Writing. Every capture adds a clip of the history's own size and evicts
  // the oldest unpinned one, so the index keeps its size.
  {
    std::vector<double> push, floor, early;
    std::string bytes = read_whole(index);
    int serial = 0;
    auto new_text = [&] {
      size_t n = s.text_bytes;
      return make_text(h.corpus, "new clip " + std::to_string(++serial), n, false);
    };
    std::string t = new_text();
    consume(clip_push_text(t.c_str()), "clip_push_text");  // warm-up
    floor_save(floor_dir, bytes.data(), bytes.size(), false);
    for (int i = 0; i < it.save; ++i) {
      t = new_text();
      push.push_back(time_ms([&] { consume(clip_push_text(t.c_str()), "clip_push_text"); }));
      floor.push_back(time_ms([&] { floor_save(floor_dir, bytes.data(), bytes.size(), false); }));
      early.push_back(time_ms([&] { floor_save(floor_dir, bytes.data(), bytes.size(), true); }));
    }
    add_time(name, "clip_push_text new", push);
    add_time(name, "floor: write+fsync+rename", floor);
    add_time(name, "floor: early writeback", early);

    // The newest clip is the last text pushed: repeat it.
    std::vector<double> dup;
    for (int i = 0; i < it.read; ++i) {
      dup.push_back(time_ms([&] { consume(clip_push_text(t.c_str()), "clip_push_text"); }));
    }
    add_time(name, "clip_push_text dup", dup);
    std::string small = make_text(h.corpus, "small clip", 200, false);
    consume(clip_push_text(small.c_str()), "clip_push_text");
    dup.clear();
    for (int i = 0; i < it.read; ++i) {
      dup.push_back(
          time_ms([&] { consume(clip_push_text(small.c_str()), "clip_push_text"); }));
    }
    add_time(name, "clip_push_text dup 200 B", dup);
  }
  {
    std::vector<double> push;
    std::string png = image_bytes(5 * 1000 * 1000, 12345);
    for (int i = 0; i < it.save; ++i) {
      memcpy(&png[16], &i, sizeof i);
      push.push_back(time_ms([&] {
        consume(clip_push_image(reinterpret_cast<const unsigned char *>(png.data()),
                                static_cast<int>(png.size()), "photo"),
                "clip_push_image");
      }));
    }
    add_time(name, "clip_push_image 5 MB", push);
  }
  {
    clips = list_all();
    int pin_id = -1;
    for (const ClipInfo &c : clips) {
      if (!c.image && (pin_id < 0 || c.pinned)) pin_id = c.id;
      if (c.pinned) break;
    }
    std::vector<double> pin;
    bool pinned = false;
    for (const ClipInfo &c : clips) {
      if (c.id == pin_id) pinned = c.pinned;
    }
    for (int i = 0; i < it.save; ++i) {
      pinned = !pinned;
      pin.push_back(time_ms([&] { check(clip_pin(pin_id, pinned ? 1 : 0), "clip_pin"); }));
    }
    add_time(name, "clip_pin", pin);

    // Delete text clips from the middle of the list.
    std::vector<double> del;
    size_t k = clips.size() / 2;
    for (int i = 0; i < it.save; ++i, ++k) {
      while (clips[k].image) ++k;
      int id = clips[k].id;
      del.push_back(time_ms([&] { check(clip_delete(id), "clip_delete"); }));
    }
    add_time(name, "clip_delete", del);
    add_value(name, "bytes", "index size at the end", static_cast<double>(file_size(index)),
              "bytes");
  }
  {
    std::vector<double> wipe;
    for (int i = 0; i < it.wipe; ++i) {
      restore(h, store);
      check(clip_init(store.c_str()), "clip_init");
      wipe.push_back(time_ms([] { check(clip_wipe(), "clip_wipe"); }));
    }
    add_time(name, "clip_wipe", wipe);
  }

  printf("  -- ratios (medians of this run)\n");
  add_ratio(name, "save / floor", "clip_push_text new", "floor: write+fsync+rename");
  add_ratio(name, "save / early floor", "clip_push_text new", "floor: early writeback");
  add_ratio(name, "pin / floor", "clip_pin", "floor: write+fsync+rename");
  add_ratio(name, "init / read", "clip_init", "floor: read");
  add_ratio(name, "init / read+parse", "clip_init", "floor: read + parse");
  add_ratio(name, "new-process init / read", "clip_init new process", "floor: read");
  add_value(name, "ratio", "peak RSS / index size",
            static_cast<double>(rss_peak) / static_cast<double>(h.index_bytes), "x");
  add_ratio(name, "search miss / memchr", "clip_search miss", "floor: memchr");

  // Give the disk back before the next history.
  check(clip_init((base + "/empty").c_str()), "clip_init");
  fs::remove_all(store);
  fs::remove_all(floor_dir);
  fs::remove_all(h.template_dir);
  h.clips.clear();
  h.clips.shrink_to_fit();
}

void write_csv(const std::string &path) {
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr) die("cannot write " + path);
  fprintf(f, "history,kind,name,n,median,p90,max\n");
  for (const Row &r : g_rows) {
    std::string name = r.name;
    std::replace(name.begin(), name.end(), ',', ';');  // plain fields, never quoted
    fprintf(f, "%s,%s,%s,%zu,%.6g,%.6g,%.6g\n", r.history.c_str(), r.kind.c_str(),
            name.c_str(), r.n, r.s.median, r.s.p90, r.s.max);
  }
  fclose(f);
}

void usage() {
  fprintf(stderr,
          "usage: perf_tool [--quick] [--csv FILE] [--dir DIR] [--only typical,heavy,worst]\n");
  exit(2);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--probe-init") == 0) return probe_init(argv[2]);
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--quick") {
      opt.quick = true;
    } else if (a == "--csv" && i + 1 < argc) {
      opt.csv = argv[++i];
    } else if (a == "--dir" && i + 1 < argc) {
      opt.dir = argv[++i];
    } else if (a == "--only" && i + 1 < argc) {
      std::string list = argv[++i];
      size_t p = 0;
      while (p <= list.size()) {
        size_t q = list.find(',', p);
        if (q == std::string::npos) q = list.size();
        opt.only.push_back(list.substr(p, q - p));
        p = q + 1;
      }
    } else {
      usage();
    }
  }
  if (opt.only.empty()) {
    opt.only = opt.quick ? std::vector<std::string>{"typical", "heavy"}
                         : std::vector<std::string>{"typical", "heavy", "worst"};
  }
  std::string parent = opt.dir.empty() ? fs::temp_directory_path().string() : opt.dir;
  std::string base = parent + "/quillmar-perf-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) die("cannot create a directory in " + parent);

  auto start = Clock::now();
  for (const Shape &s : {kTypical, kHeavy, kWorst}) {
    if (std::find(opt.only.begin(), opt.only.end(), s.name) == opt.only.end()) continue;
    History h{s, {}, {}, 0, {}};
    run_history(h, base, opt);
  }
  fs::remove_all(base);
  printf("\n(run took %.0f s)\n",
         std::chrono::duration<double>(Clock::now() - start).count());
  if (!opt.csv.empty()) write_csv(opt.csv);
  return 0;
}
