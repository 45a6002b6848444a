#include "platform/linux/atspi/raise.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>

#include "platform/linux/handles.h"
#include "platform/linux/x11/error_trap.h"

namespace larkspire::linux_backend::atspi {
namespace {

bool sameFrame(const Extents& a, const Extents& b) {
  return std::abs(a.x - b.x) <= 1 && std::abs(a.y - b.y) <= 1 && std::abs(a.width - b.width) <= 1 &&
         std::abs(a.height - b.height) <= 1;
}

// One property as a vector of 32-bit items (Xlib hands them out as longs).
std::vector<unsigned long> cardinals(Display* d, Window w, Atom property, Atom type) {
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* raw = nullptr;
  std::vector<unsigned long> out;
  const int status = XGetWindowProperty(d, w, property, 0, 4096, False, type, &actual, &format, &count, &after, &raw);
  XData<unsigned char> data(raw);
  if (status == Success && data && format == 32) {
    auto* items = reinterpret_cast<unsigned long*>(data.get());
    out.assign(items, items + count);
  }
  return out;
}

std::string utf8Property(Display* d, Window w, Atom property, Atom type) {
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* raw = nullptr;
  std::string out;
  const int status = XGetWindowProperty(d, w, property, 0, 1024, False, type, &actual, &format, &count, &after, &raw);
  XData<unsigned char> data(raw);
  if (status == Success && data && format == 8) out.assign(reinterpret_cast<char*>(data.get()), count);
  return out;
}

std::vector<ClientWindow> clientWindows(Display* d) {
  const Window root = DefaultRootWindow(d);
  const Atom clientList = XInternAtom(d, "_NET_CLIENT_LIST", False);
  const Atom wmPid = XInternAtom(d, "_NET_WM_PID", False);
  const Atom wmName = XInternAtom(d, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  const Atom frameExtents = XInternAtom(d, "_NET_FRAME_EXTENTS", False);
  std::vector<ClientWindow> out;
  for (unsigned long id : cardinals(d, root, clientList, XA_WINDOW)) {
    ClientWindow c;
    c.id = id;
    auto pid = cardinals(d, id, wmPid, XA_CARDINAL);
    if (!pid.empty()) c.pid = static_cast<platform::Pid>(pid[0]);
    c.title = utf8Property(d, id, wmName, utf8);
    if (c.title.empty()) c.title = utf8Property(d, id, XA_WM_NAME, XA_STRING);
    XWindowAttributes attributes;
    if (XGetWindowAttributes(d, id, &attributes)) {
      int x = 0, y = 0;
      Window child = None;
      XTranslateCoordinates(d, id, root, 0, 0, &x, &y, &child);
      auto ext = cardinals(d, id, frameExtents, XA_CARDINAL);  // left, right, top, bottom
      long left = ext.size() == 4 ? static_cast<long>(ext[0]) : 0,
           right = ext.size() == 4 ? static_cast<long>(ext[1]) : 0;
      long top = ext.size() == 4 ? static_cast<long>(ext[2]) : 0,
           bottom = ext.size() == 4 ? static_cast<long>(ext[3]) : 0;
      c.frame = Extents{static_cast<std::int32_t>(x - left), static_cast<std::int32_t>(y - top),
                        static_cast<std::int32_t>(attributes.width + left + right),
                        static_cast<std::int32_t>(attributes.height + top + bottom)};
    }
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace

std::optional<unsigned long> pickClientWindow(const std::vector<ClientWindow>& clients, platform::Pid pid,
                                              const std::string& title, const std::optional<Extents>& frame) {
  std::vector<const ClientWindow*> mine;
  for (const auto& c : clients)
    if (c.pid == pid) mine.push_back(&c);
  if (mine.empty()) return std::nullopt;
  auto unique = [&](auto&& matches) -> std::optional<unsigned long> {
    const ClientWindow* found = nullptr;
    for (const auto* c : mine) {
      if (!matches(*c)) continue;
      if (found) return std::nullopt;
      found = c;
    }
    if (!found) return std::nullopt;
    return found->id;
  };
  auto titleMatches = [&](const ClientWindow& c) { return !title.empty() && c.title == title; };
  auto frameMatches = [&](const ClientWindow& c) { return frame && sameFrame(c.frame, *frame); };
  for (const auto* c : mine)
    if (titleMatches(*c) && frameMatches(*c)) return c->id;
  if (auto id = unique(titleMatches)) return id;
  if (auto id = unique(frameMatches)) return id;
  if (mine.size() == 1) return mine.front()->id;
  return std::nullopt;
}

bool raiseWindow(Display* d, platform::Pid pid, const std::string& title, const std::optional<Extents>& frame) {
  if (!d) return false;
  XErrorTrap trap(d);
  auto id = pickClientWindow(clientWindows(d), pid, title, frame);
  if (!id) return false;
  // Errors from windows that vanished while listing do not concern this one.
  trap.sync();
  trap.clear();
  XEvent event;
  std::memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.window = *id;
  event.xclient.message_type = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = 2;  // a pager-like request: honoured without focus-stealing checks
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XRaiseWindow(d, *id);
  return trap.sync() == 0;
}

}  // namespace larkspire::linux_backend::atspi
