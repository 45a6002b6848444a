// The global monitors on a real X server, through XInput2 raw events.
//
// The monitors keep an X connection of their own: their dispatcher takes
// every event that arrives on it, which would steal events from (or be
// starved by) the other services sharing the context's connection, and it
// keeps the run loop's thread the only user of that connection.
//
// Raw events report what devices do, whichever application gets it, and
// the observer posts no events of its own, so everything seen here comes
// from the user (or a script acting as one).
#include "platform/linux/x11/monitors.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>

#include "platform/linux/handles.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/linux_run_loop.h"
#include "platform/linux/x11/error_trap.h"
#include "platform/linux/x11/monitor_rules.h"

namespace larkspire::linux_backend {
namespace {

using platform::MonitorEvent;
using platform::MonitorKind;

struct Entry {
  MonitorKind kind;
  std::function<void(const MonitorEvent&)> handler;
  bool active = true;
};

class XInputMonitors;

class Handle final : public platform::MonitorHandle {
 public:
  explicit Handle(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
  ~Handle() override { entry_->active = false; }

 private:
  std::shared_ptr<Entry> entry_;
};

class XInputMonitors final : public platform::Monitors {
 public:
  XInputMonitors(std::function<std::string()> displayName, LinuxRunLoop& loop)
      : displayName_(std::move(displayName)), loop_(loop) {}

  ~XInputMonitors() override {
    watch_.reset();
    if (display_ && !lost_) XCloseDisplay(display_);  // a lost one would be written to
  }

  std::unique_ptr<platform::MonitorHandle> addGlobalMonitor(MonitorKind kind,
                                                            std::function<void(const MonitorEvent&)> handler) override {
    if (!install()) return nullptr;
    auto entry = std::make_shared<Entry>(Entry{kind, std::move(handler)});
    std::erase_if(entries_, [](const auto& e) { return !e->active; });
    entries_.push_back(entry);
    return std::make_unique<Handle>(std::move(entry));
  }

  platform::Point mouseLocation() override {
    auto state = queryPointer();
    return state ? state->location : platform::Point{};
  }

  std::uint64_t pressedMouseButtons() override {
    auto state = queryPointer();
    return state ? pressedButtonsForMask(state->mask) : 0;
  }

 private:
  struct PointerState {
    platform::Point location;
    unsigned mask = 0;
  };

  Display* display() {
    if (!display_ && !openFailed_) {
      std::string name = displayName_();
      bool stuck = false;
      display_ = name.empty() ? nullptr : openDisplayWithin(name, kOpenTimeout, stuck);
      openFailed_ = !display_;
      // Xlib's default ends the process when the server goes away; the
      // program is told through its session instead.
      if (display_) XSetIOErrorExitHandler(display_, &XInputMonitors::connectionLost, this);
    }
    return lost_ ? nullptr : display_;
  }

  static void connectionLost(Display*, void* self) { static_cast<XInputMonitors*>(self)->lost_ = true; }
  static constexpr std::chrono::milliseconds kOpenTimeout{1500};

  std::optional<PointerState> queryPointer() {
    Display* d = display();
    if (!d) return std::nullopt;
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned mask = 0;
    if (!XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rootX, &rootY, &winX, &winY, &mask)) {
      return std::nullopt;
    }
    return PointerState{{double(rootX), double(rootY)}, mask};
  }

  bool install() {
    if (watch_) return true;
    if (installFailed_) return false;
    Display* d = display();
    int event = 0, error = 0;
    int major = 2, minor = 2;  // 2.1 and later send raw events to root listeners even during grabs
    if (!d || !XQueryExtension(d, "XInputExtension", &opcode_, &event, &error) ||
        XIQueryVersion(d, &major, &minor) != Success || major < 2 || (major == 2 && minor < 1)) {
      installFailed_ = true;
      return false;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
    XISetMask(bits, XI_RawButtonPress);
    XISetMask(bits, XI_RawButtonRelease);
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    XISelectEvents(d, DefaultRootWindow(d), &mask, 1);
    loadModifierMapping();
    loadPointerMapping();
    seedModifiers();
    clicks_.setSettings(readDoubleClickSettings());
    XSync(d, False);
    watch_ = loop_.watch(
        ConnectionNumber(d), [d] { return XEventsQueued(d, QueuedAlready) > 0; }, [this] { dispatch(); });
    return true;
  }

  void loadModifierMapping() {
    XModifierKeymap* map = XGetModifierMapping(display_);
    if (!map) return;
    std::vector<std::vector<int>> byModifier(8);
    for (int modifier = 0; modifier < 8; ++modifier) {
      for (int i = 0; i < map->max_keypermod; ++i) {
        KeyCode k = map->modifiermap[modifier * map->max_keypermod + i];
        if (k) byModifier[modifier].push_back(k);
      }
    }
    XFreeModifiermap(map);
    modifiers_.setModifierMapping(std::move(byModifier));
  }

  void loadPointerMapping() {
    unsigned char map[256] = {};
    int count = XGetPointerMapping(display_, map, sizeof map);
    buttonMap_.assign(map, map + std::clamp(count, 0, 256));
  }

  // Modifiers already held when the monitors start.
  void seedModifiers() {
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    modifiers_.clear();
    for (int keycode = 8; keycode < 256; ++keycode) {
      if (keys[keycode / 8] & (1 << (keycode % 8))) modifiers_.press(keycode);
    }
  }

  DoubleClickSettings readDoubleClickSettings() {
    std::string selection = "_XSETTINGS_S" + std::to_string(DefaultScreen(display_));
    Window owner = XGetSelectionOwner(display_, XInternAtom(display_, selection.c_str(), False));
    if (owner == None) return {};
    Atom settings = XInternAtom(display_, "_XSETTINGS_SETTINGS", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XErrorTrap trap(display_);  // the manager may go away meanwhile
    const bool read = XGetWindowProperty(display_, owner, settings, 0, 1 << 16, False, settings, &type, &format, &count,
                                         &after, &data) == Success;
    XData<unsigned char> owned(data);
    if (!read || !owned) return {};
    return format == 8 ? parseDoubleClickSettings({owned.get(), count}) : DoubleClickSettings{};
  }

  int logicalButton(int physical) const {
    if (physical >= 1 && physical <= static_cast<int>(buttonMap_.size())) return buttonMap_[physical - 1];
    return physical;
  }

  void dispatch() {
    while (XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type == MappingNotify) {
        XRefreshKeyboardMapping(&event.xmapping);
        if (event.xmapping.request == MappingModifier) loadModifierMapping();
        if (event.xmapping.request == MappingPointer) loadPointerMapping();
        continue;
      }
      XGenericEventCookie* cookie = &event.xcookie;
      if (cookie->type != GenericEvent || cookie->extension != opcode_ || !XGetEventData(display_, cookie)) continue;
      const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
      int evtype = cookie->evtype;
      int detail = raw->detail;
      auto time = static_cast<std::uint32_t>(raw->time);
      XFreeEventData(display_, cookie);
      handle(evtype, detail, time);
    }
  }

  void handle(int evtype, int detail, std::uint32_t time) {
    MonitorEvent event;
    event.modifierFlags = flagsForModifierState(modifiers_.state());
    switch (evtype) {
      case XI_RawButtonPress:
        if (logicalButton(detail) != 1) return;
        // Raw events carry no position; the pointer is still where the
        // press happened unless it moved on in the meantime.
        event.clickCount = clicks_.press(time, mouseLocation());
        deliver(MonitorKind::leftMouseDown, event);
        return;
      case XI_RawButtonRelease:
        if (logicalButton(detail) != 1) return;
        event.clickCount = clicks_.current();
        deliver(MonitorKind::leftMouseUp, event);
        return;
      case XI_RawKeyPress:
        // A modifier alone changes the flags but is no key press.
        if (modifiers_.press(detail)) return;
        deliver(MonitorKind::keyDown, event);
        return;
      case XI_RawKeyRelease:
        modifiers_.release(detail);
        return;
      default:
        return;
    }
  }

  void deliver(MonitorKind kind, const MonitorEvent& event) {
    auto entries = entries_;  // a handler may add or drop monitors
    for (const auto& entry : entries) {
      if (entry->active && entry->kind == kind) entry->handler(event);
    }
  }

  std::function<std::string()> displayName_;
  LinuxRunLoop& loop_;
  Display* display_ = nullptr;
  bool openFailed_ = false;
  std::atomic<bool> lost_{false};
  bool installFailed_ = false;
  int opcode_ = 0;
  std::unique_ptr<FdWatch> watch_;
  std::vector<std::shared_ptr<Entry>> entries_;
  ModifierTracker modifiers_;
  ClickCounter clicks_;
  std::vector<unsigned char> buttonMap_;
};

}  // namespace

std::unique_ptr<platform::Monitors> makeMonitors(const std::string& displayName, LinuxRunLoop& loop) {
  return std::make_unique<XInputMonitors>([displayName] { return displayName; }, loop);
}

std::unique_ptr<platform::Monitors> makeMonitors(LinuxContext& context, LinuxRunLoop& loop) {
  return std::make_unique<XInputMonitors>(
      [&context]() -> std::string {
        Display* shared = context.display();
        return shared ? DisplayString(shared) : "";
      },
      loop);
}

}  // namespace larkspire::linux_backend
