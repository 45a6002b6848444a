// The events' port on a real X server: XTest for keys, buttons and motion,
// the core keyboard map for temporary bindings, pings for knowing when the
// focused application has handled the keys.
#include "platform/linux/x11/xtest_port.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>

#include "platform/linux/handles.h"
#include "platform/linux/x11/borrowed_keys.h"
#include "platform/linux/x11/error_trap.h"
#include "platform/linux/x11/ping.h"
#include "platform/linux/x11/server_grab.h"

namespace larkspire::linux_backend {
namespace {

// How long an application may take to handle the keys posted to it (up to
// three pieces of text): a loaded machine and an editor whose every key
// lays out a long text again can take seconds, but one that takes longer
// than this is not reading keys.
constexpr auto kKeysHandledWait = std::chrono::seconds(15);
// How long a click may be held back by another client's grab (a window
// manager that sees every press first and replays it to the application)
// before it counts as not delivered.
constexpr double kButtonsReleasedWait = 20.0;
constexpr double kButtonsPollInterval = 0.01;
constexpr unsigned kButtonMasks = Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask;

class XTestPort final : public InputPort {
 public:
  XTestPort(Display* display, platform::Clock& clock) : display_(display), clock_(clock), ping_(display, clock) {}

  KeyboardMap keyboardMap() override {
    KeyboardMap map;
    XDisplayKeycodes(display_, &map.minKeycode, &map.maxKeycode);
    int per = 0;
    XData<KeySym> syms(
        XGetKeyboardMapping(display_, static_cast<KeyCode>(map.minKeycode), map.maxKeycode - map.minKeycode + 1, &per));
    if (!syms) return KeyboardMap{};
    map.keysymsPerKeycode = per;
    std::size_t count = static_cast<std::size_t>(map.maxKeycode - map.minKeycode + 1) * per;
    map.keysyms.reserve(count);
    for (std::size_t i = 0; i < count; ++i) map.keysyms.push_back(static_cast<Keysym>(syms.get()[i]));
    return map;
  }

  void changeKeyboardMapping(int first, int keysymsPerKeycode, const std::vector<Keysym>& rows) override {
    if (keysymsPerKeycode <= 0 || rows.empty()) return;
    std::vector<KeySym> values(rows.begin(), rows.end());
    // Once termination has given the borrowed keycodes back, nothing may
    // bind them again.
    changeKeyboardMappingUnlessTerminating([&] {
      // A refused change (a keycode another client just took) must not end the process.
      XErrorTrap trap(display_);
      XChangeKeyboardMapping(display_, first, keysymsPerKeycode, values.data(),
                             static_cast<int>(values.size()) / keysymsPerKeycode);
      trap.sync();
    });
  }

  void key(int keycode, bool press) override {
    XTestFakeKeyEvent(display_, static_cast<unsigned>(keycode), press ? True : False, CurrentTime);
  }

  void button(int button, bool press) override {
    XTestFakeButtonEvent(display_, static_cast<unsigned>(button), press ? True : False, CurrentTime);
  }

  void moveTo(int x, int y) override { XTestFakeMotionEvent(display_, -1, x, y, CurrentTime); }

  std::optional<std::pair<int, int>> pointer() override {
    auto state = pointerState();
    if (!state) return std::nullopt;
    return std::make_pair(state->x, state->y);
  }

  bool awaitButtonsReleased() override {
    // The server reports a button down until it has processed its release,
    // and a frozen pointer's events wait unprocessed in its queue.
    const double deadline = clock_.now() + kButtonsReleasedWait;
    for (;;) {
      auto state = pointerState();
      if (state && (state->mask & kButtonMasks) == 0) return true;
      if (clock_.now() >= deadline) return false;
      clock_.sleep(kButtonsPollInterval);
    }
  }

  void sync() override { XSync(display_, False); }

  bool canConfirmKeys() override { return ping_.pingableFocus() != 0; }
  bool startConfirmingKeys() override { return ping_.start(); }
  std::uint64_t markKeys() override { return ping_.send(); }
  bool awaitMark(std::uint64_t mark) override { return ping_.await(mark, kKeysHandledWait); }
  void stopConfirmingKeys() override { ping_.stop(); }

  void updateBorrowedKeys(const std::function<std::vector<BorrowedKey>(std::vector<BorrowedKey>)>& update) override {
    std::vector<BorrowedKey> keys;
    {
      ServerGrab grab(display_);
      keys = update(readBorrowedKeys(display_));
      writeBorrowedKeys(display_, keys);
    }
    XSync(display_, False);
    const auto self = ownProcess();
    if (std::any_of(keys.begin(), keys.end(), [&](const BorrowedKey& key) { return key.owner == self; })) {
      restoreKeymapOnTermination(display_);
    }
  }

  platform::Pid ownProcess() override { return static_cast<platform::Pid>(getpid()); }

  bool processAlive(platform::Pid pid) override { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

 private:
  struct PointerState {
    int x = 0;
    int y = 0;
    unsigned mask = 0;
  };

  std::optional<PointerState> pointerState() {
    Window root = 0, child = 0;
    int winX = 0, winY = 0;
    PointerState state;
    if (!XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &state.x, &state.y, &winX, &winY,
                       &state.mask)) {
      return std::nullopt;
    }
    return state;
  }

  Display* display_;
  platform::Clock& clock_;
  ApplicationPing ping_;
};

// The port, made once the display is there and has XTest.
class PortSource {
 public:
  PortSource(std::function<Display*()> display, platform::Clock& clock)
      : display_(std::move(display)), clock_(&clock) {}
  InputPort* operator()() {
    if (port_) return port_.get();
    Display* display = display_();
    if (!display) return nullptr;
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor)) return nullptr;
    port_ = std::make_shared<XTestPort>(display, *clock_);
    return port_.get();
  }

 private:
  std::function<Display*()> display_;
  platform::Clock* clock_;
  std::shared_ptr<XTestPort> port_;
};

}  // namespace

std::function<InputPort*()> xtestPortSource(std::function<Display*()> display, platform::Clock& clock) {
  return PortSource(std::move(display), clock);
}

}  // namespace larkspire::linux_backend
