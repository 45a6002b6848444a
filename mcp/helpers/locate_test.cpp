#include "mcp/helpers/locate.h"

#include <gtest/gtest.h>

#include <set>

namespace larkspire::mcp {
namespace {

TEST(McpHelperLocation, BesideTheServerThenInstalledThenNothingAndAnOverrideWins) {
  std::set<std::string> executables;
  auto exists = [&](const std::string& path) { return executables.count(path) > 0; };

  EXPECT_EQ(locateHelper("/opt/x/bin", kComputerProgram, nullptr, exists), std::nullopt);
  executables.insert("/opt/x/bin/" + std::string(kInstalledHelperFolder) + "/larkspire-computer");
  EXPECT_EQ(locateHelper("/opt/x/bin", kComputerProgram, nullptr, exists),
            "/opt/x/bin/" + std::string(kInstalledHelperFolder) + "/larkspire-computer");
  executables.insert("/opt/x/bin/larkspire-computer");
  EXPECT_EQ(locateHelper("/opt/x/bin", kComputerProgram, nullptr, exists), "/opt/x/bin/larkspire-computer");
  EXPECT_EQ(locateHelper("/opt/x/bin", kComputerProgram, "", exists), "/opt/x/bin/larkspire-computer");
  EXPECT_EQ(locateHelper("/opt/x/bin", kComputerProgram, "/elsewhere/computer", exists), "/elsewhere/computer");
  EXPECT_EQ(locateHelper("/opt/x/bin", kObserverProgram, nullptr, exists), std::nullopt);
}

}  // namespace
}  // namespace larkspire::mcp
