#include "platform/linux/x11_events.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "platform/linux/x11_fake_input_port.h"

namespace larkspire::linux_backend {
namespace {

using platform::kCGEventFlagMaskCommand;
using platform::kCGEventFlagMaskShift;
using platform::KeyboardEvent;
using platform::MouseEventType;
using testing::FakeInputPort;
using testing::keycodeOf;
using testing::usMap;

std::string keyCall(int keycode, bool down) { return "key " + std::to_string(keycode) + (down ? " down" : " up"); }

class EventsTest : public ::testing::Test {
 protected:
  FakeInputPort port{usMap()};
  X11Events events{[this] { return &port; }};
  const KeyboardMap& map = port.original();
  int control = keycodeOf(map, XK_Control_L);
  int shift = keycodeOf(map, XK_Shift_L);

  void stroke(std::uint16_t code, platform::EventFlags flags) {
    auto down = events.createKeyboardEvent(code, true);
    auto up = events.createKeyboardEvent(code, false);
    ASSERT_TRUE(down && up);
    down->flags = flags;
    up->flags = flags;
    events.post(*down);
    events.post(*up);
  }

  void typePiece(std::u16string piece) {
    auto down = events.createKeyboardEvent(0, true);
    auto up = events.createKeyboardEvent(0, false);
    ASSERT_TRUE(down && up);
    down->unicodeString = piece;
    up->unicodeString = piece;
    events.post(*down);
    events.post(*up);
  }
};

TEST_F(EventsTest, ShortcutPressesModifierAroundTheKeyExactlyOnce) {
  stroke(0, kCGEventFlagMaskCommand);  // Mod+a
  int a = keycodeOf(map, 'a');
  EXPECT_EQ(port.calls(), (std::vector<std::string>{keyCall(control, true), keyCall(a, true), keyCall(a, false),
                                                    keyCall(control, false)}));
  EXPECT_TRUE(port.keysUp());
}

TEST_F(EventsTest, NamedKeysPostTheirOwnKeyWithoutModifiers) {
  const std::vector<std::pair<std::uint16_t, Keysym>> keys{
      {36, XK_Return}, {48, XK_Tab},   {53, XK_Escape}, {51, XK_BackSpace}, {117, XK_Delete}, {49, XK_space},
      {126, XK_Up},    {125, XK_Down}, {123, XK_Left},  {124, XK_Right},    {115, XK_Home},   {119, XK_End},
      {116, XK_Prior}, {121, XK_Next}};
  for (const auto& [code, keysym] : keys) {
    port.log.clear();
    stroke(code, 0);
    int keycode = keycodeOf(map, keysym);
    EXPECT_EQ(port.calls(), (std::vector<std::string>{keyCall(keycode, true), keyCall(keycode, false)}))
        << "key code " << code;
  }
}

TEST_F(EventsTest, ShiftFlagAndCombinedFlags) {
  stroke(48, kCGEventFlagMaskShift);  // Shift+Tab
  int tab = keycodeOf(map, XK_Tab);
  EXPECT_EQ(port.calls(), (std::vector<std::string>{keyCall(shift, true), keyCall(tab, true), keyCall(tab, false),
                                                    keyCall(shift, false)}));
  port.log.clear();
  stroke(1, kCGEventFlagMaskCommand | kCGEventFlagMaskShift);
  int s = keycodeOf(map, 's');
  // Released in the reverse order of pressing.
  EXPECT_EQ(port.calls(), (std::vector<std::string>{keyCall(control, true), keyCall(shift, true), keyCall(s, true),
                                                    keyCall(s, false), keyCall(shift, false),
                                                    keyCall(control, false)}));
}

TEST_F(EventsTest, OverlappingKeysShareAModifierUntilTheLastIsReleased) {
  auto downA = *events.createKeyboardEvent(0, true);
  auto downS = *events.createKeyboardEvent(1, true);
  auto upA = *events.createKeyboardEvent(0, false);
  auto upS = *events.createKeyboardEvent(1, false);
  downA.flags = downS.flags = kCGEventFlagMaskCommand;
  events.post(downA);
  events.post(downS);
  events.post(upA);
  EXPECT_FALSE(port.keysUp());  // Control still held for s
  events.post(upS);
  int a = keycodeOf(map, 'a'), s = keycodeOf(map, 's');
  EXPECT_EQ(port.calls(), (std::vector<std::string>{keyCall(control, true), keyCall(a, true), keyCall(s, true),
                                                    keyCall(a, false), keyCall(s, false), keyCall(control, false)}));
  EXPECT_FALSE(port.stuckPress);
}

TEST_F(EventsTest, UnpairedEventsLeaveNoKeyDown) {
  // An up without a down releases only the key.
  auto up = *events.createKeyboardEvent(0, false);
  up.flags = kCGEventFlagMaskCommand;
  events.post(up);
  EXPECT_EQ(port.calls(), std::vector<std::string>{keyCall(keycodeOf(map, 'a'), false)});

  // A second down of a held key ends the first stroke before the next.
  port.log.clear();
  auto down = *events.createKeyboardEvent(0, true);
  down.flags = kCGEventFlagMaskCommand;
  events.post(down);
  events.post(down);
  EXPECT_FALSE(port.stuckPress);
  {
    // Keys still down when the events go away are released.
    X11Events other{[this] { return &port; }};
    other.post(down);
  }
  events.post(*events.createKeyboardEvent(0, false));
  EXPECT_TRUE(port.keysUp());
}

TEST_F(EventsTest, KeyMissingFromTheMapIsBoundForTheStrokeAndRestored) {
  stroke(0x69, 0);  // F13: not on this keyboard
  EXPECT_TRUE(port.mapRestored());
  auto calls = port.calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0], "map 99=" + std::to_string(XK_F13));
  EXPECT_EQ(calls[1], keyCall(99, true));
  EXPECT_EQ(calls[2], keyCall(99, false));
  EXPECT_EQ(calls[3], "settle");
  EXPECT_EQ(calls[4], "map 99=0");
}

TEST_F(EventsTest, UnknownKeyCodesCannotBeCreated) {
  EXPECT_FALSE(events.createKeyboardEvent(63, true));  // Fn
  EXPECT_TRUE(events.createKeyboardEvent(0, true));
}

TEST_F(EventsTest, TypedCharactersArriveIntactAndTheMapIsRestored) {
  const std::u16string text = u"h\u00e9llo \u65e5\u672c \U0001F600 A!";
  // One piece per character, as the typing procedure sends short text.
  for (char32_t c : decodeUtf16(text)) {
    std::u16string piece;
    if (c > 0xFFFF) {
      piece += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      piece += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      piece += static_cast<char16_t>(c);
    }
    typePiece(piece);
    EXPECT_TRUE(port.mapRestored()) << "after " << static_cast<std::uint32_t>(c);
  }
  EXPECT_EQ(port.typed, decodeUtf16(text));
  EXPECT_TRUE(port.keysUp());
  // é, 日, 本 and the emoji each need one binding and one restore.
  EXPECT_EQ(port.mapChanges, 8);
}

TEST_F(EventsTest, ShiftLevelCharactersAreTypedWithShift) {
  typePiece(u"A");
  int a = keycodeOf(map, 'a');
  EXPECT_EQ(port.calls(), (std::vector<std::string>{keyCall(shift, true), keyCall(a, true), keyCall(a, false),
                                                    keyCall(shift, false)}));
}

TEST_F(EventsTest, OnePieceBindsEachMissingCharacterOnce) {
  typePiece(u"\u00e9\u00e9\u65e5\u00e9\u65e5");
  EXPECT_EQ(port.typed, U"\u00e9\u00e9\u65e5\u00e9\u65e5");
  // Keycodes 8 and 9 are consecutive: one change binds both, one restores.
  EXPECT_EQ(port.mapChanges, 2);
  EXPECT_TRUE(port.mapRestored());
  auto calls = port.calls();
  // The binding stays until every key typed through it had time to be read.
  auto settle = std::find(calls.begin(), calls.end(), "settle");
  ASSERT_NE(settle, calls.end());
  EXPECT_EQ(calls.back().rfind("map ", 0), 0u);
  EXPECT_LT(settle - calls.begin(), static_cast<long>(calls.size()) - 1);
}

TEST_F(EventsTest, RebindingWaitsUntilTheOldBindingWasRead) {
  FakeInputPort tight{[] {
    KeyboardMap m = usMap();
    for (int k = 90; k <= 99; ++k) m.setRow(k, {Keysym(0x30000000 + k)});
    m.setRow(9, {Keysym(0x30000009)});  // one spare keycode left: 8
    return m;
  }()};
  X11Events typing{[&tight] { return &tight; }};
  auto down = *typing.createKeyboardEvent(0, true);
  down.unicodeString = u"\u03b1\u03b2\u03b1";
  typing.post(down);
  EXPECT_EQ(tight.typed, U"\u03b1\u03b2\u03b1");
  EXPECT_TRUE(tight.mapRestored());
  auto calls = tight.calls();
  // bind α, type, settle, bind β, type, settle, bind α, type, settle, restore
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "settle"), 3);
  for (std::size_t i = 1; i < calls.size(); ++i) {
    if (calls[i].rfind("map ", 0) == 0 && i > 1) {
      EXPECT_EQ(calls[i - 1], "settle") << i;
    }
  }
}

TEST_F(EventsTest, MapIsRestoredWhenTypingFailsHalfway) {
  port.failOnKey = 3;  // the second character's key press
  auto down = *events.createKeyboardEvent(0, true);
  down.unicodeString = u"\u65e5\u672c";
  EXPECT_THROW(events.post(down), std::runtime_error);
  EXPECT_TRUE(port.mapRestored());
}

TEST_F(EventsTest, TheKeyUpOfATypingPairTypesNothing) {
  auto up = *events.createKeyboardEvent(0, false);
  up.unicodeString = u"x";
  events.post(up);
  EXPECT_TRUE(port.log.empty());
}

TEST_F(EventsTest, ControlCharactersWithoutAKeyAreSkipped) {
  typePiece(u"a\u0007\nb");
  EXPECT_EQ(port.typed, U"a\nb");
}

TEST_F(EventsTest, MouseButtonsMoveThePointerToTheRoundedPoint) {
  auto down = events.createMouseEvent(MouseEventType::leftMouseDown, {10.4, 20.6});
  auto up = events.createMouseEvent(MouseEventType::leftMouseUp, {10.4, 20.6});
  ASSERT_TRUE(down && up);
  events.post(*down);
  events.post(*up);
  EXPECT_EQ(port.calls(),
            (std::vector<std::string>{"move 10,21", "button 1 down", "move 10,21", "button 1 up"}));
  EXPECT_FALSE(events.createMouseEvent(MouseEventType::leftMouseDown, {NAN, 0}));
  EXPECT_FALSE(events.createMouseEvent(MouseEventType::leftMouseDown, {0, INFINITY}));
  EXPECT_EQ(pixelPoint({1e12, -1e12}), std::make_pair(32767, -32768));
}

TEST(WheelSteps, FiftyPixelsPerStepRoundedWithAFloorAndACap) {
  EXPECT_EQ(wheelSteps(0), 0);
  EXPECT_EQ(wheelSteps(1), 1);
  EXPECT_EQ(wheelSteps(-1), 1);
  EXPECT_EQ(wheelSteps(74), 1);
  EXPECT_EQ(wheelSteps(75), 2);
  EXPECT_EQ(wheelSteps(120), 2);
  EXPECT_EQ(wheelSteps(-120), 2);
  EXPECT_EQ(wheelSteps(1000), 20);
  EXPECT_EQ(wheelSteps(INT32_MAX), kMaxWheelSteps);
  EXPECT_EQ(wheelSteps(INT32_MIN), kMaxWheelSteps);
  EXPECT_EQ(wheelButton(120), 4);
  EXPECT_EQ(wheelButton(-120), 5);
}

TEST_F(EventsTest, ScrollSendsWheelStepsAtTheLocationAndPutsThePointerBack) {
  port.moveTo(1, 2);
  port.log.clear();
  auto scroll = events.createScrollWheelEvent(-120);
  ASSERT_TRUE(scroll);
  scroll->location = {300, 200};
  events.post(*scroll);
  EXPECT_EQ(port.calls(), (std::vector<std::string>{"move 300,200", "button 5 down", "button 5 up", "button 5 down",
                                                    "button 5 up", "move 1,2"}));
  port.log.clear();
  auto none = *events.createScrollWheelEvent(0);
  events.post(none);
  EXPECT_TRUE(port.log.empty());
}

TEST(EventsWithoutDisplay, NothingCanBeCreatedAndPostingDoesNothing) {
  X11Events events{[] { return nullptr; }};
  EXPECT_FALSE(events.createKeyboardEvent(0, true));
  EXPECT_FALSE(events.createMouseEvent(MouseEventType::leftMouseDown, {1, 1}));
  EXPECT_FALSE(events.createScrollWheelEvent(10));
  KeyboardEvent key;
  key.unicodeString = u"x";
  events.post(key);
  events.post(platform::MouseEvent{});
  events.post(platform::ScrollEvent{10, {}});
}

}  // namespace
}  // namespace larkspire::linux_backend
