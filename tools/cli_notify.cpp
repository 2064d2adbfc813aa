#include "cli_notify.h"

#include <unistd.h>

#include <vector>

#include "cli_spawn.h"

namespace host {
namespace {

bool g_remember = false;
std::string g_complaint;

}  // namespace

void notify_user(const std::string &message) {
  if (isatty(STDERR_FILENO)) return;
  std::string tool = find_program("notify-send");
  if (tool.empty()) return;
  std::string line = message.substr(0, message.find('\n'));
  std::string error;
  // Its failure (no notification daemon, no session bus) has no one to be
  // told to either.
  run_with_input({tool, "--app-name=quillmar-clip", "quillmar-clip: " + line}, "",
                 &error);
}

void remember_complaints() { g_remember = true; }

void note_complaint(const std::string &message) {
  if (g_remember && g_complaint.empty()) g_complaint = message;
}

void replace_complaint(const std::string &message) {
  if (g_remember) g_complaint = message;
}

void notify_complaint() {
  if (!g_complaint.empty()) notify_user(g_complaint);
}

}  // namespace host
