#include "platform/linux/x11/monitor_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace larkspire::linux_backend {
namespace {

using platform::kCGEventFlagMaskAlternate;
using platform::kCGEventFlagMaskCommand;
using platform::kCGEventFlagMaskShift;

// X modifier and button mask bits (X.h, whose None macro clashes with gtest).
constexpr unsigned ShiftMask = 1 << 0, LockMask = 1 << 1, ControlMask = 1 << 2, Mod1Mask = 1 << 3, Mod2Mask = 1 << 4;
constexpr unsigned Button1Mask = 1 << 8, Button2Mask = 1 << 9, Button3Mask = 1 << 10, Button4Mask = 1 << 11;

// XSETTINGS property builder, in either byte order.
class SettingsBlob {
 public:
  explicit SettingsBlob(bool bigEndian) : big_(bigEndian) {
    bytes_ = {std::uint8_t(big_ ? 1 : 0), 0, 0, 0};
    card32(7);  // serial
    countAt_ = bytes_.size();
    card32(0);
  }
  SettingsBlob& integer(const std::string& name, std::int32_t value) {
    header(0, name);
    card32(static_cast<std::uint32_t>(value));
    return *this;
  }
  SettingsBlob& string(const std::string& name, const std::string& value) {
    header(1, name);
    card32(static_cast<std::uint32_t>(value.size()));
    text(value);
    return *this;
  }
  SettingsBlob& color(const std::string& name) {
    header(2, name);
    for (int i = 0; i < 8; ++i) bytes_.push_back(0xAB);
    return *this;
  }
  std::vector<std::uint8_t> bytes() {
    auto out = bytes_;
    std::uint32_t n = count_;
    for (int i = 0; i < 4; ++i) out[countAt_ + i] = big_ ? std::uint8_t(n >> (24 - 8 * i)) : std::uint8_t(n >> (8 * i));
    return out;
  }

 private:
  void header(std::uint8_t type, const std::string& name) {
    ++count_;
    bytes_.push_back(type);
    bytes_.push_back(0);
    std::uint16_t length = static_cast<std::uint16_t>(name.size());
    if (big_) {
      bytes_.push_back(std::uint8_t(length >> 8));
      bytes_.push_back(std::uint8_t(length));
    } else {
      bytes_.push_back(std::uint8_t(length));
      bytes_.push_back(std::uint8_t(length >> 8));
    }
    text(name);
    card32(1);  // last change serial
  }
  void text(const std::string& s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    while (bytes_.size() % 4) bytes_.push_back(0);
  }
  void card32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(big_ ? std::uint8_t(v >> (24 - 8 * i)) : std::uint8_t(v >> (8 * i)));
  }
  bool big_;
  std::vector<std::uint8_t> bytes_;
  std::size_t countAt_ = 0;
  std::uint32_t count_ = 0;
};

TEST(DoubleClickSettingsParsing, ReadsBothSettingsAmongOthersInEitherByteOrder) {
  for (bool big : {false, true}) {
    auto blob = SettingsBlob(big)
                    .string("Net/ThemeName", "Adwaita")
                    .integer("Net/DoubleClickTime", 250)
                    .color("Gtk/Color")
                    .integer("Net/DoubleClickDistance", 8)
                    .integer("Xft/DPI", 98304)
                    .bytes();
    EXPECT_EQ(parseDoubleClickSettings(blob), (DoubleClickSettings{250, 8})) << (big ? "MSB" : "LSB");
  }
}

TEST(DoubleClickSettingsParsing, MissingOrUnusableValuesKeepGtkDefaults) {
  EXPECT_EQ(parseDoubleClickSettings({}), (DoubleClickSettings{400, 5}));
  auto onlyTime = SettingsBlob(false).integer("Net/DoubleClickTime", 600).bytes();
  EXPECT_EQ(parseDoubleClickSettings(onlyTime), (DoubleClickSettings{600, 5}));
  // Absurd values are ignored rather than trusted.
  auto absurd =
      SettingsBlob(false).integer("Net/DoubleClickTime", -1).integer("Net/DoubleClickDistance", 1 << 30).bytes();
  EXPECT_EQ(parseDoubleClickSettings(absurd), (DoubleClickSettings{400, 5}));
  // The right name with the wrong type.
  auto wrongType = SettingsBlob(false).string("Net/DoubleClickTime", "100").bytes();
  EXPECT_EQ(parseDoubleClickSettings(wrongType), (DoubleClickSettings{400, 5}));
}

TEST(DoubleClickSettingsParsing, TruncatedOrLyingDataGivesDefaultsWithoutReadingPastTheEnd) {
  auto good = SettingsBlob(false).integer("Net/DoubleClickTime", 250).string("Net/ThemeName", "Adwaita").bytes();
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    std::vector<std::uint8_t> truncated(good.begin(), good.begin() + cut);
    EXPECT_EQ(parseDoubleClickSettings(truncated), (DoubleClickSettings{400, 5})) << cut;
  }
  // A count far larger than the settings present.
  auto lying = good;
  lying[8] = lying[9] = lying[10] = lying[11] = 0xFF;
  EXPECT_EQ(parseDoubleClickSettings(lying), (DoubleClickSettings{400, 5}));
  // A string length near 2^32 must not wrap the bounds check.
  auto huge = SettingsBlob(false).string("Net/ThemeName", "x").bytes();
  std::size_t lengthAt = 12 + 4 + 16 + 4;  // header, type/pad/len, padded name, serial
  huge[lengthAt] = huge[lengthAt + 1] = huge[lengthAt + 2] = huge[lengthAt + 3] = 0xFF;
  EXPECT_EQ(parseDoubleClickSettings(huge), (DoubleClickSettings{400, 5}));
  std::vector<std::uint8_t> badOrder{7, 0, 0, 0};
  EXPECT_EQ(parseDoubleClickSettings(badOrder), (DoubleClickSettings{400, 5}));
}

TEST(ClickCounting, PressesCloseInTimeAndPlaceMakeASeries) {
  ClickCounter clicks;
  EXPECT_EQ(clicks.press(1000, {100, 100}), 1);
  EXPECT_EQ(clicks.press(1300, {102, 99}), 2);
  EXPECT_EQ(clicks.current(), 2);
  // Each interval is measured from the previous press, not the first.
  EXPECT_EQ(clicks.press(1650, {103, 100}), 3);
  EXPECT_EQ(clicks.press(1650 + 400, {103, 100}), 4);  // exactly the double-click time still counts
}

TEST(ClickCounting, TooLateOrTooFarStartsOver) {
  ClickCounter clicks;
  clicks.press(1000, {100, 100});
  EXPECT_EQ(clicks.press(1401, {100, 100}), 1);  // 401 ms
  EXPECT_EQ(clicks.press(1500, {105, 95}), 2);   // 5 px on each axis is within
  EXPECT_EQ(clicks.press(1600, {111, 95}), 1);   // 6 px off on x
  EXPECT_EQ(clicks.press(1700, {111, 100}), 2);
  EXPECT_EQ(clicks.press(1800, {111, 107}), 1);  // 6 px off on y
}

TEST(ClickCounting, DesktopSettingsAndServerTimeWrap) {
  ClickCounter clicks({200, 2});
  clicks.press(0xFFFFFF00u, {0, 0});
  EXPECT_EQ(clicks.press(0x00000010u, {2, 2}), 1);  // 0x110 = 272 ms later: too late for 200 ms
  clicks.press(0xFFFFFFF0u, {0, 0});
  EXPECT_EQ(clicks.press(0x00000040u, {2, 2}), 2);  // 80 ms across the wrap
  EXPECT_EQ(clicks.press(0x00000050u, {5, 2}), 1);  // 3 px off for a 2 px distance
  // A press that seems to come before the previous one is a new series.
  clicks.press(5000, {0, 0});
  EXPECT_EQ(clicks.press(4990, {0, 0}), 1);
}

TEST(ModifierFlagsFromX, ControlIsCommandShiftIsShift) {
  EXPECT_EQ(flagsForModifierState(0), 0u);
  EXPECT_EQ(flagsForModifierState(ControlMask), kCGEventFlagMaskCommand);
  EXPECT_EQ(flagsForModifierState(ShiftMask), kCGEventFlagMaskShift);
  EXPECT_EQ(flagsForModifierState(ShiftMask | ControlMask | Mod1Mask),
            kCGEventFlagMaskShift | kCGEventFlagMaskCommand | kCGEventFlagMaskAlternate);
  // Caps Lock, Num Lock and the pointer buttons are no modifiers here.
  EXPECT_EQ(flagsForModifierState(LockMask | Mod2Mask | Button1Mask), 0u);
}

TEST(ModifierTracking, FollowsModifierKeysAndIgnoresOthers) {
  ModifierTracker tracker;
  // Shift: 50, 62; Lock: 66; Control: 37, 105; Mod1: 64
  tracker.setModifierMapping({{50, 62}, {66}, {37, 105}, {64}, {}, {}, {}, {}});
  EXPECT_FALSE(tracker.press(38));  // 'a' is no modifier
  EXPECT_EQ(tracker.state(), 0u);
  EXPECT_TRUE(tracker.press(50));
  EXPECT_EQ(tracker.state(), unsigned(ShiftMask));
  EXPECT_TRUE(tracker.press(105));
  EXPECT_EQ(tracker.state(), unsigned(ShiftMask | ControlMask));
  // Auto-repeat presses a held key again; one release still ends it.
  EXPECT_TRUE(tracker.press(50));
  tracker.release(50);
  EXPECT_EQ(tracker.state(), unsigned(ControlMask));
  // Both Shift keys down, one released: still shifted.
  tracker.press(50);
  tracker.press(62);
  tracker.release(62);
  EXPECT_EQ(tracker.state(), unsigned(ShiftMask | ControlMask));
  tracker.clear();
  EXPECT_EQ(tracker.state(), 0u);
}

TEST(PressedButtons, LeftIsBitZeroLikeTheMac) {
  EXPECT_EQ(pressedButtonsForMask(0), 0u);
  EXPECT_EQ(pressedButtonsForMask(Button1Mask), 1u);
  EXPECT_EQ(pressedButtonsForMask(Button3Mask), 2u);
  EXPECT_EQ(pressedButtonsForMask(Button2Mask), 4u);
  EXPECT_EQ(pressedButtonsForMask(ShiftMask | Button4Mask), 0u);
}

}  // namespace
}  // namespace larkspire::linux_backend
