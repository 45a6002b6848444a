// Installed applications on a Linux desktop: the desktop entries of the
// XDG application folders.
#include <dirent.h>

#include <algorithm>

#include "platform/linux/linux_platform.h"
#include "platform/linux/xdg/catalog.h"

namespace larkspire::linux_backend {
namespace {

using namespace platform;

class XdgBundles final : public Bundles {
 public:
  std::vector<std::string> applicationFolders() override { return catalog_.folders(); }
  std::string applicationSuffix() override { return xdg::kDesktopSuffix; }

  std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path) override {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return std::nullopt;
    std::vector<std::string> names;
    while (auto* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(std::move(name));
    }
    ::closedir(dir);
    // readdir's order is the file system's hashing; by name is what a
    // person listing the folder sees, and it is stable.
    std::sort(names.begin(), names.end());
    return names;
  }

  std::optional<BundleInfo> bundleAtPath(const std::string& path) override {
    auto entry = catalog_.entryAtPath(path);
    // NoDisplay entries are not meant to be offered to anyone.
    if (!entry || entry->noDisplay) return std::nullopt;
    return BundleInfo{entry->id, entry->untranslatedName};
  }

  std::string displayNameAtPath(const std::string& path) override {
    auto id = xdg::desktopFileIdForPath(catalog_.folders(), path);
    if (auto entry = xdg::readDesktopEntry(path, id, catalog_.locale())) return entry->name;
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }

  // Desktop entries have no metadata index.
  std::optional<std::string> metadataDisplayName(const std::string&) override { return std::nullopt; }

  // Only the desktop-file suffix is an extension here: names such as
  // "Designer 5.15" must keep their dots.
  std::string deletingPathExtension(const std::string& name) override {
    std::string suffix = xdg::kDesktopSuffix;
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return name.substr(0, name.size() - suffix.size());
    }
    return name;
  }

 private:
  xdg::DesktopCatalog catalog_;
};

}  // namespace

std::unique_ptr<Bundles> makeBundles(LinuxContext&) { return std::make_unique<XdgBundles>(); }

}  // namespace larkspire::linux_backend
