// Finding the running target, and "launch" with its readiness wait in
// virtual time.
#include "computer/apps/launch.h"

#include <gtest/gtest.h>

#include "computer/failure.h"
#include "platform/simulated/desktop.h"

namespace larkspire::computer {
namespace {

using json::Json;
using platform::ActivationPolicy;
using simulated::Desktop;
using simulated::LaunchSpec;

std::string failureCode(const std::function<void()>& call, bool* notExecuted = nullptr) {
  try {
    call();
  } catch (const NativeFailure& failure) {
    if (notExecuted) *notExecuted = failure.notExecuted;
    return failure.code;
  }
  return "no failure";
}

class TargetAppTest : public ::testing::Test {
 protected:
  Desktop desktop;
  platform::Platform& platform = desktop.platform();
  std::string code(const std::string& appId) {
    bool notExecuted = false;
    auto result = failureCode([&] { targetApp(platform, appId); }, &notExecuted);
    EXPECT_TRUE(notExecuted);
    return result;
  }
};

TEST_F(TargetAppTest, ReturnsTheFirstRunningInstance) {
  desktop.addApp({.bundleIdentifier = "com.example.Other", .pid = 5});
  desktop.addApp({.bundleIdentifier = "com.example.Notes", .pid = 10});
  desktop.addApp({.bundleIdentifier = "com.example.Notes", .pid = 11});
  EXPECT_EQ(targetApp(platform, "com.example.Notes")->processIdentifier(), 10);
}

TEST_F(TargetAppTest, RefusesExcludedAndMissingApplications) {
  desktop.addApp({.bundleIdentifier = "com.LARKSPIRE.Assistant"});
  EXPECT_EQ(code("com.LARKSPIRE.Assistant"), kTargetChanged);
  EXPECT_EQ(code("com.example.NotRunning"), kTargetChanged);
  EXPECT_EQ(code(""), kTargetChanged);
}

TEST_F(TargetAppTest, OnlyTheFirstInstanceIsConsidered) {
  desktop.addApp({.bundleIdentifier = "com.example.Menu", .policy = ActivationPolicy::accessory});
  desktop.addApp({.bundleIdentifier = "com.example.Menu"});
  EXPECT_EQ(code("com.example.Menu"), kTargetChanged);

  auto& quitting = desktop.addApp({.bundleIdentifier = "com.example.Quit"});
  desktop.addApp({.bundleIdentifier = "com.example.Quit"});
  quitting.terminate();
  EXPECT_EQ(code("com.example.Quit"), kTargetChanged);
}

class LaunchTest : public ::testing::Test {
 protected:
  Desktop desktop;
  platform::Platform& platform = desktop.platform();

  void install(const std::string& id, LaunchSpec spec) {
    if (!spec.app.bundleIdentifier) spec.app.bundleIdentifier = id;
    desktop.installLaunchable(id, std::move(spec));
  }
};

TEST_F(LaunchTest, RefusesEmptyExcludedAndUnknownIdentifiersWithoutOpening) {
  install("com.larkspire.Helper", {.app = {.name = "Helper"}});
  install("org.LarkSpire.Other", {.app = {.name = "Other"}});
  for (const std::string id : {"", "com.larkspire.Helper", "org.LarkSpire.Other", "com.example.Unknown"}) {
    bool notExecuted = false;
    EXPECT_EQ(failureCode([&] { launch(platform, id); }, &notExecuted), kAppNotFound) << id;
    EXPECT_TRUE(notExecuted);
  }
  EXPECT_EQ(desktop.openRequests, 0);
  EXPECT_TRUE(desktop.apps().empty());
}

TEST_F(LaunchTest, AnOpenErrorIsUnavailable) {
  install("com.example.Damaged", {.error = std::string("damaged")});
  bool notExecuted = false;
  EXPECT_EQ(failureCode([&] { launch(platform, "com.example.Damaged"); }, &notExecuted), kUnavailable);
  EXPECT_TRUE(notExecuted);
}

// A workspace whose open completes with neither an application nor an error.
class SilentWorkspace final : public platform::Workspace {
 public:
  explicit SilentWorkspace(platform::Workspace& base) : base_(base) {}
  std::vector<platform::Application> runningApplications() override { return base_.runningApplications(); }
  std::vector<platform::Application> runningApplicationsWithBundleIdentifier(const std::string& id) override {
    return base_.runningApplicationsWithBundleIdentifier(id);
  }
  platform::Application frontmostApplication() override { return base_.frontmostApplication(); }
  std::optional<std::string> urlForApplication(const std::string& id) override { return base_.urlForApplication(id); }
  platform::OpenResult openApplication(const std::string&, bool) override { return {}; }
  void sharedApplication() override {}
  void setAccessoryActivationPolicy() override {}

 private:
  platform::Workspace& base_;
};

TEST_F(LaunchTest, ACompletionWithNeitherApplicationNorErrorIsUnavailable) {
  install("com.example.Notes", {.app = {.name = "Notes"}});
  SilentWorkspace silent(platform.workspace);
  platform::Platform p{platform.accessibility, silent,           platform.bundles,
                       platform.screenCapture, platform.session, platform.events,
                       platform.monitors,      platform.clock,   platform.runLoop};
  const double before = desktop.now();
  EXPECT_EQ(failureCode([&] { launch(p, "com.example.Notes"); }), kUnavailable);
  EXPECT_EQ(desktop.now(), before);  // nothing to wait for
}

TEST_F(LaunchTest, AnApplicationAlreadyRunningAndReadyAnswersAtOnceAndComesForward) {
  install("com.example.Notes", {.app = {.name = "Notes"}});
  auto& running = desktop.addApp({.bundleIdentifier = "com.example.Notes", .name = "Notes", .pid = 77});
  auto& other = desktop.addApp({.bundleIdentifier = "com.example.Other"});
  desktop.setFrontmost(other);

  const double before = desktop.now();
  auto result = launch(platform, "com.example.Notes");
  EXPECT_EQ(result, Json::parse(R"({"appId": "com.example.Notes", "name": "Notes", "running": true,
                                    "pid": 77, "ready": true})"));
  EXPECT_EQ(desktop.now(), before);
  EXPECT_EQ(desktop.frontmost(), &running);
}

TEST_F(LaunchTest, WaitsForAnApplicationThatFinishesLaunchingLater) {
  install("com.example.Slow", {.app = {.name = "Slow", .pid = 300}, .finishesLaunchingAfter = 3.25});
  const double before = desktop.now();
  auto result = launch(platform, "com.example.Slow");
  EXPECT_EQ(result, Json::parse(R"({"appId": "com.example.Slow", "name": "Slow", "running": true,
                                    "pid": 300, "ready": true})"));
  // Polled every tenth of a second: it is seen at the first poll after 3.25 s.
  EXPECT_GE(desktop.now() - before, 3.25);
  EXPECT_LT(desktop.now() - before, 3.25 + 0.1 + 1e-9);
  EXPECT_EQ(desktop.frontmost()->pid(), 300);
}

TEST_F(LaunchTest, ReachingTheDeadlineIsReportedNotFailed) {
  install("com.example.Stuck", {.app = {.name = "Stuck", .finishedLaunching = false}, .completesAfter = 4});
  const double before = desktop.now();
  auto result = launch(platform, "com.example.Stuck");
  EXPECT_EQ(result.at("ready"), false);
  EXPECT_EQ(result.at("running"), true);
  // The ten seconds start with the launch, the open's own wait included.
  const double waited = desktop.now() - before;
  EXPECT_GE(waited, 10.0);
  EXPECT_LE(waited, 10.1 + 1e-9);
  // An open that used up the time answers at once.
  install("com.example.Slower", {.app = {.name = "Slower", .finishedLaunching = false}, .completesAfter = 10});
  const double start = desktop.now();
  EXPECT_EQ(launch(platform, "com.example.Slower").at("ready"), false);
  EXPECT_LE(desktop.now() - start, 10.0 + 1e-9);
}

TEST_F(LaunchTest, AnApplicationThatQuitsWhileWaitedForEndsTheWait) {
  install("com.example.Crash", {.app = {.name = "Crash", .finishedLaunching = false}, .terminatesAfter = 1.5});
  const double before = desktop.now();
  auto result = launch(platform, "com.example.Crash");
  EXPECT_EQ(result.at("running"), false);
  EXPECT_EQ(result.at("ready"), false);
  EXPECT_LT(desktop.now() - before, 1.5 + 0.1 + 1e-9);
}

TEST_F(LaunchTest, ReportsTheRequestedIdentifierAndFallsBackToItForTheName) {
  // The application that comes up reports another identifier and no name.
  desktop.installLaunchable("com.example.Alias", {.app = {.bundleIdentifier = "com.example.Real"}});
  auto result = launch(platform, "com.example.Alias");
  EXPECT_EQ(result.at("appId"), "com.example.Alias");
  EXPECT_EQ(result.at("name"), "com.example.Alias");
}

TEST_F(LaunchTest, AnAccessoryApplicationCanBeLaunchedButNotTargeted) {
  install("com.example.Menu", {.app = {.name = "Menu", .policy = ActivationPolicy::accessory}});
  auto result = launch(platform, "com.example.Menu");
  EXPECT_EQ(result.at("ready"), true);
  EXPECT_EQ(failureCode([&] { targetApp(platform, "com.example.Menu"); }), kTargetChanged);
}

}  // namespace
}  // namespace larkspire::computer
