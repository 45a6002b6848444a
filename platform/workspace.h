// Running applications, the frontmost one, locating and opening applications.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/values.h"

namespace larkspire::platform {

enum class ActivationPolicy : int { regular = 0, accessory = 1, prohibited = 2 };

// One running application. Its state answers are live: asking twice may give
// different answers (an application finishes launching, or quits).
class RunningApplication {
 public:
  virtual ~RunningApplication() = default;
  virtual std::optional<std::string> bundleIdentifier() const = 0;
  virtual std::optional<std::string> localizedName() const = 0;
  virtual Pid processIdentifier() const = 0;
  virtual ActivationPolicy activationPolicy() const = 0;
  virtual bool isTerminated() const = 0;
  virtual bool isFinishedLaunching() const = 0;
  // Brings the application to the front (activateWithOptions: with no options).
  virtual bool activate() = 0;
};

using Application = std::shared_ptr<RunningApplication>;

// The completion of an open request: the running application or an error.
// Neither set means the platform gave neither.
struct OpenResult {
  Application application;
  std::optional<std::string> error;
};

class Workspace {
 public:
  virtual ~Workspace() = default;

  // The running applications, in the system's order.
  virtual std::vector<Application> runningApplications() = 0;
  // The running instances of one bundle identifier, first instance first.
  virtual std::vector<Application> runningApplicationsWithBundleIdentifier(const std::string& bundleIdentifier) = 0;
  // The frontmost application, or none.
  virtual Application frontmostApplication() = 0;

  // The location of an application by bundle identifier, or none.
  virtual std::optional<std::string> urlForApplication(const std::string& bundleIdentifier) = 0;
  // Opens the application at a location; blocks until the platform's
  // completion arrives, which happens exactly once.
  virtual OpenResult openApplication(const std::string& location, bool activates) = 0;

  // Joins the process to the window server (the shared application object).
  virtual void sharedApplication() = 0;
  // Makes this process an accessory application: no Dock icon, no menu bar.
  virtual void setAccessoryActivationPolicy() = 0;
};

}  // namespace larkspire::platform
