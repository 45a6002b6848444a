// Placeholder: running applications (EWMH, AT-SPI) and XDG desktop entries land here.
#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend {
namespace {
using namespace platform;
class StubWorkspace final : public Workspace {
 public:
  std::vector<Application> runningApplications() override { return {}; }
  std::vector<Application> runningApplicationsWithBundleIdentifier(const std::string&) override { return {}; }
  Application frontmostApplication() override { return nullptr; }
  std::optional<std::string> urlForApplication(const std::string&) override { return std::nullopt; }
  OpenResult openApplication(const std::string&, bool) override { return {nullptr, "not available"}; }
  void sharedApplication() override {}
  void setAccessoryActivationPolicy() override {}
};
class StubBundles final : public Bundles {
 public:
  std::vector<std::string> applicationFolders() override { return {}; }
  std::string applicationSuffix() override { return ".desktop"; }
  std::optional<std::vector<std::string>> contentsOfDirectory(const std::string&) override { return std::nullopt; }
  std::optional<BundleInfo> bundleAtPath(const std::string&) override { return std::nullopt; }
  std::string displayNameAtPath(const std::string& path) override { return path; }
  std::optional<std::string> metadataDisplayName(const std::string&) override { return std::nullopt; }
  std::string deletingPathExtension(const std::string& name) override { return name; }
};
}  // namespace
std::unique_ptr<Workspace> makeWorkspace(LinuxContext&) { return std::make_unique<StubWorkspace>(); }
std::unique_ptr<Bundles> makeBundles(LinuxContext&) { return std::make_unique<StubBundles>(); }
}  // namespace larkspire::linux_backend
