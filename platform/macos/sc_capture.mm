// Screen-capture permission (Core Graphics), shareable windows and
// one-window pictures (ScreenCaptureKit), PNG encoding (AppKit).
// ScreenCaptureKit answers on a queue of its choosing; each completion only
// hands over its result and wakes the waiting thread.
#import <AppKit/AppKit.h>
#include <ApplicationServices/ApplicationServices.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>
#include <dispatch/dispatch.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/macos/cf_values.h"
#include "platform/macos/macos_platform.h"

namespace larkspire::macos_backend {
namespace {

// A capture service that never answers must not hold a request forever:
// after this long the wait ends as a failure.
constexpr int64_t kCompletionWaitSeconds = 10;

bool completedInTime(dispatch_semaphore_t done) {
  return dispatch_semaphore_wait(done, dispatch_time(DISPATCH_TIME_NOW, kCompletionWaitSeconds * NSEC_PER_SEC)) == 0;
}

std::string describe(NSError* error) {
  if (!error || !error.localizedDescription) return "screen capture failed";
  return toString((__bridge CFStringRef)error.localizedDescription);
}

// Keeps one strong reference of an Objective-C object behind a void pointer;
// nothing for nil (CFRelease must never see a null pointer).
std::shared_ptr<const void> keepObject(id object) {
  if (!object) return nullptr;
  return std::shared_ptr<const void>(CFBridgingRetain(object), [](const void* kept) {
    if (kept) CFRelease(kept);
  });
}

// Keeps one reference of a CG image; nothing for a null image.
std::shared_ptr<const void> keepImage(CGImageRef image) {
  if (!image) return nullptr;
  return std::shared_ptr<const void>(CGImageRetain(image), [](const void* kept) {
    if (kept) CGImageRelease((CGImageRef)kept);
  });
}

// The value of a key in a CF dictionary (Get rule), or null.
CFTypeRef valueForKey(CFDictionaryRef dictionary, CFStringRef key) {
  if (!dictionary || CFGetTypeID(dictionary) != CFDictionaryGetTypeID()) return nullptr;
  const CFIndex count = CFDictionaryGetCount(dictionary);
  std::vector<const void*> keys(static_cast<std::size_t>(count)), values(static_cast<std::size_t>(count));
  CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
  for (CFIndex i = 0; i < count; ++i) {
    if (keys[static_cast<std::size_t>(i)] && CFEqual(keys[static_cast<std::size_t>(i)], key)) {
      return values[static_cast<std::size_t>(i)];
    }
  }
  return nullptr;
}

std::optional<double> numberForKey(CFDictionaryRef dictionary, CFStringRef key) {
  CFTypeRef value = valueForKey(dictionary, key);
  double number = 0;
  if (!value || CFGetTypeID(value) != CFNumberGetTypeID() ||
      !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberDoubleType, &number)) {
    return std::nullopt;
  }
  return number;
}

class MacScreenCapture final : public platform::ScreenCapture {
 public:
  bool preflightScreenCaptureAccess() override { return CGPreflightScreenCaptureAccess(); }
  bool requestScreenCaptureAccess() override { return CGRequestScreenCaptureAccess(); }

  std::vector<platform::ShareableWindow> shareableContent(bool excludingDesktopWindows,
                                                          bool onScreenWindowsOnly) override {
    @autoreleasepool {
      dispatch_semaphore_t done = dispatch_semaphore_create(0);
      __block SCShareableContent* delivered = nil;
      __block NSError* failure = nil;
      [SCShareableContent getShareableContentExcludingDesktopWindows:excludingDesktopWindows ? YES : NO
                                                 onScreenWindowsOnly:onScreenWindowsOnly ? YES : NO
                                                   completionHandler:^(SCShareableContent* content, NSError* error) {
                                                     delivered = content;
                                                     failure = error;
                                                     dispatch_semaphore_signal(done);
                                                   }];
      // A late answer only fills the block's own variables.
      if (!completedInTime(done)) throw platform::PlatformError("the shareable content did not arrive in time");
      if (failure || !delivered) throw platform::PlatformError(describe(failure));

      std::vector<platform::ShareableWindow> windows;
      windows.reserve(delivered.windows.count);
      for (SCWindow* window in delivered.windows) {
        platform::ShareableWindow out;
        if (SCRunningApplication* owner = window.owningApplication) {
          out.owningProcess = static_cast<platform::Pid>(owner.processID);
        }
        out.layer = static_cast<int>(window.windowLayer);
        const CGRect frame = window.frame;
        out.frame = platform::Rect{platform::Point{frame.origin.x, frame.origin.y},
                                   platform::Size{frame.size.width, frame.size.height}};
        out.windowID = static_cast<std::uint32_t>(window.windowID);
        if (NSString* title = window.title) out.title = toString((__bridge CFStringRef)title);
        out.native = keepObject(window);
        windows.push_back(std::move(out));
      }
      return windows;
    }
  }

  // The picture keeps the CG image as its native form; its RGBA buffer stays
  // empty, since the PNG is made from the image itself.
  platform::CapturedImage captureWindow(const platform::ShareableWindow& window,
                                        const platform::CaptureConfiguration& configuration) override {
    @autoreleasepool {
      if (!window.native) throw platform::PlatformError("the window did not come from the shareable content");
      SCWindow* target = (__bridge SCWindow*)window.native.get();
      SCContentFilter* filter = [[SCContentFilter alloc] initWithDesktopIndependentWindow:target];
      SCStreamConfiguration* stream = [[SCStreamConfiguration alloc] init];
      stream.width = static_cast<size_t>(std::max(configuration.width, 1));
      stream.height = static_cast<size_t>(std::max(configuration.height, 1));
      // Without it the output only scales down, so a window on a 1x display
      // would never reach the 2 pixels per point asked for. The size of the
      // picture that arrives is what the observation reports.
      stream.scalesToFit = YES;
      stream.showsCursor = configuration.showsCursor ? YES : NO;
      stream.ignoreShadowsSingleWindow = configuration.ignoreShadowsSingleWindow ? YES : NO;

      dispatch_semaphore_t done = dispatch_semaphore_create(0);
      NSObject* guard = [[NSObject alloc] init];
      __block CGImageRef captured = nullptr;
      __block NSError* failure = nil;
      __block BOOL abandoned = NO;
      [SCScreenshotManager captureImageWithFilter:filter
                                    configuration:stream
                                completionHandler:^(CGImageRef image, NSError* error) {
                                  // The image belongs to the caller of this handler; keep it,
                                  // unless the waiting side has given up.
                                  @synchronized(guard) {
                                    if (!abandoned) {
                                      captured = image ? CGImageRetain(image) : nullptr;
                                      failure = error;
                                    }
                                  }
                                  dispatch_semaphore_signal(done);
                                }];
      if (!completedInTime(done)) {
        @synchronized(guard) {
          abandoned = YES;
          if (captured) CGImageRelease(captured);
          captured = nullptr;
        }
        throw platform::PlatformError("the window picture did not arrive in time");
      }
      auto image = CFHandle<CGImageRef>::adopt(captured);
      if (failure || !image) throw platform::PlatformError(describe(failure));

      platform::CapturedImage out;
      out.width = static_cast<int>(CGImageGetWidth(image.get()));
      out.height = static_cast<int>(CGImageGetHeight(image.get()));
      out.native = keepImage(image.get());
      return out;
    }
  }

  std::optional<std::vector<std::uint8_t>> pngData(const platform::CapturedImage& image) override {
    @autoreleasepool {
      if (!image.native) return std::nullopt;
      CGImageRef picture = (CGImageRef)image.native.get();
      NSBitmapImageRep* bitmap = [[NSBitmapImageRep alloc] initWithCGImage:picture];
      if (!bitmap) return std::nullopt;
      NSData* png = [bitmap representationUsingType:NSBitmapImageFileTypePNG properties:@{}];
      if (!png) return std::nullopt;
      const auto* bytes = static_cast<const std::uint8_t*>(png.bytes);
      return std::vector<std::uint8_t>(bytes, bytes + png.length);
    }
  }

  // The window server's list of on-screen windows, front to back; bounds in
  // the same top-left screen points as Accessibility. A window nobody can
  // see (alpha 0) is passed over. A point no window covers is on no screen:
  // every screen has its desktop window.
  std::optional<std::uint32_t> windowAtPoint(platform::Point point) override {
    auto windows =
        CFHandle<CFArrayRef>::adopt(CGWindowListCopyWindowInfo(kCGWindowListOptionOnScreenOnly, kCGNullWindowID));
    if (!windows) return std::nullopt;
    const CFIndex count = CFArrayGetCount(windows.get());
    for (CFIndex i = 0; i < count; ++i) {
      auto info = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(windows.get(), i));
      if (auto alpha = numberForKey(info, kCGWindowAlpha); alpha && *alpha <= 0) continue;
      auto bounds = static_cast<CFDictionaryRef>(valueForKey(info, kCGWindowBounds));
      auto x = numberForKey(bounds, CFSTR("X")), y = numberForKey(bounds, CFSTR("Y"));
      auto width = numberForKey(bounds, CFSTR("Width")), height = numberForKey(bounds, CFSTR("Height"));
      auto number = numberForKey(info, kCGWindowNumber);
      if (!x || !y || !width || !height || !number) continue;
      const platform::Rect frame{{*x, *y}, {*width, *height}};
      if (platform::containsPoint(frame, point)) return static_cast<std::uint32_t>(*number);
    }
    return std::nullopt;
  }
};

}  // namespace

std::unique_ptr<platform::ScreenCapture> makeScreenCapture() { return std::make_unique<MacScreenCapture>(); }

}  // namespace larkspire::macos_backend
