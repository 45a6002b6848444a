#include "platform/linux/x11/windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "common/text.h"
#include "platform/linux/handles.h"
#include "platform/linux/x11/error_trap.h"
#include "platform/linux/x11/xcb_replies.h"

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

std::optional<std::string> titleFrom(Display* display, const PropertyReply& netWmName, const PropertyReply& wmName,
                                     const Atoms& atoms) {
  if (netWmName.exists() && netWmName.format() == 8) return text::sanitizeUtf8(netWmName.bytes());
  if (!wmName.exists() || wmName.format() != 8) return std::nullopt;
  const std::string_view bytes = wmName.bytes();
  const Atom type = wmName.reply->type;
  if (type == XA_STRING) return latin1ToUtf8(bytes);
  if (type == atoms[kUtf8String]) return text::sanitizeUtf8(bytes);
  // COMPOUND_TEXT and other encodings: let Xlib convert what it can.
  std::vector<unsigned char> value(bytes.begin(), bytes.end());
  value.push_back(0);
  XTextProperty property{value.data(), type, 8, bytes.size()};
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

// The properties read of every window described.
enum DescribedProperty { kFrameExtents, kPid, kWindowType, kWindowState, kNetName, kName, kDescribedCount };

// What the first batch asks of one window.
struct Asked {
  xcb_get_window_attributes_cookie_t attributes;
  xcb_get_geometry_cookie_t geometry;
  xcb_translate_coordinates_cookie_t position;
  xcb_query_tree_cookie_t tree;
  std::array<xcb_get_property_cookie_t, kDescribedCount> properties;
};

Asked ask(xcb_connection_t* c, Window window, const Atoms& atoms, Window root) {
  const auto w = static_cast<xcb_window_t>(window);
  auto property = [&](Atom name, Atom type) {
    return xcb_get_property(c, 0, w, static_cast<xcb_atom_t>(name), static_cast<xcb_atom_t>(type), 0, 1 << 16);
  };
  Asked asked;
  asked.attributes = xcb_get_window_attributes(c, w);
  asked.geometry = xcb_get_geometry(c, w);
  asked.position = xcb_translate_coordinates(c, w, static_cast<xcb_window_t>(root), 0, 0);
  asked.tree = xcb_query_tree(c, w);
  asked.properties[kFrameExtents] = property(atoms[kNetFrameExtents], XA_CARDINAL);
  asked.properties[kPid] = property(atoms[kNetWmPid], XA_CARDINAL);
  asked.properties[kWindowType] = property(atoms[kNetWmWindowType], XA_ATOM);
  asked.properties[kWindowState] = property(atoms[kNetWmState], XA_ATOM);
  asked.properties[kNetName] = property(atoms[kNetWmName], atoms[kUtf8String]);
  asked.properties[kName] = property(XA_WM_NAME, AnyPropertyType);
  return asked;
}

// The windows as listTopLevelWindows describes them, in the same order;
// none for a window that is gone or draws nothing (InputOnly). They are
// read together: one batch of requests for all, then one per level of
// reparenting between a window and its top-level, then one for the names
// of the atoms in their types and states.
std::vector<std::optional<X11Window>> describeAll(Display* display, const std::vector<Window>& windows,
                                                  const Atoms& atoms, Window root) {
  DisplayLock lock(display);
  xcb_connection_t* c = XGetXCBConnection(display);
  std::vector<Asked> asked;
  asked.reserve(windows.size());
  for (Window window : windows) asked.push_back(ask(c, window, atoms, root));

  struct Read {
    std::optional<X11Window> window;
    std::vector<unsigned long> types, states;
    bool overrideRedirect = false;
    Window above = None;  // the parent still to look at on the way up to the top-level
  };
  std::vector<Read> read(windows.size());
  auto parentBelowRoot = [root](const xcb_query_tree_reply_t& tree) {
    return tree.parent == root || tree.parent == XCB_NONE ? None : static_cast<Window>(tree.parent);
  };
  for (std::size_t i = 0; i < windows.size(); ++i) {
    const Asked& a = asked[i];
    auto attributes = xcbReply(c, xcb_get_window_attributes_reply, a.attributes);
    auto geometry = xcbReply(c, xcb_get_geometry_reply, a.geometry);
    auto position = xcbReply(c, xcb_translate_coordinates_reply, a.position);
    auto tree = xcbReply(c, xcb_query_tree_reply, a.tree);
    std::array<PropertyReply, kDescribedCount> p;
    for (int k = 0; k < kDescribedCount; ++k) p[k].reply = xcbReply(c, xcb_get_property_reply, a.properties[k]);
    if (!attributes || !geometry || !position || !position->same_screen || !tree) continue;
    if (attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) continue;

    X11Window w;
    w.client = windows[i];
    w.topLevel = windows[i];
    w.managed = !attributes->override_redirect;
    w.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    std::optional<FrameExtents> extents;
    if (auto e = p[kFrameExtents].cardinals(); e.size() >= 4) {
      extents = FrameExtents{static_cast<long>(e[0]), static_cast<long>(e[1]), static_cast<long>(e[2]),
                             static_cast<long>(e[3])};
    }
    w.frame = frameFromClient(position->dst_x, position->dst_y, geometry->width, geometry->height, extents);
    w.content = contentWithinFrame(position->dst_x, position->dst_y, geometry->width, geometry->height, extents);
    if (auto pid = p[kPid].cardinals();
        !pid.empty() && pid[0] > 0 && pid[0] <= std::numeric_limits<platform::Pid>::max()) {
      w.pid = static_cast<platform::Pid>(pid[0]);
    }
    w.title = titleFrom(display, p[kNetName], p[kName], atoms);
    read[i].window = std::move(w);
    read[i].types = p[kWindowType].cardinals();
    read[i].states = p[kWindowState].cardinals();
    read[i].overrideRedirect = attributes->override_redirect != 0;
    read[i].above = parentBelowRoot(*tree);
  }

  // The root's child that holds each window: the window manager's frame
  // for a managed client, the window itself for one not reparented.
  for (int depth = 0; depth < 64; ++depth) {
    std::vector<std::pair<std::size_t, xcb_query_tree_cookie_t>> climbing;
    for (std::size_t i = 0; i < read.size(); ++i) {
      if (read[i].window && read[i].above != None) {
        climbing.emplace_back(i, xcb_query_tree(c, static_cast<xcb_window_t>(read[i].above)));
      }
    }
    if (climbing.empty()) break;
    for (auto& [i, cookie] : climbing) {
      auto tree = xcbReply(c, xcb_query_tree_reply, cookie);
      if (!tree) {
        read[i].window.reset();
        continue;
      }
      read[i].window->topLevel = read[i].above;
      read[i].above = parentBelowRoot(*tree);
    }
  }

  std::vector<unsigned long> named;
  for (const Read& r : read) {
    named.insert(named.end(), r.types.begin(), r.types.end());
    named.insert(named.end(), r.states.begin(), r.states.end());
  }
  const auto names = atomNames(c, named);
  auto namesOf = [&](const std::vector<unsigned long>& list) {
    std::vector<std::string> out;
    for (unsigned long atom : list) {
      if (auto it = names.find(atom); it != names.end()) out.push_back(it->second);
    }
    return out;
  };
  std::vector<std::optional<X11Window>> described;
  described.reserve(read.size());
  for (Read& r : read) {
    // Nested deeper than any window manager goes: no top-level found.
    if (r.window && r.above != None) r.window.reset();
    if (r.window) r.window->layer = windowLayer(namesOf(r.types), namesOf(r.states), r.overrideRedirect);
    described.push_back(std::move(r.window));
  }
  return described;
}

bool hasProperty(Display* display, Window window, Atom name) {
  Property p;
  return readProperty(display, window, name, AnyPropertyType, p, 1);
}

}  // namespace

std::optional<X11Window> describeWindow(Display* display, unsigned long window) {
  if (!display || window == 0) return std::nullopt;
  return describeAll(display, {window}, internAtoms(display), DefaultRootWindow(display)).front();
}

std::vector<X11Window> listTopLevelWindows(Display* display) {
  std::vector<X11Window> windows;
  if (!display) return windows;
  DisplayLock lock(display);
  XErrorTrap trap(display);
  const Atoms atoms = internAtoms(display);
  const Window root = DefaultRootWindow(display);
  xcb_connection_t* c = XGetXCBConnection(display);

  // Stacking order of the root's children, bottom first.
  std::vector<Window> stacking;
  if (auto tree = queryTree(display, root)) stacking = std::move(tree->children);

  std::vector<long> clients = readCardinals(display, root, atoms[kNetClientListStacking], XA_WINDOW);
  if (clients.empty()) clients = readCardinals(display, root, atoms[kNetClientList], XA_WINDOW);
  const bool windowManager = !clients.empty();
  std::vector<Window> listed;
  std::unordered_set<Window> seen;
  for (long client : clients) {
    if (seen.insert(static_cast<Window>(client)).second) listed.push_back(static_cast<Window>(client));
  }

  // The root's other children count when they are override-redirect pop-ups
  // on screen, and, without a window manager, clients of their own.
  struct Child {
    Window window;
    xcb_get_window_attributes_cookie_t attributes;
    std::optional<xcb_get_property_cookie_t> wmState;
  };
  std::vector<Child> children;
  for (Window child : stacking) {
    if (seen.count(child)) continue;
    const auto w = static_cast<xcb_window_t>(child);
    Child asked{child, xcb_get_window_attributes(c, w), std::nullopt};
    if (!windowManager) {
      asked.wmState =
          xcb_get_property(c, 0, w, static_cast<xcb_atom_t>(atoms[kWmState]), XCB_GET_PROPERTY_TYPE_ANY, 0, 1);
    }
    children.push_back(asked);
  }
  auto described = describeAll(display, listed, atoms, root);
  std::vector<Window> others;
  for (const Child& child : children) {
    auto attributes = xcbReply(c, xcb_get_window_attributes_reply, child.attributes);
    PropertyReply wmState;
    if (child.wmState) wmState.reply = xcbReply(c, xcb_get_property_reply, *child.wmState);
    if (!attributes || attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) continue;
    const bool viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    // Hidden pop-ups that toolkits keep around are not windows anyone sees.
    if (attributes->override_redirect ? viewable : !windowManager && (viewable || wmState.exists())) {
      others.push_back(child.window);
    }
  }
  auto more = describeAll(display, others, atoms, root);
  described.insert(described.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  // A window that vanished while it was being read is simply not listed.
  for (auto& w : described) {
    if (w) windows.push_back(std::move(*w));
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
