// The keyboard vocabulary of the X backend: which X keysym a macOS virtual
// key code stands for, which X modifiers the event flags mean, and where a
// character lives in the server's core keyboard map. Plain data, no Xlib.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/events.h"

namespace larkspire::linux_backend {

using Keysym = std::uint32_t;  // X keysyms are 29-bit values
inline constexpr Keysym kNoSymbol = 0;

// The keysym of the key that a macOS virtual key code (ANSI layout) names;
// none for codes without an X counterpart (Fn, the ISO section key, ...).
std::optional<Keysym> keysymForMacKeyCode(std::uint16_t keyCode);

// The X modifier keys that stand for event flags. Command becomes Control,
// the convention for application shortcuts on Linux desktops; Shift stays
// Shift, Option becomes Alt and Control stays Control.
std::vector<Keysym> modifierKeysymsForFlags(platform::EventFlags flags);

// The keysym that types a Unicode code point: Latin-1 keysyms for Latin-1,
// function keysyms for the line and tab controls, the Unicode keysym
// (0x1000000 + code point) for everything else. None for controls that no
// key types.
std::optional<Keysym> keysymForCodePoint(char32_t codePoint);

// UTF-16 to code points; a lone surrogate becomes U+FFFD.
std::u32string decodeUtf16(std::u16string_view units);

// A copy of the server's core keyboard map: keysymsPerKeycode entries for
// each keycode from minKeycode to maxKeycode. Index 0 is the key's plain
// level, index 1 its Shift level (first group).
struct KeyboardMap {
  int minKeycode = 8;
  int maxKeycode = 7;
  int keysymsPerKeycode = 0;
  std::vector<Keysym> keysyms;

  Keysym at(int keycode, int index) const;
  // The keysyms of one keycode, or an empty list outside the map.
  std::vector<Keysym> row(int keycode) const;
  void setRow(int keycode, const std::vector<Keysym>& values);
};

// A key to press for a keysym: the keycode and whether Shift selects it.
struct KeyLocation {
  int keycode = 0;
  bool shift = false;
  bool operator==(const KeyLocation&) const = default;
};

// Where the map offers the keysym on the plain or Shift level, preferring a
// plain level and then the lowest keycode.
std::optional<KeyLocation> locateKeysym(const KeyboardMap& map, Keysym keysym);
// Where the map offers a character (by its Latin-1 or Unicode keysym).
std::optional<KeyLocation> locateCodePoint(const KeyboardMap& map, char32_t codePoint);
// Keycodes that carry no keysym at all: free for a temporary binding.
std::vector<int> spareKeycodes(const KeyboardMap& map);

}  // namespace larkspire::linux_backend
