#include <algorithm>

#include "platform/simulated/internal.h"

namespace larkspire::simulated {
// What the workspace hands out for one application. It asks the application
// on every call, so its answers are live. A handle kept past the desktop
// answers from the application's last state, as terminated.
class SimRunningApplication final : public platform::RunningApplication {
 public:
  explicit SimRunningApplication(SimApp& app) : app_(&app), last_(app.spec()) {}
  std::optional<std::string> bundleIdentifier() const override { return spec().bundleIdentifier; }
  std::optional<std::string> localizedName() const override { return spec().name; }
  Pid processIdentifier() const override { return spec().pid; }
  platform::ActivationPolicy activationPolicy() const override { return spec().policy; }
  bool isTerminated() const override { return !app_ || app_->terminated(); }
  bool isFinishedLaunching() const override { return spec().finishedLaunching; }
  bool activate() override { return app_ && app_->desktop().activateApp(*app_); }

  void detach() {
    last_ = app_->spec();
    app_ = nullptr;
  }

 private:
  const AppSpec& spec() const { return app_ ? app_->spec() : last_; }
  SimApp* app_;
  AppSpec last_;
};

SimApp::SimApp(Desktop& desktop, const AppSpec& spec) : desktop_(desktop), spec_(spec) {
  auto& impl = *desktop_.impl_;
  if (spec_.pid == 0) {
    auto inUse = [&](Pid pid) {
      return std::any_of(impl.apps.begin(), impl.apps.end(), [pid](const auto& a) { return a->pid() == pid; });
    };
    do {
      spec_.pid = impl.nextPid++;
    } while (inUse(spec_.pid));
  }
  root_ = std::make_unique<Node>(desktop_, this, nullptr);
  root_->role("AXApplication");
  if (spec_.name) root_->title(*spec_.name);
  handle_ = std::make_shared<SimRunningApplication>(*this);
}

SimApp::~SimApp() { handle_->detach(); }

SimWindow& SimApp::addWindow(const WindowSpec& spec) {
  auto& impl = *desktop_.impl_;
  auto window = std::make_unique<SimWindow>();
  window->app_ = this;
  window->shareable_ = spec.shareable;
  window->accessible_ = spec.accessible;
  window->capture_.owningProcess = spec_.pid;
  window->capture_.layer = spec.layer;
  window->capture_.frame = spec.frame;
  window->capture_.contentFrame = spec.contentFrame;
  window->capture_.windowID = impl.assignWindowID(spec.windowID);
  window->capture_.title = spec.title;

  root_->children_.push_back(std::make_unique<Node>(desktop_, this, root_.get()));
  Node& node = *root_->children_.back();
  node.window_ = window.get();
  node.listed_ = spec.accessible;
  node.role("AXWindow").subrole("AXStandardWindow").frame(spec.accessibilityFrame.value_or(spec.frame));
  if (spec.title) node.title(*spec.title);
  node.actions({"AXRaise"});
  window->node_ = &node;

  windows_.push_back(std::move(window));
  SimWindow& added = *windows_.back();
  impl.captureOrder.push_back({&added.capture_, &added});
  return added;
}

std::vector<SimWindow*> SimApp::windows() {
  std::vector<SimWindow*> list;
  for (auto& window : windows_) list.push_back(window.get());
  return list;
}

void SimApp::focus(SimWindow& window, Node* focusedElement) {
  root_->set("AXFocusedWindow", window.element().element());
  if (focusedElement) root_->set("AXFocusedUIElement", focusedElement->element());
}

void SimApp::closeWindow(SimWindow& window) {
  auto& impl = *desktop_.impl_;
  std::erase_if(impl.captureOrder, [&](const auto& entry) { return entry.owner == &window; });
  Node* node = window.node_;
  auto& kids = root_->children_;
  kids.erase(std::remove_if(kids.begin(), kids.end(), [&](const auto& c) { return c.get() == node; }), kids.end());
  std::erase_if(windows_, [&](const auto& w) { return w.get() == &window; });
}

void SimApp::terminate() {
  terminated_ = true;
  if (desktop_.impl_->frontmost == this) desktop_.impl_->frontmost = nullptr;
}

std::shared_ptr<platform::RunningApplication> SimApp::handle() { return handle_; }

void SimWindow::moveTo(Point origin) {
  const Point old = capture_.frame.origin;
  capture_.frame.origin = origin;
  if (!node_) return;
  // The accessibility frame keeps its offset from the capture frame.
  Point position = origin;
  if (auto answer = node_->answer("AXPosition"); answer && answer->value) {
    if (auto* current = std::get_if<platform::AXValue>(&*answer->value)) {
      if (auto p = current->get<Point>()) position = Point{p->x + origin.x - old.x, p->y + origin.y - old.y};
    }
  }
  node_->set("AXPosition", platform::AXValue{position});
}

}  // namespace larkspire::simulated
