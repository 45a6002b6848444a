// Applications on a Linux desktop. A running application is a process that
// owns a window the window manager manages (_NET_CLIENT_LIST, _NET_WM_PID)
// or that is registered on the accessibility bus; its identifier is the id
// of the desktop entry it belongs to. Installed applications are the
// desktop entries of the XDG application folders.
#include <dirent.h>
#include <gio/gio.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "platform/linux/x11/ewmh_clients.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/xdg/catalog.h"
#include "platform/linux/xdg/process.h"

namespace larkspire::linux_backend {
namespace {

using namespace platform;
using ewmh::ClientWindow;
using ewmh::XWindow;

constexpr int kBusTimeoutMs = 1000;
// How long an open waits for the application to show itself, and how often
// it looks.
constexpr double kOpenTimeout = 10.0;
constexpr double kOpenPollInterval = 0.05;
// A program that ended with success and left nothing running may still have
// handed over to a running copy or to one started for it elsewhere (by the
// session bus): its window is waited for this long before the program
// counts as ended.
constexpr double kHandOverGrace = 1.0;
// How long an activation may take to show in _NET_ACTIVE_WINDOW.
constexpr double kActivationTimeout = 1.0;

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// The processes registered on the accessibility bus, in the registry's order.
std::vector<Pid> registeredPids(GDBusConnection* bus) {
  std::vector<Pid> pids;
  if (!bus) return pids;
  GVariant* reply = g_dbus_connection_call_sync(bus, "org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                                                "org.a11y.atspi.Accessible", "GetChildren", nullptr,
                                                G_VARIANT_TYPE("(a(so))"), G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs,
                                                nullptr, nullptr);
  if (!reply) return pids;
  GVariantIter* children = nullptr;
  g_variant_get(reply, "(a(so))", &children);
  const gchar* name = nullptr;
  const gchar* path = nullptr;
  while (g_variant_iter_loop(children, "(&s&o)", &name, &path)) {
    GVariant* answer = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                   "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                                   g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"),
                                                   G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs, nullptr, nullptr);
    if (!answer) continue;
    guint32 pid = 0;
    g_variant_get(answer, "(u)", &pid);
    g_variant_unref(answer);
    if (pid > 0 && pid <= 0x7fffffffU && std::find(pids.begin(), pids.end(), static_cast<Pid>(pid)) == pids.end()) {
      pids.push_back(static_cast<Pid>(pid));
    }
  }
  g_variant_iter_free(children);
  g_variant_unref(reply);
  return pids;
}

// The live desktop as the application services see it.
class Applications : public std::enable_shared_from_this<Applications> {
 public:
  explicit Applications(LinuxContext& context) : context_(context) {}

  Display* display() { return context_.display(); }

  std::vector<Application> running() {
    auto clients = ewmh::clientWindows(display());
    std::vector<Pid> order;
    for (const auto& client : clients) {
      if (client.pid && std::find(order.begin(), order.end(), *client.pid) == order.end()) order.push_back(*client.pid);
    }
    for (Pid pid : registeredPids(context_.accessibilityBus())) {
      if (std::find(order.begin(), order.end(), pid) == order.end()) order.push_back(pid);
    }
    std::vector<Application> apps;
    for (Pid pid : order) {
      if (auto app = forPid(pid, clients)) apps.push_back(std::move(app));
    }
    return apps;
  }

  // The application of one process; none when the process is gone.
  Application forPid(Pid pid, const std::vector<ClientWindow>& clients);
  Application forPid(Pid pid) { return forPid(pid, ewmh::clientWindows(display())); }

  std::vector<XWindow> windowsOf(Pid pid) {
    std::vector<XWindow> windows;
    for (XWindow window : ewmh::clientWindowNumbers(display())) {
      if (ewmh::windowPid(display(), window) == pid) windows.push_back(window);
    }
    return windows;
  }

  bool hasOrdinaryWindow(Pid pid) {
    for (const auto& client : ewmh::clientWindows(display())) {
      if (client.pid == pid && client.ordinary) return true;
    }
    return false;
  }

  bool registered(Pid pid) {
    auto pids = registeredPids(context_.accessibilityBus());
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
  }

  // The window to bring forward: the topmost ordinary one of the process,
  // else its topmost window of any kind.
  std::optional<XWindow> topWindow(Pid pid) {
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

  bool activate(Pid pid) {
    auto window = topWindow(pid);
    return window && activateWindow(*window);
  }

  // Activates a window and waits (briefly) until the window manager did.
  bool activateWindow(XWindow window) {
    if (!ewmh::activateWindow(display(), window)) return false;
    double deadline = monotonicSeconds() + kActivationTimeout;
    while (ewmh::activeWindow(display()) != window && monotonicSeconds() < deadline) sleepSeconds(0.02);
    return true;
  }

  std::optional<std::string> identifierOf(Pid pid, const std::vector<ClientWindow>& clients) {
    auto entry = identify(pid, clients);
    if (!entry) return std::nullopt;
    return entry->id;
  }

  xdg::DesktopCatalog& catalog() { return catalog_; }
  std::mutex& mutex() { return mutex_; }

 private:
  std::optional<xdg::DesktopEntry> identify(Pid pid, const std::vector<ClientWindow>& clients) {
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

  friend class LinuxRunningApplication;
  LinuxContext& context_;
  std::mutex mutex_;
  xdg::DesktopCatalog catalog_;
};

class LinuxRunningApplication final : public RunningApplication {
 public:
  LinuxRunningApplication(std::shared_ptr<Applications> model, Pid pid, unsigned long long startTime,
                          std::optional<std::string> identifier, std::optional<std::string> name)
      : model_(std::move(model)),
        pid_(pid),
        startTime_(startTime),
        identifier_(std::move(identifier)),
        name_(std::move(name)) {}

  std::optional<std::string> bundleIdentifier() const override { return identifier_; }
  std::optional<std::string> localizedName() const override { return name_; }
  Pid processIdentifier() const override { return pid_; }
  ActivationPolicy activationPolicy() const override {
    return model_->hasOrdinaryWindow(pid_) ? ActivationPolicy::regular : ActivationPolicy::accessory;
  }
  bool isTerminated() const override { return !xdg::processRunning(pid_, startTime_); }
  bool isFinishedLaunching() const override {
    if (isTerminated()) return false;
    return !model_->windowsOf(pid_).empty() || model_->registered(pid_);
  }
  bool activate() override { return !isTerminated() && model_->activate(pid_); }

 private:
  std::shared_ptr<Applications> model_;
  Pid pid_;
  unsigned long long startTime_;
  std::optional<std::string> identifier_;
  std::optional<std::string> name_;
};

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

class XdgWorkspace final : public Workspace {
 public:
  explicit XdgWorkspace(LinuxContext& context) : model_(std::make_shared<Applications>(context)) {}

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
  const double deadline = monotonicSeconds() + kOpenTimeout;
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
        if (!endedAt) endedAt = monotonicSeconds();
        if (monotonicSeconds() - *endedAt >= kHandOverGrace) {
          return {std::make_shared<LinuxRunningApplication>(model_, child, childStat ? childStat->startTime : 0,
                                                            entry->id, entry->name),
                  std::nullopt};
        }
      } else {
        endedAt.reset();
      }
    }
    if (monotonicSeconds() >= deadline) break;
    sleepSeconds(kOpenPollInterval);
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

class XdgBundles final : public Bundles {
 public:
  std::vector<std::string> applicationFolders() override { return catalog_.folders(); }
  std::string applicationSuffix() override { return xdg::kDesktopSuffix; }

  std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path) override {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return std::nullopt;
    std::vector<std::string> names;
    while (auto* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(std::move(name));
    }
    ::closedir(dir);
    // readdir's order is the file system's hashing; by name is what a
    // person listing the folder sees, and it is stable.
    std::sort(names.begin(), names.end());
    return names;
  }

  std::optional<BundleInfo> bundleAtPath(const std::string& path) override {
    auto entry = catalog_.entryAtPath(path);
    // NoDisplay entries are not meant to be offered to anyone.
    if (!entry || entry->noDisplay) return std::nullopt;
    return BundleInfo{entry->id, entry->untranslatedName};
  }

  std::string displayNameAtPath(const std::string& path) override {
    auto id = xdg::desktopFileIdForPath(catalog_.folders(), path);
    if (auto entry = xdg::readDesktopEntry(path, id, catalog_.locale())) return entry->name;
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }

  // Desktop entries have no metadata index.
  std::optional<std::string> metadataDisplayName(const std::string&) override { return std::nullopt; }

  // Only the desktop-file suffix is an extension here: names such as
  // "Designer 5.15" must keep their dots.
  std::string deletingPathExtension(const std::string& name) override {
    std::string suffix = xdg::kDesktopSuffix;
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return name.substr(0, name.size() - suffix.size());
    }
    return name;
  }

 private:
  xdg::DesktopCatalog catalog_;
};

}  // namespace

std::unique_ptr<Workspace> makeWorkspace(LinuxContext& context) { return std::make_unique<XdgWorkspace>(context); }
std::unique_ptr<Bundles> makeBundles(LinuxContext&) { return std::make_unique<XdgBundles>(); }

}  // namespace larkspire::linux_backend
