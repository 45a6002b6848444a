// The selection observer: decides when to look at the frontmost application,
// where to look, whether what it found is new, and which line to write.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "selection-observer/output.h"

namespace larkspire::observer {

class SelectionObserver : public std::enable_shared_from_this<SelectionObserver> {
 public:
  SelectionObserver(platform::Platform& platform, Output& output, std::optional<platform::Pid> ignoredPid);

  // Installs the poll timer and the three global monitors.
  void start();
  // One observation step.
  void poll();
  // One poll now and three delayed polls; a user selection gesture also
  // forces a report, even of an unchanged selection, for a short while.
  void pollBurst(bool userSelectionGesture);
  // A rate-limited "skip: " line on standard error.
  void diagnose(const std::string& message);

  // Why the desktop this observer watched is gone; once set, the run loop
  // is stopped and nothing more is read.
  const std::optional<std::string>& desktopGone() const { return desktopGone_; }
  // When the last poll ended (seconds of the platform's clock), negative
  // before the first; read by the watchdog from another thread.
  double lastPollEndedAt() const { return lastPollEndedAt_.load(); }
  // A selection is remembered, so the same one is not reported again.
  bool remembersSelection() const { return lastSignature_.has_value(); }
  // Within a gesture's window, when even an unchanged selection is reported.
  bool forcingReports() const { return forceEmit_; }

 private:
  void mouseReleased(const platform::MonitorEvent& event);
  void report(const platform::Application& app, platform::Pid pid, const platform::Element& element,
              const std::string& text, const std::string& source);
  void clear();
  std::string roleOf(const platform::Element& element);

  platform::Platform& platform_;
  Output& output_;
  std::shared_ptr<platform::ScheduledTask> timer_;
  std::shared_ptr<platform::ScheduledTask> forceEmitReset_;
  std::optional<double> pressBeganAt_;          // of the release being handled
  std::optional<double> firstClickReleasedAt_;  // the latest release of a single click
  std::unique_ptr<platform::MonitorHandle> mouseMonitor_;
  std::unique_ptr<platform::MonitorHandle> keyMonitor_;
  std::unique_ptr<platform::MonitorHandle> mouseDownMonitor_;

  const std::optional<platform::Pid> ignoredPid_;
  std::optional<std::string> lastSignature_;
  std::optional<bool> lastPermission_;
  std::optional<platform::Pid> lastFrontmostPid_;
  bool forceEmit_ = false;
  // A selection was reported since the latest gesture began. The gesture's
  // window stays open after a report, and the same selection as before is
  // said again only by the burst's last poll: applications that answer from
  // a copy of their state (web browsers) may give the previous selection to
  // the first poll and the new one to a later poll of the same burst.
  bool gestureReported_ = false;
  // When the last poll of the latest burst is due, when the latest gesture
  // began (its button press) and when a selection was last reported, in
  // seconds of the clock.
  double burstLastPollAt_ = -1e300;
  double gestureBeganAt_ = -1e300;
  double lastReportAt_ = -1e300;
  std::optional<double> mouseDownAt_;
  std::optional<platform::Point> mouseDownLocation_;
  std::string lastDiagnostic_;
  double lastDiagnosticAt_ = -1e300;  // the distant past
  std::optional<bool> lastGestureLogged_;
  std::optional<platform::Element> lastSelectionElement_;
  std::string lastSearchDiagnostic_;
  std::optional<std::string> desktopGone_;
  // The poll timer keeps it recent while the observer's thread is free.
  std::atomic<double> lastPollEndedAt_{-1};
};

}  // namespace larkspire::observer
