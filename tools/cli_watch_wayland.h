// The Wayland clipboard watcher. It follows the clipboard through
// wl-paste --watch children (wl-clipboard), which need a compositor with the
// data-control protocol (wlroots compositors such as sway, and KDE). Each
// new selection runs this program again as a capture that checks what the
// owner offers and records the clip.
#ifndef QUILLMAR_CLI_WATCH_WAYLAND_H
#define QUILLMAR_CLI_WATCH_WAYLAND_H

#include <optional>
#include <string>
#include <vector>

#include "cli_capture.h"
#include "cli_watch.h"

namespace host {

// The name of the hidden command that wl-paste --watch runs for each clip.
inline constexpr char kWaylandCaptureCommand[] = "wayland-capture";

// True when WAYLAND_DISPLAY names a Wayland display: watch follows Wayland
// then, even when an X server (Xwayland) is reachable too.
bool wayland_session();

// Runs wl-paste --watch children for text and PNG images (for PRIMARY too
// with options.primary) until SIGINT, SIGTERM or SIGHUP (exit status 0), or until a
// child ends on its own (1): no compositor, no data-control protocol, or a
// compositor that went away.
int run_watch_wayland(const WatchOptions &options);

// One clip of the selection on standard input, offered as kind by the
// current owner of the CLIPBOARD (PRIMARY with primary), recorded by the
// config file's rules as store records (keep_duplicates, when given, wins
// over the file). Always 0: wl-paste does nothing with the status, and what
// happened is printed.
int wayland_capture(const std::string &store, bool primary, ClipKind kind,
                    std::optional<bool> keep_duplicates);

// What a capture hands to the watcher that serves the store, once the
// offer is judged and an image read for words: the clip of kind on standard
// input (the first bytes of the seen its owner sent), with the label the
// words made (nullptr: none), recorded by the config file's rules and said
// as the capture says it. Always 0, as for the capture.
int wayland_record(const std::string &store, bool primary, ClipKind kind,
                   std::optional<bool> keep_duplicates, uint64_t seen,
                   const std::string *label);

// What a capture does with an offer, decided from the MIME types the owner
// offers (nullopt when they could not be listed) and, when they include
// x-kde-passwordManagerHint, the hint's value (nullopt when it could not be
// read; ignored when the hint is not offered).
enum class OfferVerdict {
  record,
  secret,            // the hint says "secret"
  hint_unreadable,   // the hint is offered but its value could not be read
  types_unreadable,  // the offered types could not be listed
  image_offered,     // a text of an owner that offers a PNG image too
};
OfferVerdict judge_offer(ClipKind kind,
                         const std::optional<std::vector<std::string>> &types,
                         const std::optional<std::string> &hint);

// Splits wl-paste --list-types output into MIME types, one a line.
std::vector<std::string> parse_type_list(const std::string &text);

// The one-line reason for a wl-paste --watch child that ended on its own,
// from what it wrote on standard error.
std::string watch_child_failure(const std::string &child_stderr);

}  // namespace host

#endif  // QUILLMAR_CLI_WATCH_WAYLAND_H
