// Running applications, the frontmost one, and opening launchables.
#include "platform/simulated/internal.h"

namespace larkspire::simulated {

std::string Desktop::launchableLocation(const std::string& bundleIdentifier) {
  return "/Applications/" + bundleIdentifier + ".app";
}

class SimWorkspace final : public platform::Workspace {
 public:
  explicit SimWorkspace(Desktop& desktop) : desktop_(desktop) {}

  std::vector<platform::Application> runningApplications() override {
    std::vector<platform::Application> list;
    for (SimApp* app : desktop_.apps()) list.push_back(app->handle());
    return list;
  }

  std::vector<platform::Application> runningApplicationsWithBundleIdentifier(const std::string& id) override {
    std::vector<platform::Application> list;
    for (SimApp* app : desktop_.apps())
      if (app->spec().bundleIdentifier == id) list.push_back(app->handle());
    return list;
  }

  platform::Application frontmostApplication() override {
    SimApp* app = desktop_.frontmost();
    return app ? app->handle() : nullptr;
  }

  std::optional<std::string> urlForApplication(const std::string& id) override {
    if (!desktop_.impl_->launchables.count(id)) return std::nullopt;
    return Desktop::launchableLocation(id);
  }

  platform::OpenResult openApplication(const std::string& location, bool activates) override {
    ++desktop_.openRequests;
    const LaunchSpec* spec = nullptr;
    for (const auto& [id, launchable] : desktop_.impl_->launchables)
      if (Desktop::launchableLocation(id) == location) spec = &launchable;
    if (!spec) return {nullptr, "The application at " + location + " could not be found."};
    // Copied: scenario events run while waiting may install launchables.
    const LaunchSpec launch = *spec;
    if (launch.completesAfter > 0) desktop_.advance(launch.completesAfter);
    if (launch.error) return {nullptr, launch.error};

    if (launch.app.bundleIdentifier) {
      for (SimApp* running : desktop_.apps()) {
        if (running->terminated() || running->spec().bundleIdentifier != launch.app.bundleIdentifier) continue;
        if (activates) desktop_.setFrontmost(*running);
        return {running->handle(), std::nullopt};
      }
    }

    AppSpec appSpec = launch.app;
    const bool finishesLater = launch.finishesLaunchingAfter > 0;
    appSpec.finishedLaunching = appSpec.finishedLaunching && !finishesLater;
    SimApp& app = desktop_.addApp(appSpec);
    if (launch.onStart) launch.onStart(app);
    if (activates) desktop_.setFrontmost(app);
    // Scenario events hold the process identifier, not the application, and
    // look it up when they run.
    const Pid pid = app.pid();
    Desktop& desktop = desktop_;
    if (finishesLater && launch.app.finishedLaunching)
      desktop_.at(desktop_.now() + launch.finishesLaunchingAfter, [&desktop, pid] {
        if (SimApp* a = desktop.app(pid)) a->finishLaunching();
      });
    if (launch.terminatesAfter)
      desktop_.at(desktop_.now() + *launch.terminatesAfter, [&desktop, pid] {
        if (SimApp* a = desktop.app(pid)) a->terminate();
      });
    return {app.handle(), std::nullopt};
  }

  void sharedApplication() override { ++desktop_.sharedApplicationCalls; }
  void setAccessoryActivationPolicy() override { desktop_.accessoryActivationPolicy = true; }

 private:
  Desktop& desktop_;
};

std::unique_ptr<platform::Workspace> makeWorkspace(Desktop& desktop) { return std::make_unique<SimWorkspace>(desktop); }

}  // namespace larkspire::simulated
