#include "computer/actions/keys.h"

#include <algorithm>

#include "common/text.h"
#include "computer/failure.h"

namespace larkspire::computer {

using platform::kCGEventFlagMaskCommand;
using platform::kCGEventFlagMaskShift;

const std::map<std::string, KeyStroke, std::less<>>& pressKeys() {
  static const std::map<std::string, KeyStroke, std::less<>> keys{
      {"Enter", {36, 0}},
      {"Tab", {48, 0}},
      {"Escape", {53, 0}},
      {"Backspace", {51, 0}},
      {"Delete", {117, 0}},
      {"Space", {49, 0}},
      {"ArrowUp", {126, 0}},
      {"ArrowDown", {125, 0}},
      {"ArrowLeft", {123, 0}},
      {"ArrowRight", {124, 0}},
      {"Home", {115, 0}},
      {"End", {119, 0}},
      {"PageUp", {116, 0}},
      {"PageDown", {121, 0}},
      {"Shift+Tab", {48, kCGEventFlagMaskShift}},
      {"Shift+Enter", {36, kCGEventFlagMaskShift}},
      {"Mod+Enter", {36, kCGEventFlagMaskCommand}},
      {"Mod+a", {0, kCGEventFlagMaskCommand}},
      {"Mod+f", {3, kCGEventFlagMaskCommand}},
      {"Mod+k", {40, kCGEventFlagMaskCommand}},
      {"Mod+l", {37, kCGEventFlagMaskCommand}},
      {"Mod+n", {45, kCGEventFlagMaskCommand}},
      {"Mod+s", {1, kCGEventFlagMaskCommand}},
      {"Mod+t", {17, kCGEventFlagMaskCommand}},
      {"Mod+z", {6, kCGEventFlagMaskCommand}},
      {"Meta+a", {0, kCGEventFlagMaskCommand}},
      {"Meta+s", {1, kCGEventFlagMaskCommand}},
  };
  return keys;
}

void key(platform::Events& events, std::uint16_t code, platform::EventFlags flags) {
  auto down = events.createKeyboardEvent(code, true);
  auto up = events.createKeyboardEvent(code, false);
  if (!down || !up) fail(kUnavailable);
  down->flags = flags;
  up->flags = flags;
  events.post(*down);
  events.post(*up);
}

namespace {

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

void chunk(std::u16string_view units, std::vector<std::u16string>& pieces) {
  std::size_t start = 0;
  while (start < units.size()) {
    std::size_t end = std::min(units.size(), start + kTypingPieceUnits);
    // Keep a surrogate pair together in the next piece.
    if (start + kTypingPieceUnits < units.size() && isHighSurrogate(units[end - 1])) --end;
    pieces.emplace_back(units.substr(start, end - start));
    start = end;
  }
}

}  // namespace

std::vector<std::u16string> typingPieces(std::string_view text) {
  std::vector<std::u16string> pieces;
  auto characters = text::graphemes(text);
  if (characters.size() > perCharacterTypingLimit) {
    chunk(text::toUtf16(text), pieces);
  } else {
    for (auto character : characters) chunk(text::toUtf16(character), pieces);
  }
  return pieces;
}

void typeText(platform::Platform& platform, std::string_view text, const platform::Application& target) {
  auto pieces = typingPieces(text);
  if (pieces.empty()) return;
  auto& events = platform.events;
  // A character that cannot be typed would be dropped: the text is refused
  // before any of it is typed.
  for (const auto& piece : pieces) {
    if (!events.canType(piece)) {
      (void)events.finishTyping();
      fail(kUnavailable);
    }
  }
  const double pause = text::graphemeCount(text) > perCharacterTypingLimit ? 0.002 : 0.010;
  const platform::Pid pid = target->processIdentifier();
  try {
    for (const auto& piece : pieces) {
      auto frontmost = platform.workspace.frontmostApplication();
      if (!frontmost || frontmost->processIdentifier() != pid) fail(kTargetChanged, false);
      auto down = events.createKeyboardEvent(0, true);
      auto up = events.createKeyboardEvent(0, false);
      if (!down || !up) fail(kUnavailable, false);
      down->unicodeString = piece;
      up->unicodeString = piece;
      events.post(*down);
      events.post(*up);
      platform.clock.sleep(pause);
    }
  } catch (...) {
    (void)events.finishTyping();
    throw;
  }
  // Keys that may have reached the application as something else are not
  // a completed action.
  if (!events.finishTyping()) fail(kUnavailable, false);
}

}  // namespace larkspire::computer
