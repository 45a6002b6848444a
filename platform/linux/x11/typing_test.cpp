#include "platform/linux/x11/typing.h"

#include <gtest/gtest.h>

#include "platform/linux/x11/fake_input_port.h"

namespace larkspire::linux_backend {
namespace {

using testing::usMap;

constexpr Keysym unicodeKeysym(char32_t c) { return 0x1000000 + c; }

std::vector<TypingStep> bindSteps(const TypingPlan& plan) {
  std::vector<TypingStep> binds;
  for (const auto& step : plan.steps) {
    if (step.kind == TypingStep::Kind::bind) binds.push_back(step);
  }
  return binds;
}

TEST(TypingPlan, CharactersOfTheMapUseTheirOwnKeysWithTheRightLevel) {
  KeyboardMap map = usMap();
  TypingPlan plan = planTyping(map, U"aA!1 \n");
  ASSERT_EQ(plan.steps.size(), 6u);
  EXPECT_EQ(plan.steps[0].key, (KeyLocation{testing::keycodeOf(map, 'a'), false}));
  EXPECT_EQ(plan.steps[1].key, (KeyLocation{testing::keycodeOf(map, 'a'), true}));
  EXPECT_EQ(plan.steps[2].key, (KeyLocation{testing::keycodeOf(map, '1'), true}));
  EXPECT_EQ(plan.steps[3].key, (KeyLocation{testing::keycodeOf(map, '1'), false}));
  EXPECT_EQ(plan.steps[5].key.keycode, testing::keycodeOf(map, XK_Return));
  EXPECT_TRUE(bindSteps(plan).empty());
  EXPECT_TRUE(plan.changedKeycodes.empty());
  EXPECT_EQ(plan.untypable, 0u);
}

TEST(TypingPlan, MissingCharactersAreBoundOnceAndReusedForRepeats) {
  KeyboardMap map = usMap();
  TypingPlan plan = planTyping(map, U"é日é日é");
  auto binds = bindSteps(plan);
  // One change binds both characters; the repeats reuse their keycodes.
  ASSERT_EQ(binds.size(), 1u);
  EXPECT_EQ(binds[0].bindings, (std::vector<std::pair<int, Keysym>>{{8, 0xE9}, {9, unicodeKeysym(U'日')}}));
  EXPECT_EQ(plan.changedKeycodes, (std::vector<int>{8, 9}));
  std::vector<int> strokes;
  for (const auto& step : plan.steps) {
    if (step.kind == TypingStep::Kind::stroke) strokes.push_back(step.key.keycode);
  }
  EXPECT_EQ(strokes, (std::vector<int>{8, 9, 8, 9, 8}));
  EXPECT_EQ(plan.steps.front().kind, TypingStep::Kind::bind);
}

TEST(TypingPlan, MoreDistinctCharactersThanSpareKeycodesRebindInBatches) {
  KeyboardMap map = usMap();
  // Keep only two spare keycodes (8 and 9).
  for (int keycode = 90; keycode <= 99; ++keycode) map.setRow(keycode, {Keysym(0xFE00 + keycode)});
  ASSERT_EQ(spareKeycodes(map), (std::vector<int>{8, 9}));
  TypingPlan plan = planTyping(map, U"αβγβδ");
  auto binds = bindSteps(plan);
  ASSERT_EQ(binds.size(), 3u);
  EXPECT_EQ(binds[0].bindings,
            (std::vector<std::pair<int, Keysym>>{{8, unicodeKeysym(U'α')}, {9, unicodeKeysym(U'β')}}));
  // γ takes α's keycode; β, needed again, keeps its own.
  EXPECT_EQ(binds[1].bindings, (std::vector<std::pair<int, Keysym>>{{8, unicodeKeysym(U'γ')}}));
  // δ then takes a keycode whose character is not needed any more.
  EXPECT_EQ(binds[2].bindings, (std::vector<std::pair<int, Keysym>>{{8, unicodeKeysym(U'δ')}}));
  std::vector<int> strokes;
  for (const auto& step : plan.steps) {
    if (step.kind == TypingStep::Kind::stroke) strokes.push_back(step.key.keycode);
  }
  EXPECT_EQ(strokes, (std::vector<int>{8, 9, 8, 9, 8}));
  EXPECT_EQ(plan.changedKeycodes, (std::vector<int>{8, 9}));
  EXPECT_EQ(plan.untypable, 0u);
}

TEST(TypingPlan, BindingsCarryOverFromPieceToPieceAndReplacementsAreMarked) {
  KeyboardMap map = usMap();
  for (int keycode = 90; keycode <= 99; ++keycode) map.setRow(keycode, {Keysym(0xFE00 + keycode)});
  const std::vector<int> spare{8, 9};
  KeyBindings bindings;
  auto first = planTyping(map, spare, bindings, U"αβ");
  ASSERT_EQ(bindSteps(first).size(), 1u);
  EXPECT_FALSE(bindSteps(first)[0].replaces);

  // α is still bound: no change of the map at all.
  auto second = planTyping(map, spare, bindings, U"α");
  ASSERT_EQ(second.steps.size(), 1u);
  EXPECT_EQ(second.steps[0].key, (KeyLocation{8, false}));
  EXPECT_TRUE(second.steps[0].bound);

  // γ takes the keycode typed longest ago (β's), and says it replaces one.
  auto third = planTyping(map, spare, bindings, U"γ");
  ASSERT_EQ(bindSteps(third).size(), 1u);
  EXPECT_TRUE(bindSteps(third)[0].replaces);
  EXPECT_EQ(bindSteps(third)[0].bindings, (std::vector<std::pair<int, Keysym>>{{9, unicodeKeysym(U'γ')}}));
  EXPECT_EQ(bindings.changed, (std::vector<int>{8, 9}));
  EXPECT_TRUE(typable(map, true, U"aγ!\n"));
  EXPECT_FALSE(typable(map, false, U"aγ"));
}

TEST(TypingPlan, ABindingGivesUpTheCharacterThatComesAgainLatest) {
  KeyboardMap map = usMap();
  for (int keycode = 90; keycode <= 99; ++keycode) map.setRow(keycode, {Keysym(0xFE00 + keycode)});
  const std::vector<int> spare{8, 9};
  KeyBindings bindings;
  planTyping(map, spare, bindings, U"αβ", true, U"γα");
  // α was typed longest ago, but it comes right after γ; β never again.
  auto next = planTyping(map, spare, bindings, U"γ", true, U"α");
  ASSERT_EQ(bindSteps(next).size(), 1u);
  EXPECT_EQ(bindSteps(next)[0].bindings, (std::vector<std::pair<int, Keysym>>{{9, unicodeKeysym(U'γ')}}));
  EXPECT_TRUE(bindSteps(planTyping(map, spare, bindings, U"α", true, U"")).empty());
}

TEST(TypingPlan, NothingToTypeWithoutSpareKeycodesOrForControls) {
  KeyboardMap map = usMap();
  for (int keycode : spareKeycodes(map)) map.setRow(keycode, {Keysym(0xFE00 + keycode)});
  TypingPlan plan = planTyping(map,
                               U"a日\x07"
                               U"b");
  EXPECT_EQ(plan.untypable, 2u);
  ASSERT_EQ(plan.steps.size(), 2u);
  EXPECT_TRUE(plan.changedKeycodes.empty());
}

TEST(TypingPlan, ShiftLevelCharactersAreBoundWhenTheMapHasNoShiftKey) {
  KeyboardMap map = usMap();
  TypingPlan plan = planTyping(map, U"aA", /*shiftAvailable=*/false);
  ASSERT_EQ(plan.steps.size(), 3u);
  EXPECT_EQ(plan.steps[0].key.shift, false);
  EXPECT_EQ(plan.steps[1].kind, TypingStep::Kind::bind);
  EXPECT_EQ(plan.steps[1].bindings[0].second, Keysym('A'));
  EXPECT_FALSE(plan.steps[2].key.shift);
}

TEST(TypingPlan, RunsOfConsecutiveKeycodes) {
  EXPECT_EQ(consecutiveRuns({}), std::vector<std::vector<int>>{});
  EXPECT_EQ(consecutiveRuns({93, 8, 9, 97, 10, 93}), (std::vector<std::vector<int>>{{8, 9, 10}, {93}, {97}}));
}

}  // namespace
}  // namespace larkspire::linux_backend
