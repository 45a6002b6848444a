// Synthetic events the programs post, and the global monitors the user's
// own input drives.
#include "platform/simulated/internal.h"

namespace larkspire::simulated {

class SimEvents final : public platform::Events {
 public:
  explicit SimEvents(Desktop& desktop) : desktop_(desktop) {}

  std::optional<platform::KeyboardEvent> createKeyboardEvent(std::uint16_t keyCode, bool keyDown) override {
    if (desktop_.failKeyboardEvents) return std::nullopt;
    return platform::KeyboardEvent{keyCode, keyDown, std::nullopt, {}};
  }

  std::optional<platform::MouseEvent> createMouseEvent(platform::MouseEventType type, Point location) override {
    if (desktop_.failMouseEvents) return std::nullopt;
    return platform::MouseEvent{type, location};
  }

  std::optional<platform::ScrollEvent> createScrollWheelEvent(std::int32_t pixels) override {
    if (desktop_.failScrollEvents) return std::nullopt;
    // A new event sits where the pointer is until given a location.
    return platform::ScrollEvent{pixels, desktop_.pointer};
  }

  void post(const platform::KeyboardEvent& event) override { record(event); }

  void post(const platform::MouseEvent& event) override {
    // A posted mouse event moves the pointer, as on the real desktop.
    desktop_.pointer = event.location;
    record(event);
  }

  void post(const platform::ScrollEvent& event) override { record(event); }

  bool canType(std::u16string_view text) override {
    for (char16_t unit : text) {
      if (desktop_.untypable.count(unit)) return false;
    }
    return true;
  }

  bool finishTyping() override {
    ++desktop_.typingRunsFinished;
    return !desktop_.typingUnconfirmed;
  }

  bool finishClick() override { return !desktop_.clicksHeld; }

 private:
  void record(PostedEvent event) {
    desktop_.posted.push_back(event);
    if (desktop_.onPost) desktop_.onPost(event);
  }

  Desktop& desktop_;
};

namespace {

class SimMonitorHandle final : public platform::MonitorHandle {
 public:
  SimMonitorHandle(std::weak_ptr<std::map<std::uint64_t, Monitor>> installed, std::uint64_t id)
      : installed_(std::move(installed)), id_(id) {}
  ~SimMonitorHandle() override {
    if (auto installed = installed_.lock()) installed->erase(id_);
  }

 private:
  std::weak_ptr<std::map<std::uint64_t, Monitor>> installed_;
  std::uint64_t id_;
};

}  // namespace

class SimMonitors final : public platform::Monitors {
 public:
  explicit SimMonitors(Desktop& desktop) : desktop_(desktop) {}

  std::unique_ptr<platform::MonitorHandle> addGlobalMonitor(
      platform::MonitorKind kind, std::function<void(const platform::MonitorEvent&)> handler) override {
    auto& impl = *desktop_.impl_;
    const auto id = impl.nextMonitorId++;
    (*impl.monitorsInstalled)[id] = Monitor{kind, std::move(handler)};
    return std::make_unique<SimMonitorHandle>(impl.monitorsInstalled, id);
  }

  Point mouseLocation() override { return desktop_.pointer; }
  std::uint64_t pressedMouseButtons() override { return desktop_.pressedButtons; }

 private:
  Desktop& desktop_;
};

std::unique_ptr<platform::Events> makeEvents(Desktop& desktop) { return std::make_unique<SimEvents>(desktop); }
std::unique_ptr<platform::Monitors> makeMonitors(Desktop& desktop) { return std::make_unique<SimMonitors>(desktop); }

}  // namespace larkspire::simulated
