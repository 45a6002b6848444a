#include "common/text.h"

#include <gtest/gtest.h>

#include "common/json.h"

namespace larkspire::text {
namespace {

TEST(Text, TrimsUnicodeWhitespaceAndLowercasesBeyondAscii) {
  EXPECT_EQ(lowercase(trimWhitespaceAndNewlines("  \u00C9DITEUR\n")), "\u00E9diteur");
  EXPECT_EQ(trimWhitespaceAndNewlines("\u3000\u2028x y\u00A0\r\n"), "x y");
  EXPECT_TRUE(isBlank(" \t\u0085\n"));
  EXPECT_FALSE(isBlank(" . "));
}

TEST(Text, CountsAndCutsGraphemeClusters) {
  // e + combining acute, a flag, a family emoji joined by ZWJ, a thumbs up with skin tone.
  std::string text = "e\u0301\U0001F1EB\U0001F1F7\U0001F468\u200D\U0001F469\u200D\U0001F467\U0001F44D\U0001F3FD!";
  EXPECT_EQ(graphemeCount(text), 5u);
  EXPECT_EQ(graphemePrefix(text, 1), "e\u0301");
  EXPECT_EQ(graphemePrefix(text, 4), text.substr(0, text.size() - 1));
  EXPECT_EQ(graphemePrefix(text, 99), text);
  EXPECT_EQ(graphemePrefix("", 3), "");
}

TEST(Text, RepairsInvalidUtf8AndRoundTripsUtf16) {
  EXPECT_FALSE(isValidUtf8("a\xC3"));
  EXPECT_EQ(sanitizeUtf8("a\xFF"
                         "b"),
            "a\uFFFD"
            "b");
  std::string s = "h\u00E9\U0001F600";
  EXPECT_EQ(toUtf16(s), u"h\u00E9\U0001F600");
  EXPECT_EQ(fromUtf16(toUtf16(s)), s);
  EXPECT_EQ(fromUtf16(std::u16string(1, char16_t(0xD800))), "\uFFFD");
}

TEST(Text, EncodesBase64WithPadding) {
  auto enc = [](std::string s) { return base64Encode(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); };
  EXPECT_EQ(enc(""), "");
  EXPECT_EQ(enc("f"), "Zg==");
  EXPECT_EQ(enc("fo"), "Zm8=");
  EXPECT_EQ(enc("foobar"), "Zm9vYmFy");
}

TEST(Json, ParsesOnlyObjectsWithinTheNestingLimit) {
  EXPECT_TRUE(json::parseObject(R"({"a":[1,{"b":"\/x"}]})"));
  EXPECT_FALSE(json::parseObject("[]"));
  EXPECT_FALSE(json::parseObject("\"x\""));
  EXPECT_FALSE(json::parseObject(""));
  EXPECT_FALSE(json::parseObject("{\"a\":\"\xFF\"}"));
  EXPECT_FALSE(json::parseObject("{} x"));
  std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_FALSE(json::parseObject(deep));
  // Brackets inside strings do not count as nesting.
  EXPECT_TRUE(json::parseObject("{\"a\":\"" + std::string(1000, '[') + "\"}"));
}

TEST(Json, CompactOutputNeverFailsOnBrokenText) {
  json::Json v = {{"name", std::string("a\xFF")}};
  EXPECT_EQ(json::compact(v), "{\"name\":\"a\xEF\xBF\xBD\"}");
}

TEST(Json, CompactOutputIsTheLibrarysOwn) {
  json::Json v = {
      {"plain", "ABCabc+/= 09~\x7F"},
      {"escaped", "quote \" backslash \\ tab \t newline \n nul " + std::string(1, '\0') + " \x1F"},
      {"unicode", "Sélection 選択 \xF0\x9F\x98\x80"},
      {"broken", std::string("a\xFF\xC3")},
      {"k\"ey\xFF", {{"nested", json::Json::array({1, -2, 3000000000u, 0.1, -0.0, 1e300, true, false, nullptr})}}},
      {"empty", {{"object", json::Json::object()}, {"array", json::Json::array()}, {"string", ""}}},
  };
  EXPECT_EQ(json::compact(v), v.dump(-1, ' ', false, json::Json::error_handler_t::replace));
  EXPECT_EQ(json::compact(json::Json("top")), "\"top\"");
  EXPECT_EQ(json::compact(json::Json(2.5)), "2.5");
}

}  // namespace
}  // namespace larkspire::text
