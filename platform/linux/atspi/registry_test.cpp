#include "platform/linux/atspi/registry.h"

#include <gtest/gtest.h>

#include "platform/linux/atspi/fake_bus.h"

namespace larkspire::linux_backend::atspi {
namespace {

TEST(AtspiRegistry, ALookupRightAfterAListingListsNothingAgain) {
  testing::FakeBus bus;
  bus.application(":1.5", 42, "Notes");
  EXPECT_EQ(registeredApplications(bus).size(), 1u);
  bus.forget();
  EXPECT_EQ(registeredBusName(bus, 42), ":1.5");
  EXPECT_TRUE(bus.calls.empty());

  // An application the listing did not hold is looked for in a new one,
  // and so is any once the listing is a second old.
  bus.application(":1.9", 43, "Later");
  EXPECT_EQ(registeredBusName(bus, 43), ":1.9");
  EXPECT_EQ(bus.count("GetChildren"), 1u);
  bus.forget();
  bus.time += 1.5;
  EXPECT_EQ(registeredBusName(bus, 42), ":1.5");
  EXPECT_EQ(bus.count("GetChildren"), 1u);
  EXPECT_EQ(registeredBusName(bus, 7), "");
}

}  // namespace
}  // namespace larkspire::linux_backend::atspi
