// Synthetic keyboard, mouse and scroll events, posted at the HID event tap.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/values.h"

namespace larkspire::platform {

using EventFlags = std::uint64_t;
inline constexpr EventFlags kCGEventFlagMaskShift = 0x20000;
inline constexpr EventFlags kCGEventFlagMaskControl = 0x40000;
inline constexpr EventFlags kCGEventFlagMaskAlternate = 0x80000;
inline constexpr EventFlags kCGEventFlagMaskCommand = 0x100000;

// A keyboard event: a macOS virtual key code, down or up, the flags and an
// optional UTF-16 text that replaces what the key would type.
struct KeyboardEvent {
  std::uint16_t keyCode = 0;
  bool keyDown = true;
  std::optional<EventFlags> flags;  // none: left as created
  std::u16string unicodeString;
  bool operator==(const KeyboardEvent&) const = default;
};

enum class MouseEventType { leftMouseDown, leftMouseUp };

struct MouseEvent {
  MouseEventType type = MouseEventType::leftMouseDown;
  Point location;
  bool operator==(const MouseEvent&) const = default;
};

// A scroll-wheel event in pixel units with one wheel.
struct ScrollEvent {
  std::int32_t pixels = 0;  // positive scrolls up
  Point location;
  bool operator==(const ScrollEvent&) const = default;
};

class Events {
 public:
  virtual ~Events() = default;
  // Each create answers none when the platform cannot make the event.
  virtual std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t keyCode, bool keyDown) = 0;
  virtual std::optional<MouseEvent> createMouseEvent(MouseEventType type, Point location) = 0;
  virtual std::optional<ScrollEvent> createScrollWheelEvent(std::int32_t pixels) = 0;

  virtual void post(const KeyboardEvent& event) = 0;
  virtual void post(const MouseEvent& event) = 0;
  virtual void post(const ScrollEvent& event) = 0;

  // Typing text: keyboard events that carry text. Whether every character
  // of the text can be typed on this desktop at all, asked before any of it
  // is posted.
  virtual bool canType(std::u16string_view text) = 0;
  // Ends a run of typing events, after the last one or when typing stops
  // early: whatever the platform changed to type the text is put back.
  // Answers whether every key posted since the run began was shown to reach
  // the application as the character it stands for.
  virtual bool finishTyping() = 0;
  // Ends a click, after its button-up: answers whether the desktop has
  // delivered the button events. Another program may hold the pointer
  // until it has handled a press (a window manager whose own grab sees
  // every click first); the press and the release then reach the
  // application only once it lets go, which this waits for, a few seconds
  // at most.
  virtual bool finishClick() = 0;
};

}  // namespace larkspire::platform
