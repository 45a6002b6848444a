#include "platform/linux/x11/windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <array>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "common/text.h"
#include "platform/linux/handles.h"
#include "platform/linux/x11/error_trap.h"

namespace larkspire::linux_backend {

int windowLayer(const std::vector<std::string>& types, const std::vector<std::string>& states, bool overrideRedirect) {
  static const std::unordered_map<std::string, int> byType = {
      {"_NET_WM_WINDOW_TYPE_NORMAL", 0},
      {"_NET_WM_WINDOW_TYPE_DIALOG", 0},
      {"_NET_WM_WINDOW_TYPE_UTILITY", 3},
      {"_NET_WM_WINDOW_TYPE_TOOLBAR", 3},
      {"_NET_WM_WINDOW_TYPE_MENU", 3},
      {"_NET_WM_WINDOW_TYPE_SPLASH", 8},
      {"_NET_WM_WINDOW_TYPE_DOCK", 20},
      {"_NET_WM_WINDOW_TYPE_NOTIFICATION", 25},
      {"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", 101},
      {"_NET_WM_WINDOW_TYPE_POPUP_MENU", 101},
      {"_NET_WM_WINDOW_TYPE_COMBO", 101},
      {"_NET_WM_WINDOW_TYPE_TOOLTIP", 200},
      {"_NET_WM_WINDOW_TYPE_DND", 500},
      {"_NET_WM_WINDOW_TYPE_DESKTOP", kDesktopLayer},
  };
  int layer = 0;
  for (const auto& type : types) {
    if (auto it = byType.find(type); it != byType.end()) {
      layer = it->second;
      break;
    }
  }
  if (layer == 0) {
    const bool above = std::find(states.begin(), states.end(), "_NET_WM_STATE_ABOVE") != states.end();
    const bool below = std::find(states.begin(), states.end(), "_NET_WM_STATE_BELOW") != states.end();
    if (above) {
      layer = 3;
    } else if (below) {
      layer = -1;
    }
  }
  if (overrideRedirect && layer <= 0 && layer != kDesktopLayer) layer = 101;
  return layer;
}

platform::Rect frameFromClient(int clientX, int clientY, int width, int height,
                               const std::optional<FrameExtents>& extents) {
  FrameExtents e = extents.value_or(FrameExtents{});
  return platform::Rect{
      {static_cast<double>(clientX) - e.left, static_cast<double>(clientY) - e.top},
      {static_cast<double>(width) + e.left + e.right, static_cast<double>(height) + e.top + e.bottom}};
}

std::optional<platform::Rect> contentWithinFrame(int clientX, int clientY, int width, int height,
                                                 const std::optional<FrameExtents>& extents) {
  if (!extents || (extents->left == 0 && extents->right == 0 && extents->top == 0 && extents->bottom == 0)) {
    return std::nullopt;
  }
  return platform::Rect{{static_cast<double>(clientX), static_cast<double>(clientY)},
                        {static_cast<double>(width), static_cast<double>(height)}};
}

std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xc0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    }
  }
  return out;
}

namespace {

enum AtomIndex {
  kNetClientListStacking,
  kNetClientList,
  kNetWmPid,
  kNetWmWindowType,
  kNetWmState,
  kNetFrameExtents,
  kNetWmName,
  kUtf8String,
  kWmState,
  kAtomCount
};

struct Atoms {
  std::array<Atom, kAtomCount> atom{};
  Atom operator[](AtomIndex i) const { return atom[i]; }
};

Atoms internAtoms(Display* display) {
  static const char* names[kAtomCount] = {"_NET_CLIENT_LIST_STACKING",
                                          "_NET_CLIENT_LIST",
                                          "_NET_WM_PID",
                                          "_NET_WM_WINDOW_TYPE",
                                          "_NET_WM_STATE",
                                          "_NET_FRAME_EXTENTS",
                                          "_NET_WM_NAME",
                                          "UTF8_STRING",
                                          "WM_STATE"};
  Atoms atoms;
  XInternAtoms(display, const_cast<char**>(names), kAtomCount, False, atoms.atom.data());
  return atoms;
}

// A window's parent and its children, bottom to top; none when the window
// is gone.
struct Tree {
  Window parent = None;
  std::vector<Window> children;
};

std::optional<Tree> queryTree(Display* display, Window window) {
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  const bool answered = XQueryTree(display, window, &root, &parent, &children, &count) != 0;
  XData<Window> owned(children);
  if (!answered) return std::nullopt;
  Tree tree{parent, {}};
  if (owned) tree.children.assign(owned.get(), owned.get() + count);
  return tree;
}

// One property read; `items` counts elements of `format` bits (32-bit items
// arrive as longs, as Xlib delivers them).
struct Property {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  XData<unsigned char> data;
};

bool readProperty(Display* display, Window window, Atom name, Atom type, Property& out, long maxLength = 1 << 16) {
  unsigned long after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, name, 0, maxLength, False, type, &out.type, &out.format, &out.items, &after,
                         &data) != Success) {
    return false;
  }
  out.data.reset(data);
  return out.data != nullptr && out.type != None;
}

std::vector<long> readCardinals(Display* display, Window window, Atom name, Atom type) {
  Property p;
  if (!readProperty(display, window, name, type, p) || p.format != 32) return {};
  const long* values = reinterpret_cast<const long*>(p.data.get());
  return std::vector<long>(values, values + p.items);
}

std::vector<std::string> readAtomNames(Display* display, Window window, Atom name) {
  std::vector<long> atoms = readCardinals(display, window, name, XA_ATOM);
  std::vector<std::string> names;
  for (long a : atoms) {
    if (XData<char> text{XGetAtomName(display, static_cast<Atom>(a))}) names.emplace_back(text.get());
  }
  return names;
}

std::optional<std::string> readTitle(Display* display, Window window, const Atoms& atoms) {
  {
    Property p;
    if (readProperty(display, window, atoms[kNetWmName], atoms[kUtf8String], p) && p.format == 8) {
      return text::sanitizeUtf8(std::string_view(reinterpret_cast<const char*>(p.data.get()), p.items));
    }
  }
  Property p;
  if (!readProperty(display, window, XA_WM_NAME, AnyPropertyType, p) || p.format != 8) return std::nullopt;
  std::string_view bytes(reinterpret_cast<const char*>(p.data.get()), p.items);
  if (p.type == XA_STRING) return latin1ToUtf8(bytes);
  if (p.type == atoms[kUtf8String]) return text::sanitizeUtf8(bytes);
  // COMPOUND_TEXT and other encodings: let Xlib convert what it can.
  XTextProperty property{p.data.get(), p.type, p.format, p.items};
  char** list = nullptr;
  int count = 0;
  std::string result;
  if (Xutf8TextPropertyToTextList(display, &property, &list, &count) >= Success && list) {
    for (int i = 0; i < count; ++i) result += list[i];
    XFreeStringList(list);
    return text::sanitizeUtf8(result);
  }
  return text::sanitizeUtf8(bytes);
}

// The root's child that holds `window`: the window manager's frame for a
// managed client, the window itself for a top-level that is not reparented.
Window topLevelOf(Display* display, Window window, Window root) {
  Window current = window;
  for (int depth = 0; depth < 64; ++depth) {
    auto tree = queryTree(display, current);
    if (!tree) return None;
    if (tree->parent == root || tree->parent == None) return current;
    current = tree->parent;
  }
  return None;
}

std::optional<X11Window> describe(Display* display, Window window, const Atoms& atoms, Window root) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes)) return std::nullopt;
  if (attributes.c_class == InputOnly) return std::nullopt;
  int x = 0;
  int y = 0;
  Window child = 0;
  if (!XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child)) return std::nullopt;

  X11Window w;
  w.client = window;
  w.topLevel = topLevelOf(display, window, root);
  if (w.topLevel == None) return std::nullopt;
  w.managed = !attributes.override_redirect;
  w.viewable = attributes.map_state == IsViewable;

  std::optional<FrameExtents> extents;
  if (auto e = readCardinals(display, window, atoms[kNetFrameExtents], XA_CARDINAL); e.size() >= 4) {
    extents = FrameExtents{e[0], e[1], e[2], e[3]};
  }
  w.frame = frameFromClient(x, y, attributes.width, attributes.height, extents);
  w.content = contentWithinFrame(x, y, attributes.width, attributes.height, extents);

  if (auto pid = readCardinals(display, window, atoms[kNetWmPid], XA_CARDINAL);
      !pid.empty() && pid[0] > 0 && pid[0] <= std::numeric_limits<platform::Pid>::max()) {
    w.pid = static_cast<platform::Pid>(pid[0]);
  }
  w.layer = windowLayer(readAtomNames(display, window, atoms[kNetWmWindowType]),
                        readAtomNames(display, window, atoms[kNetWmState]), attributes.override_redirect);
  w.title = readTitle(display, window, atoms);
  return w;
}

bool hasProperty(Display* display, Window window, Atom name) {
  Property p;
  return readProperty(display, window, name, AnyPropertyType, p, 1);
}

}  // namespace

std::optional<X11Window> describeWindow(Display* display, unsigned long window) {
  if (!display || window == 0) return std::nullopt;
  XErrorTrap trap(display);
  Atoms atoms = internAtoms(display);
  auto w = describe(display, window, atoms, DefaultRootWindow(display));
  if (trap.sync() != 0) return std::nullopt;
  return w;
}

std::vector<X11Window> listTopLevelWindows(Display* display) {
  std::vector<X11Window> windows;
  if (!display) return windows;
  XErrorTrap trap(display);
  const Atoms atoms = internAtoms(display);
  const Window root = DefaultRootWindow(display);

  // Stacking order of the root's children, bottom first.
  std::vector<Window> stacking;
  if (auto tree = queryTree(display, root)) stacking = std::move(tree->children);

  std::vector<long> clients = readCardinals(display, root, atoms[kNetClientListStacking], XA_WINDOW);
  if (clients.empty()) clients = readCardinals(display, root, atoms[kNetClientList], XA_WINDOW);
  const bool windowManager = !clients.empty();
  std::unordered_set<Window> seen;

  auto add = [&](Window window) {
    if (!seen.insert(window).second) return;
    trap.clear();
    auto w = describe(display, window, atoms, root);
    // A window that vanished while it was being read is simply not listed.
    if (w && trap.error() == 0) windows.push_back(std::move(*w));
  };

  for (long client : clients) add(static_cast<Window>(client));
  for (Window child : stacking) {
    if (seen.count(child)) continue;
    XWindowAttributes attributes;
    trap.clear();
    if (!XGetWindowAttributes(display, child, &attributes) || attributes.c_class == InputOnly) continue;
    if (attributes.override_redirect) {
      // Hidden pop-ups that toolkits keep around are not windows anyone sees.
      if (attributes.map_state == IsViewable) add(child);
    } else if (!windowManager && (attributes.map_state == IsViewable || hasProperty(display, child, atoms[kWmState]))) {
      add(child);
    }
  }
  trap.sync();

  // Frontmost first, by the stacking position of each window's top-level.
  std::unordered_map<Window, std::size_t> position;
  for (std::size_t i = 0; i < stacking.size(); ++i) position[stacking[i]] = i;
  auto rank = [&](const X11Window& w) -> long long {
    auto it = position.find(w.topLevel);
    return it == position.end() ? -1 : static_cast<long long>(it->second);
  };
  std::stable_sort(windows.begin(), windows.end(),
                   [&](const X11Window& a, const X11Window& b) { return rank(a) > rank(b); });
  return windows;
}

namespace {

// The application window inside a root child: the child itself when it has
// WM_STATE (a client the window manager did not reparent), else the
// descendant that has it (inside a frame), else the child (an
// override-redirect pop-up, a panel).
Window clientIn(Display* display, Window topLevel, Atom wmState) {
  std::vector<Window> level{topLevel};
  for (int depth = 0; depth < 4 && !level.empty(); ++depth) {
    std::vector<Window> next;
    for (Window window : level) {
      if (hasProperty(display, window, wmState)) return window;
      if (auto tree = queryTree(display, window)) next.insert(next.end(), tree->children.begin(), tree->children.end());
    }
    level = std::move(next);
  }
  return topLevel;
}

// Whether the window takes pointer input at a point relative to its origin:
// a window may give itself an input shape smaller than its rectangle.
bool takesInputAt(Display* display, Window window, int x, int y) {
  int eventBase = 0, errorBase = 0;
  if (!XShapeQueryExtension(display, &eventBase, &errorBase)) return true;
  int count = 0, ordering = 0;
  XData<XRectangle> rectangles(XShapeGetRectangles(display, window, ShapeInput, &count, &ordering));
  if (!rectangles) return count != 0;
  bool inside = false;
  for (int i = 0; i < count && !inside; ++i) {
    const XRectangle& r = rectangles.get()[i];
    inside = x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
  }
  return inside;
}

}  // namespace

std::optional<unsigned long> windowAtPoint(Display* display, int x, int y) {
  if (!display) return std::nullopt;
  XErrorTrap trap(display);
  const Window root = DefaultRootWindow(display);
  XWindowAttributes screen;
  if (!XGetWindowAttributes(display, root, &screen)) return std::nullopt;
  if (x < 0 || y < 0 || x >= screen.width || y >= screen.height) return std::nullopt;

  auto tree = queryTree(display, root);
  if (!tree || tree->children.empty()) return std::nullopt;
  const std::vector<Window>& stacking = tree->children;

  // Topmost first; InputOnly windows take clicks too.
  for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) {
    trap.clear();
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, *it, &attributes) || attributes.map_state != IsViewable) continue;
    const int right = attributes.x + attributes.width + 2 * attributes.border_width;
    const int bottom = attributes.y + attributes.height + 2 * attributes.border_width;
    if (x < attributes.x || x >= right || y < attributes.y || y >= bottom) continue;
    if (!takesInputAt(display, *it, x - attributes.x - attributes.border_width,
                      y - attributes.y - attributes.border_width)) {
      continue;
    }
    Window client = clientIn(display, *it, internAtoms(display)[kWmState]);
    if (trap.sync() != 0) continue;  // it went away meanwhile
    return client;
  }
  return std::nullopt;
}

}  // namespace larkspire::linux_backend
