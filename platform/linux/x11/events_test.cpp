#include "platform/linux/x11/events.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "platform/linux/x11/fake_input_port.h"

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
      {36, XK_Return}, {48, XK_Tab},  {53, XK_Escape}, {51, XK_BackSpace}, {117, XK_Delete},
      {49, XK_space},  {126, XK_Up},  {125, XK_Down},  {123, XK_Left},     {124, XK_Right},
      {115, XK_Home},  {119, XK_End}, {116, XK_Prior}, {121, XK_Next}};
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
  EXPECT_EQ(port.calls(),
            (std::vector<std::string>{keyCall(control, true), keyCall(shift, true), keyCall(s, true), keyCall(s, false),
                                      keyCall(shift, false), keyCall(control, false)}));
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
  EXPECT_TRUE(port.borrowed.empty());
  auto calls = port.calls();
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_EQ(calls[0], "confirming");
  EXPECT_EQ(calls[1], "map 99=" + std::to_string(XK_F13));
  EXPECT_EQ(calls[2], keyCall(99, true));
  EXPECT_EQ(calls[3], keyCall(99, false));
  // Put back only once the application has handled the key.
  EXPECT_EQ(calls[4], "mark");
  EXPECT_EQ(calls[5], "await 1");
  EXPECT_EQ(calls[6], "map 99=0");
  EXPECT_EQ(calls[7], "stop confirming");
  EXPECT_EQ(port.typed(), U"");
}

TEST_F(EventsTest, UnknownKeyCodesCannotBeCreated) {
  EXPECT_FALSE(events.createKeyboardEvent(63, true));  // Fn
  EXPECT_TRUE(events.createKeyboardEvent(0, true));
  // A key the map lacks needs a binding, and a binding needs confirmation.
  port.confirmable = false;
  EXPECT_FALSE(events.createKeyboardEvent(0x69, true));
  EXPECT_TRUE(events.createKeyboardEvent(0, true));
}

// Types the text as the typing procedure does: short text one character
// per piece, then ends the run.
bool typeText(X11Events& events, std::u16string_view text, std::size_t pieceUnits = 1) {
  std::u32string characters = decodeUtf16(text);
  std::u16string piece;
  auto flush = [&] {
    if (piece.empty()) return;
    auto down = *events.createKeyboardEvent(0, true);
    down.unicodeString = piece;
    events.post(down);
    piece.clear();
  };
  for (char32_t c : characters) {
    if (c > 0xFFFF) {
      piece += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      piece += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      piece += static_cast<char16_t>(c);
    }
    if (piece.size() >= pieceUnits) flush();
  }
  flush();
  return events.finishTyping();
}

TEST_F(EventsTest, TypedCharactersArriveIntactAndTheMapIsRestoredOnceAtTheEnd) {
  const std::u16string text = u"h\u00e9llo \u65e5\u672c \U0001F600 A! \u00e9\u65e5";
  EXPECT_TRUE(typeText(events, text));
  EXPECT_EQ(port.typed(), decodeUtf16(text));
  EXPECT_TRUE(port.mapRestored());
  EXPECT_TRUE(port.keysUp());
  EXPECT_TRUE(port.borrowed.empty());
  // é, 日, 本 and the emoji are bound once each, and stay bound for their
  // later uses; one restore at the end (9 and 90-91 are two runs).
  EXPECT_EQ(port.mapChanges, 4 + 2);
  auto calls = port.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "confirming"), 1);
  EXPECT_EQ(calls.back(), "stop confirming");
  // After the first binding, a mark follows every piece, and the
  // application is never more than three marks behind.
  int marks = 0, awaited = 0;
  for (const auto& call : calls) {
    if (call == "mark") ++marks;
    if (call.rfind("await ", 0) == 0) awaited = std::stoi(call.substr(6));
    EXPECT_LE(marks - awaited, 4) << call;
  }
  EXPECT_EQ(marks, 16);  // pieces 2 to 16, and one before the restore
  // The restore comes after the last mark was awaited.
  auto restore = std::find(calls.begin(), calls.end(), "map 8=0 9=0");
  ASSERT_NE(restore, calls.end());
  EXPECT_EQ(*(restore - 1), "await 16");
}

TEST_F(EventsTest, ShiftLevelCharactersAreTypedWithShift) {
  typePiece(u"A");
  int a = keycodeOf(map, 'a');
  EXPECT_EQ(port.calls(), (std::vector<std::string>{keyCall(shift, true), keyCall(a, true), keyCall(a, false),
                                                    keyCall(shift, false)}));
  EXPECT_TRUE(events.finishTyping());
}

TEST_F(EventsTest, BindingsAreWrittenDownWhileTheyLast) {
  typePiece(u"\u00e9\u65e5");
  EXPECT_EQ(port.borrowed, (std::vector<BorrowedKey>{{1000, 8, 0xE9}, {1000, 9, 0x1000000 + 0x65E5}}));
  EXPECT_TRUE(events.finishTyping());
  EXPECT_TRUE(port.borrowed.empty());
}

TEST_F(EventsTest, ABindingIsReplacedOnlyOnceTheApplicationReadTheMapHoldingIt) {
  FakeInputPort tight{[] {
    KeyboardMap m = usMap();
    for (int k = 90; k <= 99; ++k) m.setRow(k, {Keysym(0x30000000 + k)});
    m.setRow(9, {Keysym(0x30000009)});  // one spare keycode left: 8
    return m;
  }()};
  X11Events typing{[&tight] { return &tight; }};
  EXPECT_TRUE(typeText(typing, u"\u03b1\u03b2\u03b1\u03b3", 2));
  EXPECT_EQ(tight.typed(), U"\u03b1\u03b2\u03b1\u03b3");
  EXPECT_TRUE(tight.mapRestored());
  auto calls = tight.calls();
  // Every change after the first waits until the keys typed through the
  // one before were handled.
  int changes = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].rfind("map ", 0) != 0) continue;
    if (++changes > 1) {
      EXPECT_EQ(calls[i - 1].rfind("await ", 0), 0u) << i;
    }
  }
  EXPECT_EQ(changes, 5);  // α, β, α, γ, restore
}

TEST_F(EventsTest, AnApplicationThatDoesNotHandleTheKeysMakesTheRunUnconfirmed) {
  port.clientReads = false;
  typePiece(u"\u00e9");
  EXPECT_FALSE(events.finishTyping());
  // The map goes back all the same.
  EXPECT_TRUE(port.mapRestored());
  EXPECT_TRUE(port.borrowed.empty());

  // A binding whose keys were not handled is not replaced at all.
  FakeInputPort tight{[] {
    KeyboardMap m = usMap();
    for (int k = 9; k <= 99; ++k) {
      if (m.row(k).empty() || m.row(k)[0] == kNoSymbol) m.setRow(k, {Keysym(0x30000000 + k)});
    }
    return m;
  }()};
  tight.clientReads = false;
  X11Events typing{[&tight] { return &tight; }};
  auto down = *typing.createKeyboardEvent(0, true);
  down.unicodeString = u"\u03b1\u03b2";
  EXPECT_THROW(typing.post(down), platform::PlatformError);
  EXPECT_EQ(tight.mapChanges, 1);
  EXPECT_FALSE(typing.finishTyping());
  EXPECT_TRUE(tight.mapRestored());
}

TEST_F(EventsTest, WithoutConfirmationOnlyTheKeyboardsOwnCharactersCanBeTyped) {
  port.confirmable = false;
  EXPECT_TRUE(events.canType(u"Hello world!\n\t"));
  EXPECT_FALSE(events.canType(u"caf\u00e9"));
  port.confirmable = true;
  EXPECT_TRUE(events.canType(u"caf\u00e9 \U0001F600"));
  EXPECT_FALSE(events.canType(u"a\u0007b"));  // a control no key types
}

TEST_F(EventsTest, KeycodesLeftByAKilledRunAreGivenBackAndOthersRunsKeepTheirs) {
  // Process 7 died with keycode 8 bound to é; process 8 is still typing
  // with keycode 9; keycode 90 was given to something else since process
  // 7 bound it.
  port.setRow(8, {0xE9, 0xE9});
  port.setRow(9, {0x1000000 + 0x65E5, 0x1000000 + 0x65E5});
  port.setRow(90, {XK_F20});
  port.borrowed = {{7, 8, 0xE9}, {8, 9, 0x1000000 + 0x65E5}, {7, 90, 0xF8}};
  port.alive = {8};
  EXPECT_TRUE(typeText(events, u"\u00f8\u00e0"));
  EXPECT_EQ(port.typed(), U"\u00f8\u00e0");
  EXPECT_EQ(port.keyboardMap().row(8)[0], kNoSymbol);
  EXPECT_EQ(port.keyboardMap().row(9)[0], 0x1000000u + 0x65E5);
  EXPECT_EQ(port.keyboardMap().row(90)[0], Keysym(XK_F20));
  EXPECT_EQ(port.borrowed, (std::vector<BorrowedKey>{{8, 9, 0x1000000 + 0x65E5}}));
  // The live run's keycode was not used.
  for (const auto& call : port.calls()) EXPECT_EQ(call.rfind("map 9=", 0), std::string::npos) << call;
}

TEST_F(EventsTest, MapIsRestoredWhenTypingFailsHalfway) {
  port.failOnKey = 3;  // the second character's key press
  auto down = *events.createKeyboardEvent(0, true);
  down.unicodeString = u"\u65e5\u672c";
  EXPECT_THROW(events.post(down), std::runtime_error);
  events.finishTyping();
  EXPECT_TRUE(port.mapRestored());
}

TEST_F(EventsTest, TheKeyUpOfATypingPairTypesNothing) {
  auto up = *events.createKeyboardEvent(0, false);
  up.unicodeString = u"x";
  events.post(up);
  EXPECT_TRUE(port.log.empty());
}

TEST_F(EventsTest, ControlCharactersWithoutAKeyMakeTheRunUnconfirmed) {
  typePiece(u"a\u0007\nb");
  EXPECT_EQ(port.typed(), U"a\nb");
  EXPECT_FALSE(events.finishTyping());
}

TEST_F(EventsTest, MouseButtonsMoveThePointerToTheRoundedPoint) {
  auto down = events.createMouseEvent(MouseEventType::leftMouseDown, {10.4, 20.6});
  auto up = events.createMouseEvent(MouseEventType::leftMouseUp, {10.4, 20.6});
  ASSERT_TRUE(down && up);
  events.post(*down);
  events.post(*up);
  EXPECT_EQ(port.calls(), (std::vector<std::string>{"move 10,21", "button 1 down", "move 10,21", "button 1 up"}));
  EXPECT_TRUE(events.finishClick());
  port.pointerHeld = true;  // another client's grab holds the click back
  EXPECT_FALSE(events.finishClick());
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
