#include "platform/simulated/desktop.h"

#include <algorithm>
#include <atomic>
#include <functional>

#include "platform/hung_application_guard.h"
#include "platform/simulated/internal.h"

namespace larkspire::simulated {
namespace {
std::atomic<std::uint64_t> nextDesktopSerial{1};
}  // namespace

std::unique_ptr<platform::Clock> makeClock(Desktop& desktop);
std::unique_ptr<platform::RunLoop> makeRunLoop(Desktop& desktop);

bool NodeRef::equals(const platform::ElementRef& other) const {
  auto* o = dynamic_cast<const NodeRef*>(&other);
  if (!o || o->desktopSerial_ != desktopSerial_ || o->nodeId_ != nodeId_) return false;
  return nodeId_ != 0 || o->pid_ == pid_;
}

std::size_t NodeRef::hash() const {
  return std::hash<std::uint64_t>{}(nodeId_ != 0 ? nodeId_ : static_cast<std::uint64_t>(pid_) << 32 | 1);
}

Desktop::Impl::Impl(Desktop& desktop) : serial(nextDesktopSerial++), time(desktop.now_) {}

std::optional<std::string> Desktop::applicationOf(const Element& element) {
  auto* ref = element.as<NodeRef>();
  if (!ref) return std::nullopt;
  return std::to_string(ref->pid());
}

Node* Desktop::Impl::resolve(const Element& element) const {
  auto* ref = element.as<NodeRef>();
  if (!ref || ref->desktopSerial() != serial) return nullptr;
  auto it = nodes.find(ref->nodeId());
  return it == nodes.end() ? nullptr : it->second;
}

std::uint32_t Desktop::Impl::assignWindowID(std::uint32_t requested) {
  if (requested != 0) return requested;
  auto taken = [&](std::uint32_t id) {
    return std::any_of(captureOrder.begin(), captureOrder.end(),
                       [id](const CaptureEntry& e) { return e.window->windowID == id; });
  };
  while (nextWindowID == 0 || taken(nextWindowID)) ++nextWindowID;
  return nextWindowID++;
}

Desktop::Desktop() {
  impl_ = std::make_unique<Impl>(*this);
  impl_->clock = makeClock(*this);
  // Wired as the native platforms are: a hung application costs one timeout.
  impl_->accessibility =
      std::make_unique<platform::HungApplicationGuard>(makeAccessibility(*this), *impl_->clock, applicationOf);
  impl_->workspace = makeWorkspace(*this);
  impl_->bundles = makeBundles(*this);
  impl_->screenCapture = makeScreenCapture(*this);
  impl_->session = makeSession(*this);
  impl_->events = makeEvents(*this);
  impl_->monitors = makeMonitors(*this);
  impl_->runLoop = makeRunLoop(*this);
  impl_->platform.reset(new platform::Platform{*impl_->accessibility, *impl_->workspace, *impl_->bundles,
                                               *impl_->screenCapture, *impl_->session, *impl_->events, *impl_->monitors,
                                               *impl_->clock, *impl_->runLoop});
}

Desktop::~Desktop() {
  // Nodes unregister themselves from the index on destruction, so the
  // applications go while the rest of the desktop still exists.
  impl_->frontmost = nullptr;
  impl_->captureOrder.clear();
  impl_->apps.clear();
}

platform::Platform& Desktop::platform() { return *impl_->platform; }

// --- Time ---------------------------------------------------------------------

void Desktop::advance(double seconds) { impl_->time.advanceTo(now_ + std::max(0.0, seconds)); }

void Desktop::at(double time, std::function<void()> event) {
  impl_->time.schedule(time, std::move(event), VirtualTime::Kind::scenario);
}

std::size_t Desktop::pendingTasks() const { return impl_->time.pending(VirtualTime::Kind::task); }

// --- Session --------------------------------------------------------------------

void Desktop::setScreenLocked(bool locked) {
  if (!sessionDictionary) sessionDictionary.emplace();
  (*sessionDictionary)["CGSSessionScreenIsLocked"] = locked;
}

// --- Applications -----------------------------------------------------------------

SimApp& Desktop::addApp(const AppSpec& spec) {
  impl_->apps.push_back(std::make_unique<SimApp>(*this, spec));
  return *impl_->apps.back();
}

SimApp* Desktop::app(Pid pid) {
  // The newest live instance wins if a test reuses a process identifier.
  SimApp* found = nullptr;
  for (auto& a : impl_->apps) {
    if (a->pid() != pid) continue;
    if (!found || !a->terminated() || found->terminated()) found = a.get();
  }
  return found;
}

std::vector<SimApp*> Desktop::apps() {
  std::vector<SimApp*> list;
  for (auto& a : impl_->apps)
    if (a->listed_) list.push_back(a.get());
  return list;
}

void Desktop::removeApp(SimApp& app) {
  app.terminate();
  app.listed_ = false;
}

void Desktop::setFrontmost(SimApp& app) { impl_->frontmost = &app; }
void Desktop::clearFrontmost() { impl_->frontmost = nullptr; }
SimApp* Desktop::frontmost() { return impl_->frontmost; }

bool Desktop::activateApp(SimApp& app, bool throughAccessibility) {
  if (app.terminated()) return false;
  if (!throughAccessibility) {
    ++app.activations_;
    // The request is made; the system is free to ignore it.
    if (!app.honoursActivation) return true;
  }
  if (app.onActivate)
    app.onActivate(app);
  else
    setFrontmost(app);
  return true;
}

// --- Installed bundles ---------------------------------------------------------------

void Desktop::addFolder(const std::string& folder) { impl_->folders[folder]; }

void Desktop::addEntry(const std::string& folder, const std::string& entryName, const BundleSpec& bundle) {
  impl_->folders[folder].entries.emplace_back(entryName, bundle);
}

void Desktop::installLaunchable(const std::string& bundleIdentifier, LaunchSpec spec) {
  impl_->launchables[bundleIdentifier] = std::move(spec);
}

// --- Capture ---------------------------------------------------------------------------

platform::ShareableWindow& Desktop::addOrphanWindow(const platform::ShareableWindow& window) {
  impl_->orphanWindows.push_back(window);
  auto& added = impl_->orphanWindows.back();
  added.windowID = impl_->assignWindowID(window.windowID);
  impl_->captureOrder.push_back({&added, nullptr});
  return added;
}

// --- The user ----------------------------------------------------------------------------

namespace {
constexpr std::uint64_t kLeftButton = 1;
}

void Desktop::userMouseDown(Point at, int clickCount) {
  pointer = at;
  pressedButtons |= kLeftButton;
  impl_->notifyMonitors(platform::MonitorKind::leftMouseDown, platform::MonitorEvent{clickCount, 0});
}

void Desktop::userMouseUp(Point at, int clickCount) {
  pointer = at;
  pressedButtons &= ~kLeftButton;
  impl_->notifyMonitors(platform::MonitorKind::leftMouseUp, platform::MonitorEvent{clickCount, 0});
}

void Desktop::userKeyDown(platform::EventFlags flags) {
  impl_->notifyMonitors(platform::MonitorKind::keyDown, platform::MonitorEvent{0, flags});
}

std::size_t Desktop::monitorCount() const { return impl_->monitorsInstalled->size(); }

void Desktop::Impl::notifyMonitors(platform::MonitorKind kind, const platform::MonitorEvent& event) {
  // A handler may remove monitors (its own included): collect ids first and
  // skip the ones gone by the time their turn comes.
  std::vector<std::uint64_t> ids;
  auto installed = monitorsInstalled;
  for (const auto& [id, monitor] : *installed)
    if (monitor.kind == kind) ids.push_back(id);
  for (auto id : ids) {
    auto it = installed->find(id);
    if (it == installed->end()) continue;
    auto handler = it->second.handler;
    if (handler) handler(event);
  }
}

}  // namespace larkspire::simulated
