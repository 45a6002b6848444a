#include "selection-observer/observer.h"

#include <cmath>
#include <cstdio>

#include "common/text.h"
#include "selection-observer/constants.h"
#include "selection-observer/extraction.h"
#include "selection-observer/payloads.h"
#include "selection-observer/search.h"

namespace larkspire::observer {
namespace {

std::string boolText(bool value) { return value ? "true" : "false"; }

std::string renderBounds(const std::optional<SelectionBounds>& bounds) {
  if (!bounds) return "-";
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "%.17g,%.17g,%.17g,%.17g", bounds->x, bounds->y, bounds->width, bounds->height);
  return buffer;
}

// Whole points, cut toward zero, as the diagnostic line shows them.
std::string wholeNumber(double value) {
  if (!std::isfinite(value)) return "0";
  return std::to_string(static_cast<long long>(std::trunc(value)));
}

}  // namespace

SelectionObserver::SelectionObserver(platform::Platform& platform, Output& output, std::optional<platform::Pid> ignored)
    : platform_(platform), output_(output), ignoredPid_(ignored) {}

void SelectionObserver::start() {
  std::weak_ptr<SelectionObserver> weak = weak_from_this();
  timer_ = platform_.runLoop.scheduleRepeating(pollInterval, [weak] {
    if (auto self = weak.lock()) self->poll();
  });
  mouseDownMonitor_ =
      platform_.monitors.addGlobalMonitor(platform::MonitorKind::leftMouseDown, [weak](const platform::MonitorEvent&) {
        if (auto self = weak.lock()) {
          self->mouseDownLocation_ = self->platform_.monitors.mouseLocation();
          self->mouseDownAt_ = self->platform_.clock.now();
        }
      });
  mouseMonitor_ = platform_.monitors.addGlobalMonitor(platform::MonitorKind::leftMouseUp,
                                                      [weak](const platform::MonitorEvent& event) {
                                                        if (auto self = weak.lock()) self->mouseReleased(event);
                                                      });
  keyMonitor_ =
      platform_.monitors.addGlobalMonitor(platform::MonitorKind::keyDown, [weak](const platform::MonitorEvent& event) {
        auto self = weak.lock();
        if (!self) return;
        constexpr auto mask = platform::kCGEventFlagMaskCommand | platform::kCGEventFlagMaskShift;
        if (event.modifierFlags & mask) self->pollBurst(true);
      });
}

void SelectionObserver::mouseReleased(const platform::MonitorEvent& event) {
  auto start = mouseDownLocation_;
  mouseDownLocation_.reset();
  // A gesture of the mouse began when its button went down; a double or
  // triple click, with its first click (which may already have let a poll
  // find what the later press selected, before this release was seen).
  pressBeganAt_ = event.clickCount >= 2 && firstClickReleasedAt_ ? firstClickReleasedAt_ : mouseDownAt_;
  if (event.clickCount < 2) firstClickReleasedAt_ = platform_.clock.now();
  mouseDownAt_.reset();
  bool dragged = false;
  bool gesture = false;
  std::string startText = "nil";
  if (!start) {
    gesture = event.clickCount >= 2;
  } else {
    auto now = platform_.monitors.mouseLocation();
    double distance = std::hypot(now.x - start->x, now.y - start->y);
    dragged = distance >= selectionDragThreshold;
    gesture = dragged || event.clickCount >= 2;
    startText = wholeNumber(start->x) + "," + wholeNumber(start->y);
  }
  if (!lastGestureLogged_ || *lastGestureLogged_ != gesture) {
    lastGestureLogged_ = gesture;
    output_.standardError("mouseUp: gesture=" + boolText(gesture) + " dragged=" + boolText(dragged) +
                          " clicks=" + std::to_string(event.clickCount) + " start=" + startText + "\n");
  }
  pollBurst(gesture);
}

void SelectionObserver::pollBurst(bool userSelectionGesture) {
  if (userSelectionGesture) {
    forceEmit_ = true;
    gestureReported_ = false;
    gestureBeganAt_ = pressBeganAt_.value_or(platform_.clock.now());
  }
  pressBeganAt_.reset();
  if (forceEmitReset_) forceEmitReset_->cancel();
  burstLastPollAt_ = platform_.clock.now() + (burstDelays.empty() ? 0.0 : burstDelays.back());
  poll();
  std::weak_ptr<SelectionObserver> weak = weak_from_this();
  for (double delay : burstDelays) {
    platform_.runLoop.scheduleAfter(delay, [weak] {
      if (auto self = weak.lock()) self->poll();
    });
  }
  double lastDelay = burstDelays.empty() ? 0.0 : burstDelays.back();
  forceEmitReset_ = platform_.runLoop.scheduleAfter(lastDelay + forceEmitResetExtra, [weak] {
    if (auto self = weak.lock()) self->forceEmit_ = false;
  });
}

std::string SelectionObserver::roleOf(const platform::Element& element) {
  return stringAttribute(platform_.accessibility, element, "AXRole").value_or("?");
}

void SelectionObserver::poll() {
  if (desktopGone_) return;
  struct PollEnds {
    platform::Clock& clock;
    std::atomic<double>& endedAt;
    ~PollEnds() { endedAt = clock.now(); }
  } ends{platform_.clock, lastPollEndedAt_};
  auto& ax = platform_.accessibility;
  bool trusted = ax.isProcessTrustedWithOptions(false);
  if (!lastPermission_ || *lastPermission_ != trusted) {
    lastPermission_ = trusted;
    emit(output_, PermissionPayload{.granted = trusted});
  }
  // Without its display or its session the observer has nothing to watch:
  // it ends rather than report nothing for ever.
  if (auto gone = platform_.session.desktopGone(false)) {
    desktopGone_ = std::move(gone);
    platform_.runLoop.stop();
    return;
  }
  if (!trusted) {
    clear();
    return;
  }
  // Nothing is read while the user is still dragging.
  if (platform_.monitors.pressedMouseButtons() != 0) return;

  auto app = platform_.workspace.frontmostApplication();
  if (!app) {
    clear();
    return;
  }
  platform::Pid pid = app->processIdentifier();
  if (ignoredPid_ && *ignoredPid_ == pid) return;

  if (!lastFrontmostPid_ || *lastFrontmostPid_ != pid) {
    lastFrontmostPid_ = pid;
    lastSelectionElement_.reset();
    rearmAccessibility(ax, pid);
  }

  // Without a gesture, only the element holding the reported selection is
  // watched.
  if (!forceEmit_ && lastSelectionElement_) {
    if (!selectedText(ax, *lastSelectionElement_) && lastSignature_) clear();
    return;
  }

  auto application = ax.createApplication(pid);
  auto focused = ax.copyAttributeValue(application, "AXFocusedUIElement");
  if (auto element = focused.get<platform::Element>(); element && *element) {
    if (!isProtectedInput(ax, *element)) {
      if (auto text = selectedText(ax, *element)) {
        report(app, pid, *element, *text, "focus:" + roleOf(*element));
        return;
      }
    }
  }

  if (forceEmit_) {
    auto window = ax.copyAttributeValue(application, "AXFocusedWindow");
    if (auto root = window.get<platform::Element>(); root && *root) {
      auto search = searchSubtree(ax, *root);
      if (search.found) {
        lastSearchDiagnostic_.clear();
        report(app, pid, search.found->element, search.found->text, "search:" + roleOf(search.found->element));
        return;
      }
      lastSearchDiagnostic_ = search.diagnostic();
      if (search.candidates == 0) {
        rearmAccessibility(ax, pid);
        lastSearchDiagnostic_ += " -> re-armed accessibility";
      }
    }
  }

  if (forceEmit_) {
    diagnose("no selection in pid " + std::to_string(pid) + " — full-tree search: " +
             (lastSearchDiagnostic_.empty() ? std::string("did not run") : lastSearchDiagnostic_));
  } else {
    diagnose("focus element has no selection in pid " + std::to_string(pid) +
             "; full-tree search needs a drag/double-click/⌘A gesture");
  }
  clear();
}

void SelectionObserver::report(const platform::Application& app, platform::Pid pid, const platform::Element& element,
                               const std::string& text, const std::string& source) {
  auto& ax = platform_.accessibility;
  lastDiagnostic_.clear();
  lastSelectionElement_ = element;
  auto bounds = selectionBounds(ax, element);
  // A selection that changed between the reads of its text and its bounds
  // (a browser catching up with the mouse) is read again by the next poll
  // rather than reported torn.
  if (selectedText(ax, element) != text) return;
  std::string signature = std::to_string(pid) + "|" + renderBounds(bounds) + "|" + text;
  std::string reason;
  if (lastSignature_ && *lastSignature_ == signature) {
    if (!forceEmit_ || gestureReported_) return;
    // Already said since the gesture began (the first click of a double
    // click lets a poll find the word the second press selected).
    if (lastReportAt_ >= gestureBeganAt_) return;
    if (platform_.clock.now() < burstLastPollAt_ - 1e-6) return;
    reason = "gesture";
  } else {
    reason = "changed";
  }
  lastSignature_ = signature;
  gestureReported_ = true;
  lastReportAt_ = platform_.clock.now();
  auto bundle = app->bundleIdentifier();
  output_.standardError("emit via " + source + " (" + reason + ") app=" + bundle.value_or("-") +
                        " len=" + std::to_string(text::graphemeCount(text)) + "\n");
  SelectionPayload payload;
  payload.text = text;
  payload.bounds = bounds;
  payload.sourcePid = pid;
  payload.sourceApp = bundle;
  payload.sourceUrl = documentUrl(ax, element);
  emit(output_, payload);
}

void SelectionObserver::clear() {
  if (!lastSignature_) return;
  lastSignature_.reset();
  lastSelectionElement_.reset();
  forceEmit_ = false;
  emit(output_, ClearPayload{});
}

void SelectionObserver::diagnose(const std::string& message) {
  double now = platform_.clock.now();
  if (message == lastDiagnostic_ && now - lastDiagnosticAt_ < diagnosticRepeatInterval) return;
  lastDiagnostic_ = message;
  lastDiagnosticAt_ = now;
  output_.standardError("skip: " + message + "\n");
}

}  // namespace larkspire::observer
