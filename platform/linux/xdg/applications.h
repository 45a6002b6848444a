// Applications on a Linux desktop, as the workspace sees them. A running
// application is a process that owns a window the window manager manages
// (_NET_CLIENT_LIST, _NET_WM_PID) or that is registered on the
// accessibility bus; its identifier is the id of the desktop entry it
// belongs to.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/atspi/bus_port.h"
#include "platform/linux/x11/ewmh_clients.h"
#include "platform/linux/xdg/catalog.h"
#include "platform/run_loop.h"
#include "platform/workspace.h"

namespace larkspire::linux_backend {

// The processes registered on the accessibility bus, in the registry's order.
std::vector<platform::Pid> registeredPids(atspi::BusPort* bus);

// The live desktop as the application services see it.
class Applications : public std::enable_shared_from_this<Applications> {
 public:
  // `display` and `accessibilityBus` are asked on every use (null: none);
  // waits are measured on `clock`; the catalog reads its folders from
  // `getenv`.
  Applications(std::function<Display*()> display, std::function<atspi::BusPort*()> accessibilityBus,
               platform::Clock& clock, xdg::Getenv getenv)
      : display_(std::move(display)),
        accessibilityBus_(std::move(accessibilityBus)),
        clock_(clock),
        catalog_(std::move(getenv)) {}

  Display* display() { return display_(); }
  platform::Clock& clock() { return clock_; }

  std::vector<platform::Application> running();

  // The application of one process; none when the process is gone.
  platform::Application forPid(platform::Pid pid, const std::vector<ewmh::ClientWindow>& clients);
  platform::Application forPid(platform::Pid pid);

  std::vector<ewmh::XWindow> windowsOf(platform::Pid pid);
  bool hasOrdinaryWindow(platform::Pid pid);
  bool registered(platform::Pid pid);

  // The window to bring forward: the topmost ordinary one of the process,
  // else its topmost window of any kind.
  std::optional<ewmh::XWindow> topWindow(platform::Pid pid);

  bool activate(platform::Pid pid);
  // Activates a window and waits (briefly) until the window manager did.
  bool activateWindow(ewmh::XWindow window);

  std::optional<std::string> identifierOf(platform::Pid pid, const std::vector<ewmh::ClientWindow>& clients);

  xdg::DesktopCatalog& catalog() { return catalog_; }
  std::mutex& mutex() { return mutex_; }

 private:
  std::optional<xdg::DesktopEntry> identify(platform::Pid pid, const std::vector<ewmh::ClientWindow>& clients);

  std::function<Display*()> display_;
  std::function<atspi::BusPort*()> accessibilityBus_;
  platform::Clock& clock_;
  std::mutex mutex_;
  xdg::DesktopCatalog catalog_;
};

class LinuxRunningApplication final : public platform::RunningApplication {
 public:
  LinuxRunningApplication(std::shared_ptr<Applications> model, platform::Pid pid, unsigned long long startTime,
                          std::optional<std::string> identifier, std::optional<std::string> name)
      : model_(std::move(model)),
        pid_(pid),
        startTime_(startTime),
        identifier_(std::move(identifier)),
        name_(std::move(name)) {}

  std::optional<std::string> bundleIdentifier() const override { return identifier_; }
  std::optional<std::string> localizedName() const override { return name_; }
  platform::Pid processIdentifier() const override { return pid_; }
  platform::ActivationPolicy activationPolicy() const override;
  bool isTerminated() const override;
  bool isFinishedLaunching() const override;
  bool activate() override;

 private:
  std::shared_ptr<Applications> model_;
  platform::Pid pid_;
  unsigned long long startTime_;
  std::optional<std::string> identifier_;
  std::optional<std::string> name_;
};

}  // namespace larkspire::linux_backend
