// Keyboard, mouse and scroll events on an X display, posted with XTest.
//
// The ordering rules live here, over a small port to the X server, so the
// tests can replay them against a recorder: a key-down event presses the
// modifiers of its flags and then the key, the matching key-up releases the
// key and then those modifiers in reverse, so a down and up pair is exactly
// one shortcut. A key-down event that carries text types that text (the
// key-up of the pair adds nothing), binding characters the keyboard map
// lacks to spare keycodes for the moment and always restoring the map.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/events.h"
#include "platform/linux/x11_keymap.h"

typedef struct _XDisplay Display;

namespace larkspire::linux_backend {

// What the events need from the X server.
class InputPort {
 public:
  virtual ~InputPort() = default;
  virtual KeyboardMap keyboardMap() = 0;
  // Gives count consecutive keycodes from first the keysyms in rows
  // (map.keysymsPerKeycode entries each).
  virtual void changeKeyboardMapping(int first, int keysymsPerKeycode, const std::vector<Keysym>& rows) = 0;
  virtual void key(int keycode, bool press) = 0;
  virtual void button(int button, bool press) = 0;
  virtual void moveTo(int x, int y) = 0;
  virtual std::optional<std::pair<int, int>> pointer() = 0;
  // Returns once the server has processed every request sent so far.
  virtual void sync() = 0;
  // Gives clients time to read keys typed through a temporary binding:
  // they translate a key with the map they fetch when they handle it, so a
  // binding changed back too early turns the key into nothing.
  virtual void settle() = 0;
};

// Wheel steps for a scroll of this many pixels, positive up: one step per
// kPixelsPerWheelStep, rounded, at least one for any non-zero amount, at
// most kMaxWheelSteps.
//
// One step is 50 pixels: a GTK 3 scrolled window moves pow(page, 2/3)
// pixels per wheel step, 45 px for a 300 px view and 63 px for a 500 px
// one, and other toolkits scroll about three lines (~50 px) per step.
inline constexpr int kPixelsPerWheelStep = 50;
inline constexpr int kMaxWheelSteps = 200;
int wheelSteps(std::int32_t pixels);
// X button 4 scrolls up, 5 down.
inline int wheelButton(std::int32_t pixels) { return pixels > 0 ? 4 : 5; }

// A screen point as X pixel coordinates (rounded, kept in the 16-bit range
// of the protocol); none for a point that is not a number.
std::optional<std::pair<int, int>> pixelPoint(platform::Point point);

class X11Events final : public platform::Events {
 public:
  // port answers the X server's port, or null when there is no display.
  explicit X11Events(std::function<InputPort*()> port);
  ~X11Events() override;

  std::optional<platform::KeyboardEvent> createKeyboardEvent(std::uint16_t keyCode, bool keyDown) override;
  std::optional<platform::MouseEvent> createMouseEvent(platform::MouseEventType type, platform::Point location) override;
  std::optional<platform::ScrollEvent> createScrollWheelEvent(std::int32_t pixels) override;

  void post(const platform::KeyboardEvent& event) override;
  void post(const platform::MouseEvent& event) override;
  void post(const platform::ScrollEvent& event) override;

 private:
  struct HeldKey {
    int keycode = 0;
    std::vector<int> modifiers;  // pressed for this key, in press order
    std::optional<std::vector<Keysym>> boundRow;  // the spare keycode's old row
  };

  void type(InputPort& port, std::u32string_view text);
  void keyDown(InputPort& port, std::uint16_t code, Keysym keysym, platform::EventFlags flags);
  void keyUp(InputPort& port, std::uint16_t code, Keysym keysym);
  void pressModifier(InputPort& port, int keycode);
  void releaseModifier(InputPort& port, int keycode);
  void releaseEverything();

  std::function<InputPort*()> port_;
  std::map<std::uint16_t, HeldKey> held_;  // keys down, by macOS key code
  std::map<int, int> modifierPresses_;     // modifier keycode -> keys holding it
};

// Events on a display of the caller's own (the probes open one); the
// backend's makeEvents uses the context's display.
std::unique_ptr<platform::Events> makeEvents(Display* display);

}  // namespace larkspire::linux_backend
