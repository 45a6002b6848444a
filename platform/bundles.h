// Installed application bundles: folders, identifiers and names.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace larkspire::platform {

struct BundleInfo {
  std::optional<std::string> bundleIdentifier;
  // The untranslated name ("CFBundleName" on macOS) when it is text.
  std::optional<std::string> bundleName;
};

class Bundles {
 public:
  virtual ~Bundles() = default;

  // The folders that hold installed applications, in scanning order
  // (top level only), and the name suffix that marks an application.
  virtual std::vector<std::string> applicationFolders() = 0;
  virtual std::string applicationSuffix() = 0;

  // Entry names (not paths) of a folder, in listing order; none on failure.
  virtual std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path) = 0;
  // The bundle at a path, or none when the path holds no bundle.
  virtual std::optional<BundleInfo> bundleAtPath(const std::string& path) = 0;
  // The name a file manager shows for the path (may keep the extension).
  virtual std::string displayNameAtPath(const std::string& path) = 0;
  // The metadata index's display name for the path, when there is one.
  virtual std::optional<std::string> metadataDisplayName(const std::string& path) = 0;
  // Removes a trailing extension (".app", ".desktop", ...) from a name.
  virtual std::string deletingPathExtension(const std::string& name) = 0;
};

}  // namespace larkspire::platform
