// How a piece of text is typed on an X keyboard map: characters the map
// offers are typed with their own key (with Shift where their level needs
// it); the others are bound for a moment to spare keycodes (keycodes with no
// keysym at all). Every change of the map makes the server notify every
// client, which then reloads its map, so the plan binds as few keycodes as
// the text allows, keeps a binding for every later use of the character and
// restores the changed keycodes once at the end.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/x11_keymap.h"

namespace larkspire::linux_backend {

struct TypingStep {
  enum class Kind { bind, stroke };
  Kind kind = Kind::stroke;
  // bind: the keycodes that get a new keysym, in keycode order.
  std::vector<std::pair<int, Keysym>> bindings;
  // stroke: the key to press and release.
  KeyLocation key;
  bool operator==(const TypingStep&) const = default;
};

struct TypingPlan {
  std::vector<TypingStep> steps;
  // Every keycode a bind step changes; all go back to their old keysyms
  // after the last stroke.
  std::vector<int> changedKeycodes;
  // Characters that can be typed neither way (no spare keycode, or a
  // control character no key types).
  std::size_t untypable = 0;
};

// The plan for typing the characters on the map. shiftAvailable says
// whether the map has a Shift key; without one, Shift-level characters are
// bound to spare keycodes like missing ones.
TypingPlan planTyping(const KeyboardMap& map, std::u32string_view text, bool shiftAvailable = true);

// Keycodes grouped into runs of consecutive keycodes, so that each run is
// one change of the map.
std::vector<std::vector<int>> consecutiveRuns(std::vector<int> keycodes);

}  // namespace larkspire::linux_backend
