#include "platform/linux/x11/events.h"

#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/linux/linux_platform.h"
#include "platform/linux/x11/xtest_port.h"

namespace larkspire::linux_backend {
namespace {

using platform::EventFlags;

// How many pieces of text the application may fall behind once bindings
// are in play.
constexpr std::size_t kPiecesAhead = 3;

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

std::vector<BorrowedKey> withoutOwner(std::vector<BorrowedKey> keys, platform::Pid owner) {
  std::erase_if(keys, [&](const BorrowedKey& key) { return key.owner == owner; });
  return keys;
}

}  // namespace

std::vector<BorrowedKey> abandonedKeys(const std::vector<BorrowedKey>& all, platform::Pid self,
                                       const std::function<bool(platform::Pid)>& alive) {
  std::vector<BorrowedKey> abandoned;
  for (const auto& key : all) {
    if (key.owner == self || !alive(key.owner)) abandoned.push_back(key);
  }
  return abandoned;
}

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
    (void)finishTyping();
  } catch (...) {
  }
}

std::optional<platform::KeyboardEvent> X11Events::createKeyboardEvent(std::uint16_t keyCode, bool keyDown) {
  InputPort* port = port_();
  auto keysym = keysymForMacKeyCode(keyCode);
  if (!port || !keysym) return std::nullopt;
  // A key the map lacks can be pressed only through a binding, and a
  // binding only when the application can show it handled the key.
  if (!locateKeysym(run_.active ? run_.map : port->keyboardMap(), *keysym) && !port->canConfirmKeys()) {
    return std::nullopt;
  }
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

bool X11Events::canType(std::u16string_view text) {
  InputPort* port = port_();
  if (!port) return false;
  // The run begins with the question: keycodes a killed run left bound are
  // free again once it has begun.
  if (!run_.active) beginRun(*port);
  const std::u32string characters = decodeUtf16(text);
  run_.upcoming += characters;
  const bool shift = run_.shift.has_value();
  if (typable(run_.map, false, characters, shift)) return true;
  return typable(run_.map, !run_.spare.empty() && port->canConfirmKeys(), characters, shift);
}

void X11Events::beginRun(InputPort& port) {
  run_ = TypingRun{};
  run_.active = true;
  // Keycodes that a killed run left bound go back first; those of runs
  // still going on elsewhere are left alone.
  const platform::Pid self = port.ownProcess();
  std::vector<int> taken;
  port.updateBorrowedKeys([&](std::vector<BorrowedKey> all) {
    const KeyboardMap map = port.keyboardMap();
    for (const auto& key : abandonedKeys(all, self, [&](platform::Pid pid) { return port.processAlive(pid); })) {
      auto row = map.row(key.keycode);
      // Only a binding still in place is undone: the keycode may have been
      // given to something else since.
      if (!row.empty() && row[0] == key.keysym) {
        port.changeKeyboardMapping(key.keycode, map.keysymsPerKeycode, std::vector<Keysym>(row.size(), kNoSymbol));
      }
      std::erase(all, key);
    }
    for (const auto& key : all) taken.push_back(key.keycode);
    return all;
  });
  run_.map = port.keyboardMap();
  for (int keycode : spareKeycodes(run_.map)) {
    if (std::find(taken.begin(), taken.end(), keycode) == taken.end()) run_.spare.push_back(keycode);
  }
  run_.shift = locateKeysym(run_.map, XK_Shift_L);
}

bool X11Events::confirmAll(InputPort& port) {
  run_.marks.clear();
  if (!port.awaitMark(port.markKeys())) return false;
  run_.boundKeysPending = false;
  return true;
}

void X11Events::confirming(InputPort& port) {
  if (run_.confirming) return;
  if (!port.startConfirmingKeys()) {
    throw platform::PlatformError("the application cannot show that it handled the keys");
  }
  run_.confirming = true;
}

void X11Events::recordBorrowed(InputPort& port, const std::map<int, Keysym>& bindings) {
  const platform::Pid self = port.ownProcess();
  port.updateBorrowedKeys([&](std::vector<BorrowedKey> all) {
    all = withoutOwner(std::move(all), self);
    for (const auto& [keycode, keysym] : bindings) all.push_back({self, keycode, keysym});
    return all;
  });
}

void X11Events::type(InputPort& port, std::u32string_view text) {
  if (!run_.active) beginRun(port);
  std::map<int, Keysym> bound = run_.bindings.keysymOf;
  // Texts typed in the order they were asked about leave the rest to come.
  if (run_.upcoming.starts_with(text)) {
    run_.upcoming.erase(0, text.size());
  } else {
    run_.upcoming.clear();
  }
  const TypingPlan plan = planTyping(run_.map, run_.spare, run_.bindings, text, run_.shift.has_value(), run_.upcoming);
  // Asked beforehand through canType; a character typed as nothing would
  // be a text that did not arrive.
  if (plan.untypable) run_.unconfirmed = true;
  for (const TypingStep& step : plan.steps) {
    if (step.kind == TypingStep::Kind::bind) {
      confirming(port);
      if (step.replaces && run_.boundKeysPending && !confirmAll(port)) {
        throw platform::PlatformError("the application did not handle the keys in time");
      }
      KeyboardMap rows = run_.map;
      std::vector<int> keycodes;
      for (const auto& [keycode, keysym] : step.bindings) {
        rows.setRow(keycode, bindingRow(run_.map.keysymsPerKeycode, keysym));
        keycodes.push_back(keycode);
        bound[keycode] = keysym;
      }
      recordBorrowed(port, bound);
      writeRows(port, rows, keycodes);
      port.sync();
      continue;
    }
    bool withShift = step.key.shift && run_.shift;
    if (withShift) port.key(run_.shift->keycode, true);
    port.key(step.key.keycode, true);
    port.key(step.key.keycode, false);
    if (withShift) port.key(run_.shift->keycode, false);
    if (step.bound) run_.boundKeysPending = true;
  }
  port.sync();
  // Once bindings are in play, the application is kept close behind: a
  // mark after each piece, and no new piece while it is more than a few
  // pieces behind. Every wait for it is then short, also the last one.
  if (run_.confirming) {
    run_.marks.push_back(port.markKeys());
    while (run_.marks.size() > kPiecesAhead) {
      if (!port.awaitMark(run_.marks.front())) {
        throw platform::PlatformError("the application did not handle the keys in time");
      }
      run_.marks.pop_front();
    }
  }
}

bool X11Events::finishTyping() {
  if (!run_.active) return true;
  InputPort* port = port_();
  bool confirmed = port && !run_.unconfirmed;
  try {
    if (port && !run_.bindings.changed.empty()) {
      // Put back whether or not the keys were handled in time: the map
      // must not stay changed.
      if (run_.boundKeysPending && !confirmAll(*port)) confirmed = false;
      writeRows(*port, run_.map, run_.bindings.changed);
      port->sync();
      recordBorrowed(*port, {});
    }
    if (port && run_.confirming) port->stopConfirmingKeys();
  } catch (...) {
    confirmed = false;
  }
  run_ = TypingRun{};
  return confirmed;
}

bool X11Events::finishClick() {
  InputPort* port = port_();
  return port && port->awaitButtonsReleased();
}

void X11Events::keyDown(InputPort& port, std::uint16_t code, Keysym keysym, EventFlags flags) {
  if (held_.count(code)) keyUp(port, code, keysym);  // a second down without an up: end the first
  const KeyboardMap map = port.keyboardMap();
  HeldKey held;
  auto location = locateKeysym(map, keysym);
  if (!location) {
    // The map lacks the key: bind a spare keycode until the key-up.
    auto spare = spareKeycodes(map);
    if (spare.empty() || !port.startConfirmingKeys()) return;
    held.keycode = spare.back();
    held.boundRow = map.row(held.keycode);
    recordBorrowed(port, {{held.keycode, keysym}});
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
    // Put back whether or not the key was handled in time: the map must
    // not stay changed.
    (void)port.awaitMark(port.markKeys());
    port.changeKeyboardMapping(held.keycode, static_cast<int>(held.boundRow->size()), *held.boundRow);
    port.sync();
    recordBorrowed(port, {});
    port.stopConfirmingKeys();
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

std::unique_ptr<platform::Events> makeEvents(Display* display, platform::Clock& clock) {
  return std::make_unique<X11Events>(xtestPortSource([display] { return display; }, clock));
}

std::unique_ptr<platform::Events> makeEvents(LinuxContext& context, platform::Clock& clock) {
  return std::make_unique<X11Events>(xtestPortSource([&context] { return context.display(); }, clock));
}

}  // namespace larkspire::linux_backend
