// Named keys, typing pieces and typing, checked against what the simulated
// desktop recorded.
#include "computer/actions/keys.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "common/text.h"
#include "computer/failure.h"
#include "platform/simulated/desktop.h"

namespace larkspire::computer {
namespace {

using platform::kCGEventFlagMaskCommand;
using platform::kCGEventFlagMaskShift;
using platform::KeyboardEvent;

std::vector<KeyboardEvent> keyboardEvents(const simulated::Desktop& desktop) {
  std::vector<KeyboardEvent> events;
  for (const auto& posted : desktop.posted) {
    if (auto key = std::get_if<KeyboardEvent>(&posted)) events.push_back(*key);
  }
  return events;
}

TEST(PressKeys, HoldsExactlyTheNamedKeys) {
  const auto& keys = pressKeys();
  EXPECT_EQ(keys.size(), 27u);
  EXPECT_EQ(keys.at("Enter"), (KeyStroke{36, 0}));
  EXPECT_EQ(keys.at("Delete"), (KeyStroke{117, 0}));
  EXPECT_EQ(keys.at("PageDown"), (KeyStroke{121, 0}));
  EXPECT_EQ(keys.at("Shift+Tab"), (KeyStroke{48, kCGEventFlagMaskShift}));
  EXPECT_EQ(keys.at("Mod+Enter"), (KeyStroke{36, kCGEventFlagMaskCommand}));
  EXPECT_EQ(keys.at("Mod+l"), (KeyStroke{37, kCGEventFlagMaskCommand}));
  EXPECT_EQ(keys.at("Mod+z"), (KeyStroke{6, kCGEventFlagMaskCommand}));
  EXPECT_EQ(keys.at("Meta+s"), keys.at("Mod+s"));
  for (const char* name : {"enter", "Mod+A", "Ctrl+a", "Alt+Tab", "a", "Shift+a", "Meta+z"}) {
    EXPECT_EQ(keys.count(name), 0u) << name;
  }
}

TEST(TypingPieces, ShortTextGoesOneCharacterAtATime) {
  EXPECT_TRUE(typingPieces("").empty());
  EXPECT_EQ(typingPieces("Caf\u00e9!"), (std::vector<std::u16string>{u"C", u"a", u"f", u"\u00e9", u"!"}));
  // A combining sequence and a surrogate pair each stay one piece.
  EXPECT_EQ(typingPieces("e\u0301\U0001F600"), (std::vector<std::u16string>{u"e\u0301", u"\U0001F600"}));
  std::string exactly(perCharacterTypingLimit, 'x');
  EXPECT_EQ(typingPieces(exactly).size(), 200u);
}

TEST(TypingPieces, ALongCharacterIsChunkedEvenInShortText) {
  // Eight people joined by zero-width joiners: one character of 23 units.
  std::string cluster =
      "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466\u200D\U0001F468\u200D\U0001F469"
      "\u200D\U0001F467\u200D\U0001F466";
  ASSERT_EQ(text::graphemeCount(cluster), 1u);
  auto units = text::toUtf16(cluster);
  ASSERT_GT(units.size(), 20u);
  auto pieces = typingPieces(cluster);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0] + pieces[1], units);
  EXPECT_LE(pieces[0].size(), 20u);
}

TEST(TypingPieces, LongTextIsChunkedWithoutSplittingSurrogatePairs) {
  std::string text(201, 'a');
  auto pieces = typingPieces(text);
  ASSERT_EQ(pieces.size(), 11u);
  EXPECT_EQ(pieces[0], std::u16string(20, u'a'));
  EXPECT_EQ(pieces[10], std::u16string(1, u'a'));

  // The 20th unit is the first half of a pair: the first piece has 19 units.
  std::string split = std::string(19, 'b') + "\U0001F600" + std::string(200, 'c');
  auto chunks = typingPieces(split);
  ASSERT_GE(chunks.size(), 2u);
  EXPECT_EQ(chunks[0], std::u16string(19, u'b'));
  EXPECT_EQ(chunks[1].substr(0, 2), u"\U0001F600");
  EXPECT_EQ(chunks[1].size(), 20u);
  std::u16string joined;
  for (const auto& c : chunks) joined += c;
  EXPECT_EQ(joined, text::toUtf16(split));
}

class Typing : public ::testing::Test {
 protected:
  simulated::Desktop desktop;
  simulated::SimApp& app = desktop.addApp({.bundleIdentifier = "com.example.Notes", .name = "Notes"});
  simulated::SimApp& other = desktop.addApp({.bundleIdentifier = "com.example.Other", .name = "Other"});
  void SetUp() override { desktop.setFrontmost(app); }

  std::optional<NativeFailure> type(const std::string& text) {
    try {
      typeText(desktop.platform(), text, app.handle());
    } catch (const NativeFailure& failure) {
      return failure;
    }
    return std::nullopt;
  }
};

TEST_F(Typing, KeyPostsDownThenUpWithExactlyTheFlags) {
  key(desktop.platform().events, 0, kCGEventFlagMaskCommand);
  key(desktop.platform().events, 36);
  auto events = keyboardEvents(desktop);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0], (KeyboardEvent{0, true, kCGEventFlagMaskCommand, u""}));
  EXPECT_EQ(events[1], (KeyboardEvent{0, false, kCGEventFlagMaskCommand, u""}));
  EXPECT_EQ(events[2], (KeyboardEvent{36, true, platform::EventFlags{0}, u""}));
  EXPECT_EQ(events[3], (KeyboardEvent{36, false, platform::EventFlags{0}, u""}));
}

TEST_F(Typing, KeyThatCannotBeCreatedPostsNothing) {
  desktop.failKeyboardEvents = true;
  try {
    key(desktop.platform().events, 36);
    ADD_FAILURE() << "no failure";
  } catch (const NativeFailure& failure) {
    EXPECT_EQ(failure.code, kUnavailable);
    EXPECT_TRUE(failure.notExecuted);
  }
  EXPECT_TRUE(desktop.posted.empty());
}

TEST_F(Typing, PostsEachPieceAndPausesAfterEach) {
  double start = desktop.now();
  EXPECT_EQ(type("h\u00e9\U0001F600"), std::nullopt);
  auto events = keyboardEvents(desktop);
  ASSERT_EQ(events.size(), 6u);
  std::vector<std::u16string> typed;
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].keyCode, 0);
    EXPECT_EQ(events[i].keyDown, i % 2 == 0);
    EXPECT_EQ(events[i].flags, std::nullopt);  // left as created
    if (i % 2 == 0) typed.push_back(events[i].unicodeString);
    EXPECT_EQ(events[i].unicodeString, events[i - i % 2].unicodeString);
  }
  EXPECT_EQ(typed, (std::vector<std::u16string>{u"h", u"\u00e9", u"\U0001F600"}));
  EXPECT_NEAR(desktop.now() - start, 3 * 0.010, 1e-9);

  start = desktop.now();
  EXPECT_EQ(type(std::string(201, 'x')), std::nullopt);
  EXPECT_NEAR(desktop.now() - start, 11 * 0.002, 1e-9);
}

TEST_F(Typing, EmptyTextPostsNothing) {
  desktop.clearFrontmost();
  EXPECT_EQ(type(""), std::nullopt);
  EXPECT_TRUE(desktop.posted.empty());
}

TEST_F(Typing, StopsWhenAnotherApplicationComesToTheFront) {
  // The user switches applications while the second piece is being typed.
  int pieces = 0;
  desktop.onPost = [&](const simulated::PostedEvent& event) {
    auto key = std::get_if<KeyboardEvent>(&event);
    if (key && !key->keyDown && ++pieces == 2) desktop.setFrontmost(other);
  };
  auto failure = type("abcd");
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, kTargetChanged);
  EXPECT_FALSE(failure->notExecuted);
  EXPECT_EQ(keyboardEvents(desktop).size(), 4u);

  desktop.posted.clear();
  desktop.onPost = nullptr;
  desktop.clearFrontmost();
  failure = type("a");
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, kTargetChanged);
  EXPECT_FALSE(failure->notExecuted);
  EXPECT_TRUE(desktop.posted.empty());
}

TEST_F(Typing, AnUntypableCharacterRefusesTheWholeTextFirst) {
  desktop.untypable = {u'\u0007'};
  auto failure = type("ab\u0007c");
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, kUnavailable);
  EXPECT_TRUE(failure->notExecuted);
  EXPECT_TRUE(desktop.posted.empty());
  EXPECT_EQ(desktop.typingRunsFinished, 1);  // ended all the same
}

TEST_F(Typing, EveryRunIsFinishedAndAnUnconfirmedOneIsAFailure) {
  EXPECT_EQ(type("ab"), std::nullopt);
  EXPECT_EQ(desktop.typingRunsFinished, 1);

  // Stopped halfway: what was changed for typing is put back all the same.
  desktop.setFrontmost(other);
  EXPECT_EQ(type("ab")->code, kTargetChanged);
  EXPECT_EQ(desktop.typingRunsFinished, 2);

  desktop.setFrontmost(app);
  desktop.typingUnconfirmed = true;
  auto failure = type("ab");
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, kUnavailable);
  EXPECT_FALSE(failure->notExecuted);
  EXPECT_EQ(keyboardEvents(desktop).size(), 8u);
}

TEST_F(Typing, EventsThatCannotBeCreatedStopTyping) {
  desktop.failKeyboardEvents = true;
  auto failure = type("ab");
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, kUnavailable);
  EXPECT_FALSE(failure->notExecuted);
  EXPECT_TRUE(desktop.posted.empty());
}

}  // namespace
}  // namespace larkspire::computer
