#include "platform/linux/dbus/accessibility_bus.h"

#include <gtest/gtest.h>

namespace larkspire::linux_backend::atspi {
namespace {

TEST(AtspiPrivateConnection, OnlyALocalSocketAddressIsFollowed) {
  EXPECT_TRUE(acceptablePeerAddress("unix:path=/run/user/1000/at-spi2-Q1/socket"));
  EXPECT_TRUE(acceptablePeerAddress("unix:abstract=/tmp/dbus-XYZ,guid=0123"));
  // An application must not send us across the network or through a list
  // of places to try.
  EXPECT_FALSE(acceptablePeerAddress("tcp:host=example.org,port=4000"));
  EXPECT_FALSE(acceptablePeerAddress("unix:path=/tmp/a;tcp:host=example.org,port=1"));
  EXPECT_FALSE(acceptablePeerAddress("nonce-tcp:host=localhost,port=1"));
  EXPECT_FALSE(acceptablePeerAddress("autolaunch:"));
  EXPECT_FALSE(acceptablePeerAddress(""));
  EXPECT_FALSE(acceptablePeerAddress(" unix:path=/tmp/a"));
}

TEST(AtspiTimeouts, OnlyRunningOutOfTimeCounts) {
  auto is = [](GQuark domain, int code) {
    Error error(g_error_new_literal(domain, code, "x"));
    return isTimeout(error.get());
  };
  EXPECT_TRUE(is(G_IO_ERROR, G_IO_ERROR_TIMED_OUT));
  EXPECT_TRUE(is(G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY));
  EXPECT_FALSE(is(G_IO_ERROR, G_IO_ERROR_CLOSED));
  EXPECT_FALSE(is(G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN));
  EXPECT_FALSE(isTimeout(nullptr));
  // What the bus daemon sends when the other side did not answer it.
  Error remote(g_dbus_error_new_for_dbus_error("org.freedesktop.DBus.Error.NoReply", "x"));
  EXPECT_TRUE(isTimeout(remote.get()));
  Error unknown(g_dbus_error_new_for_dbus_error("org.freedesktop.DBus.Error.UnknownObject", "x"));
  EXPECT_FALSE(isTimeout(unknown.get()));
}

TEST(AtspiTimeouts, AnApplicationIsGivenUpOnForAWhileAfterItsTimeout) {
  TimedOutApplications applications;
  EXPECT_FALSE(applications.givenUp(":1.5", 100));
  applications.timedOut(":1.5", 100);
  EXPECT_TRUE(applications.givenUp(":1.5", 100));
  EXPECT_TRUE(applications.givenUp(":1.5", 100 + kGiveUpSeconds - 0.01));
  EXPECT_FALSE(applications.givenUp(":1.6", 101)) << "others are still asked";
  EXPECT_FALSE(applications.givenUp(":1.5", 100 + kGiveUpSeconds));
  EXPECT_FALSE(applications.givenUp(":1.5", 100)) << "forgotten once the time is over";
}

}  // namespace
}  // namespace larkspire::linux_backend::atspi
