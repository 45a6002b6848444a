#include "mcp/selection/selection_state.h"

#include <gtest/gtest.h>

namespace larkspire::mcp {
namespace {

TEST(McpSelection, ContentsFollowTheObserversLinesAndOnlyChangesNotify) {
  SelectionState state;
  EXPECT_EQ(state.contents(), (Json{{"selection", nullptr}, {"accessibility", nullptr}}));
  EXPECT_TRUE(state.apply(R"({"type":"permission","granted":true})"));
  EXPECT_FALSE(state.apply(R"({"type":"permission","granted":true})"));
  EXPECT_FALSE(state.apply(R"({"type":"clear"})")) << "nothing was selected";

  EXPECT_TRUE(state.apply(R"({"type":"selection","text":"fox","sourcePid":5,"sourceApp":"org.x"})"));
  EXPECT_EQ(state.contents()["selection"], (Json{{"text", "fox"}, {"sourcePid", 5}, {"sourceApp", "org.x"}}));
  EXPECT_EQ(state.contents()["accessibility"], true);
  EXPECT_FALSE(state.apply(R"({"type":"selection","text":"fox","sourcePid":5,"sourceApp":"org.x"})"));
  EXPECT_TRUE(state.apply(R"({"type":"selection","text":"fox jumps","sourcePid":5})"));
  EXPECT_TRUE(state.apply(R"({"type":"clear"})"));
  EXPECT_TRUE(state.contents()["selection"].is_null());

  for (const char* junk :
       {"", "not json", R"({"type":"selection"})", R"({"type":"permission","granted":"yes"})", R"({"type":"other"})"}) {
    EXPECT_FALSE(state.apply(junk)) << junk;
  }
}

TEST(McpSelection, RestartsBackOffUpToHalfAMinuteAndAreForgivenAfterAMinutesRun) {
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  RestartBackoff backoff;
  std::vector<long> delays;
  for (int i = 0; i < 8; ++i) delays.push_back(static_cast<long>(backoff.next(milliseconds(10)).count()));
  EXPECT_EQ(delays, (std::vector<long>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
  EXPECT_EQ(backoff.next(seconds(60)), seconds(1));
  EXPECT_EQ(backoff.next(seconds(5)), seconds(2));
}

}  // namespace
}  // namespace larkspire::mcp
