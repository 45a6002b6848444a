#include "selection-observer/entry.h"

#include <memory>

#include "selection-observer/command_line.h"
#include "selection-observer/diagnostic_modes.h"
#include "selection-observer/observer.h"
#include "selection-observer/payloads.h"

namespace larkspire::observer {

int runObserverProgram(platform::Platform& platform, Output& output, const std::vector<std::string>& arguments) {
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
  observer->start();
  observer->poll();
  if (options.readSelection) observer->pollBurst(true);
  platform.runLoop.run();
  return 0;
}

}  // namespace larkspire::observer
