// The application model the workspace stands on: running applications by
// process, their windows and desktop entries.
#include "platform/linux/xdg/applications.h"

#include <gio/gio.h>

#include <algorithm>

#include "common/alongside.h"
#include "platform/linux/atspi/registry.h"
#include "platform/linux/xdg/process.h"

namespace larkspire::linux_backend {
namespace {

using namespace platform;
using ewmh::ClientWindow;
using ewmh::XWindow;

// How long an activation may take to show in _NET_ACTIVE_WINDOW, and how
// often it looks.
constexpr double kActivationTimeout = 1.0;
constexpr double kActivationPollInterval = 0.02;

}  // namespace

// The processes registered on the accessibility bus, in the registry's order.
std::vector<Pid> registeredPids(atspi::BusPort* bus) {
  std::vector<Pid> pids;
  if (!bus) return pids;
  for (const auto& application : atspi::registeredApplications(*bus)) {
    const Pid pid = application.pid;
    if (pid > 0 && std::find(pids.begin(), pids.end(), pid) == pids.end()) pids.push_back(pid);
  }
  return pids;
}

std::vector<Application> Applications::running() {
  // The accessibility registry (and its bus, the first time) is asked while
  // the window manager's clients are read.
  auto registered = alongside(true, [this] { return registeredPids(accessibilityBus_()); });
  auto clients = ewmh::clientWindows(display());
  std::vector<Pid> order;
  for (const auto& client : clients) {
    if (client.pid && std::find(order.begin(), order.end(), *client.pid) == order.end()) order.push_back(*client.pid);
  }
  for (Pid pid : registered.get()) {
    if (std::find(order.begin(), order.end(), pid) == order.end()) order.push_back(pid);
  }
  std::vector<Application> apps;
  for (Pid pid : order) {
    if (auto app = forPid(pid, clients)) apps.push_back(std::move(app));
  }
  return apps;
}

Application Applications::forPid(Pid pid) { return forPid(pid, ewmh::clientWindows(display())); }

std::vector<XWindow> Applications::windowsOf(Pid pid) {
  std::vector<XWindow> windows;
  for (XWindow window : ewmh::clientWindowNumbers(display())) {
    if (ewmh::windowPid(display(), window) == pid) windows.push_back(window);
  }
  return windows;
}

bool Applications::hasOrdinaryWindow(Pid pid) {
  for (const auto& client : ewmh::clientWindows(display())) {
    if (client.pid == pid && client.ordinary) return true;
  }
  return false;
}

bool Applications::registered(Pid pid) {
  auto pids = registeredPids(accessibilityBus_());
  return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

std::optional<XWindow> Applications::topWindow(Pid pid) {
  auto clients = ewmh::clientWindows(display());
  auto stacking = ewmh::stackingOrder(display());
  auto height = [&](XWindow window) {
    auto found = std::find(stacking.begin(), stacking.end(), window);
    return found == stacking.end() ? -1L : static_cast<long>(found - stacking.begin());
  };
  std::optional<XWindow> best;
  bool bestOrdinary = false;
  for (const auto& client : clients) {
    if (client.pid != pid) continue;
    bool better = !best || (client.ordinary && !bestOrdinary) ||
                  (client.ordinary == bestOrdinary && height(client.window) > height(*best));
    if (better) {
      best = client.window;
      bestOrdinary = client.ordinary;
    }
  }
  return best;
}

bool Applications::activate(Pid pid) {
  auto window = topWindow(pid);
  return window && activateWindow(*window);
}

bool Applications::activateWindow(XWindow window) {
  if (!ewmh::activateWindow(display(), window)) return false;
  double deadline = clock_.now() + kActivationTimeout;
  while (ewmh::activeWindow(display()) != window && clock_.now() < deadline) clock_.sleep(kActivationPollInterval);
  return true;
}

std::optional<std::string> Applications::identifierOf(Pid pid, const std::vector<ClientWindow>& clients) {
  auto entry = identify(pid, clients);
  if (!entry) return std::nullopt;
  return entry->id;
}

std::optional<xdg::DesktopEntry> Applications::identify(Pid pid, const std::vector<ClientWindow>& clients) {
  xdg::ProcessFacts facts;
  for (const auto& client : clients) {
    if (client.pid != pid) continue;
    if (client.applicationId) facts.applicationIds.push_back(*client.applicationId);
    // The class names the application; the instance is often the program.
    for (auto it = client.wmClass.rbegin(); it != client.wmClass.rend(); ++it) facts.wmClasses.push_back(*it);
  }
  facts.executable = xdg::processExecutable(pid);
  facts.commandLine = xdg::processCommandLine(pid);
  std::lock_guard lock(mutex_);
  return catalog_.identify(facts);
}

Application Applications::forPid(Pid pid, const std::vector<ClientWindow>& clients) {
  auto stat = xdg::readProcessStat(pid);
  if (!stat || stat->state == 'Z' || stat->state == 'X') return nullptr;
  auto entry = identify(pid, clients);
  std::optional<std::string> identifier, name;
  if (entry) {
    identifier = entry->id;
    name = entry->name;
  } else {
    // What the window manager knows: the class name of its windows.
    for (const auto& client : clients) {
      if (client.pid == pid && client.wmClass.size() == 2) {
        name = client.wmClass[1];
        break;
      }
    }
  }
  return std::make_shared<LinuxRunningApplication>(shared_from_this(), pid, stat->startTime, identifier, name);
}

ActivationPolicy LinuxRunningApplication::activationPolicy() const {
  return model_->hasOrdinaryWindow(pid_) ? ActivationPolicy::regular : ActivationPolicy::accessory;
}

bool LinuxRunningApplication::isTerminated() const { return !xdg::processRunning(pid_, startTime_); }

bool LinuxRunningApplication::isFinishedLaunching() const {
  if (isTerminated()) return false;
  return !model_->windowsOf(pid_).empty() || model_->registered(pid_);
}

bool LinuxRunningApplication::activate() { return !isTerminated() && model_->activate(pid_); }

}  // namespace larkspire::linux_backend
