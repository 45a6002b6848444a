// The rules that turn XInput2 raw events into global monitor events: click
// counts, modifier flags, double-click settings. Plain code; the monitors
// themselves are in monitors.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/events.h"
#include "platform/values.h"

namespace larkspire::linux_backend {

// How close in time and space two presses must be to count as one multiple
// click. The defaults are GTK's (gtk-double-click-time 400 ms,
// gtk-double-click-distance 5 px), what GTK applications use when no
// XSETTINGS manager says otherwise.
struct DoubleClickSettings {
  std::uint32_t timeMs = 400;
  int distance = 5;
  bool operator==(const DoubleClickSettings&) const = default;
};

// Reads Net/DoubleClickTime and Net/DoubleClickDistance from the contents
// of an XSETTINGS manager's _XSETTINGS_SETTINGS property; settings that are
// missing, of another type or out of range keep their defaults. Any
// malformed data gives the defaults.
DoubleClickSettings parseDoubleClickSettings(std::span<const std::uint8_t> property);

// Counts multiple clicks the way GTK does: a press continues the series
// when it comes within the double-click time of the previous press and
// within the distance of it on both axes; otherwise a new series starts.
class ClickCounter {
 public:
  explicit ClickCounter(DoubleClickSettings settings = {}) : settings_(settings) {}
  // timeMs is the X server time of the press (32 bits, wrapping).
  int press(std::uint32_t timeMs, platform::Point location);
  // The count of the latest press; a release reports it too.
  int current() const { return count_; }
  void setSettings(DoubleClickSettings settings) { settings_ = settings; }

 private:
  DoubleClickSettings settings_;
  std::optional<std::uint32_t> lastTime_;
  platform::Point lastLocation_;
  int count_ = 0;
};

// X modifier mask bits (ShiftMask, ControlMask, Mod1Mask) as event flags:
// Control stands for Command, the Linux convention for shortcuts; Shift is
// Shift and Alt (Mod1) is Option.
platform::EventFlags flagsForModifierState(unsigned state);

// The modifier state at the moment of each raw key event. Raw events carry
// no modifier state, and asking the server when the event is handled would
// answer for a later moment (a quick Shift+key from a script has often been
// released by then), so the monitor follows the modifier keys itself.
class ModifierTracker {
 public:
  // keycodesByModifier[i] holds the keycodes of modifier i (Shift, Lock,
  // Control, Mod1..Mod5), as the server's modifier mapping lists them.
  void setModifierMapping(std::vector<std::vector<int>> keycodesByModifier);
  // Returns true for a modifier key.
  bool press(int keycode);
  bool release(int keycode);
  bool isModifier(int keycode) const;
  // X modifier mask of the keys held now.
  unsigned state() const;
  void clear() { held_.clear(); }

 private:
  std::vector<std::vector<int>> mapping_;
  std::set<int> held_;
};

// Pressed mouse buttons as the platform reports them from an X button mask:
// bit 0 the left button, bit 1 the right, bit 2 the middle.
std::uint64_t pressedButtonsForMask(unsigned mask);

}  // namespace larkspire::linux_backend
