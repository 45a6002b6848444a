// Giving up on an application after one call to it ran out of time.
#include "platform/hung_application_guard.h"

#include <gtest/gtest.h>

#include "platform/simulated/desktop.h"

namespace larkspire::platform {
namespace {

class HungApplication : public ::testing::Test {
 protected:
  simulated::Desktop desktop;
  simulated::SimApp& hung = desktop.addApp({.name = "Hung"});
  simulated::SimApp& fine = desktop.addApp({.name = "Fine"});
  simulated::Node& hungButton = hung.addWindow({.title = "H"}).element().add("AXButton").title("Stop");
  simulated::Node& fineButton = fine.addWindow({.title = "F"}).element().add("AXButton").title("Go");
  // The simulated desktop wires the guard as the native platforms do.
  Accessibility& guard = desktop.platform().accessibility;
};

TEST_F(HungApplication, OneTimeoutThenEveryCallFailsAtOnceWhileOthersAreAsked) {
  hung.hung = true;
  const double start = desktop.now();
  EXPECT_EQ(guard.copyAttributeValue(hungButton.element(), "AXTitle").error, kAXErrorCannotComplete);
  EXPECT_EQ(desktop.now() - start, 1.5);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(guard.copyAttributeValue(hungButton.element(), "AXRole").error, kAXErrorCannotComplete);
    EXPECT_EQ(guard.copyActionNames(hungButton.element()).error, kAXErrorCannotComplete);
    EXPECT_EQ(guard.performAction(hungButton.element(), "AXPress"), kAXErrorCannotComplete);
  }
  EXPECT_EQ(desktop.now() - start, 1.5);
  EXPECT_EQ(desktop.accessibilityCalls, 1);
  EXPECT_TRUE(desktop.performed.empty());

  EXPECT_EQ(*guard.copyAttributeValue(fineButton.element(), "AXTitle").get<std::string>(), "Go");
}

TEST_F(HungApplication, AnApplicationIsAskedAgainOnceTheGiveUpTimeHasPassed) {
  hung.hung = true;
  guard.copyAttributeValue(hungButton.element(), "AXTitle");
  hung.hung = false;
  desktop.advance(HungApplicationGuard::kGiveUpSeconds - 2);
  EXPECT_EQ(guard.copyAttributeValue(hungButton.element(), "AXTitle").error, kAXErrorCannotComplete);
  desktop.advance(2);  // ten seconds after the call timed out
  EXPECT_EQ(*guard.copyAttributeValue(hungButton.element(), "AXTitle").get<std::string>(), "Stop");
}

TEST_F(HungApplication, AQuickFailureIsNoReasonToGiveUp) {
  hungButton.fail("AXTitle", kAXErrorCannotComplete);
  EXPECT_EQ(guard.copyAttributeValue(hungButton.element(), "AXTitle").error, kAXErrorCannotComplete);
  EXPECT_EQ(*guard.copyAttributeValue(hungButton.element(), "AXRole").get<std::string>(), "AXButton");
}

}  // namespace
}  // namespace larkspire::platform
