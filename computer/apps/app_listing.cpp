// Placeholder until application listing lands.
#include "computer/apps/app_listing.h"

#include "computer/request/failure.h"

namespace larkspire::computer {
json::Json listApps(platform::Platform&, const std::optional<std::string>&) { return json::Json::array(); }
std::vector<std::string> disambiguatedAppNames(const std::vector<std::pair<std::string, std::string>>& apps) {
  std::vector<std::string> names;
  for (auto& a : apps) names.push_back(a.second);
  return names;
}
bool excludedApp(const std::string&) { return false; }
}  // namespace larkspire::computer
