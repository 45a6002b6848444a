// Installed application bundles in the application folders.
#include "platform/simulated/internal.h"

namespace larkspire::simulated {
namespace {

std::pair<std::string, std::string> splitPath(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

class SimBundles final : public platform::Bundles {
 public:
  explicit SimBundles(Desktop& desktop) : desktop_(desktop) {}

  std::vector<std::string> applicationFolders() override { return desktop_.applicationFolders; }
  std::string applicationSuffix() override { return desktop_.applicationSuffix; }

  std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path) override {
    auto it = desktop_.impl_->folders.find(path);
    if (it == desktop_.impl_->folders.end()) return std::nullopt;
    std::vector<std::string> names;
    for (const auto& [name, bundle] : it->second.entries) names.push_back(name);
    return names;
  }

  std::optional<platform::BundleInfo> bundleAtPath(const std::string& path) override {
    ++desktop_.bundleOpens;
    const BundleSpec* bundle = find(path);
    if (!bundle || !bundle->isBundle) return std::nullopt;
    return platform::BundleInfo{bundle->bundleIdentifier, bundle->bundleName};
  }

  std::string displayNameAtPath(const std::string& path) override {
    const BundleSpec* bundle = find(path);
    if (bundle && bundle->displayName) return *bundle->displayName;
    return splitPath(path).second;
  }

  std::optional<std::string> metadataDisplayName(const std::string& path) override {
    const BundleSpec* bundle = find(path);
    return bundle ? bundle->metadataName : std::nullopt;
  }

  // As NSString's deletingPathExtension: the last extension of the last
  // component goes; a leading dot does not start an extension.
  std::string deletingPathExtension(const std::string& name) override {
    std::string trimmed = name;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const auto slash = trimmed.find_last_of('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    const auto dot = trimmed.find_last_of('.');
    if (dot == std::string::npos || dot <= start) return trimmed;
    return trimmed.substr(0, dot);
  }

 private:
  const BundleSpec* find(const std::string& path) {
    auto [folder, entry] = splitPath(path);
    auto it = desktop_.impl_->folders.find(folder);
    if (it == desktop_.impl_->folders.end()) return nullptr;
    for (const auto& [name, bundle] : it->second.entries)
      if (name == entry) return &bundle;
    return nullptr;
  }

  Desktop& desktop_;
};

std::unique_ptr<platform::Bundles> makeBundles(Desktop& desktop) { return std::make_unique<SimBundles>(desktop); }

}  // namespace larkspire::simulated
