// The "apps" operation and the rule that keeps the host's own applications
// out of reach.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/json.h"
#include "platform/platform.h"

namespace larkspire::computer {

// Running regular applications and, for a search text, matching installed
// ones. Never fails. Returns a JSON array of app records.
json::Json listApps(platform::Platform& platform, const std::optional<std::string>& query);

// The names to show for (identifier, name) pairs of running applications.
std::vector<std::string> disambiguatedAppNames(const std::vector<std::pair<std::string, std::string>>& apps);

// True for identifiers whose lowercase form contains "larkspire".
bool excludedApp(const std::string& identifier);

}  // namespace larkspire::computer
