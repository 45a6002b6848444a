// /proc reading and starting programs detached from us.
#include "platform/linux/xdg/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/linux/x11/ewmh_clients.h"

namespace larkspire::linux_backend::xdg {
namespace {

namespace fs = std::filesystem;

TEST(ProcessStat, FieldsFollowTheLastParenthesis) {
  auto stat = parseProcessStat(
      "4242 (we (ird) name) S 1 4242 4200 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 "
      "987654 1000 10\n");
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->state, 'S');
  EXPECT_EQ(stat->sessionId, 4200);
  EXPECT_EQ(stat->startTime, 987654u);
  EXPECT_FALSE(parseProcessStat("4242 (short) S 1 2"));
  EXPECT_FALSE(parseProcessStat("no parenthesis at all"));
  EXPECT_FALSE(parseProcessStat("1 (x) S 1 2 x 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 5"));
}

TEST(ProcessStat, OwnProcessRunsAndAReusedPidDoesNot) {
  auto self = readProcessStat(::getpid());
  ASSERT_TRUE(self);
  EXPECT_TRUE(processRunning(::getpid(), self->startTime));
  EXPECT_FALSE(processRunning(::getpid(), self->startTime + 1));
  EXPECT_FALSE(processRunning(-1, 0));
  EXPECT_EQ(processExecutable(::getpid()), fs::read_symlink("/proc/self/exe").string());
  EXPECT_FALSE(processCommandLine(::getpid()).empty());
}

TEST(SpawnDetached, RunsInItsOwnSessionWithNothingOfOurs) {
  auto dir = fs::temp_directory_path();
  int leaked = ::open("/dev/zero", O_RDONLY);  // no close-on-exec: must still not reach the child
  ASSERT_GE(leaked, 3);
  auto spawned = spawnDetached({"sleep", "30"}, dir.string());
  ::close(leaked);
  ASSERT_FALSE(spawned.error) << *spawned.error;
  auto fdDir = "/proc/" + std::to_string(spawned.pid) + "/fd";
  // Wait (boundedly) until the program itself runs, not the spawner.
  for (int i = 0; i < 200 && processCommandLine(spawned.pid) != std::vector<std::string>{"sleep", "30"}; ++i) {
    ::usleep(10000);
  }
  // Just after exec the loader still opens and closes libraries for a moment:
  // the listing is read again until it settles (a leaked descriptor stays).
  const std::map<std::string, std::string> expected{{"0", "/dev/null"}, {"1", "/dev/null"}, {"2", "/dev/null"}};
  std::map<std::string, std::string> fds;
  for (int i = 0; i < 200; ++i) {
    fds.clear();
    for (const auto& fd : fs::directory_iterator(fdDir)) {
      std::error_code error;
      auto target = fs::read_symlink(fd.path(), error);
      fds[fd.path().filename().string()] = error ? "(closed while read)" : target.string();
    }
    if (fds == expected) break;
    ::usleep(10000);
  }
  auto stat = readProcessStat(spawned.pid);
  auto cwd = fs::read_symlink("/proc/" + std::to_string(spawned.pid) + "/cwd");
  ::kill(spawned.pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(spawned.pid, &status, 0), spawned.pid);

  EXPECT_EQ(fds, expected);
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->sessionId, spawned.pid);
  EXPECT_EQ(cwd, fs::canonical(dir));
}

TEST(SpawnDetached, AProgramThatCannotStartIsAnError) {
  auto spawned = spawnDetached({"/nonexistent/larkspire-no-such-program"}, std::nullopt);
  EXPECT_TRUE(spawned.error);
  EXPECT_TRUE(spawnDetached({}, std::nullopt).error);
}

TEST(OrdinaryWindows, NormalAndDialogWindowsOnTheTaskBar) {
  EXPECT_TRUE(ewmh::isOrdinaryWindow({}, {}));
  EXPECT_TRUE(ewmh::isOrdinaryWindow({"_NET_WM_WINDOW_TYPE_NORMAL"}, {"_NET_WM_STATE_MAXIMIZED_VERT"}));
  EXPECT_TRUE(ewmh::isOrdinaryWindow({"_NET_WM_WINDOW_TYPE_DIALOG"}, {}));
  EXPECT_FALSE(ewmh::isOrdinaryWindow({"_NET_WM_WINDOW_TYPE_UTILITY", "_NET_WM_WINDOW_TYPE_NORMAL"}, {}));
  EXPECT_FALSE(ewmh::isOrdinaryWindow({"_NET_WM_WINDOW_TYPE_DOCK"}, {}));
  EXPECT_FALSE(ewmh::isOrdinaryWindow({"_NET_WM_WINDOW_TYPE_NORMAL"}, {"_NET_WM_STATE_SKIP_TASKBAR"}));
}

TEST(Activation, GoesToTheWindowsDesktopFirst) {
  EXPECT_EQ(ewmh::desktopToShow(2, 0), 2u);
  EXPECT_EQ(ewmh::desktopToShow(0, 0), std::nullopt);
  EXPECT_EQ(ewmh::desktopToShow(0xffffffffUL, 1), std::nullopt);  // on every desktop
  EXPECT_EQ(ewmh::desktopToShow(std::nullopt, 1), std::nullopt);
  EXPECT_EQ(ewmh::desktopToShow(1, std::nullopt), 1u);
}

}  // namespace
}  // namespace larkspire::linux_backend::xdg
