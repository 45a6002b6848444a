#include "platform/linux/x11/error_trap.h"

#include <X11/Xlib.h>

#include <mutex>

namespace larkspire::linux_backend {

namespace {
thread_local XErrorTrap* activeTrap = nullptr;

std::mutex handlerMutex;
int installedCount = 0;
XErrorHandler previousHandler = nullptr;
}  // namespace

struct XErrorTrapAccess {
  static int handle(Display* display, XErrorEvent* event) {
    XErrorTrap* trap = activeTrap;
    if (trap && trap->display_ == display) {
      if (trap->error_ == 0) trap->error_ = event->error_code;
      return 0;
    }
    // Not ours: whoever handled errors before us decides. Xlib's default
    // handler would end the process, so it is never called from here.
    XErrorHandler previous;
    {
      std::lock_guard lock(handlerMutex);
      previous = previousHandler;
    }
    if (previous && previous != &XErrorTrapAccess::handle) return previous(display, event);
    return 0;
  }
};

XErrorTrap::XErrorTrap(Display* display) : display_(display), outer_(activeTrap) {
  // Errors of requests already sent belong to whoever sent them.
  XSync(display_, False);
  activeTrap = this;
  std::lock_guard lock(handlerMutex);
  if (installedCount++ == 0) previousHandler = XSetErrorHandler(&XErrorTrapAccess::handle);
}

XErrorTrap::~XErrorTrap() {
  // Errors of our requests still in flight must land in this trap.
  XSync(display_, False);
  activeTrap = outer_;
  std::lock_guard lock(handlerMutex);
  if (--installedCount == 0) {
    XErrorHandler current = XSetErrorHandler(previousHandler);
    // Someone replaced our handler meanwhile: keep theirs.
    if (current != &XErrorTrapAccess::handle) XSetErrorHandler(current);
    previousHandler = nullptr;
  }
}

int XErrorTrap::sync() {
  XSync(display_, False);
  return error_;
}

}  // namespace larkspire::linux_backend
