#include "platform/linux/x11/keymap.h"

#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

namespace larkspire::linux_backend {
namespace {

using platform::kCGEventFlagMaskAlternate;
using platform::kCGEventFlagMaskCommand;
using platform::kCGEventFlagMaskControl;
using platform::kCGEventFlagMaskShift;

TEST(MacKeyCodes, EveryNamedKeyOfTheShortcutTableHasItsKeysym) {
  const std::map<std::uint16_t, Keysym> named{
      {36, XK_Return}, {48, XK_Tab},   {53, XK_Escape}, {51, XK_BackSpace}, {117, XK_Delete}, {49, XK_space},
      {126, XK_Up},    {125, XK_Down}, {123, XK_Left},  {124, XK_Right},    {115, XK_Home},   {119, XK_End},
      {116, XK_Prior}, {121, XK_Next}, {0, XK_a},       {3, XK_f},          {40, XK_k},       {37, XK_l},
      {45, XK_n},      {1, XK_s},      {17, XK_t},      {6, XK_z},
  };
  for (const auto& [code, keysym] : named) {
    EXPECT_EQ(keysymForMacKeyCode(code), keysym) << "key code " << code;
  }
}

TEST(MacKeyCodes, AnsiLettersAndDigitsFollowTheMacLayoutNotTheAlphabet) {
  // The ANSI key codes are scattered: a s d f h g z x c v _ b q w e r y t ...
  const std::string letters = "asdfhgzxcv";
  for (std::uint16_t code = 0; code < letters.size(); ++code) {
    EXPECT_EQ(keysymForMacKeyCode(code), static_cast<Keysym>(letters[code])) << code;
  }
  EXPECT_EQ(keysymForMacKeyCode(11), static_cast<Keysym>('b'));
  EXPECT_EQ(keysymForMacKeyCode(16), static_cast<Keysym>('y'));
  EXPECT_EQ(keysymForMacKeyCode(22), static_cast<Keysym>('6'));
  EXPECT_EQ(keysymForMacKeyCode(23), static_cast<Keysym>('5'));
  EXPECT_EQ(keysymForMacKeyCode(29), static_cast<Keysym>('0'));
  EXPECT_EQ(keysymForMacKeyCode(46), static_cast<Keysym>('m'));
  EXPECT_EQ(keysymForMacKeyCode(122), XK_F1);
  EXPECT_EQ(keysymForMacKeyCode(111), XK_F12);

  // Each letter and digit is reachable through exactly one code.
  std::set<Keysym> seen;
  for (int code = 0; code < 128; ++code) {
    if (auto keysym = keysymForMacKeyCode(static_cast<std::uint16_t>(code))) {
      bool alnum = (*keysym >= 'a' && *keysym <= 'z') || (*keysym >= '0' && *keysym <= '9');
      if (alnum) {
        EXPECT_TRUE(seen.insert(*keysym).second) << "duplicate " << *keysym;
      }
    }
  }
  EXPECT_EQ(seen.size(), 36u);
}

TEST(MacKeyCodes, CodesWithoutAnXKeyHaveNone) {
  EXPECT_FALSE(keysymForMacKeyCode(10));  // ISO section key
  EXPECT_FALSE(keysymForMacKeyCode(63));  // Fn
  EXPECT_FALSE(keysymForMacKeyCode(127));
  EXPECT_FALSE(keysymForMacKeyCode(0xFFFF));
}

TEST(ModifierFlags, CommandBecomesControlAndOrderIsStable) {
  EXPECT_EQ(modifierKeysymsForFlags(0), std::vector<Keysym>{});
  EXPECT_EQ(modifierKeysymsForFlags(kCGEventFlagMaskCommand), std::vector<Keysym>{XK_Control_L});
  EXPECT_EQ(modifierKeysymsForFlags(kCGEventFlagMaskShift), std::vector<Keysym>{XK_Shift_L});
  EXPECT_EQ(modifierKeysymsForFlags(kCGEventFlagMaskCommand | kCGEventFlagMaskShift),
            (std::vector<Keysym>{XK_Control_L, XK_Shift_L}));
  // Command and Control both mean the one Control key: pressed once.
  EXPECT_EQ(modifierKeysymsForFlags(kCGEventFlagMaskCommand | kCGEventFlagMaskControl),
            std::vector<Keysym>{XK_Control_L});
  EXPECT_EQ(modifierKeysymsForFlags(kCGEventFlagMaskAlternate), std::vector<Keysym>{XK_Alt_L});
  // Bits that are no modifier (caps lock state, device bits) press nothing.
  EXPECT_EQ(modifierKeysymsForFlags(0x10000 | 0x800000 | 0x100), std::vector<Keysym>{});
}

TEST(CodePointKeysyms, Latin1UnicodeAndControls) {
  EXPECT_EQ(keysymForCodePoint(U'a'), static_cast<Keysym>('a'));
  EXPECT_EQ(keysymForCodePoint(U'é'), 0xE9u);
  EXPECT_EQ(keysymForCodePoint(0xA0), 0xA0u);
  EXPECT_EQ(keysymForCodePoint(U'日'), 0x1000000u + 0x65E5);
  EXPECT_EQ(keysymForCodePoint(U'€'), 0x1000000u + 0x20AC);
  EXPECT_EQ(keysymForCodePoint(0x1F600), 0x1000000u + 0x1F600);
  EXPECT_EQ(keysymForCodePoint(U'\n'), XK_Return);
  EXPECT_EQ(keysymForCodePoint(U'\r'), XK_Return);
  EXPECT_EQ(keysymForCodePoint(U'\t'), XK_Tab);
  EXPECT_FALSE(keysymForCodePoint(0x00));
  EXPECT_FALSE(keysymForCodePoint(0x07));
  EXPECT_FALSE(keysymForCodePoint(0x85));
  EXPECT_FALSE(keysymForCodePoint(0xD800));
  EXPECT_FALSE(keysymForCodePoint(0x110000));
}

TEST(Utf16Decoding, PairsLoneSurrogatesAndPlainUnits) {
  EXPECT_EQ(decodeUtf16(u"h\u00e9"), U"h\u00e9");
  EXPECT_EQ(decodeUtf16(u"\U0001F600"), U"\U0001F600");
  const char16_t lone[] = {u'a', 0xD83D, u'b', 0xDE00, 0};
  EXPECT_EQ(decodeUtf16(lone), (std::u32string{U'a', 0xFFFD, U'b', 0xFFFD}));
  const char16_t trailingHigh[] = {u'x', 0xD83D, 0};
  EXPECT_EQ(decodeUtf16(trailingHigh), (std::u32string{U'x', 0xFFFD}));
}

// A small US-like map: keycode 10 = a A, 11 = 1 exclam, 12 = space, 13 and
// 15 empty, 14 = Shift_L, 16 = eacute on both levels (types without Shift).
KeyboardMap smallMap() {
  KeyboardMap map;
  map.minKeycode = 10;
  map.maxKeycode = 16;
  map.keysymsPerKeycode = 3;
  map.keysyms.assign(7 * 3, kNoSymbol);
  map.setRow(10, {XK_a, XK_A});
  map.setRow(11, {XK_1, XK_exclam});
  map.setRow(12, {XK_space});
  map.setRow(14, {XK_Shift_L});
  map.setRow(16, {XK_eacute, XK_eacute});
  return map;
}

TEST(KeyboardMapLookup, FindsPlainAndShiftLevels) {
  KeyboardMap map = smallMap();
  EXPECT_EQ(locateKeysym(map, XK_a), (KeyLocation{10, false}));
  EXPECT_EQ(locateKeysym(map, XK_A), (KeyLocation{10, true}));
  EXPECT_EQ(locateKeysym(map, XK_exclam), (KeyLocation{11, true}));
  EXPECT_EQ(locateKeysym(map, XK_eacute), (KeyLocation{16, false}));
  EXPECT_FALSE(locateKeysym(map, XK_b));
  EXPECT_FALSE(locateKeysym(map, kNoSymbol));
  EXPECT_EQ(locateCodePoint(map, U'!'), (KeyLocation{11, true}));
  EXPECT_FALSE(locateCodePoint(map, U'日'));
}

TEST(KeyboardMapLookup, ThirdLevelDoesNotCountAsPresent) {
  KeyboardMap map = smallMap();
  map.setRow(13, {XK_e, XK_E, XK_EuroSign});  // AltGr level: not reachable with Shift alone
  EXPECT_FALSE(locateKeysym(map, XK_EuroSign));
}

TEST(KeyboardMapLookup, LatinLetterUnderItsUnicodeKeysym) {
  KeyboardMap map = smallMap();
  map.setRow(13, {0x1000000 + 0xF1});
  EXPECT_EQ(locateCodePoint(map, U'ñ'), (KeyLocation{13, false}));
}

TEST(KeyboardMapLookup, SpareKeycodesAreThoseWithoutAnyKeysym) {
  KeyboardMap map = smallMap();
  EXPECT_EQ(spareKeycodes(map), (std::vector<int>{13, 15}));
  map.setRow(15, {kNoSymbol, kNoSymbol, XK_b});
  EXPECT_EQ(spareKeycodes(map), (std::vector<int>{13}));
  EXPECT_EQ(map.row(99), std::vector<Keysym>{});
  EXPECT_EQ(map.at(99, 0), kNoSymbol);
  EXPECT_EQ(map.at(10, 7), kNoSymbol);
}

}  // namespace
}  // namespace larkspire::linux_backend
