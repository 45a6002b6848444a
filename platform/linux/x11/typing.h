// How text is typed on an X keyboard map: characters the map offers are
// typed with their own key (with Shift where their level needs it); the
// others are bound to spare keycodes (keycodes with no keysym at all) for as
// long as a run of typing lasts. Every change of the map makes the server
// notify every client, so a binding is kept for every later use of its
// character and is replaced only when a new character needs a keycode and
// none is free; the map is restored once, when the run ends.
//
// A client reads a key with the map it fetched last, and it fetches a new
// map lazily, after the server told it the map changed. A binding that is
// replaced (or restored) before the client fetched the map containing it
// turns the keys typed through it into nothing or into another character,
// so a step that replaces a binding says so: the caller first waits until
// the client has read the map.
#pragma once

#include <cstdint>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/x11/keymap.h"

namespace larkspire::linux_backend {

struct TypingStep {
  enum class Kind { bind, stroke };
  Kind kind = Kind::stroke;
  // bind: the keycodes that get a new keysym, in keycode order.
  std::vector<std::pair<int, Keysym>> bindings;
  // bind: one of the keycodes held another character until now.
  bool replaces = false;
  // stroke: the key to press and release; `bound` when it is a binding.
  KeyLocation key;
  bool bound = false;
  bool operator==(const TypingStep&) const = default;
};

// The spare keycodes bound during a run of typing, carried from one piece
// of text to the next.
struct KeyBindings {
  std::map<int, Keysym> keysymOf;        // keycode -> the character it types now
  std::map<int, std::uint64_t> lastUse;  // keycode -> when it was last typed or bound
  std::uint64_t clock = 0;
  // Every keycode bound at some point of the run: all go back at its end.
  std::vector<int> changed;
};

struct TypingPlan {
  std::vector<TypingStep> steps;
  // The keycodes this plan binds, in keycode order.
  std::vector<int> changedKeycodes;
  // Characters that can be typed neither way (no spare keycode, or a
  // control character no key types).
  std::size_t untypable = 0;
};

// The plan for typing the characters on the map (the map without any
// binding of the run), binding on the given spare keycodes and carrying the
// run's bindings on. shiftAvailable says whether the map has a Shift key;
// without one, Shift-level characters are bound like missing ones.
//
// `upcoming` is the text the run will type after this one, as far as it is
// known. A new binding takes an empty keycode first, then the keycode whose
// character comes again latest (or never), so that a text with more
// distinct missing characters than spare keycodes changes the map as few
// times as it can: every change makes the server notify every client, and a
// window manager that reloads its key bindings on each falls behind.
TypingPlan planTyping(const KeyboardMap& map, const std::vector<int>& spare, KeyBindings& bindings,
                      std::u32string_view text, bool shiftAvailable = true, std::u32string_view upcoming = {});
// A plan for one text on its own, with every spare keycode of the map.
TypingPlan planTyping(const KeyboardMap& map, std::u32string_view text, bool shiftAvailable = true);

// Whether every character can be typed: with its own key, or bound to a
// spare keycode when there is one.
bool typable(const KeyboardMap& map, bool haveSpareKeycodes, std::u32string_view text, bool shiftAvailable = true);

// Keycodes grouped into runs of consecutive keycodes, so that each run is
// one change of the map.
std::vector<std::vector<int>> consecutiveRuns(std::vector<int> keycodes);

}  // namespace larkspire::linux_backend
