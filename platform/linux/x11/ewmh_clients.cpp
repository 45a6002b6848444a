#include "platform/linux/x11/ewmh_clients.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/linux/handles.h"
#include "platform/linux/x11/xcb_replies.h"

namespace larkspire::linux_backend::ewmh {
namespace {

// The raw bytes of a property, or none when the window or property is gone
// or has another type.
struct Property {
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  std::vector<unsigned char> bytes;  // format 32 items are longs, as Xlib gives them

  std::vector<unsigned long> longs() const {
    std::vector<unsigned long> values(count);
    if (format == 32 && count) std::memcpy(values.data(), bytes.data(), count * sizeof(long));
    return values;
  }
  std::string text() const { return std::string(bytes.begin(), bytes.end()); }
};

std::optional<Property> readProperty(Display* display, XWindow window, const char* name, Atom wantedType) {
  Atom atom = XInternAtom(display, name, True);
  if (atom == None) return std::nullopt;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  // 64 Ki items: more than any list or name here holds.
  const bool read = XGetWindowProperty(display, window, atom, 0, 65536, False, wantedType, &type, &format, &count,
                                       &after, &data) == Success;
  XData<unsigned char> owned(data);
  if (!read || type == None) return std::nullopt;
  Property property;
  property.type = type;
  property.format = format;
  property.count = count;
  std::size_t itemSize = format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
  if (owned && count) property.bytes.assign(owned.get(), owned.get() + count * itemSize);
  if (wantedType != AnyPropertyType && type != wantedType) return std::nullopt;
  return property;
}

std::vector<XWindow> windowList(Display* display, const char* name) {
  auto property = readProperty(display, DefaultRootWindow(display), name, XA_WINDOW);
  if (!property) return {};
  auto values = property->longs();
  return {values.begin(), values.end()};
}

// WM_CLASS holds two NUL-terminated strings: instance and class.
std::vector<std::string> splitNulTerminated(const std::string& bytes) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start < bytes.size()) {
    auto end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    if (end > start) parts.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

bool isOrdinaryWindow(const std::vector<std::string>& types, const std::vector<std::string>& states) {
  if (std::find(states.begin(), states.end(), "_NET_WM_STATE_SKIP_TASKBAR") != states.end()) return false;
  if (types.empty()) return true;
  // The first type in the list is the one the client prefers.
  const auto& type = types.front();
  return type == "_NET_WM_WINDOW_TYPE_NORMAL" || type == "_NET_WM_WINDOW_TYPE_DIALOG";
}

std::vector<XWindow> clientWindowNumbers(Display* display) {
  if (!display) return {};
  return windowList(display, "_NET_CLIENT_LIST");
}

std::vector<XWindow> stackingOrder(Display* display) {
  if (!display) return {};
  return windowList(display, "_NET_CLIENT_LIST_STACKING");
}

std::vector<ClientWindow> clientWindows(Display* display) {
  const std::vector<XWindow> windows = clientWindowNumbers(display);
  if (windows.empty()) return {};
  // Every property of every client is asked for at once (Xlib would wait
  // for each reply in turn), then the names of the atoms they hold.
  enum Read { kPid, kApplicationId, kClass, kType, kState, kReadCount };
  static const char* names[kReadCount] = {"_NET_WM_PID", "_GTK_APPLICATION_ID", "WM_CLASS", "_NET_WM_WINDOW_TYPE",
                                          "_NET_WM_STATE"};
  const Atom types[kReadCount] = {XA_CARDINAL, AnyPropertyType, XA_STRING, XA_ATOM, XA_ATOM};
  DisplayLock lock(display);
  std::array<Atom, kReadCount> atoms{};
  XInternAtoms(display, const_cast<char**>(names), kReadCount, True, atoms.data());
  xcb_connection_t* c = XGetXCBConnection(display);
  using Asked = std::array<std::optional<xcb_get_property_cookie_t>, kReadCount>;
  std::vector<Asked> asked;
  for (XWindow window : windows) {
    Asked properties;
    for (int k = 0; k < kReadCount; ++k) {
      // A name the server never interned is a property no window has.
      if (atoms[k] == None) continue;
      properties[k] = xcb_get_property(c, 0, static_cast<xcb_window_t>(window), static_cast<xcb_atom_t>(atoms[k]),
                                       static_cast<xcb_atom_t>(types[k]), 0, 65536);
    }
    asked.push_back(properties);
  }
  std::vector<std::array<PropertyReply, kReadCount>> answered(windows.size());
  std::vector<unsigned long> held;
  for (std::size_t i = 0; i < windows.size(); ++i) {
    for (int k = 0; k < kReadCount; ++k) {
      if (asked[i][k]) answered[i][k].reply = xcbReply(c, xcb_get_property_reply, *asked[i][k]);
    }
    for (int k : {kType, kState}) {
      auto list = answered[i][k].cardinals();
      held.insert(held.end(), list.begin(), list.end());
    }
  }
  const auto atomName = atomNames(c, held);
  auto namesOf = [&](const std::vector<unsigned long>& list) {
    std::vector<std::string> out;
    for (unsigned long atom : list) {
      auto it = atomName.find(atom);
      out.push_back(it == atomName.end() ? std::string() : it->second);
    }
    return out;
  };

  std::vector<ClientWindow> clients;
  for (std::size_t i = 0; i < windows.size(); ++i) {
    const auto& a = answered[i];
    ClientWindow client;
    client.window = windows[i];
    if (auto pid = a[kPid].cardinals(); !pid.empty() && pid.front() != 0 && pid.front() <= 0x7fffffffUL) {
      client.pid = static_cast<platform::Pid>(pid.front());
    }
    if (auto id = a[kApplicationId].bytes(); !id.empty()) client.applicationId = std::string(id);
    client.wmClass = splitNulTerminated(std::string(a[kClass].bytes()));
    client.ordinary = isOrdinaryWindow(namesOf(a[kType].cardinals()), namesOf(a[kState].cardinals()));
    clients.push_back(std::move(client));
  }
  return clients;
}

std::optional<XWindow> activeWindow(Display* display) {
  if (!display) return std::nullopt;
  auto windows = windowList(display, "_NET_ACTIVE_WINDOW");
  if (windows.empty() || windows.front() == None) return std::nullopt;
  return windows.front();
}

std::optional<platform::Pid> windowPid(Display* display, XWindow window) {
  if (!display) return std::nullopt;
  auto property = readProperty(display, window, "_NET_WM_PID", XA_CARDINAL);
  if (!property || property->count == 0) return std::nullopt;
  auto pid = property->longs().front();
  if (pid == 0 || pid > 0x7fffffffUL) return std::nullopt;
  return static_cast<platform::Pid>(pid);
}

namespace {

std::optional<unsigned long> cardinal(Display* display, XWindow window, const char* name) {
  auto property = readProperty(display, window, name, XA_CARDINAL);
  if (!property || property->count == 0) return std::nullopt;
  return property->longs().front() & 0xffffffffUL;
}

}  // namespace

std::optional<unsigned long> desktopToShow(std::optional<unsigned long> windowDesktop,
                                           std::optional<unsigned long> currentDesktop) {
  // 0xFFFFFFFF: the window is on every desktop.
  if (!windowDesktop || *windowDesktop == 0xffffffffUL || windowDesktop == currentDesktop) return std::nullopt;
  return windowDesktop;
}

bool activateWindow(Display* display, XWindow window) {
  if (!display || window == None) return false;
  Window root = DefaultRootWindow(display);
  // A window on another desktop is reached by going there first, as a
  // pager does: not every window manager switches for _NET_ACTIVE_WINDOW.
  if (auto desktop = desktopToShow(cardinal(display, window, "_NET_WM_DESKTOP"),
                                   cardinal(display, root, "_NET_CURRENT_DESKTOP"))) {
    XEvent change{};
    change.xclient.type = ClientMessage;
    change.xclient.window = root;
    change.xclient.message_type = XInternAtom(display, "_NET_CURRENT_DESKTOP", False);
    change.xclient.format = 32;
    change.xclient.data.l[0] = static_cast<long>(*desktop);
    change.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &change);
  }
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = 2;  // source indication: a pager, acting for the user
  event.xclient.data.l[1] = CurrentTime;
  event.xclient.data.l[2] = static_cast<long>(activeWindow(display).value_or(None));
  Status sent = XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XRaiseWindow(display, window);
  XFlush(display);
  return sent != 0;
}

}  // namespace larkspire::linux_backend::ewmh
