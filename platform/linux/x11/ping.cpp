#include "platform/linux/x11/ping.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

#include "platform/linux/handles.h"
#include "platform/linux/x11/error_trap.h"

namespace larkspire::linux_backend {
namespace {

bool answersPings(Display* display, Window window) {
  Atom* protocols = nullptr;
  int count = 0;
  const bool answered = XGetWMProtocols(display, window, &protocols, &count) != 0;
  XData<Atom> owned(protocols);
  if (!answered) return false;
  const Atom ping = XInternAtom(display, "_NET_WM_PING", False);
  bool found = false;
  for (int i = 0; i < count; ++i) found = found || owned.get()[i] == ping;
  return found;
}

}  // namespace

ApplicationPing::ApplicationPing(Display* control, platform::Clock& clock) : control_(control), clock_(clock) {}

ApplicationPing::~ApplicationPing() {
  if (answers_) XCloseDisplay(answers_);
}

unsigned long ApplicationPing::pingableFocus() {
  Window focus = None;
  int revert = 0;
  XGetInputFocus(control_, &focus, &revert);
  const Window root = DefaultRootWindow(control_);
  if (focus == None || focus == PointerRoot || focus == root) return 0;
  // The focus may sit on a window inside the top level (GTK keeps a focus
  // window of its own); WM_PROTOCOLS lives on the top level.
  XErrorTrap trap(control_);
  for (Window at = focus; at && at != root;) {
    if (answersPings(control_, at)) return at;
    Window parentRoot = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    const bool answered = XQueryTree(control_, at, &parentRoot, &parent, &children, &count) != 0;
    XData<Window> owned(children);
    if (!answered) return 0;
    at = parent;
  }
  return 0;
}

bool ApplicationPing::start() {
  window_ = pingableFocus();
  if (!window_) return false;
  if (!answers_) {
    answers_ = XOpenDisplay(DisplayString(control_));
    if (!answers_) {
      window_ = 0;
      return false;
    }
    XSelectInput(answers_, DefaultRootWindow(answers_), SubstructureNotifyMask);
    XSync(answers_, False);
  }
  return true;
}

std::uint64_t ApplicationPing::send() {
  if (!window_ || !answers_) return 0;
  const Atom protocols = XInternAtom(control_, "WM_PROTOCOLS", False);
  const Atom ping = XInternAtom(control_, "_NET_WM_PING", False);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window_;
  event.xclient.message_type = protocols;
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(ping);
  // The timestamp field is echoed back: it tells this ping's answer from
  // the window manager's own.
  event.xclient.data.l[1] = static_cast<long>(sent_ + 1);
  event.xclient.data.l[2] = static_cast<long>(window_);
  XErrorTrap trap(control_);
  XSendEvent(control_, window_, False, NoEventMask, &event);
  XFlush(control_);
  if (trap.error() != 0) return 0;
  return ++sent_;
}

bool ApplicationPing::await(std::uint64_t ping, std::chrono::milliseconds timeout) {
  if (!answers_ || ping == 0 || ping > sent_) return false;
  const Atom protocols = XInternAtom(answers_, "WM_PROTOCOLS", False);
  const Atom pingAtom = XInternAtom(answers_, "_NET_WM_PING", False);
  const double deadline = clock_.now() + std::chrono::duration<double>(timeout).count();
  // Set once a poll has waited out the time left: what arrived by then is
  // still read, then the wait ends.
  bool waitedOut = false;
  while (answered_ < ping) {
    while (answered_ < ping && XPending(answers_) > 0) {
      XEvent answer;
      XNextEvent(answers_, &answer);
      if (answer.type != ClientMessage || answer.xclient.message_type != protocols || answer.xclient.format != 32 ||
          static_cast<Atom>(answer.xclient.data.l[0]) != pingAtom) {
        continue;
      }
      const auto number = static_cast<std::uint64_t>(answer.xclient.data.l[1]);
      if (number > answered_ && number <= sent_) answered_ = number;
    }
    if (answered_ >= ping) break;
    const auto left = static_cast<long long>(std::ceil((deadline - clock_.now()) * 1000));
    if (waitedOut || left <= 0) return false;
    pollfd fd{ConnectionNumber(answers_), POLLIN, 0};
    const int ready = poll(&fd, 1, static_cast<int>(std::min<long long>(left, std::numeric_limits<int>::max())));
    if (ready < 0 && errno != EINTR) return false;
    waitedOut = ready == 0;
  }
  return true;
}

}  // namespace larkspire::linux_backend
