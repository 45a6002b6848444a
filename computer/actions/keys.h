// Named keys and shortcuts, key strokes, and typing text as keyboard events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/events.h"
#include "platform/platform.h"

namespace larkspire::computer {

struct KeyStroke {
  std::uint16_t code = 0;  // macOS virtual key code (ANSI layout)
  platform::EventFlags flags = 0;
  bool operator==(const KeyStroke&) const = default;
};

// The keys "press" accepts, by exact, case-sensitive name.
const std::map<std::string, KeyStroke, std::less<>>& pressKeys();

// Text up to this many characters is typed one character per event.
inline constexpr std::size_t perCharacterTypingLimit = 200;
// Most UTF-16 units attached to one keyboard event.
inline constexpr std::size_t kTypingPieceUnits = 20;

// Posts one key stroke (down, then up) with exactly these flags. Throws
// NativeFailure "COMPUTER_UNAVAILABLE" when an event cannot be made;
// nothing is posted then.
void key(platform::Events& events, std::uint16_t code, platform::EventFlags flags = 0);

// The UTF-16 pieces a text is typed in: one character at a time for short
// texts, 20-unit chunks for long ones; a surrogate pair is never split.
std::vector<std::u16string> typingPieces(std::string_view text);

// Types the text piece by piece, checking before each piece that the target
// is still frontmost and pausing after each. A text with a character the
// desktop cannot type is refused before anything is typed; later failures
// say notExecuted false: earlier pieces have been typed.
void typeText(platform::Platform& platform, std::string_view text, const platform::Application& target);

}  // namespace larkspire::computer
