#include "selection-observer/command_line.h"

#include <gtest/gtest.h>

#include "common/json.h"
#include "selection-observer/payloads.h"

namespace larkspire::observer {
namespace {

TEST(ObserverCommandLine, ParsesProcessIdentifiersStrictly) {
  EXPECT_EQ(parsePid("42"), 42);
  EXPECT_EQ(parsePid("+7"), 7);
  EXPECT_EQ(parsePid("-2147483648"), -2147483648LL);
  EXPECT_EQ(parsePid("2147483647"), 2147483647);
  EXPECT_FALSE(parsePid("2147483648"));
  EXPECT_FALSE(parsePid("99999999999999999999"));
  EXPECT_FALSE(parsePid(""));
  EXPECT_FALSE(parsePid("+"));
  EXPECT_FALSE(parsePid(" 42"));
  EXPECT_FALSE(parsePid("42 "));
  EXPECT_FALSE(parsePid("4a"));
  EXPECT_FALSE(parsePid("0x10"));
}

TEST(ObserverCommandLine, ParsesSecondsInTheCLocale) {
  EXPECT_EQ(parseSeconds("2.5"), 2.5);
  EXPECT_EQ(parseSeconds("10"), 10.0);
  EXPECT_FALSE(parseSeconds(" 3"));
  EXPECT_FALSE(parseSeconds("3s"));
  EXPECT_FALSE(parseSeconds("2,5"));
  EXPECT_FALSE(parseSeconds(""));
  // Not printable as a whole number: treated as missing.
  EXPECT_FALSE(parseSeconds("inf"));
  EXPECT_FALSE(parseSeconds("nan"));
  EXPECT_FALSE(parseSeconds("1e300"));
}

TEST(ObserverCommandLine, TriesTheModesInOrder) {
  auto mode = parseCommandLine({"--check-permission", "--watch-pid", "12"});
  ASSERT_TRUE(std::holds_alternative<WatchMode>(mode));
  EXPECT_EQ(std::get<WatchMode>(mode).pid, 12);
  EXPECT_EQ(std::get<WatchMode>(mode).seconds, 25);

  mode = parseCommandLine({"--watch-pid", "12", "x"});
  EXPECT_EQ(std::get<WatchMode>(mode).seconds, 25);
  mode = parseCommandLine({"--watch-pid", "12", "1.5"});
  EXPECT_EQ(std::get<WatchMode>(mode).seconds, 1.5);

  // An invalid pid makes the mode not apply.
  EXPECT_TRUE(std::holds_alternative<ObserverMode>(parseCommandLine({"--watch-pid", "abc"})));
  EXPECT_TRUE(std::holds_alternative<DumpMode>(parseCommandLine({"--watch-pid", "abc", "--dump-pid", "5"})));
  EXPECT_TRUE(std::holds_alternative<CheckPermissionMode>(parseCommandLine({"--dump-pid", "--check-permission"})));
  // The first occurrence counts.
  EXPECT_EQ(std::get<DumpMode>(parseCommandLine({"--dump-pid", "3", "--dump-pid", "4"})).pid, 3);
}

TEST(ObserverCommandLine, ObserverOptions) {
  auto mode = std::get<ObserverMode>(parseCommandLine({"--read-selection", "--ignore-pid", "77"}));
  EXPECT_EQ(mode.ignoredPid, 77);
  EXPECT_TRUE(mode.readSelection);
  mode = std::get<ObserverMode>(parseCommandLine({"--ignore-pid"}));
  EXPECT_FALSE(mode.ignoredPid);
  EXPECT_FALSE(mode.readSelection);
  mode = std::get<ObserverMode>(parseCommandLine({"--ignore-pid", "x"}));
  EXPECT_FALSE(mode.ignoredPid);
}

TEST(ObserverPayloads, OmitsAbsentKeysAndEscapesSlashes) {
  SelectionPayload p;
  p.text = "a/b";
  p.sourcePid = 9;
  auto json = json::Json::parse(*encode(p));
  EXPECT_EQ(json.size(), 3u);
  EXPECT_EQ(json["text"], "a/b");
  EXPECT_NE(encode(p)->find("a\\/b"), std::string::npos);
  EXPECT_EQ(encode(p)->find('\n'), std::string::npos);

  p.bounds = SelectionBounds{1.5, 2, 3, 4};
  p.sourceApp = "org.example.App";
  p.sourceUrl = "https://example.org/x";
  json = json::Json::parse(*encode(p));
  EXPECT_EQ(json["bounds"]["x"], 1.5);
  EXPECT_EQ(json["sourceUrl"], "https://example.org/x");
  EXPECT_EQ(json.size(), 6u);

  EXPECT_EQ(*encode(ClearPayload{}), R"({"type":"clear"})");
  EXPECT_EQ(json::Json::parse(*encode(PermissionPayload{.granted = true}))["granted"], true);
}

TEST(ObserverPayloads, DropsPayloadsWithNonFiniteBounds) {
  SelectionPayload p;
  p.text = "x";
  p.bounds = SelectionBounds{0, 0, std::numeric_limits<double>::infinity(), 1};
  EXPECT_FALSE(encode(p));
  CapturedOutput out;
  emit(out, p);
  EXPECT_EQ(out.out, "");
}

}  // namespace
}  // namespace larkspire::observer
