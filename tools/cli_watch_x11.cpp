#include "cli_watch_x11.h"

#include "cli_markers.h"
#include "cli_store.h"

#ifndef QUILLMAR_HAVE_X11

namespace host {

int run_watch(const WatchOptions &) {
  complain("this quillmar-clip was built without X11 support: watch is not available");
  return 1;
}

}  // namespace host

#else

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli_capture.h"
#include "cli_capture_queue.h"
#include "cli_config_watch.h"
#include "cli_limits.h"
#include "cli_process.h"
#include "cli_recover.h"
#include "cli_server.h"
#include "cli_text.h"
#include "cli_util.h"
#include "cli_watcher_mark.h"
#include "quillmar_clip.h"

namespace host {
namespace {

// Each step of a transfer (an answer to a request, the next chunk of an
// incremental transfer) must come within this time, or the owner is given up.
constexpr int kStepTimeoutMs = 5000;
// Bytes kept of one transfer: kReadLimit. The rest is read and dropped (the
// owner must still see every chunk taken).
constexpr size_t kKeep = kReadLimit;
// Property bytes asked for per read, in 32-bit units.
constexpr long kReadLongs = 1 << 20;
// The longest label an image takes from the text offered beside it: enough
// for an address or a caption, never the whole of a page.
constexpr size_t kLabelBytes = 256;

// An owner that vanishes in the middle of a transfer makes later requests
// fail; the transfer then times out, so the error itself needs no action.
int on_x_error(Display *, XErrorEvent *) { return 0; }

int on_x_io_error(Display *) {
  complain("lost the connection to the X display");
  remove_server_socket();
  fflush(stdout);
  _exit(1);
}

struct Transfer {
  std::string bytes;  // at most kKeep of them
  uint64_t seen = 0;  // every byte the owner sent
  Atom type = None;
};

enum class Wait { got, timeout, stop };

struct SelectionMatch {
  Window window;
  Atom selection;
};

struct PropertyMatch {
  Window window;
  Atom property;
};

Bool is_selection_notify(Display *, XEvent *ev, XPointer arg) {
  auto *m = reinterpret_cast<SelectionMatch *>(arg);
  return ev->type == SelectionNotify && ev->xselection.requestor == m->window &&
         ev->xselection.selection == m->selection;
}

Bool is_new_value(Display *, XEvent *ev, XPointer arg) {
  auto *m = reinterpret_cast<PropertyMatch *>(arg);
  return ev->type == PropertyNotify && ev->xproperty.window == m->window &&
         ev->xproperty.atom == m->property && ev->xproperty.state == PropertyNewValue;
}

class Watcher {
 public:
  explicit Watcher(const WatchOptions &options)
      : options_(options),
        recorder_(options_.store, options_.config),
        config_watch_(&options_.config, [this](Config *c) { options_.apply_choices(c); }),
        queue_(options_.config) {}
  ~Watcher();
  // Opens the store once, so that a store that cannot be used is reported
  // now and not at the first copy.
  bool open_store() {
    if (!recorder_.open()) return false;
    notice_set_aside(options_.store);
    recorder_.release();
    return true;
  }
  int run();

 private:
  bool connect();
  Wait wait_for(Bool (*pred)(Display *, XEvent *, XPointer), XPointer arg, XEvent *out);
  bool convert(Atom selection, Atom target, Time time, std::string *why);
  bool read_bytes(Transfer *t, std::string *why);
  bool request(Atom selection, Atom target, Time time, Transfer *t, std::string *why);
  bool request_targets(Atom selection, Time time, std::vector<Atom> *targets);
  void capture(Atom selection, Time time);
  // Reads the config file again when it changed, and follows PRIMARY or
  // stops following it as the new one says.
  void reload_config();
  void record(QueuedCapture &q);
  // A text transfer as UTF-8: the STRING target is ISO 8859-1.
  void as_utf8(Transfer *t) const {
    if (t->type != XA_STRING) return;
    bool whole = t->seen == t->bytes.size();
    t->bytes = latin1_to_utf8(t->bytes);
    if (whole) t->seen = t->bytes.size();
  }
  const char *name_of(Atom selection) const {
    return selection == primary_ ? "PRIMARY" : "CLIPBOARD";
  }

  WatchOptions options_;
  Recorder recorder_;
  ConfigWatch config_watch_;
  WatcherMark mark_;
  CaptureQueue queue_;
  Display *dpy_ = nullptr;
  Window win_ = None;
  int fixes_event_ = 0;
  Atom clipboard_ = None, primary_ = None, targets_ = None, utf8_ = None, png_ = None,
       incr_ = None, hint_ = None, prop_ = None;
};

Watcher::~Watcher() {
  if (dpy_ != nullptr) {
    if (win_ != None) XDestroyWindow(dpy_, win_);
    XCloseDisplay(dpy_);
  }
}

bool Watcher::connect() {
  dpy_ = XOpenDisplay(nullptr);
  if (dpy_ == nullptr) {
    complain(std::string("cannot open the X display \"") + XDisplayName(nullptr) + "\"");
    return false;
  }
  int error_base = 0;
  if (!XFixesQueryExtension(dpy_, &fixes_event_, &error_base)) {
    complain("the X server lacks the XFixes extension: cannot follow the clipboard");
    return false;
  }
  int major = 0, minor = 0;
  XFixesQueryVersion(dpy_, &major, &minor);
  clipboard_ = XInternAtom(dpy_, "CLIPBOARD", False);
  primary_ = XA_PRIMARY;
  targets_ = XInternAtom(dpy_, "TARGETS", False);
  utf8_ = XInternAtom(dpy_, "UTF8_STRING", False);
  png_ = XInternAtom(dpy_, "image/png", False);
  incr_ = XInternAtom(dpy_, "INCR", False);
  hint_ = XInternAtom(dpy_, "x-kde-passwordManagerHint", False);
  prop_ = XInternAtom(dpy_, "QUILLMAR_CLIP_TRANSFER", False);
  // A window of our own that is never mapped: the owners write the data to
  // its property, and its property changes pace incremental transfers.
  win_ = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), -10, -10, 1, 1, 0, 0, 0);
  XSelectInput(dpy_, win_, PropertyChangeMask);
  XFixesSelectSelectionInput(dpy_, win_, clipboard_, XFixesSetSelectionOwnerNotifyMask);
  if (options_.primary) {
    XFixesSelectSelectionInput(dpy_, win_, primary_, XFixesSetSelectionOwnerNotifyMask);
  }
  XSync(dpy_, False);
  return true;
}

Wait Watcher::wait_for(Bool (*pred)(Display *, XEvent *, XPointer), XPointer arg,
                       XEvent *out) {
  long deadline = now_ms() + kStepTimeoutMs;
  for (;;) {
    if (XCheckIfEvent(dpy_, out, pred, arg)) return Wait::got;
    if (SignalPipe::stop_requested()) return Wait::stop;
    long left = deadline - now_ms();
    if (left <= 0) return Wait::timeout;
    struct pollfd fds[2] = {{ConnectionNumber(dpy_), POLLIN, 0},
                            {SignalPipe::fd(), POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) return Wait::stop;
  }
}

bool Watcher::convert(Atom selection, Atom target, Time time, std::string *why) {
  XDeleteProperty(dpy_, win_, prop_);
  XConvertSelection(dpy_, selection, target, prop_, win_, time);
  XFlush(dpy_);
  SelectionMatch m{win_, selection};
  XEvent ev;
  switch (wait_for(is_selection_notify, reinterpret_cast<XPointer>(&m), &ev)) {
    case Wait::got:
      break;
    case Wait::timeout:
      *why = "the owner did not answer";
      return false;
    case Wait::stop:
      *why = "stopped";
      return false;
  }
  if (ev.xselection.property == None) {
    *why = "the owner refused the request";
    return false;
  }
  // Property changes announced before the answer belong to this request's
  // setup, not to an incremental transfer's chunks.
  XEvent stale;
  while (XCheckTypedWindowEvent(dpy_, win_, PropertyNotify, &stale)) {
  }
  return true;
}

bool Watcher::read_bytes(Transfer *t, std::string *why) {
  long offset = 0;
  for (;;) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(dpy_, win_, prop_, offset, kReadLongs, False, AnyPropertyType,
                           &type, &format, &items, &after, &data) != Success) {
      *why = "the transfer's property cannot be read";
      return false;
    }
    t->type = type;
    if (type != None && format != 8) {
      XFree(data);
      *why = "the owner sent data that is not a byte string";
      return false;
    }
    if (items > 0) {
      size_t room = kKeep - std::min(kKeep, t->bytes.size());
      t->bytes.append(reinterpret_cast<char *>(data), std::min<size_t>(room, items));
      t->seen += items;
    }
    if (data != nullptr) XFree(data);
    if (after == 0) break;
    offset += static_cast<long>(items / 4);
  }
  return true;
}

bool Watcher::request(Atom selection, Atom target, Time time, Transfer *t,
                      std::string *why) {
  if (!convert(selection, target, time, why)) return false;
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char *data = nullptr;
  if (XGetWindowProperty(dpy_, win_, prop_, 0, 0, False, AnyPropertyType, &type, &format,
                         &items, &after, &data) != Success) {
    *why = "the transfer's property cannot be read";
    return false;
  }
  if (data != nullptr) XFree(data);
  if (type != incr_) {
    bool ok = read_bytes(t, why);
    XDeleteProperty(dpy_, win_, prop_);
    XFlush(dpy_);
    return ok;
  }
  // Incremental transfer: deleting the INCR property asks for the first
  // chunk; each chunk arrives as a new value of the property, which we delete
  // to ask for the next one, until a chunk of length zero.
  XDeleteProperty(dpy_, win_, prop_);
  XFlush(dpy_);
  PropertyMatch m{win_, prop_};
  for (;;) {
    XEvent ev;
    Wait w = wait_for(is_new_value, reinterpret_cast<XPointer>(&m), &ev);
    if (w != Wait::got) {
      *why =
          w == Wait::stop ? "stopped" : "the owner stopped in the middle of a transfer";
      return false;
    }
    uint64_t before = t->seen;
    bool ok = read_bytes(t, why);
    XDeleteProperty(dpy_, win_, prop_);
    XFlush(dpy_);
    if (!ok) return false;
    if (t->seen == before) return true;
  }
}

bool Watcher::request_targets(Atom selection, Time time, std::vector<Atom> *targets) {
  std::string why;
  if (!convert(selection, targets_, time, &why)) return false;
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char *data = nullptr;
  bool ok = XGetWindowProperty(dpy_, win_, prop_, 0, 4096, True, AnyPropertyType, &type,
                               &format, &items, &after, &data) == Success &&
            format == 32;
  if (ok) {
    // Format 32 items come as longs, whatever the width of the wire format.
    const long *atoms = reinterpret_cast<const long *>(data);
    for (unsigned long i = 0; i < items; ++i)
      targets->push_back(static_cast<Atom>(atoms[i]));
  }
  if (data != nullptr) XFree(data);
  return ok;
}

void Watcher::reload_config() {
  if (!config_watch_.check()) return;
  queue_.set_reading(options_.config);
  if (options_.config.primary == options_.primary) return;
  options_.primary = options_.config.primary;
  XFixesSelectSelectionInput(dpy_, win_, primary_,
                             options_.primary ? XFixesSetSelectionOwnerNotifyMask : 0);
  XFlush(dpy_);
  printf("%s\n",
         options_.primary ? "following PRIMARY too" : "no longer following PRIMARY");
}

void Watcher::capture(Atom selection, Time time) {
  // An edit of the config file applies to this very clip.
  reload_config();
  const char *name = name_of(selection);
  if (selection == primary_ && !options_.primary) return;
  if (recording_paused(options_.store)) {
    printf("%s: not recorded, recording is paused\n", name);
    return;
  }
  std::vector<Atom> targets;
  bool listed = request_targets(selection, time, &targets);
  if (SignalPipe::stop_requested()) return;
  auto offers = [&](Atom a) {
    return std::find(targets.begin(), targets.end(), a) != targets.end();
  };
  std::string why;
  // Without the list of targets there is no telling whether the owner marks
  // its data as a secret: the hint is asked for all the same, and the clip
  // is recorded only when the owner says it is none. An owner that offers
  // the hint but does not hand its value over may be a password manager all
  // the same: such a clip is not recorded either.
  if (!listed || offers(hint_)) {
    Transfer hint;
    if (!request(selection, hint_, time, &hint, &why)) {
      if (SignalPipe::stop_requested()) return;
      if (listed) {
        printf(
            "%s: not recorded, its owner's x-kde-passwordManagerHint cannot be read "
            "(%s)\n",
            name, why.c_str());
      } else {
        printf(
            "%s: not recorded, the targets its owner offers cannot be listed, nor its "
            "x-kde-passwordManagerHint read (%s)\n",
            name, why.c_str());
      }
      return;
    }
    std::string v = hint.bytes;
    while (!v.empty() && (v.back() == '\n' || v.back() == '\0' || v.back() == ' '))
      v.pop_back();
    if (v == "secret") {
      printf("%s: not recorded, its owner marks it as a secret\n", name);
      return;
    }
  }
  Atom want;
  ClipKind kind = ClipKind::text;
  Atom text_target = None;
  if (!listed || offers(utf8_)) {
    text_target = utf8_;
  } else if (offers(XA_STRING)) {
    text_target = XA_STRING;
  }
  if (listed && offers(png_)) {
    want = png_;
    kind = ClipKind::image;
  } else if (text_target != None) {
    want = text_target;
  } else {
    complain(std::string(name) + " holds neither text nor a PNG image: nothing recorded");
    return;
  }
  Transfer t;
  if (!request(selection, want, time, &t, &why)) {
    if (!SignalPipe::stop_requested())
      complain(std::string("cannot read the ") + name + " selection: " + why);
    return;
  }
  if (kind == ClipKind::text) as_utf8(&t);
  if (t.seen == 0) {
    printf("%s: not recorded, it is empty\n", name);
    return;
  }
  Capture c;
  c.kind = kind;
  c.seen = t.seen;
  c.bytes = std::move(t.bytes);
  c.origin = std::string("the ") + name + (kind == ClipKind::text ? " text" : " image");
  c.selection = selection == primary_;
  // An owner that offers a picture and a text (a browser: the image and its
  // address) gets both kept: the text becomes the image's label.
  Transfer text;
  if (kind == ClipKind::image && text_target != None && listed &&
      request(selection, text_target, time, &text, &why)) {
    as_utf8(&text);
    c.label = label_from_text(std::string_view(text.bytes).substr(0, 65536), kLabelBytes);
    c.has_label = !c.label.empty();
  }
  if (SignalPipe::stop_requested()) return;
  queue_.push(std::move(c), name, [this](QueuedCapture &q) { record(q); });
}

void Watcher::record(QueuedCapture &q) {
  Recorded rec;
  uint64_t seen = q.capture.seen;
  // The label said to come from the owner's text is that text, not the
  // words read in the image.
  bool labelled =
      q.capture.has_label && !(q.read && !q.words.empty() && q.capture.label == q.words);
  ClipKind kind = q.capture.kind;
  if (!recorder_.record(std::move(q.capture), &rec)) return;
  print_recorded(q.name, kind, seen, labelled, rec);
  if (rec.skipped.empty()) trim_history(&recorder_, options_.config);
}

int Watcher::run() {
  if (!connect()) return 1;
  mark_.set(options_.store, DisplayString(dpy_));
  printf("watching %s on %s into %s (Ctrl-C stops)\n",
         options_.primary ? "CLIPBOARD and PRIMARY" : "CLIPBOARD", DisplayString(dpy_),
         options_.store.c_str());
  // What the selections hold already counts as a new clip.
  for (Atom sel : {clipboard_, primary_}) {
    if (sel == primary_ && !options_.primary) continue;
    if (XGetSelectionOwner(dpy_, sel) != None) capture(sel, CurrentTime);
  }
  // The limits are applied after each capture, and on the hour for the
  // clips that age meanwhile.
  long next_trim = now_ms();
  Server *server = options_.server;
  if (server != nullptr) printf("serving commands on %s\n", server->path().c_str());
  while (!SignalPipe::stop_requested()) {
    if (now_ms() >= next_trim) {
      trim_history(&recorder_, options_.config);
      next_trim = now_ms() + kLimitsEverySeconds * 1000;
    }
    while (!SignalPipe::stop_requested() && XPending(dpy_) > 0) {
      XEvent ev;
      XNextEvent(dpy_, &ev);
      if (ev.type != fixes_event_ + XFixesSelectionNotify) continue;
      auto *sn = reinterpret_cast<XFixesSelectionNotifyEvent *>(&ev);
      if (sn->owner == None || sn->owner == win_) continue;
      capture(sn->selection, sn->selection_timestamp);
    }
    if (SignalPipe::stop_requested()) break;
    std::vector<struct pollfd> fds = {{ConnectionNumber(dpy_), POLLIN, 0},
                                      {SignalPipe::fd(), POLLIN, 0},
                                      {queue_.fd(), POLLIN, 0},
                                      {config_watch_.fd(), POLLIN, 0}};
    if (server != nullptr) server->add_poll_fds(&fds);
    long wait = std::min(std::max(0L, next_trim - now_ms()), 3600000L);
    int timeout = static_cast<int>(wait);
    if (server != nullptr && server->poll_timeout() >= 0)
      timeout = std::min(timeout, server->poll_timeout());
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      complain(std::string("poll failed: ") + strerror(errno));
      return 1;
    }
    if (fds[2].revents & POLLIN) {
      uint64_t n = 0;
      if (read(queue_.fd(), &n, sizeof n) < 0) n = 0;
      queue_.drain([this](QueuedCapture &q) { record(q); });
    }
    if ((fds[3].revents & POLLIN) != 0) reload_config();
    if (server != nullptr) server->handle(fds.data() + 4, fds.size() - 4);
  }
  // New commands run by themselves from now on; the answers under way are
  // sent.
  if (server != nullptr) server->stop(2000);
  // Nothing taken is dropped: an image still being read is recorded
  // without words.
  queue_.finish([this](QueuedCapture &q) { record(q); });
  printf("stopped\n");
  return 0;
}

}  // namespace

int run_watch(const WatchOptions &options) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Watcher w(options);
  if (!w.open_store()) return 1;
  // A closed terminal (SIGHUP) stops it as Ctrl-C does, so that the
  // socket it serves on goes too.
  SignalPipe signals;
  std::string error;
  if (!signals.open(false, false, &error)) {
    complain(error);
    return 1;
  }
  XSetErrorHandler(on_x_error);
  XSetIOErrorHandler(on_x_io_error);
  int status = w.run();
  signals.close();
  return status;
}

}  // namespace host

#endif
