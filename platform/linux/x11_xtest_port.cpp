// The events' port on a real X server: XTest for keys, buttons and motion,
// the core keyboard map for temporary bindings.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <thread>

#include "platform/linux/linux_platform.h"
#include "platform/linux/x11_error_trap.h"
#include "platform/linux/x11_events.h"

namespace larkspire::linux_backend {
namespace {

// Long enough for a client on a busy desktop to handle the typed key (and
// fetch the map it needs for it) before the binding goes away.
constexpr auto kBindingSettleTime = std::chrono::milliseconds(60);

class XTestPort final : public InputPort {
 public:
  explicit XTestPort(Display* display) : display_(display) {}

  KeyboardMap keyboardMap() override {
    KeyboardMap map;
    XDisplayKeycodes(display_, &map.minKeycode, &map.maxKeycode);
    int per = 0;
    KeySym* syms = XGetKeyboardMapping(display_, static_cast<KeyCode>(map.minKeycode),
                                       map.maxKeycode - map.minKeycode + 1, &per);
    if (!syms) return KeyboardMap{};
    map.keysymsPerKeycode = per;
    std::size_t count = static_cast<std::size_t>(map.maxKeycode - map.minKeycode + 1) * per;
    map.keysyms.reserve(count);
    for (std::size_t i = 0; i < count; ++i) map.keysyms.push_back(static_cast<Keysym>(syms[i]));
    XFree(syms);
    return map;
  }

  void changeKeyboardMapping(int first, int keysymsPerKeycode, const std::vector<Keysym>& rows) override {
    if (keysymsPerKeycode <= 0 || rows.empty()) return;
    std::vector<KeySym> values(rows.begin(), rows.end());
    // A refused change (a keycode another client just took) must not end the process.
    XErrorTrap trap(display_);
    XChangeKeyboardMapping(display_, first, keysymsPerKeycode, values.data(),
                           static_cast<int>(values.size()) / keysymsPerKeycode);
  }

  void key(int keycode, bool press) override {
    XTestFakeKeyEvent(display_, static_cast<unsigned>(keycode), press ? True : False, CurrentTime);
  }

  void button(int button, bool press) override {
    XTestFakeButtonEvent(display_, static_cast<unsigned>(button), press ? True : False, CurrentTime);
  }

  void moveTo(int x, int y) override { XTestFakeMotionEvent(display_, -1, x, y, CurrentTime); }

  std::optional<std::pair<int, int>> pointer() override {
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned mask = 0;
    if (!XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &rootX, &rootY, &winX, &winY, &mask)) {
      return std::nullopt;
    }
    return std::make_pair(rootX, rootY);
  }

  void sync() override { XSync(display_, False); }

  void settle() override { std::this_thread::sleep_for(kBindingSettleTime); }

 private:
  Display* display_;
};

// The port, made once the display is there and has XTest.
class PortSource {
 public:
  explicit PortSource(std::function<Display*()> display) : display_(std::move(display)) {}
  InputPort* operator()() {
    if (port_) return port_.get();
    Display* display = display_();
    if (!display) return nullptr;
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor)) return nullptr;
    port_ = std::make_shared<XTestPort>(display);
    return port_.get();
  }

 private:
  std::function<Display*()> display_;
  std::shared_ptr<XTestPort> port_;
};

}  // namespace

std::unique_ptr<platform::Events> makeEvents(Display* display) {
  return std::make_unique<X11Events>(PortSource([display] { return display; }));
}

std::unique_ptr<platform::Events> makeEvents(LinuxContext& context) {
  return std::make_unique<X11Events>(PortSource([&context] { return context.display(); }));
}

}  // namespace larkspire::linux_backend
