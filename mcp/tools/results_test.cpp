#include "mcp/tools/results.h"

#include <gtest/gtest.h>

#include <set>

#include "mcp/tools/catalog.h"

namespace larkspire::mcp {
namespace {

TEST(McpToolResults, EveryFailureCodeIsNamedWithWhatToDoNext) {
  const char* codes[] = {"COMPUTER_INVALID_REQUEST", "COMPUTER_TARGET_CHANGED", "COMPUTER_PERMISSION_REQUIRED",
                         "COMPUTER_APP_NOT_FOUND",   "COMPUTER_SCREEN_LOCKED",  "COMPUTER_WINDOW_TOO_COMPLEX",
                         "COMPUTER_ACCESS_DENIED",   "COMPUTER_UNAVAILABLE"};
  std::set<std::string> advice;
  for (const char* code : codes) {
    Json result = resultFromResponse("observe_window", {{"ok", false}, {"code", code}, {"notExecuted", true}});
    EXPECT_EQ(result["isError"], true);
    std::string text = result["content"][0]["text"];
    EXPECT_EQ(text.rfind(std::string(code) + ": ", 0), 0u) << text;
    EXPECT_NE(text.find("Nothing on the desktop was changed."), std::string::npos);
    advice.insert(adviceFor(code));
  }
  EXPECT_EQ(advice.size(), std::size(codes)) << "each code has its own advice";

  Json partly = resultFromResponse("act", {{"ok", false}, {"code", "COMPUTER_UNAVAILABLE"}, {"notExecuted", false}});
  EXPECT_NE(partly["content"][0]["text"].get<std::string>().find("may have partly happened"), std::string::npos);
  EXPECT_EQ(resultFromResponse("act", Json::array())["isError"], true);
}

TEST(McpToolResults, AnObservationSendsThePictureOnceAsAnImageBlock) {
  Json data = {{"snapshotId", "s"},
               {"appId", "a"},
               {"windowId", "9"},
               {"elements", Json::array()},
               {"image", {{"mimeType", "image/png"}, {"width", 3}, {"height", 2}, {"data", "iVBO"}}}};
  Json result = resultFromResponse("observe_window", {{"ok", true}, {"nativeSessionVersion", 2}, {"data", data}});
  ASSERT_EQ(result["content"].size(), 2u);
  EXPECT_EQ(result["content"][0], (Json{{"type", "image"}, {"data", "iVBO"}, {"mimeType", "image/png"}}));
  Json inventory = result["structuredContent"];
  EXPECT_EQ(inventory["image"], (Json{{"mimeType", "image/png"}, {"width", 3}, {"height", 2}}));
  EXPECT_EQ(Json::parse(result["content"][1]["text"].get<std::string>()), inventory);
  EXPECT_FALSE(result.contains("isError"));

  Json status = resultFromResponse("permission_status", {{"ok", true}, {"data", {{"accessibility", true}}}});
  EXPECT_EQ(status["structuredContent"], (Json{{"accessibility", true}}));
  EXPECT_EQ(status["content"][0]["text"], R"({"accessibility":true})");
}

TEST(McpToolCalls, ArgumentsBecomeTheHelpersRequestsOrASentenceOnWhatIsWrong) {
  auto status = planCall("permission_status", nullptr);
  ASSERT_TRUE(status.call);
  EXPECT_EQ(status.call->request, (Json{{"operation", "status"}}));
  EXPECT_EQ(status.call->mode, HelperCall::Mode::oneShot);

  auto apps = planCall("list_applications", {{"query", "calc"}});
  EXPECT_EQ(apps.call->request, (Json{{"operation", "apps"}, {"query", "calc"}}));

  auto observe = planCall("observe_window", {{"appId", "org.x"}, {"windowId", "12"}});
  EXPECT_EQ(observe.call->mode, HelperCall::Mode::observeSession);
  EXPECT_EQ(observe.call->request,
            (Json{{"nativeSessionVersion", 2}, {"operation", "observe"}, {"appId", "org.x"}, {"windowId", "12"}}));

  Json action = {{"type", "click"}, {"ref", "e3"}};
  auto act = planCall("act", {{"snapshotId", "s1"}, {"action", action}});
  EXPECT_EQ(act.call->mode, HelperCall::Mode::actInSession);
  EXPECT_EQ(act.call->request,
            (Json{{"nativeSessionVersion", 2}, {"operation", "act"}, {"snapshotId", "s1"}, {"action", action}}));

  EXPECT_EQ(planCall("observe_window", Json::object()).problem,
            "\"appId\" is required: take it from list_applications.");
  EXPECT_EQ(planCall("launch_application", {{"appId", 3}}).problem, "\"appId\" must be a string.");
  EXPECT_EQ(planCall("list_applications", {{"query", false}}).problem, "\"query\" must be a string.");
  EXPECT_FALSE(planCall("act", {{"snapshotId", "s1"}, {"action", "click"}}).call);
  EXPECT_FALSE(planCall("act", {{"action", action}}).call);
  EXPECT_FALSE(planCall("permission_status", Json::array()).call);
}

TEST(McpToolCalls, EveryListedToolCanBePlannedAndDeclaresItsShape) {
  for (const Json& tool : toolList()) {
    std::string name = tool["name"];
    EXPECT_TRUE(isKnownTool(name));
    EXPECT_EQ(tool["inputSchema"]["type"], "object") << name;
    EXPECT_EQ(tool["outputSchema"]["type"], "object") << name;
    EXPECT_TRUE(tool["annotations"]["readOnlyHint"].is_boolean()) << name;
  }
  EXPECT_FALSE(isKnownTool("observe"));
}

}  // namespace
}  // namespace larkspire::mcp
