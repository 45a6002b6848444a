// Running applications, activation, launching and installed bundles.
#include <gtest/gtest.h>

#include "platform/simulated/desktop.h"

namespace larkspire::simulated {
namespace {

using namespace platform;

class SimWorkspaceTest : public ::testing::Test {
 protected:
  Desktop desktop;
  Workspace& ws = desktop.platform().workspace;
  Clock& clock = desktop.platform().clock;
};

TEST_F(SimWorkspaceTest, ApplicationsAreListedInAdditionOrderWithUniquePids) {
  SimApp& a = desktop.addApp({.bundleIdentifier = "com.example.A", .name = "A"});
  SimApp& b = desktop.addApp({.name = "No identifier", .pid = 1000});
  SimApp& c = desktop.addApp({.bundleIdentifier = "com.example.A", .policy = ActivationPolicy::accessory});
  EXPECT_NE(a.pid(), b.pid());
  EXPECT_NE(a.pid(), c.pid());
  EXPECT_NE(b.pid(), c.pid());

  auto running = ws.runningApplications();
  ASSERT_EQ(running.size(), 3u);
  EXPECT_EQ(running[0]->localizedName(), "A");
  EXPECT_FALSE(running[1]->bundleIdentifier());
  EXPECT_EQ(running[1]->processIdentifier(), 1000);
  EXPECT_EQ(running[2]->activationPolicy(), ActivationPolicy::accessory);

  auto instances = ws.runningApplicationsWithBundleIdentifier("com.example.A");
  ASSERT_EQ(instances.size(), 2u);
  EXPECT_EQ(instances[0]->processIdentifier(), a.pid());
  EXPECT_EQ(instances[1]->processIdentifier(), c.pid());
}

TEST_F(SimWorkspaceTest, StateAnswersAreLive) {
  SimApp& app = desktop.addApp({.bundleIdentifier = "com.example.A", .finishedLaunching = false});
  auto handle = ws.runningApplications().at(0);
  EXPECT_FALSE(handle->isFinishedLaunching());
  app.finishLaunching();
  EXPECT_TRUE(handle->isFinishedLaunching());
  app.terminate();
  EXPECT_TRUE(handle->isTerminated());
  // Still listed, as the system lists a quitting application for a while.
  EXPECT_EQ(ws.runningApplicationsWithBundleIdentifier("com.example.A").size(), 1u);
  desktop.removeApp(app);
  EXPECT_TRUE(ws.runningApplications().empty());
  EXPECT_TRUE(handle->isTerminated());
}

TEST(SimWorkspaceLifetimeTest, HandlesMayOutliveTheDesktop) {
  Application kept;
  {
    Desktop desktop;
    kept = desktop.addApp({.name = "Gone"}).handle();
  }
  EXPECT_TRUE(kept->isTerminated());
  EXPECT_EQ(kept->localizedName(), "Gone");
  EXPECT_FALSE(kept->activate());
}

TEST_F(SimWorkspaceTest, ActivationMakesFrontmostUnlessOverridden) {
  SimApp& a = desktop.addApp({.name = "A"});
  SimApp& b = desktop.addApp({.name = "B"});
  EXPECT_EQ(ws.frontmostApplication(), nullptr);
  a.handle()->activate();
  EXPECT_EQ(ws.frontmostApplication()->processIdentifier(), a.pid());
  b.onActivate = [](SimApp&) {};  // an application that refuses to come forward
  b.handle()->activate();
  EXPECT_EQ(ws.frontmostApplication()->processIdentifier(), a.pid());
  EXPECT_EQ(a.activations(), 1);
  EXPECT_EQ(b.activations(), 1);
  a.terminate();
  EXPECT_EQ(ws.frontmostApplication(), nullptr);
  EXPECT_FALSE(a.handle()->activate());
  EXPECT_EQ(a.activations(), 1);
}

TEST_F(SimWorkspaceTest, OpeningStartsTheApplicationThatFinishesLaunchingLater) {
  desktop.installLaunchable("com.example.Slow", {.app = {.bundleIdentifier = "com.example.Slow", .name = "Slow"},
                                                 .finishesLaunchingAfter = 2.5,
                                                 .onStart = [](SimApp& app) { app.addWindow({.title = "Main"}); }});
  EXPECT_FALSE(ws.urlForApplication("com.example.Missing"));
  auto location = ws.urlForApplication("com.example.Slow");
  ASSERT_TRUE(location);
  auto opened = ws.openApplication(*location, true);
  ASSERT_TRUE(opened.application);
  EXPECT_FALSE(opened.error);
  EXPECT_EQ(desktop.openRequests, 1);
  EXPECT_EQ(ws.frontmostApplication()->processIdentifier(), opened.application->processIdentifier());
  EXPECT_EQ(desktop.app(opened.application->processIdentifier())->windows().size(), 1u);

  // The launch wait polls in virtual time.
  const double deadline = clock.now() + 10;
  while (!opened.application->isFinishedLaunching() && clock.now() < deadline) clock.sleep(0.1);
  EXPECT_TRUE(opened.application->isFinishedLaunching());
  EXPECT_NEAR(clock.now(), 2.55, 0.06);
}

TEST_F(SimWorkspaceTest, OpeningReportsErrorsAndQuittingApplications) {
  desktop.installLaunchable("com.example.Broken", {.error = std::string("damaged")});
  auto broken = ws.openApplication(*ws.urlForApplication("com.example.Broken"), true);
  EXPECT_FALSE(broken.application);
  EXPECT_EQ(broken.error, "damaged");
  EXPECT_TRUE(ws.runningApplications().empty());

  auto unknown = ws.openApplication("/Applications/Nothing.app", true);
  EXPECT_FALSE(unknown.application);
  EXPECT_TRUE(unknown.error);

  desktop.installLaunchable(
      "com.example.Crash",
      {.app = {.bundleIdentifier = "com.example.Crash"}, .finishesLaunchingAfter = 5, .terminatesAfter = 1.0});
  auto crash = ws.openApplication(*ws.urlForApplication("com.example.Crash"), false);
  ASSERT_TRUE(crash.application);
  EXPECT_EQ(ws.frontmostApplication(), nullptr);
  desktop.advance(1.0);
  EXPECT_TRUE(crash.application->isTerminated());
  EXPECT_FALSE(crash.application->isFinishedLaunching());
}

TEST_F(SimWorkspaceTest, OpeningARunningApplicationReturnsIt) {
  SimApp& running = desktop.addApp({.bundleIdentifier = "com.example.Notes"});
  desktop.installLaunchable("com.example.Notes", {.app = {.bundleIdentifier = "com.example.Notes"}});
  auto opened = ws.openApplication(*ws.urlForApplication("com.example.Notes"), true);
  ASSERT_TRUE(opened.application);
  EXPECT_EQ(opened.application->processIdentifier(), running.pid());
  EXPECT_EQ(ws.runningApplications().size(), 1u);
  EXPECT_EQ(desktop.frontmost(), &running);
}

TEST_F(SimWorkspaceTest, OpenCompletionMayTakeVirtualTime) {
  desktop.installLaunchable("com.example.A", {.app = {.bundleIdentifier = "com.example.A"}, .completesAfter = 3});
  bool sawEvent = false;
  desktop.at(1, [&] { sawEvent = true; });
  ws.openApplication(*ws.urlForApplication("com.example.A"), true);
  EXPECT_TRUE(sawEvent);
  EXPECT_DOUBLE_EQ(desktop.now(), 3);
}

class SimBundlesTest : public ::testing::Test {
 protected:
  Desktop desktop;
  Bundles& bundles = desktop.platform().bundles;
};

TEST_F(SimBundlesTest, FoldersListTheirEntriesInOrder) {
  desktop.addEntry("/Applications", "Zebra.app", {.bundleIdentifier = "com.example.Zebra"});
  desktop.addEntry("/Applications", "Alpha.app", {.bundleIdentifier = "com.example.Alpha"});
  desktop.addFolder("/Users/tester/Applications");
  EXPECT_EQ(*bundles.contentsOfDirectory("/Applications"), (std::vector<std::string>{"Zebra.app", "Alpha.app"}));
  EXPECT_TRUE(bundles.contentsOfDirectory("/Users/tester/Applications")->empty());
  EXPECT_FALSE(bundles.contentsOfDirectory("/System/Applications"));
  EXPECT_EQ(bundles.applicationFolders().front(), "/Applications");
  EXPECT_EQ(bundles.applicationSuffix(), ".app");
}

TEST_F(SimBundlesTest, BundlesNamesAndReadCounts) {
  desktop.addEntry("/Applications", "Notes.app",
                   {.bundleIdentifier = "com.example.Notes", .bundleName = "Notes", .metadataName = "Notizen"});
  desktop.addEntry("/Applications", "Broken.app", {.isBundle = false});
  desktop.addEntry("/Applications", "Calc.app", {.displayName = "Calculator"});

  auto notes = bundles.bundleAtPath("/Applications/Notes.app");
  ASSERT_TRUE(notes);
  EXPECT_EQ(notes->bundleIdentifier, "com.example.Notes");
  EXPECT_EQ(notes->bundleName, "Notes");
  EXPECT_FALSE(bundles.bundleAtPath("/Applications/Broken.app"));
  EXPECT_FALSE(bundles.bundleAtPath("/Applications/Missing.app"));
  EXPECT_EQ(desktop.bundleOpens, 3);

  EXPECT_EQ(bundles.displayNameAtPath("/Applications/Notes.app"), "Notes.app");
  EXPECT_EQ(bundles.displayNameAtPath("/Applications/Calc.app"), "Calculator");
  EXPECT_EQ(bundles.metadataDisplayName("/Applications/Notes.app"), "Notizen");
  EXPECT_FALSE(bundles.metadataDisplayName("/Applications/Calc.app"));
}

TEST_F(SimBundlesTest, DeletingPathExtensionRemovesOnlyTheLastOne) {
  EXPECT_EQ(bundles.deletingPathExtension("Notes.app"), "Notes");
  EXPECT_EQ(bundles.deletingPathExtension("Visual Studio Code.app"), "Visual Studio Code");
  EXPECT_EQ(bundles.deletingPathExtension("archive.tar.gz"), "archive.tar");
  EXPECT_EQ(bundles.deletingPathExtension("Notes"), "Notes");
  EXPECT_EQ(bundles.deletingPathExtension(".hidden"), ".hidden");
  EXPECT_EQ(bundles.deletingPathExtension("dir.d/file"), "dir.d/file");
  EXPECT_EQ(bundles.deletingPathExtension(""), "");
}

}  // namespace
}  // namespace larkspire::simulated
