// The clipboard watcher: follows the X11 CLIPBOARD selection (and PRIMARY
// on request) and records every new text and PNG image.
#ifndef QUILLMAR_CLI_WATCH_X11_H
#define QUILLMAR_CLI_WATCH_X11_H

#include <optional>
#include <string>

#include "cli_config.h"

namespace host {

class Server;

struct WatchOptions {
  std::string store;
  bool primary = false;
  // The config file's rules for what is recorded (ignore, min_length,
  // keep_duplicates), with the command line's choices applied.
  Config config;
  // The command line's choices, which win over the config file each time
  // it is read again.
  std::optional<bool> primary_choice, keep_duplicates_choice;
  void apply_choices(Config *c) const {
    if (primary_choice) c->primary = *primary_choice;
    if (keep_duplicates_choice) c->keep_duplicates = *keep_duplicates_choice;
  }
  // The server of the store, whose clients are served from the watcher's
  // event loop; nullptr when the watcher does not serve.
  Server *server = nullptr;
};

// Runs until SIGINT, SIGTERM or SIGHUP (exit status 0) or until the display cannot
// be used (1).
int run_watch(const WatchOptions &options);

}  // namespace host

#endif  // QUILLMAR_CLI_WATCH_X11_H
