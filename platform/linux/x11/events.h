// Keyboard, mouse and scroll events on an X display, posted with XTest.
//
// The ordering rules live here, over a small port to the X server, so the
// tests can replay them against a recorder: a key-down event presses the
// modifiers of its flags and then the key, the matching key-up releases the
// key and then those modifiers in reverse, so a down and up pair is exactly
// one shortcut. A key-down event that carries text types that text (the
// key-up of the pair adds nothing). Characters the keyboard map lacks are
// bound to spare keycodes for the whole run of typing (see typing.h);
// a binding is replaced or restored only once the application with the
// keyboard focus has handled every key typed through it, and the map is
// always restored when the run finishes. The keycodes a process borrows are written down on the
// server, so that a run killed before it could restore them is repaired by
// the next one.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/events.h"
#include "platform/linux/x11/keymap.h"
#include "platform/linux/x11/typing.h"
#include "platform/run_loop.h"

typedef struct _XDisplay Display;

namespace larkspire::linux_backend {

// A keycode one process has bound to a character for the time being.
struct BorrowedKey {
  platform::Pid owner = 0;
  int keycode = 0;
  Keysym keysym = kNoSymbol;
  bool operator==(const BorrowedKey&) const = default;
};

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
  // Waits until the server has processed the release of every button: a
  // pointer frozen by another client's grab holds the events back until
  // that client lets go. False when a button was still down after a few
  // seconds.
  virtual bool awaitButtonsReleased() = 0;
  // Returns once the server has processed every request sent so far.
  virtual void sync() = 0;

  // Whether the application with the keyboard focus can show when it has
  // handled the keys posted to it (see ping.h).
  virtual bool canConfirmKeys() = 0;
  // Starts asking that application; false when it cannot be asked.
  virtual bool startConfirmingKeys() = 0;
  // Sends a mark after every key posted so far; answers its number, 0 when
  // it could not be sent.
  virtual std::uint64_t markKeys() = 0;
  // Waits until the application has handled everything before the mark;
  // false when it did not in a few seconds.
  virtual bool awaitMark(std::uint64_t mark) = 0;
  virtual void stopConfirmingKeys() = 0;

  // The keycodes every process has borrowed, changed atomically: `update`
  // gets the list and answers the new one.
  virtual void updateBorrowedKeys(const std::function<std::vector<BorrowedKey>(std::vector<BorrowedKey>)>& update) = 0;
  virtual platform::Pid ownProcess() = 0;
  virtual bool processAlive(platform::Pid pid) = 0;
};

// The borrowed keycodes that a run beginning now must give back first: those
// of processes that ended without doing so (and stale ones of this process).
std::vector<BorrowedKey> abandonedKeys(const std::vector<BorrowedKey>& all, platform::Pid self,
                                       const std::function<bool(platform::Pid)>& alive);

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
  std::optional<platform::MouseEvent> createMouseEvent(platform::MouseEventType type,
                                                       platform::Point location) override;
  std::optional<platform::ScrollEvent> createScrollWheelEvent(std::int32_t pixels) override;

  void post(const platform::KeyboardEvent& event) override;
  void post(const platform::MouseEvent& event) override;
  void post(const platform::ScrollEvent& event) override;
  bool canType(std::u16string_view text) override;
  bool finishTyping() override;
  bool finishClick() override;

 private:
  struct HeldKey {
    int keycode = 0;
    std::vector<int> modifiers;                   // pressed for this key, in press order
    std::optional<std::vector<Keysym>> boundRow;  // the spare keycode's old row
  };

  // One run of typing, from its first text to finishTyping.
  struct TypingRun {
    bool active = false;
    KeyboardMap map;         // without the run's bindings
    std::vector<int> spare;  // keycodes the run may bind
    std::optional<KeyLocation> shift;
    KeyBindings bindings;
    bool confirming = false;
    // A key typed through a binding was posted since the application last
    // showed it had handled everything: no binding may change before it has.
    bool boundKeysPending = false;
    // Marks sent after pieces and not yet awaited, oldest first: the
    // application is kept at most a few pieces behind.
    std::deque<std::uint64_t> marks;
    bool unconfirmed = false;
    // The texts asked about (canType) and not typed yet, in order: what
    // the run will type next, for choosing which binding to give up.
    std::u32string upcoming;
  };

  void type(InputPort& port, std::u32string_view text);
  void beginRun(InputPort& port);
  // Starts asking the focused application before the first change of the map.
  void confirming(InputPort& port);
  // Waits until the application has handled every key posted so far.
  bool confirmAll(InputPort& port);
  // Writes this process's bindings down before they are made.
  void recordBorrowed(InputPort& port, const std::map<int, Keysym>& bindings);
  void keyDown(InputPort& port, std::uint16_t code, Keysym keysym, platform::EventFlags flags);
  void keyUp(InputPort& port, std::uint16_t code, Keysym keysym);
  void pressModifier(InputPort& port, int keycode);
  void releaseModifier(InputPort& port, int keycode);
  void releaseEverything();

  std::function<InputPort*()> port_;
  std::map<std::uint16_t, HeldKey> held_;  // keys down, by macOS key code
  std::map<int, int> modifierPresses_;     // modifier keycode -> keys holding it
  TypingRun run_;
};

// Events on a display of the caller's own (the probes open one); the
// backend's makeEvents uses the context's display.
std::unique_ptr<platform::Events> makeEvents(Display* display, platform::Clock& clock);

}  // namespace larkspire::linux_backend
