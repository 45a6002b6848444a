// The workspace's waits in virtual time: a real program is started from a
// desktop entry, with no display to show a window on.
#include "platform/linux/xdg/workspace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "platform/simulated/desktop.h"

namespace larkspire::linux_backend {
namespace {

namespace fs = std::filesystem;

class XdgWorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("larkspire-workspace-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(root / "home/applications");
    fs::create_directories(root / "system/applications");
    env = {{"XDG_DATA_HOME", (root / "home").string()},
           {"XDG_DATA_DIRS", (root / "system").string()},
           {"PATH", "/usr/bin:/bin"}};
  }
  void TearDown() override {
    if (started > 0) {
      ::kill(started, SIGKILL);
      ::waitpid(started, nullptr, 0);
    }
    fs::remove_all(root);
  }

  std::string entry(const std::string& id, const std::string& body) {
    auto path = (root / "home/applications" / (id + ".desktop")).string();
    std::ofstream(path) << "[Desktop Entry]\nType=Application\n" << body;
    return path;
  }

  std::unique_ptr<platform::Workspace> workspace() {
    return makeXdgWorkspace([] { return nullptr; }, [] { return nullptr; }, desktop.platform().clock,
                            [this](const std::string& name) -> std::optional<std::string> {
                              auto found = env.find(name);
                              if (found == env.end()) return std::nullopt;
                              return found->second;
                            });
  }

  simulated::Desktop desktop;
  fs::path root;
  std::map<std::string, std::string> env;
  platform::Pid started = 0;
};

TEST_F(XdgWorkspaceTest, AnOpenWaitsTenSecondsForAWindowThenReportsTheProgramStillLaunching) {
  auto path = entry("org.example.Sleeper", "Name=Sleeper\nExec=sleep 600\n");
  const double before = desktop.now();

  auto opened = workspace()->openApplication(path, /*activates=*/false);

  ASSERT_TRUE(opened.application) << opened.error.value_or("");
  started = opened.application->processIdentifier();
  // The whole wait, in steps of the poll interval, and not one step more.
  EXPECT_GE(desktop.now() - before, 10.0);
  EXPECT_LT(desktop.now() - before, 10.0 + 0.05 + 1e-6);
  EXPECT_EQ(opened.application->bundleIdentifier(), "org.example.Sleeper");
  EXPECT_FALSE(opened.application->isTerminated());
  EXPECT_FALSE(opened.application->isFinishedLaunching());
}

}  // namespace
}  // namespace larkspire::linux_backend
