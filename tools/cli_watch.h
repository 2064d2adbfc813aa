// What both clipboard watchers (X11: cli_watch_x11.h, Wayland:
// cli_watch_wayland.h) are started with.
#ifndef QUILLMAR_CLI_WATCH_H
#define QUILLMAR_CLI_WATCH_H

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

}  // namespace host

#endif  // QUILLMAR_CLI_WATCH_H
