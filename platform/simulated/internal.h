// Private state of the simulated desktop, shared by its service files.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/simulated/desktop.h"
#include "platform/simulated/virtual_time.h"

namespace larkspire::simulated {

// The identity of one node: the desktop it belongs to and its node id. A
// node id of 0 names the application element of a process that does not
// exist; those handles compare by process identifier instead.
class NodeRef final : public platform::ElementRef {
 public:
  NodeRef(std::uint64_t desktopSerial, std::uint64_t nodeId, Pid pid)
      : desktopSerial_(desktopSerial), nodeId_(nodeId), pid_(pid) {}
  bool equals(const platform::ElementRef& other) const override;
  std::size_t hash() const override;
  std::uint64_t desktopSerial() const { return desktopSerial_; }
  std::uint64_t nodeId() const { return nodeId_; }
  Pid pid() const { return pid_; }

 private:
  std::uint64_t desktopSerial_;
  std::uint64_t nodeId_;
  Pid pid_;
};

struct InstalledFolder {
  std::vector<std::pair<std::string, BundleSpec>> entries;
};

struct Monitor {
  platform::MonitorKind kind;
  std::function<void(const platform::MonitorEvent&)> handler;
};

std::unique_ptr<platform::Accessibility> makeAccessibility(Desktop& desktop);
std::unique_ptr<platform::Workspace> makeWorkspace(Desktop& desktop);
std::unique_ptr<platform::Bundles> makeBundles(Desktop& desktop);
std::unique_ptr<platform::ScreenCapture> makeScreenCapture(Desktop& desktop);
std::unique_ptr<platform::Session> makeSession(Desktop& desktop);
std::unique_ptr<platform::Events> makeEvents(Desktop& desktop);
std::unique_ptr<platform::Monitors> makeMonitors(Desktop& desktop);

struct Desktop::Impl {
  explicit Impl(Desktop& desktop);

  std::uint64_t serial;
  VirtualTime time;

  std::unique_ptr<platform::Accessibility> accessibility;
  std::unique_ptr<platform::Workspace> workspace;
  std::unique_ptr<platform::Bundles> bundles;
  std::unique_ptr<platform::ScreenCapture> screenCapture;
  std::unique_ptr<platform::Session> session;
  std::unique_ptr<platform::Events> events;
  std::unique_ptr<platform::Monitors> monitors;
  std::unique_ptr<platform::Clock> clock;
  std::unique_ptr<platform::RunLoop> runLoop;
  std::unique_ptr<platform::Platform> platform;

  // Every live node by id; a removed node leaves this map, so handles to it
  // read as invalid elements.
  std::uint64_t nextNodeId = 1;
  std::unordered_map<std::uint64_t, Node*> nodes;

  std::vector<std::unique_ptr<SimApp>> apps;
  SimApp* frontmost = nullptr;
  // Far above the small identifiers tests pick by hand.
  Pid nextPid = 50000;
  std::uint32_t nextWindowID = 100;

  std::map<std::string, InstalledFolder> folders;
  std::map<std::string, LaunchSpec> launchables;
  std::deque<platform::ShareableWindow> orphanWindows;
  // Every capture window in the order it appeared; owner is null for orphans.
  struct CaptureEntry {
    platform::ShareableWindow* window;
    SimWindow* owner;
  };
  std::vector<CaptureEntry> captureOrder;

  std::uint64_t nextMonitorId = 1;
  // Shared with the monitor handles, which may outlive the desktop.
  std::shared_ptr<std::map<std::uint64_t, Monitor>> monitorsInstalled =
      std::make_shared<std::map<std::uint64_t, Monitor>>();

  Node* resolve(const Element& element) const;
  void notifyMonitors(platform::MonitorKind kind, const platform::MonitorEvent& event);
  std::uint32_t assignWindowID(std::uint32_t requested);
};

}  // namespace larkspire::simulated
