#include "cli_picker.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli_client.h"
#include "cli_commands.h"
#include "cli_config.h"
#include "cli_spawn.h"
#include "cli_store.h"
#include "cli_text.h"
#include "cli_util.h"
#include "quillmar_clip.h"

extern char **environ;

namespace host {
namespace {

int fail(const std::string &message) {
  complain(message);
  return 1;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The lines of list --picker for clips offset.. of the open store, at most
// limit of them (every one for 0).
bool picker_lines(int offset, int limit, std::string *out) {
  ClipString list(clip_list(offset, limit > 0 ? limit : INT_MAX));
  if (!list) {
    complain(library_error());
    return false;
  }
  std::vector<ClipSummary> clips;
  if (!parse_summaries(list.get(), &clips)) {
    complain("the library's listing is not a JSON array");
    return false;
  }
  for (auto &c : clips) out->append(picker_line(c.id, c.preview)).push_back('\n');
  return true;
}

// The pickers tried in turn when none is named. fzf draws on the terminal,
// so it is passed over when there is none (a pick bound to a hotkey).
struct KnownPicker {
  const char *program;
  const char *option;  // nullptr: none
  bool needs_terminal;
};
constexpr KnownPicker kKnownPickers[] = {
    {"fzf", nullptr, true},       {"rofi", "-dmenu", false},  {"wofi", "--dmenu", false},
    {"fuzzel", "--dmenu", false}, {"bemenu", nullptr, false}, {"dmenu", nullptr, false},
};

bool have_terminal() {
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// The picker to run, given the command the user named ("" for none): its
// argv and the name to use in messages. Empty argv when none is found.
std::vector<std::string> choose_picker(const std::string &named, std::string *name) {
  if (!named.empty()) {
    *name = named;
    return {"/bin/sh", "-c", named};
  }
  bool terminal = have_terminal();
  for (auto &p : kKnownPickers) {
    if (p.needs_terminal && !terminal) continue;
    std::string path = find_program(p.program);
    if (path.empty()) continue;
    *name = p.program;
    std::vector<std::string> argv = {path};
    if (p.option != nullptr) argv.push_back(p.option);
    return argv;
  }
  return {};
}

enum class PickOutcome { chosen, cancelled, failed };

// Runs the picker with lines on its standard input (from an anonymous file
// in memory: nothing waits on a pipe that the picker stops reading, and the
// previews of the history never reach a disk outside the store) and its
// standard error on ours, and keeps the first line it prints.
PickOutcome run_picker(const std::vector<std::string> &argv, const std::string &name,
                       const std::string &lines, std::string *chosen) {
  int in = memfd_create("quillmar-pick", MFD_CLOEXEC);
  if (in < 0) {
    complain(std::string("cannot make a temporary file: ") + strerror(errno));
    return PickOutcome::failed;
  }
  size_t done = 0;
  while (done < lines.size()) {
    ssize_t n = write(in, lines.data() + done, lines.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (done != lines.size() || lseek(in, 0, SEEK_SET) != 0) {
    complain(std::string("cannot write a temporary file: ") + strerror(errno));
    close(in);
    return PickOutcome::failed;
  }
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    complain(std::string("cannot make a pipe: ") + strerror(errno));
    close(in);
    return PickOutcome::failed;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
  // Ctrl-C in a terminal picker reaches us too: it cancels the pick, so we
  // ignore it while the picker runs, and the picker gets it as usual.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  struct sigaction ign = {}, old_int, old_quit;
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  sigaction(SIGINT, &ign, &old_int);
  sigaction(SIGQUIT, &ign, &old_quit);
  std::vector<char *> args;
  for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &fa, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(out[1]);
  close(in);
  PickOutcome outcome = PickOutcome::failed;
  if (rc != 0) {
    complain("cannot run the picker " + name + ": " + strerror(rc));
  } else {
    std::string answer;
    char buf[4096];
    for (;;) {
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      // One line is all that counts; the rest is read only to let the
      // picker finish.
      if (answer.size() < 65536) answer.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    size_t eol = answer.find('\n');
    if (eol != std::string::npos) answer.resize(eol);
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    if (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127)) {
      // The shell's words for a command it cannot find or run.
      complain("cannot run the picker " + name + " (exit status " +
               std::to_string(WEXITSTATUS(status)) + ")");
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !answer.empty()) {
      *chosen = answer;
      outcome = PickOutcome::chosen;
    } else {
      outcome = PickOutcome::cancelled;
    }
  }
  close(out[0]);
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
  return outcome;
}

}  // namespace

bool configured_picker(std::string *picker) {
  Config config;
  std::string error;
  if (!load_config(&config, &error)) {
    complain(error);
    return false;
  }
  *picker = config.picker;
  return true;
}

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

int cmd_list_picker(const std::string &store, int offset, int limit) {
  std::string lines;
  {
    StoreLock lock;
    if (!open_store(store, &lock)) return 1;
    if (!picker_lines(offset, limit, &lines)) return 1;
  }
  if (fwrite(lines.data(), 1, lines.size(), stdout) != lines.size() ||
      fflush(stdout) != 0)
    return fail(std::string("cannot write to standard output: ") + strerror(errno));
  return 0;
}

int cmd_pick(const std::string &store, bool print) {
  // The environment names the picker for one call, so it wins over the
  // file, which is then not read at all.
  const char *env = getenv("QUILLMAR_PICKER");
  std::string named = env != nullptr ? env : "";
  if (named.empty() && !configured_picker(&named)) return 2;
  std::string lines;
  int status = 0;
  // The server of the store, when one answers, gives the lines and the
  // clip; the picker runs here, on this process's terminal or display.
  if (served_output(store, {"list", "--picker"}, &lines, &status)) {
    if (status != 0) return status;
  } else {
    // The store stays unlocked while the user chooses, so that a watcher
    // can record in the meantime.
    StoreLock lock;
    if (!open_store(store, &lock)) return 1;
    if (!picker_lines(0, 0, &lines)) return 1;
  }
  if (lines.empty()) {
    return fail(
        "nothing to pick: the history is empty (start recording with 'quillmar-clip "
        "watch')");
  }
  std::string name;
  std::vector<std::string> argv = choose_picker(named, &name);
  if (argv.empty()) {
    return fail(
        "no picker found: install fzf (in a terminal), rofi, wofi, fuzzel, bemenu or "
        "dmenu, or name one in QUILLMAR_PICKER (such as 'fzf --height 40%')");
  }
  std::string chosen;
  switch (run_picker(argv, name, lines, &chosen)) {
    case PickOutcome::failed:
      return 1;
    case PickOutcome::cancelled:
      return fail("nothing picked");
    case PickOutcome::chosen:
      break;
  }
  int id = 0;
  if (!leading_id(chosen, &id)) {
    return fail("the picker's answer is not a line of the list: '" +
                terminal_cell(chosen, 40) + "'");
  }
  if (print && run_served(store, {"get", std::to_string(id)}, &status)) return status;
  return print ? cmd_get(store, id, nullptr) : cmd_copy(store, id);
}

}  // namespace host
