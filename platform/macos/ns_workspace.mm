// Running applications, the frontmost one, locating and opening
// applications, and the process's own place in the window server (AppKit).
// AppKit updates the state of running applications only while the main run
// loop turns; the programs keep it turning on the main thread.
#import <AppKit/AppKit.h>
#include <dispatch/dispatch.h>

#include "platform/macos/cf_values.h"
#include "platform/macos/macos_platform.h"

namespace larkspire::macos_backend {
namespace {

std::optional<std::string> optionalText(NSString* text) {
  if (!text) return std::nullopt;
  return toString((__bridge CFStringRef)text);
}

// Text that is not valid UTF-8 has no NSString; callers treat nil as "none".
NSString* nsString(const std::string& text) {
  return [[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding];
}

class MacRunningApplication final : public platform::RunningApplication {
 public:
  explicit MacRunningApplication(NSRunningApplication* application) : application_(application) {}

  std::optional<std::string> bundleIdentifier() const override {
    @autoreleasepool {
      return optionalText(application_.bundleIdentifier);
    }
  }
  std::optional<std::string> localizedName() const override {
    @autoreleasepool {
      return optionalText(application_.localizedName);
    }
  }
  platform::Pid processIdentifier() const override {
    return static_cast<platform::Pid>(application_.processIdentifier);
  }
  platform::ActivationPolicy activationPolicy() const override {
    switch (application_.activationPolicy) {
      case NSApplicationActivationPolicyRegular:
        return platform::ActivationPolicy::regular;
      case NSApplicationActivationPolicyAccessory:
        return platform::ActivationPolicy::accessory;
      default:
        return platform::ActivationPolicy::prohibited;
    }
  }
  bool isTerminated() const override { return application_.terminated; }
  bool isFinishedLaunching() const override { return application_.finishedLaunching; }
  bool activate() override { return [application_ activateWithOptions:(NSApplicationActivationOptions)0]; }

 private:
  NSRunningApplication* application_;  // strong
};

platform::Application wrap(NSRunningApplication* application) {
  if (!application) return nullptr;
  return std::make_shared<MacRunningApplication>(application);
}

std::vector<platform::Application> wrapAll(NSArray<NSRunningApplication*>* applications) {
  std::vector<platform::Application> out;
  out.reserve(applications.count);
  for (NSRunningApplication* application in applications) out.push_back(wrap(application));
  return out;
}

// Runs work on the main thread: at once when already there, else queued on
// the main queue (the main run loop serves it).
void onMainThread(void (^work)(void)) {
  if ([NSThread isMainThread]) {
    work();
  } else {
    dispatch_async(dispatch_get_main_queue(), work);
  }
}

class MacWorkspace final : public platform::Workspace {
 public:
  std::vector<platform::Application> runningApplications() override {
    @autoreleasepool {
      return wrapAll(NSWorkspace.sharedWorkspace.runningApplications);
    }
  }

  std::vector<platform::Application> runningApplicationsWithBundleIdentifier(
      const std::string& bundleIdentifier) override {
    @autoreleasepool {
      NSString* identifier = nsString(bundleIdentifier);
      if (!identifier) return {};
      return wrapAll([NSRunningApplication runningApplicationsWithBundleIdentifier:identifier]);
    }
  }

  platform::Application frontmostApplication() override {
    @autoreleasepool {
      return wrap(NSWorkspace.sharedWorkspace.frontmostApplication);
    }
  }

  // The location is the bundle's file-system path.
  std::optional<std::string> urlForApplication(const std::string& bundleIdentifier) override {
    @autoreleasepool {
      NSString* identifier = nsString(bundleIdentifier);
      if (!identifier) return std::nullopt;
      NSURL* url = [NSWorkspace.sharedWorkspace URLForApplicationWithBundleIdentifier:identifier];
      if (!url || !url.path) return std::nullopt;
      return toString((__bridge CFStringRef)url.path);
    }
  }

  // The completion arrives once, on a queue of the system's choosing; it only
  // hands over its result and wakes this thread.
  platform::OpenResult openApplication(const std::string& location, bool activates) override {
    @autoreleasepool {
      NSString* path = nsString(location);
      if (!path) return {nullptr, std::string("The location is not valid text.")};
      NSURL* url = [NSURL fileURLWithPath:path isDirectory:YES];
      NSWorkspaceOpenConfiguration* configuration = [NSWorkspaceOpenConfiguration configuration];
      configuration.activates = activates ? YES : NO;

      dispatch_semaphore_t done = dispatch_semaphore_create(0);
      __block NSRunningApplication* launched = nil;
      __block NSError* failure = nil;
      [NSWorkspace.sharedWorkspace openApplicationAtURL:url
                                          configuration:configuration
                                      completionHandler:^(NSRunningApplication* application, NSError* error) {
                                        launched = application;
                                        failure = error;
                                        dispatch_semaphore_signal(done);
                                      }];
      // Opening a large application can take a while, but not forever; a late
      // completion only fills the block's own variables.
      constexpr int64_t kOpenWaitSeconds = 60;
      if (dispatch_semaphore_wait(done, dispatch_time(DISPATCH_TIME_NOW, kOpenWaitSeconds * NSEC_PER_SEC)) != 0) {
        return {nullptr, std::string("The application did not finish opening in time.")};
      }

      if (failure) {
        return {nullptr, optionalText(failure.localizedDescription).value_or(std::string("open failed"))};
      }
      return {wrap(launched), std::nullopt};
    }
  }

  void sharedApplication() override { joinWindowServer(); }

  void setAccessoryActivationPolicy() override {
    onMainThread(^{
      [NSApplication sharedApplication];
      [NSApp setActivationPolicy:NSApplicationActivationPolicyAccessory];
    });
  }
};

}  // namespace

void joinWindowServer() {
  if (NSApp) return;
  onMainThread(^{
    [NSApplication sharedApplication];
  });
}

void becomeMultithreaded() {
  // Cocoa turns its locks on only once a thread has been detached through
  // NSThread; a std::thread does not count. The detached thread ends at once.
  if ([NSThread isMultiThreaded]) return;
  [NSThread detachNewThreadWithBlock:^{
  }];
}

std::unique_ptr<platform::Workspace> makeWorkspace() { return std::make_unique<MacWorkspace>(); }

}  // namespace larkspire::macos_backend
