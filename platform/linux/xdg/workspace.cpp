// The workspace on a Linux desktop: running applications, the frontmost
// one, and opening an application from its desktop entry the way a
// launcher does.
#include "platform/linux/xdg/workspace.h"

#include <sys/wait.h>

#include <cerrno>
#include <set>

#include "platform/linux/dbus/accessibility_bus.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/xdg/applications.h"
#include "platform/linux/xdg/process.h"

namespace larkspire::linux_backend {
namespace {

using namespace platform;
using ewmh::XWindow;

// How long an open waits for the application to show itself, and how often
// it looks.
constexpr double kOpenTimeout = 10.0;
constexpr double kOpenPollInterval = 0.05;
// A program that ended with success and left nothing running may still have
// handed over to a running copy or to one started for it elsewhere (by the
// session bus): its window is waited for this long before the program
// counts as ended.
constexpr double kHandOverGrace = 1.0;

class XdgWorkspace final : public Workspace {
 public:
  explicit XdgWorkspace(std::shared_ptr<Applications> model) : model_(std::move(model)) {}

  std::vector<Application> runningApplications() override { return model_->running(); }

  std::vector<Application> runningApplicationsWithBundleIdentifier(const std::string& bundleIdentifier) override {
    std::vector<Application> found;
    for (auto& app : model_->running()) {
      if (app->bundleIdentifier() == bundleIdentifier) found.push_back(app);
    }
    return found;
  }

  Application frontmostApplication() override {
    auto window = ewmh::activeWindow(model_->display());
    if (!window) return nullptr;
    auto pid = ewmh::windowPid(model_->display(), *window);
    if (!pid) return nullptr;
    return model_->forPid(*pid);
  }

  std::optional<std::string> urlForApplication(const std::string& bundleIdentifier) override {
    std::lock_guard lock(model_->mutex());
    auto entry = model_->catalog().entryForId(bundleIdentifier);
    if (!entry) return std::nullopt;
    return entry->path;
  }

  OpenResult openApplication(const std::string& location, bool activates) override;

  // Nothing to join or hide on X: a process without windows shows nothing.
  void sharedApplication() override {}
  void setAccessoryActivationPolicy() override {}

 private:
  // One program started for an open, followed until it shows a window.
  struct Launch {
    xdg::DesktopEntry entry;
    Pid child = 0;
    std::optional<xdg::ProcessStat> childStat;
    std::set<XWindow> known;  // windows that are not the application's
    bool childExited = false;
    int childStatus = 0;
    std::optional<double> endedAt;  // when nothing of what we started was left running
  };

  std::optional<xdg::DesktopEntry> entryAt(const std::string& location) {
    std::lock_guard lock(model_->mutex());
    return model_->catalog().entryAtPath(location);
  }

  // A running copy of the application that shows a window, brought forward
  // when asked to.
  Application showingWindow(const std::string& identifier, bool activates) {
    for (auto& app : model_->running()) {
      if (app->bundleIdentifier() == identifier && !model_->windowsOf(app->processIdentifier()).empty()) {
        if (activates) app->activate();
        return app;
      }
    }
    return nullptr;
  }

  // Whether a process is the program we started or runs in its session.
  static bool startedBy(Pid pid, Pid child) {
    if (pid == child) return true;
    auto stat = xdg::readProcessStat(pid);
    return stat && stat->sessionId == child;
  }

  static void reap(Launch& launch) {
    if (launch.childExited) return;
    int status = 0;
    pid_t reaped = ::waitpid(launch.child, &status, WNOHANG);
    if (reaped == launch.child || (reaped < 0 && errno == ECHILD)) {
      launch.childExited = true;
      launch.childStatus = exitCode(reaped == launch.child, status);
    }
  }

  // What a program's end says: its exit status, 128 for a signal, 0 when
  // someone else reaped it.
  static int exitCode(bool reapedHere, int status) {
    if (!reapedHere) return 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  }

  // A new window shown by the program we started (or anything it started
  // in its session), or by another process of the same application that
  // the program handed over to.
  Application newWindowOf(Launch& launch, bool activates) {
    auto clients = ewmh::clientWindows(model_->display());
    for (const auto& client : clients) {
      if (launch.known.count(client.window) || !client.pid) continue;
      if (!startedBy(*client.pid, launch.child) && model_->identifierOf(*client.pid, clients) != launch.entry.id) {
        launch.known.insert(client.window);  // someone else's window; never look at it again
        continue;
      }
      if (auto app = finish(*client.pid, client.window, activates)) return app;
    }
    return nullptr;
  }

  // After the program ended: the answer, if its end already gives one.
  std::optional<OpenResult> afterExit(Launch& launch, bool activates) {
    // Handed over to a running copy that re-presented a window it had.
    if (auto app = showingWindow(launch.entry.id, activates)) return OpenResult{app, std::nullopt};
    if (launch.childStatus != 0) {
      return OpenResult{nullptr,
                        launch.entry.exec.front() + " exited with status " + std::to_string(launch.childStatus)};
    }
    // Ended with success and nothing of it left: the application quit,
    // which the caller reports rather than waits out.
    if (xdg::sessionHasProcesses(launch.child)) {
      launch.endedAt.reset();
      return std::nullopt;
    }
    const double now = model_->clock().now();
    if (!launch.endedAt) launch.endedAt = now;
    if (now - *launch.endedAt < kHandOverGrace) return std::nullopt;
    return OpenResult{std::make_shared<LinuxRunningApplication>(model_, launch.child,
                                                                launch.childStat ? launch.childStat->startTime : 0,
                                                                launch.entry.id, launch.entry.name),
                      std::nullopt};
  }

  // Looks for the application's window until it shows or time runs out.
  std::optional<OpenResult> awaitWindow(Launch& launch, bool activates) {
    Clock& clock = model_->clock();
    const double deadline = clock.now() + kOpenTimeout;
    while (true) {
      reap(launch);
      if (auto app = newWindowOf(launch, activates)) return OpenResult{app, std::nullopt};
      if (launch.childExited) {
        if (auto result = afterExit(launch, activates)) return result;
      }
      if (clock.now() >= deadline) return std::nullopt;
      clock.sleep(kOpenPollInterval);
    }
  }

  // No window in time. A process that registered on the accessibility bus
  // is an application without windows; otherwise report the program we
  // started, still launching, and let the caller decide how long to wait.
  OpenResult withoutWindow(const Launch& launch) {
    for (auto& app : model_->running()) {
      if (startedBy(app->processIdentifier(), launch.child) || app->bundleIdentifier() == launch.entry.id) {
        return {app, std::nullopt};
      }
    }
    if (!launch.childExited && launch.childStat && xdg::processRunning(launch.child, launch.childStat->startTime)) {
      if (auto app = model_->forPid(launch.child)) return {app, std::nullopt};
    }
    return {nullptr, launch.entry.exec.front() + " showed no window"};
  }

  Application finish(Pid pid, std::optional<XWindow> window, bool activates) {
    auto app = model_->forPid(pid);
    if (!app) return nullptr;
    if (activates) {
      if (window) {
        model_->activateWindow(*window);
      } else {
        app->activate();
      }
    }
    return app;
  }

  std::shared_ptr<Applications> model_;
};

OpenResult XdgWorkspace::openApplication(const std::string& location, bool activates) {
  auto entry = entryAt(location);
  if (!entry) return {nullptr, "no application at " + location};
  if (entry->exec.empty()) return {nullptr, "the application has no command to run"};

  // Opening an application that already shows a window brings that window
  // forward instead of starting another copy.
  if (auto app = showingWindow(entry->id, activates)) return {app, std::nullopt};

  auto before = ewmh::clientWindowNumbers(model_->display());
  Launch launch;
  launch.known.insert(before.begin(), before.end());
  auto spawned = xdg::spawnDetached(entry->exec, entry->workingDirectory);
  if (spawned.error) return {nullptr, spawned.error};
  launch.entry = std::move(*entry);
  launch.child = spawned.pid;
  launch.childStat = xdg::readProcessStat(launch.child);

  if (auto result = awaitWindow(launch, activates)) return *result;
  return withoutWindow(launch);
}

}  // namespace

std::unique_ptr<Workspace> makeXdgWorkspace(std::function<Display*()> display,
                                            std::function<atspi::BusPort*()> accessibilityBus, Clock& clock,
                                            xdg::Getenv getenv) {
  return std::make_unique<XdgWorkspace>(
      std::make_shared<Applications>(std::move(display), std::move(accessibilityBus), clock, std::move(getenv)));
}

std::unique_ptr<Workspace> makeWorkspace(LinuxContext& context, Clock& clock) {
  // Calls of its own on the accessibility bus: the registry is read from
  // the workspace's thread, not the accessibility service's.
  auto bus = std::make_shared<atspi::Bus>(context);
  return makeXdgWorkspace([&context] { return context.display(); }, [bus]() -> atspi::BusPort* { return bus.get(); },
                          clock, xdg::processEnvironment);
}

}  // namespace larkspire::linux_backend
