#include "computer/request/dispatch.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "computer/apps/app_listing.h"
#include "computer/failure.h"
#include "platform/simulated/desktop.h"

namespace larkspire::computer {
namespace {

using json::Json;

class RecordingOutput final : public OutputSink {
 public:
  bool write(std::string_view bytes) override {
    writes.emplace_back(bytes);
    return accept;
  }
  std::vector<std::string> writes;
  bool accept = true;
};

// The permission check throws whatever the test chooses; everything else is
// the simulated desktop's.
class ThrowingAccessibility final : public platform::Accessibility {
 public:
  ThrowingAccessibility(platform::Accessibility& inner, std::function<void()> thrower)
      : inner_(inner), thrower_(std::move(thrower)) {}
  bool isProcessTrusted() override {
    thrower_();
    return inner_.isProcessTrusted();
  }
  bool isProcessTrustedWithOptions(bool prompt) override { return inner_.isProcessTrustedWithOptions(prompt); }
  platform::Element createApplication(platform::Pid pid) override { return inner_.createApplication(pid); }
  platform::CopyResult copyAttributeValue(const platform::Element& e, std::string_view a) override {
    return inner_.copyAttributeValue(e, a);
  }
  platform::CopyResult copyParameterizedAttributeValue(const platform::Element& e, std::string_view a,
                                                       const platform::Value& p) override {
    return inner_.copyParameterizedAttributeValue(e, a, p);
  }
  platform::AXError setAttributeValue(const platform::Element& e, std::string_view a,
                                      const platform::Value& v) override {
    return inner_.setAttributeValue(e, a, v);
  }
  platform::CountResult getAttributeValueCount(const platform::Element& e, std::string_view a) override {
    return inner_.getAttributeValueCount(e, a);
  }
  platform::NamesResult copyActionNames(const platform::Element& e) override { return inner_.copyActionNames(e); }
  platform::SettableResult isAttributeSettable(const platform::Element& e, std::string_view a) override {
    return inner_.isAttributeSettable(e, a);
  }
  platform::AXError performAction(const platform::Element& e, std::string_view a) override {
    return inner_.performAction(e, a);
  }
  platform::NamesResult copyAttributeNames(const platform::Element& e) override { return inner_.copyAttributeNames(e); }
  platform::NamesResult copyParameterizedAttributeNames(const platform::Element& e) override {
    return inner_.copyParameterizedAttributeNames(e);
  }

 private:
  platform::Accessibility& inner_;
  std::function<void()> thrower_;
};

class DispatchTest : public ::testing::Test {
 protected:
  void addApp(const std::string& identifier, const std::string& name) {
    simulated::AppSpec spec;
    spec.bundleIdentifier = identifier;
    spec.name = name;
    desktop.addApp(spec);
  }

  Answer answer(const Json& request) { return answerRequest(desktop.platform(), request); }

  simulated::Desktop desktop;
};

Json failure(const char* code, bool notExecuted = true) { return failureResponse(code, notExecuted); }

TEST_F(DispatchTest, StatusReportsBothPermissionsWithoutPrompting) {
  for (bool accessibility : {false, true}) {
    for (bool screen : {false, true}) {
      desktop.accessibilityTrusted = accessibility;
      desktop.screenRecordingGranted = screen;
      Answer a = answer({{"operation", "status"}});
      EXPECT_EQ(a.status, 0);
      EXPECT_EQ(a.response, successResponse({{"accessibility", accessibility}, {"screenRecording", screen}}));
    }
  }
  EXPECT_EQ(desktop.accessibilityPrompts, 0);
  EXPECT_EQ(desktop.screenCaptureRequests, 0);
}

TEST_F(DispatchTest, PermissionsPromptsForBothThenReportsTheStateAfterwards) {
  desktop.accessibilityTrusted = false;
  desktop.screenRecordingGranted = false;
  desktop.promptGrantsAccessibility = true;
  Answer a = answer({{"operation", "permissions"}});
  EXPECT_EQ(desktop.accessibilityPrompts, 1);
  EXPECT_EQ(desktop.screenCaptureRequests, 1);
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.response, successResponse({{"accessibility", true}, {"screenRecording", false}}));
}

TEST_F(DispatchTest, OperationNamesMatchExactlyOrTheRequestIsInvalid) {
  for (const Json& request :
       {Json::object(), Json{{"operation", 5}}, Json{{"operation", nullptr}}, Json{{"operation", "Status"}},
        Json{{"operation", "status "}}, Json{{"operation", ""}}, Json{{"operation", Json::array({"status"})}},
        Json{{"Operation", "status"}}, Json{{"operation", std::string("status\0", 7)}}}) {
    SCOPED_TRACE(request.dump());
    Answer a = answer(request);
    EXPECT_EQ(a.response, failure(kInvalidRequest));
    EXPECT_EQ(a.status, 1);
  }
  EXPECT_EQ(desktop.accessibilityPrompts, 0);
}

TEST(Watchdog, WatchesWhatMayWaitOnTheDesktopAndKnowsWhatMayHaveChangedIt) {
  auto request = [](const char* operation) { return Json{{"operation", operation}}; };
  for (const char* watched : {"apps", "launch", "observe"}) EXPECT_TRUE(watchedOperation(request(watched))) << watched;
  for (const char* unwatched : {"status", "permissions", "act", "Observe", ""})
    EXPECT_FALSE(watchedOperation(request(unwatched))) << unwatched;
  EXPECT_TRUE(mayChangeTheDesktop(request("launch")));
  EXPECT_FALSE(mayChangeTheDesktop(request("observe")));
  EXPECT_FALSE(mayChangeTheDesktop(request("apps")));
}

TEST_F(DispatchTest, ActOutsideASessionIsRefusedWhateverItHolds) {
  addApp("com.example.Notes", "Notes");
  for (const Json& request :
       {Json{{"operation", "act"}},
        Json{{"operation", "act"}, {"snapshotId", "s"}, {"action", {{"type", "click"}, {"ref", "e1"}}}}}) {
    Answer a = answer(request);
    EXPECT_EQ(a.response, failure(kTargetChanged));
    EXPECT_EQ(a.status, 1);
  }
  EXPECT_TRUE(desktop.posted.empty());
  EXPECT_TRUE(desktop.performed.empty());
}

TEST_F(DispatchTest, AppsListIsWrappedAndOnlyAStringQueryFilters) {
  addApp("com.example.Notes", "Notes");
  addApp("com.example.Mail", "Mail");
  const Json unfiltered = listApps(desktop.platform(), std::nullopt);
  for (const Json& request : {Json{{"operation", "apps"}}, Json{{"operation", "apps"}, {"query", 7}},
                              Json{{"operation", "apps"}, {"query", nullptr}}}) {
    Answer a = answer(request);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.response, successResponse({{"apps", unfiltered}}));
  }
  Answer queried = answer({{"operation", "apps"}, {"query", "Mail"}});
  EXPECT_EQ(queried.response, successResponse({{"apps", listApps(desktop.platform(), std::string("Mail"))}}));
}

TEST_F(DispatchTest, LaunchWithoutAStringIdentifierLaunchesNothing) {
  for (const Json& request : {Json{{"operation", "launch"}}, Json{{"operation", "launch"}, {"appId", 12}}}) {
    Answer a = answer(request);
    EXPECT_EQ(a.response, failure(kAppNotFound));
    EXPECT_EQ(a.status, 1);
  }
  EXPECT_EQ(desktop.openRequests, 0);
}

TEST_F(DispatchTest, ObserveWithoutAnAppIdIsInvalid) {
  Answer a = answer({{"operation", "observe"}});
  EXPECT_EQ(a.response, failure(kInvalidRequest));
  EXPECT_EQ(a.status, 1);
}

TEST_F(DispatchTest, FailuresKeepTheirFlagAndOtherErrorsBecomeUnavailable) {
  struct Case {
    std::function<void()> thrower;
    Json expected;
  };
  const std::vector<Case> cases = {
      {[] { fail(kScreenLocked); }, failure(kScreenLocked)},
      {[] { fail(kUnavailable, false); }, failure(kUnavailable, false)},
      {[] { throw platform::PlatformError("bus gone"); }, failure(kUnavailable)},
      {[] { throw std::bad_alloc(); }, failure(kUnavailable)},
      {[] { throw "not even an exception class"; }, failure(kUnavailable)},
  };
  for (const auto& c : cases) {
    ThrowingAccessibility accessibility(desktop.platform().accessibility, c.thrower);
    platform::Platform base = desktop.platform();
    platform::Platform platform{accessibility, base.workspace, base.bundles, base.screenCapture, base.session,
                                base.events,   base.monitors,  base.clock,   base.runLoop};
    Answer a = answerRequest(platform, {{"operation", "status"}});
    EXPECT_EQ(a.response, c.expected);
    EXPECT_EQ(a.status, 1);
  }
}

// One-shot mode from the bytes of standard input to the written response.
class OneShotTest : public ::testing::Test {
 protected:
  Json run(std::string input, std::size_t chunk = 1 << 16) {
    MemorySource source(std::move(input), chunk);
    output.writes.clear();
    status = runOneShot(source, output, {[this]() -> platform::Platform& {
                          ++platformsMade;
                          if (platformFails) throw platform::PlatformError("no desktop");
                          return desktop.platform();
                        }});
    consumedAll = source.consumed();
    if (output.writes.empty()) return nullptr;
    EXPECT_EQ(output.writes.size(), 2u);
    EXPECT_EQ(output.writes.back(), "\n");
    EXPECT_EQ(output.writes.front().find('\n'), std::string::npos);
    return Json::parse(output.writes.front());
  }

  simulated::Desktop desktop;
  RecordingOutput output;
  int status = -1;
  int platformsMade = 0;
  bool platformFails = false;
  std::size_t consumedAll = 0;
};

// A status request padded with spaces to exactly `size` bytes.
std::string statusOfSize(std::size_t size) {
  std::string request = R"({"operation":"status"})";
  return request + std::string(size - request.size(), ' ');
}

TEST_F(OneShotTest, RequestOfExactlyTheLimitIsServedAndOneByteMoreIsNot) {
  Json served = run(statusOfSize(kRequestLimit));
  EXPECT_EQ(served["ok"], true);
  EXPECT_EQ(status, 0);

  Json refused = run(statusOfSize(kRequestLimit + 1), 4096);
  EXPECT_EQ(refused, failure(kInvalidRequest));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(consumedAll, kRequestLimit + 1);
  EXPECT_EQ(platformsMade, 1) << "a refused request never sets up the desktop";
}

TEST_F(OneShotTest, UnreadableInputIsRefusedBeforeTheDesktopIsTouched) {
  const std::vector<std::string> inputs = {
      "",
      " ",
      "[]",
      R"([{"operation":"status"}])",
      R"("status")",
      "5",
      "null",
      R"({"operation":"status"} {})",
      R"({"operation":"status",})",
      "{\"operation\":\"status\",\"x\":\"\xff\"}",
      "{\"operation\":\"status\",\"x\":\"\xed\xa0\x80\"}",
      std::string(1000000, '['),
      std::string(513, '[') + std::string(513, ']'),
      std::string("{\"operation\":\"status\"}\0", 23),
  };
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.substr(0, 40));
    EXPECT_EQ(run(input), failure(kInvalidRequest));
    EXPECT_EQ(status, 1);
  }
  EXPECT_EQ(platformsMade, 0);
}

TEST_F(OneShotTest, ExtraKeysAndDeepButAllowedNestingAreFine) {
  std::string nested = std::string(500, '[') + std::string(500, ']');
  Json response = run(R"({"operation":"status","extra":)" + nested + R"(,"appId":{"x":[1,2]}})");
  EXPECT_EQ(response["ok"], true);
  EXPECT_EQ(status, 0);
}

TEST_F(OneShotTest, ADesktopThatCannotBeSetUpIsUnavailable) {
  platformFails = true;
  EXPECT_EQ(run(R"({"operation":"status"})"), failure(kUnavailable));
  EXPECT_EQ(status, 1);
}

// The watch answers a stuck request once; the request's own answer, coming
// later, is not written after it. Requests that are not watched never see it.
TEST(OneShotWatch, AStuckRequestGetsTheWatchAnswerAndNothingElse) {
  struct Case {
    const char* request;
    bool watched;
    bool notExecuted = true;
  };
  for (const Case& c : {Case{R"({"operation":"observe","appId":"org.example.Notes"})", true, true},
                        Case{R"({"operation":"launch","appId":"org.example.Notes"})", true, false},
                        Case{R"({"operation":"status"})", false}}) {
    simulated::Desktop desktop;
    MemorySource source(c.request, 1 << 16);
    RecordingOutput output;
    std::function<void()> stuck;
    int ended = -1;
    OneShotRuntime runtime{
        [&]() -> platform::Platform& { return desktop.platform(); },
        [&](platform::Platform&, const std::function<int()>& work) {
          // The desktop stops answering before the request gets its answer.
          if (stuck) stuck();
          return work();
        },
        [&](platform::Platform&, std::function<void()> onStuck) {
          stuck = std::move(onStuck);
          return std::shared_ptr<void>();
        },
        [&](int status) { ended = status; },
    };
    const int status = runOneShot(source, output, runtime);
    ASSERT_EQ(output.writes.size(), 2u) << c.request;
    const Json response = Json::parse(output.writes.front());
    if (c.watched) {
      EXPECT_EQ(response, failure(kUnavailable, c.notExecuted)) << c.request;
      EXPECT_EQ(ended, 1) << c.request;
      EXPECT_EQ(status, 1) << c.request;
    } else {
      EXPECT_EQ(response["ok"], true) << c.request;
      EXPECT_EQ(ended, -1) << c.request;
      EXPECT_EQ(status, 0) << c.request;
    }
  }
}

TEST(Emit, WritesTheTextThenTheLineFeedAndNothingAfterAFailedWrite) {
  RecordingOutput output;
  emit(output, successResponse({{"text", "line\nbreak \xff"}}));
  ASSERT_EQ(output.writes.size(), 2u);
  EXPECT_EQ(output.writes[0].find('\n'), std::string::npos);
  EXPECT_EQ(Json::parse(output.writes[0])["data"]["text"], "line\nbreak \xEF\xBF\xBD");

  RecordingOutput closed;
  closed.accept = false;
  emit(closed, failureResponse(kInvalidRequest, true));
  EXPECT_EQ(closed.writes.size(), 1u);
}

}  // namespace
}  // namespace larkspire::computer
