#include "platform/macos/cf_values.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace larkspire::macos_backend {
namespace {

using platform::Value;

Value roundTrip(const Value& value) {
  auto object = toObject(value);
  EXPECT_TRUE(object);
  return object ? toValue(object.get()) : Value(platform::OtherValue{"no object"});
}

TEST(CFHandle, AdoptTakesOverAndRetainAddsOneReferenceReleasedOnEveryPath) {
  CFMutableStringRef raw = CFStringCreateMutable(kCFAllocatorDefault, 0);
  auto owner = CFHandle<CFMutableStringRef>::adopt(raw);
  EXPECT_EQ(CFGetRetainCount(raw), 1);
  {
    auto second = CFHandle<CFMutableStringRef>::retain(raw);
    EXPECT_EQ(CFGetRetainCount(raw), 2);
    auto copy = second;
    EXPECT_EQ(CFGetRetainCount(raw), 3);
    auto moved = std::move(copy);
    EXPECT_EQ(CFGetRetainCount(raw), 3);
    EXPECT_FALSE(copy);
  }
  EXPECT_EQ(CFGetRetainCount(raw), 1);
}

TEST(CFValues, TextKeepsEveryCharacterAndRefusesInvalidUtf8) {
  const std::string text = "Grüße, 世界 👋🏽\n";
  EXPECT_EQ(std::get<std::string>(roundTrip(Value(text))), text);
  EXPECT_EQ(toString(makeString("").get()), "");
  EXPECT_FALSE(makeString("\xff\xfe"));
  EXPECT_FALSE(toObject(Value(std::string("bad \xc3"))));
}

TEST(CFValues, BooleansAndNumbersKeepTheirKind) {
  EXPECT_EQ(roundTrip(Value(true)), Value(true));
  EXPECT_EQ(roundTrip(Value(false)), Value(false));
  EXPECT_EQ(roundTrip(Value(std::int64_t{-9'000'000'000})), Value(std::int64_t{-9'000'000'000}));
  EXPECT_EQ(roundTrip(Value(2.5)), Value(2.5));

  int small = 7;
  auto number = CFHandle<CFNumberRef>::adopt(CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &small));
  EXPECT_EQ(toValue(number.get()), Value(std::int64_t{7}));
}

TEST(CFValues, TypedValuesRoundTripAsThemselves) {
  const platform::AXValue point{platform::Point{1.5, -2}};
  const platform::AXValue size{platform::Size{300, 200.25}};
  const platform::AXValue rect{platform::Rect{{10, 20}, {-30, 40}}};
  const platform::AXValue range{platform::CharacterRange{3, 12}};
  for (const auto& typed : {point, size, rect, range}) {
    auto back = roundTrip(Value(typed));
    ASSERT_TRUE(std::holds_alternative<platform::AXValue>(back));
    EXPECT_EQ(std::get<platform::AXValue>(back), typed);
    EXPECT_EQ(std::get<platform::AXValue>(back).type(), typed.type());
  }
}

TEST(CFValues, UrlsComeBackAbsolute) {
  auto baseText = makeString("https://example.com/docs/");
  auto relativeText = makeString("page.html?x=1");
  auto base = CFHandle<CFURLRef>::adopt(CFURLCreateWithString(kCFAllocatorDefault, baseText.get(), nullptr));
  auto relative = CFHandle<CFURLRef>::adopt(CFURLCreateWithString(kCFAllocatorDefault, relativeText.get(), base.get()));
  EXPECT_EQ(toValue(relative.get()), Value(platform::Url{"https://example.com/docs/page.html?x=1"}));
  EXPECT_EQ(roundTrip(Value(platform::Url{"file:///Applications/Notes.app/"})),
            Value(platform::Url{"file:///Applications/Notes.app/"}));
}

TEST(CFValues, ArraysBecomeTypedListsAndMixedOnesStayOther) {
  EXPECT_EQ(roundTrip(Value(platform::TextList{"AXPress", "AXRaise"})),
            Value(platform::TextList{"AXPress", "AXRaise"}));

  auto empty = CFHandle<CFArrayRef>::adopt(CFArrayCreate(kCFAllocatorDefault, nullptr, 0, &kCFTypeArrayCallBacks));
  EXPECT_EQ(toValue(empty.get()), Value(platform::ElementList{}));

  auto text = makeString("a");
  const void* mixed[] = {text.get(), kCFBooleanTrue};
  auto array = CFHandle<CFArrayRef>::adopt(CFArrayCreate(kCFAllocatorDefault, mixed, 2, &kCFTypeArrayCallBacks));
  EXPECT_TRUE(std::holds_alternative<platform::OtherValue>(toValue(array.get())));
}

TEST(CFValues, UnknownObjectsAreHandedBackUnchangedAndDictionariesAreOther) {
  auto uuid = CFHandle<CFUUIDRef>::adopt(CFUUIDCreate(kCFAllocatorDefault));
  auto value = toValue(uuid.get());
  ASSERT_TRUE(std::holds_alternative<platform::TextMarkerRange>(value));
  auto back = toObject(value);
  EXPECT_EQ(back.get(), static_cast<CFTypeRef>(uuid.get()));

  auto dictionary = CFHandle<CFDictionaryRef>::adopt(CFDictionaryCreate(
      kCFAllocatorDefault, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  auto other = toValue(dictionary.get());
  ASSERT_TRUE(std::holds_alternative<platform::OtherValue>(other));
  EXPECT_FALSE(toObject(other));
}

TEST(MacElement, IdentityIsTheSameElementNotTheSameHandle) {
  auto first = adoptElement(AXUIElementCreateApplication(getpid()));
  auto second = adoptElement(AXUIElementCreateApplication(getpid()));
  auto other = adoptElement(AXUIElementCreateApplication(1));
  ASSERT_TRUE(first);
  EXPECT_NE(elementRef(first), elementRef(second));
  EXPECT_EQ(first, second);
  EXPECT_EQ(first.hash(), second.hash());
  EXPECT_FALSE(first == other);
  EXPECT_FALSE(first == platform::Element());

  auto list = roundTrip(Value(platform::ElementList{first, other}));
  ASSERT_TRUE(std::holds_alternative<platform::ElementList>(list));
  EXPECT_EQ(std::get<platform::ElementList>(list), (platform::ElementList{second, other}));
  EXPECT_FALSE(toObject(Value(platform::Element())));
}

}  // namespace
}  // namespace larkspire::macos_backend
