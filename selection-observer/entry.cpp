#include "selection-observer/entry.h"

#include <memory>
#include <string>
#include <thread>

#include "selection-observer/command_line.h"
#include "selection-observer/diagnostic_modes.h"
#include "selection-observer/observer.h"
#include "selection-observer/payloads.h"

namespace larkspire::observer {

namespace {

// How long the observer's thread may go without finishing a poll (its
// timer asks for one every 0.3 s; a poll takes milliseconds) before the
// watchdog asks whether the desktop still answers.
constexpr double kStuckPollSeconds = 2.0;
// The start (connections made within their own limits, then the first
// poll) is given longer.
constexpr double kStartSeconds = 6.0;

std::string desktopGoneLine(const std::string& reason) {
  return "larkspire-selection-observer: ending: " + reason + "\n";
}

void watchForStuckPolls(std::shared_ptr<SelectionObserver> observer, platform::Platform& platform, Output& output,
                        std::function<void(int)> endProcess) {
  std::thread([observer = std::move(observer), &platform, &output, endProcess = std::move(endProcess)] {
    const double started = platform.clock.now();
    for (;;) {
      platform.clock.sleep(0.5);
      const double lastPoll = observer->lastPollEndedAt();
      const double quiet = platform.clock.now() - (lastPoll < 0 ? started : lastPoll);
      if (quiet < (lastPoll < 0 ? kStartSeconds : kStuckPollSeconds)) continue;
      if (auto reason = platform.session.desktopGone(true)) {
        output.standardError(desktopGoneLine(*reason));
        endProcess(kDesktopGoneStatus);
        return;
      }
    }
  }).detach();
}

}  // namespace

int runObserverProgram(platform::Platform& platform, Output& output, const std::vector<std::string>& arguments,
                       const std::function<void(int status)>& endProcess) {
  Mode mode = parseCommandLine(arguments);
  if (auto watch = std::get_if<WatchMode>(&mode)) {
    watchSelection(platform, output, watch->pid, watch->seconds);
    return 0;
  }
  if (auto dump = std::get_if<DumpMode>(&mode)) {
    dumpTree(platform, output, dump->pid);
    return 0;
  }
  if (std::holds_alternative<CheckPermissionMode>(mode)) {
    emit(output, PermissionPayload{.granted = platform.accessibility.isProcessTrustedWithOptions(false)});
    return 0;
  }

  auto& options = std::get<ObserverMode>(mode);
  // Asking with the prompt lets the system show its permission dialog; the
  // answer itself is reported by the first poll.
  platform.accessibility.isProcessTrustedWithOptions(true);
  platform.workspace.setAccessoryActivationPolicy();
  auto observer = std::make_shared<SelectionObserver>(platform, output, options.ignoredPid);
  if (endProcess) watchForStuckPolls(observer, platform, output, endProcess);
  observer->start();
  observer->poll();
  if (options.readSelection && !observer->desktopGone()) observer->pollBurst(true);
  platform.runLoop.run();
  if (observer->desktopGone()) {
    output.standardError(desktopGoneLine(*observer->desktopGone()));
    return kDesktopGoneStatus;
  }
  return 0;
}

}  // namespace larkspire::observer
