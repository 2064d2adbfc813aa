// The clipboard watcher: follows the X11 CLIPBOARD selection (and PRIMARY
// on request) and records every new text and PNG image.
#ifndef QUILLMAR_CLI_WATCH_X11_H
#define QUILLMAR_CLI_WATCH_X11_H

#include "cli_watch.h"

namespace host {

// Runs until SIGINT, SIGTERM or SIGHUP (exit status 0) or until the display cannot
// be used (1).
int run_watch(const WatchOptions &options);

}  // namespace host

#endif  // QUILLMAR_CLI_WATCH_X11_H
