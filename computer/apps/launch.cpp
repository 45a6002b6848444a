#include "computer/apps/launch.h"

#include "computer/apps/app_listing.h"
#include "computer/failure.h"

namespace larkspire::computer {
namespace {

// Seconds from the start of the launch. Counted from the request, not from
// the open's completion: a desktop whose open itself waits for a window
// (X11 has no other sign that an application is up) would otherwise make
// the caller wait twice.
constexpr double kReadinessDeadline = 10.0;
constexpr double kPollingInterval = 0.1;

}  // namespace

platform::Application targetApp(platform::Platform& platform, const std::string& appId) {
  if (excludedApp(appId)) fail(kTargetChanged);
  auto instances = platform.workspace.runningApplicationsWithBundleIdentifier(appId);
  if (instances.empty() || !instances.front()) fail(kTargetChanged);
  // Only the first instance counts; a later one that would qualify is not
  // what the assistant was shown.
  auto& first = instances.front();
  if (first->activationPolicy() != platform::ActivationPolicy::regular || first->isTerminated()) fail(kTargetChanged);
  return first;
}

json::Json launch(platform::Platform& platform, const std::string& appId) {
  if (appId.empty() || excludedApp(appId)) fail(kAppNotFound);
  auto location = platform.workspace.urlForApplication(appId);
  if (!location) fail(kAppNotFound);

  auto& clock = platform.clock;
  const double deadline = clock.now() + kReadinessDeadline;
  auto opened = platform.workspace.openApplication(*location, true);
  if (opened.error) fail(kUnavailable);
  // A completion with neither an application nor an error leaves nothing to
  // wait for or report on: the desktop did not do what was asked.
  if (!opened.application) fail(kUnavailable);
  auto& app = opened.application;

  while (!app->isFinishedLaunching() && !app->isTerminated() && clock.now() < deadline) {
    clock.sleep(kPollingInterval);
  }

  return {
      {"appId", appId},
      {"name", app->localizedName().value_or(appId)},
      {"running", !app->isTerminated()},
      {"pid", app->processIdentifier()},
      {"ready", app->isFinishedLaunching()},
  };
}

}  // namespace larkspire::computer
