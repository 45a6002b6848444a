#include "computer/apps/app_listing.h"

#include <map>
#include <set>
#include <string_view>

#include "common/text.h"

namespace larkspire::computer {
namespace {

constexpr std::string_view kExclusionWord = "larkspire";
// Only reached while installed applications are added; running ones are
// never cut.
constexpr std::size_t kResultLimit = 50;

bool contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

bool matches(const std::string& text, const std::string& query) {
  return query.empty() || contains(text::lowercase(text), query);
}

bool endsWith(const std::string& name, const std::string& suffix) {
  return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The last non-empty dot-separated piece of an identifier, or the whole
// identifier when it has none.
std::string identifierSuffix(const std::string& identifier) {
  std::string last;
  std::size_t start = 0;
  while (start <= identifier.size()) {
    auto dot = identifier.find('.', start);
    if (dot == std::string::npos) dot = identifier.size();
    if (dot > start) last = identifier.substr(start, dot - start);
    start = dot + 1;
  }
  return last.empty() ? identifier : last;
}

struct RunningRecord {
  std::string identifier;
  std::string name;
  platform::Pid pid;
};

}  // namespace

bool excludedApp(const std::string& identifier) {
  return contains(text::lowercase(identifier), std::string(kExclusionWord));
}

std::vector<std::string> disambiguatedAppNames(const std::vector<std::pair<std::string, std::string>>& apps) {
  // Per name, the identifier that keeps the bare name: the shortest one,
  // the earliest among equally short ones. Length counts characters as a
  // reader sees them, not bytes.
  std::map<std::string, std::pair<std::string, std::size_t>> preferred;
  std::map<std::string, int> counts;
  for (const auto& [identifier, name] : apps) {
    ++counts[name];
    auto length = text::graphemeCount(identifier);
    auto found = preferred.find(name);
    if (found == preferred.end()) {
      preferred.emplace(name, std::make_pair(identifier, length));
    } else if (length < found->second.second) {
      found->second = {identifier, length};
    }
  }

  std::vector<std::string> shown;
  shown.reserve(apps.size());
  for (const auto& [identifier, name] : apps) {
    if (counts[name] == 1 || preferred[name].first == identifier) {
      shown.push_back(name);
    } else {
      shown.push_back(name + " (" + identifierSuffix(identifier) + ")");
    }
  }
  return shown;
}

json::Json listApps(platform::Platform& platform, const std::optional<std::string>& query) {
  const std::string q = text::lowercase(text::trimWhitespaceAndNewlines(query.value_or("")));
  json::Json result = json::Json::array();
  std::set<std::string> seen;

  std::vector<RunningRecord> kept;
  for (const auto& app : platform.workspace.runningApplications()) {
    if (!app || app->activationPolicy() != platform::ActivationPolicy::regular || app->isTerminated()) continue;
    auto identifier = app->bundleIdentifier();
    if (!identifier || excludedApp(*identifier) || seen.count(*identifier)) continue;
    seen.insert(*identifier);
    kept.push_back({*identifier, app->localizedName().value_or(*identifier), app->processIdentifier()});
  }

  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(kept.size());
  for (const auto& record : kept) pairs.emplace_back(record.identifier, record.name);
  auto shownNames = disambiguatedAppNames(pairs);

  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (!matches(shownNames[i], q) && !matches(kept[i].identifier, q)) continue;
    result.push_back({{"appId", kept[i].identifier}, {"name", shownNames[i]}, {"running", true}, {"pid", kept[i].pid}});
  }
  if (q.empty()) return result;

  auto& bundles = platform.bundles;
  const std::string suffix = bundles.applicationSuffix();
  for (const auto& folder : bundles.applicationFolders()) {
    auto entries = bundles.contentsOfDirectory(folder);
    if (!entries) continue;
    for (const auto& entry : *entries) {
      if (!endsWith(entry, suffix)) continue;
      const std::string path = folder + "/" + entry;
      auto bundle = bundles.bundleAtPath(path);
      if (!bundle || !bundle->bundleIdentifier) continue;
      const std::string& identifier = *bundle->bundleIdentifier;
      if (excludedApp(identifier) || seen.count(identifier)) continue;
      seen.insert(identifier);

      const std::string displayName = bundles.deletingPathExtension(bundles.displayNameAtPath(path));
      std::optional<std::string> indexName;
      if (auto metadata = bundles.metadataDisplayName(path)) indexName = bundles.deletingPathExtension(*metadata);
      const std::string name = indexName && !indexName->empty() ? *indexName : displayName;
      const std::string bundleName = bundle->bundleName.value_or("");

      if (matches(name, q) || matches(displayName, q) || matches(bundleName, q) || matches(identifier, q)) {
        result.push_back({{"appId", identifier}, {"name", name}, {"running", false}});
      }
      if (result.size() >= kResultLimit) return result;
    }
  }
  return result;
}

}  // namespace larkspire::computer
