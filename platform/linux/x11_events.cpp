#include "platform/linux/x11_events.h"

#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/linux/x11_typing.h"

namespace larkspire::linux_backend {
namespace {

using platform::EventFlags;

// A binding row: both levels carry the keysym, so Shift held by the user
// or by a shortcut does not change what the key types.
std::vector<Keysym> bindingRow(int keysymsPerKeycode, Keysym keysym) {
  std::vector<Keysym> row(static_cast<std::size_t>(std::max(keysymsPerKeycode, 0)), kNoSymbol);
  for (std::size_t i = 0; i < row.size() && i < 2; ++i) row[i] = keysym;
  return row;
}

// Writes the rows of the given keycodes from `rows`, one change per run of
// consecutive keycodes.
void writeRows(InputPort& port, const KeyboardMap& rows, const std::vector<int>& keycodes) {
  for (const auto& run : consecutiveRuns(keycodes)) {
    std::vector<Keysym> values;
    for (int keycode : run) {
      auto row = rows.row(keycode);
      values.insert(values.end(), row.begin(), row.end());
    }
    port.changeKeyboardMapping(run.front(), rows.keysymsPerKeycode, values);
  }
}

// Puts changed keycodes back to their old keysyms when it goes out of
// scope, also when typing stops on an error.
class MapRestorer {
 public:
  MapRestorer(InputPort& port, const KeyboardMap& original) : port_(port), original_(original) {}
  ~MapRestorer() {
    if (changed_.empty()) return;
    try {
      port_.sync();
      if (usedSinceChange_) port_.settle();
      writeRows(port_, original_, changed_);
      port_.sync();
    } catch (...) {
      // Nothing more can be done from a destructor.
    }
  }
  void changed(const std::vector<int>& keycodes) {
    for (int keycode : keycodes) {
      if (std::find(changed_.begin(), changed_.end(), keycode) == changed_.end()) changed_.push_back(keycode);
    }
    usedSinceChange_ = false;
  }
  void used() { usedSinceChange_ = true; }
  bool usedSinceChange() const { return usedSinceChange_; }

 private:
  InputPort& port_;
  const KeyboardMap& original_;
  std::vector<int> changed_;
  bool usedSinceChange_ = false;
};

}  // namespace

int wheelSteps(std::int32_t pixels) {
  if (pixels == 0) return 0;
  std::int64_t magnitude = std::llabs(static_cast<std::int64_t>(pixels));
  std::int64_t steps = (magnitude + kPixelsPerWheelStep / 2) / kPixelsPerWheelStep;
  return static_cast<int>(std::clamp<std::int64_t>(steps, 1, kMaxWheelSteps));
}

std::optional<std::pair<int, int>> pixelPoint(platform::Point point) {
  if (!std::isfinite(point.x) || !std::isfinite(point.y)) return std::nullopt;
  auto pixel = [](double v) { return static_cast<int>(std::lround(std::clamp(v, -32768.0, 32767.0))); };
  return std::make_pair(pixel(point.x), pixel(point.y));
}

X11Events::X11Events(std::function<InputPort*()> port) : port_(std::move(port)) {}

X11Events::~X11Events() {
  try {
    releaseEverything();
  } catch (...) {
  }
}

std::optional<platform::KeyboardEvent> X11Events::createKeyboardEvent(std::uint16_t keyCode, bool keyDown) {
  if (!port_() || !keysymForMacKeyCode(keyCode)) return std::nullopt;
  platform::KeyboardEvent event;
  event.keyCode = keyCode;
  event.keyDown = keyDown;
  return event;
}

std::optional<platform::MouseEvent> X11Events::createMouseEvent(platform::MouseEventType type,
                                                                platform::Point location) {
  if (!port_() || !pixelPoint(location)) return std::nullopt;
  return platform::MouseEvent{type, location};
}

std::optional<platform::ScrollEvent> X11Events::createScrollWheelEvent(std::int32_t pixels) {
  if (!port_()) return std::nullopt;
  return platform::ScrollEvent{pixels, {}};
}

void X11Events::post(const platform::KeyboardEvent& event) {
  InputPort* port = port_();
  if (!port) return;
  if (!event.unicodeString.empty()) {
    // The text replaces the key: the down event types it, the up adds nothing.
    if (event.keyDown) type(*port, decodeUtf16(event.unicodeString));
    return;
  }
  auto keysym = keysymForMacKeyCode(event.keyCode);
  if (!keysym) return;
  if (event.keyDown) {
    keyDown(*port, event.keyCode, *keysym, event.flags.value_or(0));
  } else {
    keyUp(*port, event.keyCode, *keysym);
  }
  port->sync();
}

void X11Events::post(const platform::MouseEvent& event) {
  InputPort* port = port_();
  auto point = pixelPoint(event.location);
  if (!port || !point) return;
  port->moveTo(point->first, point->second);
  port->button(1, event.type == platform::MouseEventType::leftMouseDown);
  port->sync();
}

void X11Events::post(const platform::ScrollEvent& event) {
  InputPort* port = port_();
  auto point = pixelPoint(event.location);
  int steps = wheelSteps(event.pixels);
  if (!port || !point || steps == 0) return;
  // X sends wheel buttons to the window under the pointer; the pointer goes
  // back afterwards, since a scroll does not move it on the desktop.
  auto before = port->pointer();
  port->moveTo(point->first, point->second);
  int button = wheelButton(event.pixels);
  for (int i = 0; i < steps; ++i) {
    port->button(button, true);
    port->button(button, false);
  }
  if (before) port->moveTo(before->first, before->second);
  port->sync();
}

void X11Events::type(InputPort& port, std::u32string_view text) {
  const KeyboardMap map = port.keyboardMap();
  auto shift = locateKeysym(map, XK_Shift_L);
  const TypingPlan plan = planTyping(map, text, shift.has_value());
  MapRestorer restorer(port, map);
  for (const TypingStep& step : plan.steps) {
    if (step.kind == TypingStep::Kind::bind) {
      std::vector<int> keycodes;
      KeyboardMap rows = map;
      for (const auto& [keycode, keysym] : step.bindings) {
        rows.setRow(keycode, bindingRow(map.keysymsPerKeycode, keysym));
        keycodes.push_back(keycode);
      }
      // Keys already typed through a keycode that now changes must be read
      // with the binding they were typed with.
      if (restorer.usedSinceChange()) {
        port.sync();
        port.settle();
      }
      restorer.changed(keycodes);
      writeRows(port, rows, keycodes);
      port.sync();
      continue;
    }
    bool withShift = step.key.shift && shift;
    if (withShift) port.key(shift->keycode, true);
    port.key(step.key.keycode, true);
    port.key(step.key.keycode, false);
    if (withShift) port.key(shift->keycode, false);
    if (std::find(plan.changedKeycodes.begin(), plan.changedKeycodes.end(), step.key.keycode) !=
        plan.changedKeycodes.end()) {
      restorer.used();
    }
  }
  port.sync();
}

void X11Events::keyDown(InputPort& port, std::uint16_t code, Keysym keysym, EventFlags flags) {
  if (held_.count(code)) keyUp(port, code, keysym);  // a second down without an up: end the first
  const KeyboardMap map = port.keyboardMap();
  HeldKey held;
  auto location = locateKeysym(map, keysym);
  if (!location) {
    // The map lacks the key: bind a spare keycode until the key-up.
    auto spare = spareKeycodes(map);
    if (spare.empty()) return;
    held.keycode = spare.back();
    held.boundRow = map.row(held.keycode);
    port.changeKeyboardMapping(held.keycode, map.keysymsPerKeycode, bindingRow(map.keysymsPerKeycode, keysym));
    port.sync();
    location = KeyLocation{held.keycode, false};
  }
  held.keycode = location->keycode;
  std::vector<Keysym> modifiers = modifierKeysymsForFlags(flags);
  if (location->shift && std::find(modifiers.begin(), modifiers.end(), XK_Shift_L) == modifiers.end()) {
    modifiers.push_back(XK_Shift_L);
  }
  for (Keysym modifier : modifiers) {
    auto at = locateKeysym(map, modifier);
    if (!at || at->keycode == held.keycode) continue;
    pressModifier(port, at->keycode);
    held.modifiers.push_back(at->keycode);
  }
  port.key(held.keycode, true);
  held_[code] = std::move(held);
}

void X11Events::keyUp(InputPort& port, std::uint16_t code, Keysym keysym) {
  auto found = held_.find(code);
  if (found == held_.end()) {
    // An up without our down: release the key the way a keyboard would.
    if (auto location = locateKeysym(port.keyboardMap(), keysym)) port.key(location->keycode, false);
    return;
  }
  HeldKey held = std::move(found->second);
  held_.erase(found);
  port.key(held.keycode, false);
  for (auto it = held.modifiers.rbegin(); it != held.modifiers.rend(); ++it) releaseModifier(port, *it);
  if (held.boundRow) {
    port.sync();
    port.settle();
    port.changeKeyboardMapping(held.keycode, static_cast<int>(held.boundRow->size()), *held.boundRow);
  }
}

void X11Events::pressModifier(InputPort& port, int keycode) {
  if (modifierPresses_[keycode]++ == 0) port.key(keycode, true);
}

void X11Events::releaseModifier(InputPort& port, int keycode) {
  auto found = modifierPresses_.find(keycode);
  if (found == modifierPresses_.end()) return;
  if (--found->second == 0) {
    modifierPresses_.erase(found);
    port.key(keycode, false);
  }
}

void X11Events::releaseEverything() {
  if (held_.empty()) return;
  InputPort* port = port_();
  if (!port) return;
  // Keys left down would stay down for the whole desktop.
  while (!held_.empty()) {
    auto code = held_.begin()->first;
    keyUp(*port, code, keysymForMacKeyCode(code).value_or(kNoSymbol));
  }
  port->sync();
}

}  // namespace larkspire::linux_backend
