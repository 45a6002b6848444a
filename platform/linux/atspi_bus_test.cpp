#include "platform/linux/atspi_bus.h"

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

}  // namespace
}  // namespace larkspire::linux_backend::atspi
