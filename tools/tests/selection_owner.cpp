// A clipboard owner for the watcher's test, acting as a password manager
// does: it takes the CLIPBOARD selection and offers a text together with the
// x-kde-passwordManagerHint target, whose value is the given hint. It prints
// "ready" once it owns the selection and exits when another client takes the
// selection over, or after 60 seconds. With "refuse", it offers the hint but
// refuses every request for its value.
//
//   selection_owner TEXT HINT [refuse]
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <cstdio>
#include <cstring>
#include <ctime>

int main(int argc, char **argv) {
  bool refuse = argc == 4 && strcmp(argv[3], "refuse") == 0;
  if (argc != 3 && !refuse) {
    fprintf(stderr, "usage: selection_owner TEXT HINT [refuse]\n");
    return 2;
  }
  const char *text = argv[1];
  const char *hint = argv[2];
  Display *d = XOpenDisplay(nullptr);
  if (d == nullptr) {
    fprintf(stderr, "selection_owner: cannot open the display\n");
    return 1;
  }
  Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
  Atom targets = XInternAtom(d, "TARGETS", False);
  Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  Atom hint_atom = XInternAtom(d, "x-kde-passwordManagerHint", False);
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(d, clipboard, w, CurrentTime);
  if (XGetSelectionOwner(d, clipboard) != w) {
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
    if (req->target == targets) {
      Atom offered[] = {targets, utf8, hint_atom};
      XChangeProperty(d, req->requestor, prop, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char *>(offered), 3);
    } else if (req->target == utf8) {
      XChangeProperty(d, req->requestor, prop, utf8, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char *>(text),
                      static_cast<int>(strlen(text)));
    } else if (req->target == hint_atom && !refuse) {
      XChangeProperty(d, req->requestor, prop, XA_STRING, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char *>(hint),
                      static_cast<int>(strlen(hint)));
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
