// Holds every left click back for a while, as a busy window manager does:
// a synchronous grab of button 1 on the root window freezes the pointer at
// each press, and the press goes on to the window under it (and the
// release after it) only when the grab lets go.
//
//   pointer_holder SECONDS
//
// Prints "ready" once the grab is in place, and "letting go" just before it
// lets a held press go on. Exit status 3 without a display, 4 when another
// client holds the same grab.
#include <X11/Xlib.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>

namespace {

int grabFailed(Display*, XErrorEvent* error) {
  if (error->error_code == BadAccess) std::exit(4);
  return 0;
}

void say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0;
  Display* display = XOpenDisplay(nullptr);
  if (!display) return 3;
  XSetErrorHandler(grabFailed);
  const Window root = DefaultRootWindow(display);
  XGrabButton(display, Button1, AnyModifier, root, False, ButtonPressMask | ButtonReleaseMask, GrabModeSync,
              GrabModeAsync, None, None);
  XSync(display, False);
  say("ready");
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type != ButtonPress) continue;
    // Anything else the server sends meanwhile is left unread: the point is
    // to keep the pointer frozen.
    poll(nullptr, 0, static_cast<int>(seconds * 1000));
    say("letting go");
    XAllowEvents(display, ReplayPointer, event.xbutton.time);
    XFlush(display);
  }
}
