// The workspace on a Linux desktop: running applications, the frontmost
// one, and opening an application from its desktop entry the way a
// launcher does.
#include "platform/linux/xdg/workspace.h"

#include <sys/wait.h>

#include <cerrno>
#include <set>

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
  std::optional<xdg::DesktopEntry> entry;
  {
    std::lock_guard lock(model_->mutex());
    entry = model_->catalog().entryAtPath(location);
  }
  if (!entry) return {nullptr, "no application at " + location};
  if (entry->exec.empty()) return {nullptr, "the application has no command to run"};

  // Opening an application that already shows a window brings that window
  // forward instead of starting another copy.
  for (auto& app : model_->running()) {
    if (app->bundleIdentifier() == entry->id && !model_->windowsOf(app->processIdentifier()).empty()) {
      if (activates) app->activate();
      return {app, std::nullopt};
    }
  }

  auto before = ewmh::clientWindowNumbers(model_->display());
  std::set<XWindow> known(before.begin(), before.end());
  auto spawned = xdg::spawnDetached(entry->exec, entry->workingDirectory);
  if (spawned.error) return {nullptr, spawned.error};
  const Pid child = spawned.pid;
  auto childStat = xdg::readProcessStat(child);

  bool childExited = false;
  int childStatus = 0;
  std::optional<double> endedAt;  // when nothing of what we started was left running
  const double deadline = model_->clock().now() + kOpenTimeout;
  while (true) {
    if (!childExited) {
      int status = 0;
      pid_t reaped = ::waitpid(child, &status, WNOHANG);
      if (reaped == child || (reaped < 0 && errno == ECHILD)) {
        childExited = true;
        childStatus = reaped == child && WIFEXITED(status) ? WEXITSTATUS(status) : (reaped == child ? 128 : 0);
      }
    }

    // A new window shown by the program we started (or anything it started
    // in its session), or by another process of the same application that
    // the program handed over to.
    auto clients = ewmh::clientWindows(model_->display());
    for (const auto& client : clients) {
      if (known.count(client.window) || !client.pid) continue;
      auto stat = xdg::readProcessStat(*client.pid);
      bool ours = *client.pid == child || (stat && stat->sessionId == child);
      if (!ours && model_->identifierOf(*client.pid, clients) != entry->id) {
        known.insert(client.window);  // someone else's window; never look at it again
        continue;
      }
      if (auto app = finish(*client.pid, client.window, activates)) return {app, std::nullopt};
    }

    if (childExited) {
      // Handed over to a running copy that re-presented a window it had.
      for (auto& app : model_->running()) {
        if (app->bundleIdentifier() == entry->id && !model_->windowsOf(app->processIdentifier()).empty()) {
          if (activates) app->activate();
          return {app, std::nullopt};
        }
      }
      if (childStatus != 0) {
        return {nullptr, entry->exec.front() + " exited with status " + std::to_string(childStatus)};
      }
      // Ended with success and nothing of it left: the application quit,
      // which the caller reports rather than waits out.
      if (!xdg::sessionHasProcesses(child)) {
        if (!endedAt) endedAt = model_->clock().now();
        if (model_->clock().now() - *endedAt >= kHandOverGrace) {
          return {std::make_shared<LinuxRunningApplication>(model_, child, childStat ? childStat->startTime : 0,
                                                            entry->id, entry->name),
                  std::nullopt};
        }
      } else {
        endedAt.reset();
      }
    }
    if (model_->clock().now() >= deadline) break;
    model_->clock().sleep(kOpenPollInterval);
  }

  // No window in time. A process that registered on the accessibility bus
  // is an application without windows; otherwise report the program we
  // started, still launching, and let the caller decide how long to wait.
  for (auto& app : model_->running()) {
    auto stat = xdg::readProcessStat(app->processIdentifier());
    bool ours = app->processIdentifier() == child || (stat && stat->sessionId == child);
    if (ours || app->bundleIdentifier() == entry->id) return {app, std::nullopt};
  }
  if (!childExited && childStat && xdg::processRunning(child, childStat->startTime)) {
    if (auto app = model_->forPid(child)) return {app, std::nullopt};
  }
  return {nullptr, entry->exec.front() + " showed no window"};
}

}  // namespace

std::unique_ptr<Workspace> makeXdgWorkspace(std::function<Display*()> display,
                                            std::function<GDBusConnection*()> accessibilityBus, Clock& clock,
                                            xdg::Getenv getenv) {
  return std::make_unique<XdgWorkspace>(
      std::make_shared<Applications>(std::move(display), std::move(accessibilityBus), clock, std::move(getenv)));
}

std::unique_ptr<Workspace> makeWorkspace(LinuxContext& context, Clock& clock) {
  return makeXdgWorkspace([&context] { return context.display(); }, [&context] { return context.accessibilityBus(); },
                          clock, xdg::processEnvironment);
}

}  // namespace larkspire::linux_backend
