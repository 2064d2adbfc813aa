// A clipboard owner for the watcher's test that offers what xclip cannot:
// several targets at once. By default it acts as a password manager does:
// it takes the CLIPBOARD selection and offers a text together with the
// x-kde-passwordManagerHint target, whose value is the given hint. With
// --png it offers a PNG image (the bytes of FILE as image/png) beside the
// text, as a browser does when it copies an image and its address; without a
// HINT it offers no hint. With "refuse", it offers the hint but refuses every
// request for its value. With --refuse-targets it refuses to list its
// targets (TARGETS) but serves each of them all the same. It prints "ready"
// once it owns the selection and exits when another client takes the
// selection over, or after 60 seconds.
//
//   selection_owner [--selection primary|clipboard] [--png FILE] [--refuse-targets]
//                   TEXT [HINT [refuse]]
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int usage() {
  fprintf(stderr,
          "usage: selection_owner [--selection primary|clipboard] [--png FILE] "
          "[--refuse-targets] TEXT [HINT [refuse]]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  const char *selection_name = "CLIPBOARD";
  std::string png;
  bool has_png = false, list_targets = true;
  int i = 1;
  for (; i + 1 < argc && argv[i][0] == '-' && argv[i][1] == '-'; i += 2) {
    if (strcmp(argv[i], "--refuse-targets") == 0) {
      list_targets = false;
      --i;  // takes no value
    } else if (strcmp(argv[i], "--selection") == 0) {
      selection_name = strcmp(argv[i + 1], "primary") == 0 ? "PRIMARY" : "CLIPBOARD";
    } else if (strcmp(argv[i], "--png") == 0) {
      std::ifstream f(argv[i + 1], std::ios::binary);
      if (!f) {
        fprintf(stderr, "selection_owner: cannot read %s\n", argv[i + 1]);
        return 1;
      }
      png.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
      has_png = true;
    } else {
      return usage();
    }
  }
  bool refuse = argc - i == 3 && strcmp(argv[i + 2], "refuse") == 0;
  if (argc - i < 1 || argc - i > 3 || (argc - i == 3 && !refuse)) return usage();
  const char *text = argv[i];
  const char *hint = argc - i >= 2 ? argv[i + 1] : nullptr;
  Display *d = XOpenDisplay(nullptr);
  if (d == nullptr) {
    fprintf(stderr, "selection_owner: cannot open the display\n");
    return 1;
  }
  Atom selection = XInternAtom(d, selection_name, False);
  Atom targets = XInternAtom(d, "TARGETS", False);
  Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  Atom png_atom = XInternAtom(d, "image/png", False);
  Atom hint_atom = XInternAtom(d, "x-kde-passwordManagerHint", False);
  std::vector<Atom> offered = {targets, utf8};
  if (hint != nullptr) offered.push_back(hint_atom);
  if (has_png) offered.push_back(png_atom);
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(d, selection, w, CurrentTime);
  if (XGetSelectionOwner(d, selection) != w) {
    fprintf(stderr, "selection_owner: cannot take the selection\n");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  time_t end = time(nullptr) + 60;
  while (time(nullptr) < end) {
    if (XPending(d) == 0) {
      struct pollfd p = {ConnectionNumber(d), POLLIN, 0};
      poll(&p, 1, 1000);
      continue;
    }
    XEvent ev;
    XNextEvent(d, &ev);
    if (ev.type == SelectionClear) break;
    if (ev.type != SelectionRequest) continue;
    XSelectionRequestEvent *req = &ev.xselectionrequest;
    XEvent reply = {};
    reply.xselection.type = SelectionNotify;
    reply.xselection.requestor = req->requestor;
    reply.xselection.selection = req->selection;
    reply.xselection.target = req->target;
    reply.xselection.time = req->time;
    Atom prop = req->property != None ? req->property : req->target;
    reply.xselection.property = prop;
    if (req->target == targets && list_targets) {
      XChangeProperty(d, req->requestor, prop, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char *>(offered.data()),
                      static_cast<int>(offered.size()));
    } else if (req->target == utf8) {
      XChangeProperty(d, req->requestor, prop, utf8, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char *>(text),
                      static_cast<int>(strlen(text)));
    } else if (req->target == hint_atom && hint != nullptr && !refuse) {
      XChangeProperty(d, req->requestor, prop, XA_STRING, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char *>(hint),
                      static_cast<int>(strlen(hint)));
    } else if (req->target == png_atom && has_png) {
      XChangeProperty(d, req->requestor, prop, png_atom, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char *>(png.data()),
                      static_cast<int>(png.size()));
    } else {
      reply.xselection.property = None;
    }
    XSendEvent(d, req->requestor, False, 0, &reply);
    XFlush(d);
  }
  XDestroyWindow(d, w);
  XCloseDisplay(d);
  return 0;
}
