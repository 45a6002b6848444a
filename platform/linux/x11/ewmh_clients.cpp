#include "platform/linux/x11/ewmh_clients.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstring>

#include "platform/linux/handles.h"

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

std::vector<std::string> atomNames(Display* display, const std::vector<unsigned long>& atoms) {
  std::vector<std::string> names;
  if (atoms.empty()) return names;
  std::vector<Atom> list(atoms.begin(), atoms.end());
  std::vector<char*> raw(list.size(), nullptr);
  if (XGetAtomNames(display, list.data(), static_cast<int>(list.size()), raw.data())) {
    for (char* name : raw) {
      XData<char> owned(name);
      names.emplace_back(name ? name : "");
    }
  }
  return names;
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
  std::vector<ClientWindow> clients;
  for (XWindow window : clientWindowNumbers(display)) {
    ClientWindow client;
    client.window = window;
    client.pid = windowPid(display, window);
    if (auto id = readProperty(display, window, "_GTK_APPLICATION_ID", AnyPropertyType); id && id->format == 8) {
      auto text = id->text();
      if (!text.empty()) client.applicationId = text;
    }
    if (auto wmClass = readProperty(display, window, "WM_CLASS", XA_STRING)) {
      client.wmClass = splitNulTerminated(wmClass->text());
    }
    std::vector<std::string> types, states;
    if (auto type = readProperty(display, window, "_NET_WM_WINDOW_TYPE", XA_ATOM))
      types = atomNames(display, type->longs());
    if (auto state = readProperty(display, window, "_NET_WM_STATE", XA_ATOM))
      states = atomNames(display, state->longs());
    client.ordinary = isOrdinaryWindow(types, states);
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
