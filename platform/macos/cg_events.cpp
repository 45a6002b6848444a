// Synthetic keyboard, mouse and scroll events, posted at the HID event tap.
// The events crossing the interface are plain values; each post makes the
// Core Graphics event from its value and releases it after posting.
#include <ApplicationServices/ApplicationServices.h>

#include "platform/macos/cf_handle.h"
#include "platform/macos/macos_platform.h"

namespace larkspire::macos_backend {
namespace {

using EventHandle = CFHandle<CGEventRef>;

EventHandle keyboardEvent(const platform::KeyboardEvent& value) {
  auto event = EventHandle::adopt(
      CGEventCreateKeyboardEvent(nullptr, static_cast<CGKeyCode>(value.keyCode), value.keyDown ? true : false));
  if (!event) return event;
  if (value.flags) CGEventSetFlags(event.get(), static_cast<CGEventFlags>(*value.flags));
  if (!value.unicodeString.empty()) {
    // char16_t and UniChar are both UTF-16 code units.
    CGEventKeyboardSetUnicodeString(event.get(), static_cast<UniCharCount>(value.unicodeString.size()),
                                    reinterpret_cast<const UniChar*>(value.unicodeString.data()));
  }
  return event;
}

EventHandle mouseEvent(const platform::MouseEvent& value) {
  const CGEventType type =
      value.type == platform::MouseEventType::leftMouseDown ? kCGEventLeftMouseDown : kCGEventLeftMouseUp;
  return EventHandle::adopt(
      CGEventCreateMouseEvent(nullptr, type, CGPointMake(value.location.x, value.location.y), kCGMouseButtonLeft));
}

EventHandle scrollEvent(const platform::ScrollEvent& value) {
  auto event = EventHandle::adopt(
      CGEventCreateScrollWheelEvent2(nullptr, kCGScrollEventUnitPixel, 1, static_cast<int32_t>(value.pixels), 0, 0));
  if (event) CGEventSetLocation(event.get(), CGPointMake(value.location.x, value.location.y));
  return event;
}

class MacEvents final : public platform::Events {
 public:
  std::optional<platform::KeyboardEvent> createKeyboardEvent(std::uint16_t keyCode, bool keyDown) override {
    platform::KeyboardEvent value;
    value.keyCode = keyCode;
    value.keyDown = keyDown;
    if (!keyboardEvent(value)) return std::nullopt;
    return value;
  }

  std::optional<platform::MouseEvent> createMouseEvent(platform::MouseEventType type,
                                                       platform::Point location) override {
    platform::MouseEvent value{type, location};
    if (!mouseEvent(value)) return std::nullopt;
    return value;
  }

  std::optional<platform::ScrollEvent> createScrollWheelEvent(std::int32_t pixels) override {
    platform::ScrollEvent value;
    value.pixels = pixels;
    if (!scrollEvent(value)) return std::nullopt;
    return value;
  }

  void post(const platform::KeyboardEvent& value) override { postEvent(keyboardEvent(value)); }
  void post(const platform::MouseEvent& value) override { postEvent(mouseEvent(value)); }
  void post(const platform::ScrollEvent& value) override { postEvent(scrollEvent(value)); }

  // Text travels on the event itself (CGEventKeyboardSetUnicodeString), so
  // any text can be typed and nothing needs putting back.
  bool canType(std::u16string_view) override { return true; }
  bool finishTyping() override { return true; }
  // Events posted at the HID event tap are delivered by the window server,
  // which tells nobody when: a posted click counts as delivered.
  bool finishClick() override { return true; }

 private:
  static void postEvent(const EventHandle& event) {
    if (event) CGEventPost(kCGHIDEventTap, event.get());
  }
};

}  // namespace

std::unique_ptr<platform::Events> makeEvents() { return std::make_unique<MacEvents>(); }

}  // namespace larkspire::macos_backend
