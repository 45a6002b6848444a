// Installed application bundles: the standard application folders, bundle
// identifiers and names (Foundation), and the metadata index's display name
// (Core Services).
#include <CoreServices/CoreServices.h>
#import <Foundation/Foundation.h>

#include "platform/macos/cf_values.h"
#include "platform/macos/macos_platform.h"

namespace larkspire::macos_backend {
namespace {

std::string text(NSString* value) { return value ? toString((__bridge CFStringRef)value) : std::string(); }

NSString* nsString(const std::string& value) {
  return [[NSString alloc] initWithBytes:value.data() length:value.size() encoding:NSUTF8StringEncoding];
}

class MacBundles final : public platform::Bundles {
 public:
  std::vector<std::string> applicationFolders() override {
    @autoreleasepool {
      std::vector<std::string> folders{"/Applications", "/Applications/Utilities", "/System/Applications",
                                       "/System/Applications/Utilities"};
      NSURL* home = NSFileManager.defaultManager.homeDirectoryForCurrentUser;
      folders.push_back(text(home.path) + "/Applications");
      return folders;
    }
  }

  std::string applicationSuffix() override { return ".app"; }

  std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path) override {
    @autoreleasepool {
      NSString* folder = nsString(path);
      if (!folder) return std::nullopt;
      NSError* error = nil;
      NSArray<NSString*>* entries = [NSFileManager.defaultManager contentsOfDirectoryAtPath:folder error:&error];
      if (!entries) return std::nullopt;
      std::vector<std::string> names;
      names.reserve(entries.count);
      for (NSString* entry in entries) names.push_back(text(entry));
      return names;
    }
  }

  std::optional<platform::BundleInfo> bundleAtPath(const std::string& path) override {
    @autoreleasepool {
      NSString* location = nsString(path);
      if (!location) return std::nullopt;
      NSBundle* bundle = [[NSBundle alloc] initWithPath:location];
      if (!bundle) return std::nullopt;
      platform::BundleInfo info;
      if (NSString* identifier = bundle.bundleIdentifier) info.bundleIdentifier = text(identifier);
      id name = [bundle objectForInfoDictionaryKey:@"CFBundleName"];
      if ([name isKindOfClass:[NSString class]]) info.bundleName = text((NSString*)name);
      return info;
    }
  }

  std::string displayNameAtPath(const std::string& path) override {
    @autoreleasepool {
      NSString* location = nsString(path);
      if (!location) return path;
      return text([NSFileManager.defaultManager displayNameAtPath:location]);
    }
  }

  std::optional<std::string> metadataDisplayName(const std::string& path) override {
    auto location = makeString(path);
    if (!location) return std::nullopt;
    auto item = CFHandle<MDItemRef>::adopt(MDItemCreate(kCFAllocatorDefault, location.get()));
    if (!item) return std::nullopt;
    auto name = CFHandle<CFTypeRef>::adopt(MDItemCopyAttribute(item.get(), kMDItemDisplayName));
    if (!name || CFGetTypeID(name.get()) != CFStringGetTypeID()) return std::nullopt;
    return toString(static_cast<CFStringRef>(name.get()));
  }

  std::string deletingPathExtension(const std::string& name) override {
    @autoreleasepool {
      NSString* value = nsString(name);
      if (!value) return name;
      return text(value.stringByDeletingPathExtension);
    }
  }
};

}  // namespace

std::unique_ptr<platform::Bundles> makeBundles() { return std::make_unique<MacBundles>(); }

}  // namespace larkspire::macos_backend
