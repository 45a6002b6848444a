// The observer's command line: which mode runs, and with which values.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/values.h"

namespace larkspire::observer {

struct WatchMode {
  platform::Pid pid = 0;
  double seconds = 25;
};
struct DumpMode {
  platform::Pid pid = 0;
};
struct CheckPermissionMode {};
struct ObserverMode {
  std::optional<platform::Pid> ignoredPid;
  bool readSelection = false;
};

using Mode = std::variant<WatchMode, DumpMode, CheckPermissionMode, ObserverMode>;

// A decimal 32-bit process identifier: optional sign, digits, nothing else.
std::optional<platform::Pid> parsePid(const std::string& text);
// A floating-point number in the C locale, the whole text, no leading blank;
// only finite values that fit a 64-bit integer are usable as seconds.
std::optional<double> parseSeconds(const std::string& text);

// `arguments` excludes the program path.
Mode parseCommandLine(const std::vector<std::string>& arguments);

}  // namespace larkspire::observer
