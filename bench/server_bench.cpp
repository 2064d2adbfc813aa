// What a command of quillmar-clip costs as a process of its own, with and
// without a server of its store (quillmar-clip serve, which the watcher
// runs too), on three histories:
//
//   typical  500 texts of about 100 bytes
//   heavy    500 texts of 64 KiB
//   worst    500 unpinned and 200 pinned texts of 1 MiB
//
// Each row is the median wall time of running the command (program start
// to exit, its output read and thrown away): list --picker, get N,
// search WORD, pick --print with a picker that takes the first line, and
// store of a new text of the history's size. The runs with and without the
// server take turns, so that the machine's moods fall on both alike; the
// commands without a server are given a runtime directory of their own, in
// which they find no socket. Beside them, in the same run:
//
//   library save   clip_push_text of a new text in this process, on the
//                  history loaded once: the index written once, what a
//                  capture cannot do with less
//   server memory  the server's VmRSS after the runs, against the size of
//                  the index; of it what no file backs (RssAnon); and what
//                  a server of an empty store holds, the program and the
//                  libraries it has loaded
//
// Before the runs, every command's output with the server is checked to be
// byte for byte the output without it.
//
// Usage: server_bench [--program PATH] [--dir DIR] [--runs N] [--worst-runs N]
//                     [--only typical,heavy,worst]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench_history.h"
#include "quillmar_clip.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string &what) {
  fprintf(stderr, "server_bench: %s\n", what.c_str());
  exit(1);
}

struct Shape {
  const char *name;
  int unpinned, pinned;
  size_t text_bytes;
};

constexpr Shape kShapes[] = {
    {"typical", 500, 0, 100},
    {"heavy", 500, 0, 64 * 1024},
    {"worst", 500, 200, 1024 * 1024},
};

std::string g_corpus;

std::string make_text(size_t bytes, const std::string &tag) {
  std::string t = tag + "\n";
  size_t start = bench::next_random() % (g_corpus.size() - bytes);
  t.append(g_corpus, start, bytes > t.size() ? bytes - t.size() : 0);
  return t;
}

// Writes the history's index as the library would (the oldest clips
// pinned); the size of the index.
off_t write_history(const Shape &s, const std::string &dir) {
  fs::create_directories(dir);
  int total = s.unpinned + s.pinned;
  std::vector<std::string> texts;
  for (int i = 0; i < total; ++i) {
    texts.push_back(make_text(s.text_bytes, "clip " + std::to_string(i + 1)));
  }
  std::vector<bench::Record> records;
  for (int i = 0; i < total; ++i) {
    records.push_back({false, i < s.pinned, texts[static_cast<size_t>(i)], {}});
  }
  size_t len = bench::write_history(dir, records);
  if (len == 0) die("cannot write the history");
  return static_cast<off_t>(len);
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Env {
  std::vector<std::string> vars;
  std::vector<char *> ptrs;
  explicit Env(const std::map<std::string, std::string> &set) {
    for (char **e = environ; *e != nullptr; ++e) {
      std::string v = *e;
      if (set.count(v.substr(0, v.find('='))) == 0) vars.push_back(v);
    }
    for (auto &[k, v] : set) vars.push_back(k + "=" + v);
    for (auto &v : vars) ptrs.push_back(v.data());
    ptrs.push_back(nullptr);
  }
};

// Runs the program with args, input on its standard input; its standard
// output in *out when out is given. The wall time in ms.
double run(const std::string &program, const std::vector<std::string> &args, Env &env,
           const std::string &input, std::string *out = nullptr, int *status_out = nullptr) {
  char in_path[] = "/tmp/quillmar-bench-in-XXXXXX";
  int in = mkstemp(in_path);
  if (in < 0) die("cannot make a temporary file");
  unlink(in_path);
  if (write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
      lseek(in, 0, SEEK_SET) != 0)
    die("cannot write a temporary file");
  int pipefd[2];
  if (pipe(pipefd) != 0) die("cannot make a pipe");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in, 0);
  posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  auto start = Clock::now();
  if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), env.ptrs.data()) != 0)
    die("cannot run " + program);
  posix_spawn_file_actions_destroy(&fa);
  close(pipefd[1]);
  close(in);
  char buf[65536];
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof buf)) > 0) {
    if (out != nullptr) out->append(buf, static_cast<size_t>(n));
  }
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  if (status_out != nullptr) {
    *status_out = code;
  } else if (code != 0) {
    std::string line;
    for (auto &a : args) line += " " + a;
    die("quillmar-clip" + line + " ended with status " + std::to_string(code));
  }
  return ms;
}

// A line of /proc/PID/status in KiB, such as "VmRSS" or "RssAnon".
long status_kib(pid_t pid, const char *key) {
  FILE *f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  size_t n = strlen(key);
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, key, n) == 0 && line[n] == ':') kib = strtol(line + n + 1, nullptr, 10);
  }
  fclose(f);
  return kib;
}

// The machine's load average over the last minute.
double load_average() {
  double load = -1;
  FILE *f = fopen("/proc/loadavg", "r");
  if (f == nullptr) return load;
  if (fscanf(f, "%lf", &load) != 1) load = -1;
  fclose(f);
  return load;
}

struct Row {
  std::string name;
  std::vector<std::string> args;
  bool store = false;  // writes: takes its input, and runs apart
};

struct Result {
  std::map<std::string, double> direct, served;
  double save = 0;
  off_t index = 0;
  // The server's resident memory, of it what no file backs (the history
  // itself), and the same of a server of an empty store.
  long server_kib = 0, server_anon_kib = 0, empty_kib = 0, empty_anon_kib = 0;
  int runs = 0;
};

void measure(const Shape &s, const std::string &program, const std::string &base,
             int runs, Result *res) {
  std::string store = base + "/store-" + s.name;
  res->index = write_history(s, store);
  res->runs = runs;
  printf("\n== %s: %d unpinned and %d pinned texts of %zu bytes, index %.1f MB, %d runs"
         " (load average %.2f)\n",
         s.name, s.unpinned, s.pinned, s.text_bytes, static_cast<double>(res->index) / 1e6,
         runs, load_average());
  fflush(stdout);
  int serial = 0;
  auto fresh = [&] { return make_text(s.text_bytes, "new clip " + std::to_string(++serial)); };

  // The library's own save, in this process, on the history loaded once.
  {
    if (!clip_init(store.c_str())) die(clip_last_error());
    std::vector<double> saves;
    for (int i = 0; i < runs; ++i) {
      std::string t = fresh();
      auto start = Clock::now();
      char *r = clip_push_text(t.c_str());
      saves.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      if (r == nullptr) die(clip_last_error());
      clip_free_string(r);
    }
    res->save = median(saves);
    // Lets go of the history, so that this process does not hold it while
    // the commands run.
    std::string empty = base + "/empty";
    if (!clip_init(empty.c_str())) die(clip_last_error());
  }

  Env direct({{"XDG_RUNTIME_DIR", base + "/run-none"}, {"QUILLMAR_PICKER", "head -n 1"}});
  Env served({{"XDG_RUNTIME_DIR", base + "/run"}, {"QUILLMAR_PICKER", "head -n 1"}});
  fs::create_directories(base + "/run-none");
  fs::create_directories(base + "/run");
  fs::permissions(base + "/run-none", fs::perms::owner_all);
  fs::permissions(base + "/run", fs::perms::owner_all);

  std::string middle = std::to_string((s.unpinned + s.pinned) / 2 + runs + 1);
  std::vector<Row> rows = {
      {"list --picker", {"--store", store, "list", "--picker"}},
      {"get N", {"--store", store, "get", middle}},
      {"search WORD", {"--store", store, "search", "tomorrow"}},
      {"pick --print", {"--store", store, "pick", "--print"}},
      {"store (a new text)", {"--store", store, "store"}, true},
  };

  // A server, and the wait until it answers.
  auto start_server = [&](const std::string &dir) {
    std::vector<std::string> all = {program, "--store", dir, "serve"};
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), served.ptrs.data()) != 0)
      die("cannot start the server");
    posix_spawn_file_actions_destroy(&fa);
    for (int i = 0;; ++i) {
      std::string out;
      run(program, {"--store", dir, "stats"}, served, "", &out);
      if (out.find("server     pid " + std::to_string(pid)) != std::string::npos) break;
      if (i > 600) die("the server did not answer within a minute");
      struct timespec ts = {0, 100000000};
      nanosleep(&ts, nullptr);
    }
    return pid;
  };
  // What a server holds with no history: the program, its libraries, and
  // whatever stats loaded (it looks whether OCR can be had).
  {
    std::string empty = base + "/empty-" + s.name;
    pid_t pid = start_server(empty);
    res->empty_kib = status_kib(pid, "VmRSS");
    res->empty_anon_kib = status_kib(pid, "RssAnon");
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    fs::remove_all(empty);
  }
  pid_t server = start_server(store);

  // The same output, byte for byte, with and without the server.
  for (auto &r : rows) {
    if (r.store) continue;
    std::string a, b;
    run(program, r.args, direct, "", &a);
    run(program, r.args, served, "", &b);
    if (a != b) die(r.name + " printed other bytes with the server than without it");
  }

  for (auto &r : rows) {
    std::vector<double> d, v;
    if (!r.store) {
      for (int i = 0; i < runs; ++i) {
        d.push_back(run(program, r.args, direct, ""));
        v.push_back(run(program, r.args, served, ""));
      }
    } else {
      // A write by a command of its own is a change of another process to
      // the server, which then loads the history again: the two kinds run
      // apart, the server's first (one warm-up capture each).
      run(program, r.args, served, fresh());
      for (int i = 0; i < runs; ++i) v.push_back(run(program, r.args, served, fresh()));
      res->server_kib = status_kib(server, "VmRSS");
      res->server_anon_kib = status_kib(server, "RssAnon");
      run(program, r.args, direct, fresh());
      for (int i = 0; i < runs; ++i) d.push_back(run(program, r.args, direct, fresh()));
    }
    res->direct[r.name] = median(d);
    res->served[r.name] = median(v);
    printf("  %-20s  no server %9.2f ms  server %8.2f ms  %7.1fx\n", r.name.c_str(),
           median(d), median(v), median(d) / median(v));
    fflush(stdout);
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  printf("  %-20s  %9.2f ms (store with the server: %.2fx)\n", "library save", res->save,
         res->served["store (a new text)"] / res->save);
  auto mb = [](long kib) { return static_cast<double>(kib) * 1024 / 1e6; };
  double index = static_cast<double>(res->index);
  printf("  %-20s  %9.1f MB for an index of %.1f MB (%.2fx)\n", "server memory",
         mb(res->server_kib), index / 1e6, mb(res->server_kib) * 1e6 / index);
  printf("  %-20s  %9.1f MB not backed by files (%.2fx the index); a server of an empty\n"
         "  %-20s  store: %.1f MB, of it %.1f MB not backed by files; beyond that: %.2fx\n",
         "", mb(res->server_anon_kib), mb(res->server_anon_kib) * 1e6 / index, "",
         mb(res->empty_kib), mb(res->empty_anon_kib),
         mb(res->server_kib - res->empty_kib) * 1e6 / index);
  printf("  %-20s  load average %.2f\n", "after the runs", load_average());
  fflush(stdout);
  fs::remove_all(store);
}

}  // namespace

int main(int argc, char **argv) {
#ifdef QUILLMAR_CLIP_PROGRAM
  std::string program = QUILLMAR_CLIP_PROGRAM;
#else
  std::string program;
#endif
  std::string parent = fs::temp_directory_path().string();
  int runs = 15, worst_runs = 3;
  std::vector<std::string> only = {"typical", "heavy", "worst"};
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--program" && i + 1 < argc) {
      program = argv[++i];
    } else if (a == "--dir" && i + 1 < argc) {
      parent = argv[++i];
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, atoi(argv[++i]));
    } else if (a == "--worst-runs" && i + 1 < argc) {
      worst_runs = std::max(1, atoi(argv[++i]));
    } else if (a == "--only" && i + 1 < argc) {
      only.clear();
      std::string list = argv[++i];
      for (size_t p = 0; p <= list.size();) {
        size_t q = std::min(list.find(',', p), list.size());
        only.push_back(list.substr(p, q - p));
        p = q + 1;
      }
    } else {
      fprintf(stderr,
              "usage: server_bench [--program PATH] [--dir DIR] [--runs N] [--worst-runs N] "
              "[--only typical,heavy,worst]\n");
      return 2;
    }
  }
  if (program.empty()) die("give the program with --program PATH");
  std::string base = parent + "/quillmar-server-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) die("cannot create a directory in " + parent);
  g_corpus = bench::ascii_corpus(4u << 20);
  std::map<std::string, Result> results;
  for (const Shape &s : kShapes) {
    if (std::find(only.begin(), only.end(), s.name) == only.end()) continue;
    measure(s, program, base,
            std::string(s.name) == "worst" ? std::min(runs, worst_runs) : runs,
            &results[s.name]);
  }
  // The goals: each served command within 2x of the same command on the
  // typical history without a server, and the heavy history's at least
  // 10 times faster than without one.
  if (results.count("typical") != 0) {
    const Result &typical = results["typical"];
    printf("\n== with a server, against the typical history without one (ratio of medians)\n");
    printf("  %-20s", "");
    for (auto &[name, r] : results) printf("  %9s", name.c_str());
    printf("\n");
    for (auto &[row, ms] : typical.direct) {
      if (row.rfind("store", 0) == 0) continue;
      printf("  %-20s", row.c_str());
      for (auto &[name, r] : results) printf("  %8.2fx", r.served.at(row) / ms);
      printf("\n");
    }
  }
  // The other goals: the heavy history at least 10 times faster with a
  // server; a capture through the server within 1.2x of the library's own
  // save; the server's memory within 1.2x of the index.
  printf("\n== the other goals\n");
  for (auto &[name, r] : results) {
    printf("  %-8s store with a server / library save %.2fx; server memory / index %.2fx"
           " (beyond an empty server's %.2fx)\n",
           name.c_str(), r.served.at("store (a new text)") / r.save,
           static_cast<double>(r.server_kib) * 1024 / static_cast<double>(r.index),
           static_cast<double>(r.server_kib - r.empty_kib) * 1024 /
               static_cast<double>(r.index));
  }
  if (results.count("heavy") != 0) {
    const Result &heavy = results["heavy"];
    printf("  heavy    no server / server:");
    for (auto &[row, ms] : heavy.direct) printf(" %s %.1fx;", row.c_str(), ms / heavy.served.at(row));
    printf("\n");
  }
  fs::remove_all(base);
  return 0;
}
