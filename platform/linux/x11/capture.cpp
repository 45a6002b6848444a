// Window listing and capture on X11, and the screen-lock answer from the
// session's screen saver.
#include "platform/linux/x11/capture.h"

#include "common/png.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <gio/gio.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "platform/linux/picture/image_scale.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/x11/error_trap.h"
#include "platform/linux/picture/x11_image.h"
#include "platform/linux/x11/windows.h"

namespace larkspire::linux_backend {
namespace {
using namespace platform;
using Clock = std::chrono::steady_clock;

// Pictures larger than this per side are refused rather than allocated.
constexpr int kLargestCaptureSide = 16384;
// A window's own pixels are read in full before they are scaled down: up to
// this many (128 MiB as RGBA), whatever its shape. X11 sides end at 32767.
constexpr long long kLargestWindowArea = 32LL * 1024 * 1024;
// Rows read per request, so that no single image is huge.
constexpr int kRowsPerRead = 2048;
// After redirecting windows, applications repaint what was hidden; a
// capture made soon after waits (at most this long) for the picture to stop
// changing.
constexpr auto kRepaintWindow = std::chrono::milliseconds(300);
// Two equal pictures taken sooner than this may both predate the repaint.
constexpr auto kRepaintMinimum = std::chrono::milliseconds(60);
constexpr auto kRepaintPoll = std::chrono::milliseconds(25);

class DisplayLock {
 public:
  explicit DisplayLock(Display* d) : d_(d) { XLockDisplay(d_); }
  ~DisplayLock() { XUnlockDisplay(d_); }
  DisplayLock(const DisplayLock&) = delete;
  DisplayLock& operator=(const DisplayLock&) = delete;

 private:
  Display* d_;
};

struct XImageDeleter {
  void operator()(XImage* image) const {
    if (image) XDestroyImage(image);
  }
};
using ImagePtr = std::unique_ptr<XImage, XImageDeleter>;

// Pixels of one rectangle of a drawable, converted to RGBA.
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;
};

// A shared-memory segment attached to the server, kept for later captures.
class ShmSegment {
 public:
  ~ShmSegment() { release(); }

  // An XImage of width x height backed by the segment, or null when shared
  // memory cannot be used (the server is remote, the segment is refused).
  ImagePtr image(Display* display, Visual* visual, int depth, int width, int height) {
    if (broken_ || !XShmQueryExtension(display)) return nullptr;
    if (display_ && display_ != display) release();
    XImage* image = XShmCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &info_,
                                    static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (!image) return nullptr;
    ImagePtr owned(image);
    const std::size_t needed = static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(height);
    if (needed > size_ && !allocate(display, needed)) {
      // The image must not free memory it does not own.
      owned->data = nullptr;
      return nullptr;
    }
    image->data = info_.shmaddr;
    image->obdata = reinterpret_cast<char*>(&info_);
    return owned;
  }

  void markBroken() {
    broken_ = true;
  }

  // XDestroyImage of an XShm image would free the segment's memory.
  static void detachData(XImage* image) {
    image->data = nullptr;
  }

 private:
  bool allocate(Display* display, std::size_t size) {
    release();
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) {
      broken_ = true;
      return false;
    }
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
      shmctl(id, IPC_RMID, nullptr);
      broken_ = true;
      return false;
    }
    info_.shmid = id;
    info_.shmaddr = static_cast<char*>(address);
    info_.readOnly = False;
    XErrorTrap trap(display);
    const bool attached = XShmAttach(display, &info_) && trap.sync() == 0;
    // Removed now, freed when the last user detaches, even if we crash.
    shmctl(id, IPC_RMID, nullptr);
    if (!attached) {
      shmdt(address);
      info_ = {};
      broken_ = true;
      return false;
    }
    display_ = display;
    size_ = size;
    return true;
  }

  void release() {
    if (!info_.shmaddr) return;
    if (display_) {
      XErrorTrap trap(display_);
      XShmDetach(display_, &info_);
      trap.sync();
    }
    shmdt(info_.shmaddr);
    info_ = {};
    size_ = 0;
    display_ = nullptr;
  }

  Display* display_ = nullptr;
  XShmSegmentInfo info_{};
  std::size_t size_ = 0;
  bool broken_ = false;
};

PixelLayout layoutOf(const XImage& image, const Visual& visual, int depth) {
  PixelLayout layout;
  layout.bitsPerPixel = image.bits_per_pixel;
  layout.bytesPerLine = image.bytes_per_line;
  layout.msbFirst = image.byte_order == MSBFirst;
  layout.depth = depth;
  // Images of pixmaps carry no masks; the visual of the window they were
  // named from has them.
  layout.redMask = static_cast<std::uint32_t>(visual.red_mask);
  layout.greenMask = static_cast<std::uint32_t>(visual.green_mask);
  layout.blueMask = static_cast<std::uint32_t>(visual.blue_mask);
  return layout;
}

class X11ScreenCapture final : public ScreenCapture {
 public:
  X11ScreenCapture(std::function<Display*()> display, std::function<bool()> available)
      : display_(std::move(display)), available_(std::move(available)) {}

  bool preflightScreenCaptureAccess() override { return available_(); }
  PermissionState screenCaptureState() override {
    if (state_) return state_();
    return ScreenCapture::screenCaptureState();
  }
  // Nothing to ask the user on X11: the answer is the same.
  bool requestScreenCaptureAccess() override { return available_(); }

  std::vector<ShareableWindow> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override {
    Display* d = requireDisplay();
    std::vector<X11Window> windows;
    {
      DisplayLock lock(d);
      windows = listTopLevelWindows(d);
      // Redirecting now lets applications repaint hidden parts while the
      // caller inspects the window, before it asks for the picture.
      ensureRedirected(d);
    }
    std::vector<ShareableWindow> result;
    for (auto& w : windows) {
      if (excludingDesktopWindows && w.layer == kDesktopLayer) continue;
      if (onScreenWindowsOnly && !w.viewable) continue;
      ShareableWindow s;
      s.owningProcess = w.pid;
      s.layer = w.layer;
      s.frame = w.frame;
      s.contentFrame = w.content;
      s.windowID = static_cast<std::uint32_t>(w.client);
      s.title = std::move(w.title);
      result.push_back(std::move(s));
    }
    return result;
  }

  CapturedImage captureWindow(const ShareableWindow& window, const CaptureConfiguration& configuration) override {
    if (configuration.width < 1 || configuration.height < 1 || configuration.width > kLargestCaptureSide ||
        configuration.height > kLargestCaptureSide) {
      throw PlatformError("capture size out of range");
    }
    Display* d = requireDisplay();
    Pixels pixels = grab(d, window.windowID);
    CapturedImage image;
    image.width = configuration.width;
    image.height = configuration.height;
    image.rgba = scaleRgba(pixels.rgba.data(), pixels.width, pixels.height, image.width, image.height);
    return image;
  }

  std::optional<std::vector<std::uint8_t>> pngData(const CapturedImage& image) override {
    if (image.width <= 0 || image.height <= 0 ||
        image.rgba.size() != static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 4) {
      return std::nullopt;
    }
    return png::encodePng(image.rgba.data(), image.width, image.height, 1);
  }

  std::optional<std::uint32_t> windowAtPoint(Point point) override {
    Display* d = display_();
    if (!d || !std::isfinite(point.x) || !std::isfinite(point.y)) return std::nullopt;
    // Where the click would be posted: the point rounded to a pixel.
    DisplayLock lock(d);
    auto window = linux_backend::windowAtPoint(d, static_cast<int>(std::lround(point.x)),
                                               static_cast<int>(std::lround(point.y)));
    if (!window) return std::nullopt;
    return static_cast<std::uint32_t>(*window);
  }

 private:
  Display* requireDisplay() {
    Display* d = display_();
    if (!d) throw PlatformError("no X display");
    return d;
  }

  bool compositeAvailable(Display* d) {
    if (!composite_) {
      int eventBase = 0;
      int errorBase = 0;
      int major = 0;
      int minor = 2;
      // NameWindowPixmap came with version 0.2.
      composite_ = XCompositeQueryExtension(d, &eventBase, &errorBase) && XCompositeQueryVersion(d, &major, &minor) &&
                   (major > 0 || minor >= 2);
    }
    return *composite_;
  }

  void ensureRedirected(Display* d) {
    if (redirected_ || !compositeAvailable(d)) return;
    // Every top-level, present and future, gets its own off-screen picture
    // that the server still shows on screen as before; covered windows
    // become capturable. It ends with our connection.
    XErrorTrap trap(d);
    XCompositeRedirectSubwindows(d, DefaultRootWindow(d), CompositeRedirectAutomatic);
    if (trap.sync() == 0) {
      redirected_ = true;
      redirectedAt_ = Clock::now();
    } else {
      composite_ = false;
    }
  }

  Pixels grab(Display* d, std::uint32_t windowID) {
    Pixels pixels = grabOnce(d, windowID);
    // Right after the redirection the hidden parts hold whatever covered
    // them until the application has repainted: wait until it settles.
    while (redirected_ && Clock::now() - redirectedAt_ < kRepaintWindow) {
      std::this_thread::sleep_for(kRepaintPoll);
      Pixels next = grabOnce(d, windowID);
      const bool settled = next.width == pixels.width && next.height == pixels.height && next.rgba == pixels.rgba;
      pixels = std::move(next);
      if (settled && Clock::now() - redirectedAt_ >= kRepaintMinimum) break;
    }
    return pixels;
  }

  // RGBA pixels of one band of a drawable, through shared memory when the
  // server offers it. The caller holds the display lock and an error trap.
  std::vector<std::uint8_t> readRows(Display* d, Drawable source, Visual* visual, int depth, int x, int y, int width,
                                     int rows) {
    XErrorTrap trap(d);
    ImagePtr image = shm_.image(d, visual, depth, width, rows);
    bool fromShm = false;
    if (image) {
      fromShm = XShmGetImage(d, source, image.get(), x, y, AllPlanes) && trap.sync() == 0;
      if (!fromShm) {
        ShmSegment::detachData(image.get());
        image.reset();
        shm_.markBroken();
      }
    }
    if (!fromShm) {
      trap.clear();
      image.reset(XGetImage(d, source, x, y, static_cast<unsigned>(width), static_cast<unsigned>(rows), AllPlanes,
                            ZPixmap));
      if (!image || trap.sync() != 0) throw PlatformError("window pixels unreadable");
    }
    std::vector<std::uint8_t> converted;
    const bool ok = convertToRgba(reinterpret_cast<const std::uint8_t*>(image->data), width, rows,
                                  layoutOf(*image, *visual, depth), converted);
    if (fromShm) ShmSegment::detachData(image.get());
    if (!ok) throw PlatformError("unsupported pixel format");
    return converted;
  }

  Pixels grabOnce(Display* d, std::uint32_t windowID) {
    DisplayLock lock(d);
    XErrorTrap trap(d);
    auto w = describeWindow(d, windowID);
    if (!w) throw PlatformError("window no longer exists");
    if (!w->viewable) throw PlatformError("window is not on screen");

    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, w->topLevel, &attributes)) throw PlatformError("window no longer exists");
    if (!attributes.visual || (attributes.visual->c_class != TrueColor && attributes.visual->c_class != DirectColor)) {
      throw PlatformError("window visual is not true colour");
    }
    const Window root = DefaultRootWindow(d);
    int topX = 0;
    int topY = 0;
    Window child = 0;
    if (!XTranslateCoordinates(d, w->topLevel, root, 0, 0, &topX, &topY, &child)) {
      throw PlatformError("window no longer exists");
    }

    Pixels out;
    out.width = static_cast<int>(std::lround(width(w->frame)));
    out.height = static_cast<int>(std::lround(height(w->frame)));
    if (out.width < 1 || out.height < 1) throw PlatformError("window has no area");
    if (static_cast<long long>(out.width) * out.height > kLargestWindowArea) throw PlatformError("window too large");
    const int frameX = static_cast<int>(std::lround(minX(w->frame)));
    const int frameY = static_cast<int>(std::lround(minY(w->frame)));

    ensureRedirected(d);
    Drawable source = root;
    Pixmap pixmap = None;
    int originX = frameX;  // the frame's top-left corner in source coordinates
    int originY = frameY;
    int sourceWidth = DisplayWidth(d, DefaultScreen(d));
    int sourceHeight = DisplayHeight(d, DefaultScreen(d));
    Visual* visual = attributes.visual;
    int depth = attributes.depth;
    if (redirected_) {
      trap.clear();
      pixmap = XCompositeNameWindowPixmap(d, w->topLevel);
      if (trap.sync() == 0 && pixmap != None) {
        // The pixmap covers the top-level including its border.
        source = pixmap;
        originX = frameX - topX + attributes.border_width;
        originY = frameY - topY + attributes.border_width;
        sourceWidth = attributes.width + 2 * attributes.border_width;
        sourceHeight = attributes.height + 2 * attributes.border_width;
      } else {
        pixmap = None;
      }
    }
    if (source == root) {
      XWindowAttributes rootAttributes;
      if (!XGetWindowAttributes(d, root, &rootAttributes)) throw PlatformError("root window unreadable");
      visual = rootAttributes.visual;
      depth = rootAttributes.depth;
    }
    struct PixmapGuard {
      Display* d;
      Pixmap p;
      ~PixmapGuard() {
        if (p != None) XFreePixmap(d, p);
      }
    } guard{d, pixmap};

    const int x0 = std::max(originX, 0);
    const int y0 = std::max(originY, 0);
    const int x1 = std::min(originX + out.width, sourceWidth);
    const int y1 = std::min(originY + out.height, sourceHeight);
    // What lies outside the drawable (off screen without Composite) stays
    // transparent.
    if (x1 <= x0 || y1 <= y0) {
      out.rgba.assign(static_cast<std::size_t>(out.width) * out.height * 4, 0);
      return out;
    }
    const int grabWidth = x1 - x0;
    out.rgba.assign(static_cast<std::size_t>(out.width) * out.height * 4, 0);
    for (int top = y0; top < y1; top += kRowsPerRead) {
      const int rows = std::min(kRowsPerRead, y1 - top);
      std::vector<std::uint8_t> band = readRows(d, source, visual, depth, x0, top, grabWidth, rows);
      const std::size_t rowBytes = static_cast<std::size_t>(grabWidth) * 4;
      for (int y = 0; y < rows; ++y) {
        std::memcpy(out.rgba.data() + (static_cast<std::size_t>(top - originY + y) * out.width + (x0 - originX)) * 4,
                    band.data() + static_cast<std::size_t>(y) * rowBytes, rowBytes);
      }
    }
    return out;
  }

  std::function<Display*()> display_;
  std::function<bool()> available_;

 public:
  std::function<PermissionState()> state_;  // why not available; set by the native wiring
  std::optional<bool> composite_;
  bool redirected_ = false;
  Clock::time_point redirectedAt_;
  ShmSegment shm_;
};

// Screen lock from the session's screen saver: the freedesktop service that
// most desktops offer, else GNOME's own. Without either, the screen counts
// as unlocked.
class ScreenSaverSession final : public Session {
 public:
  explicit ScreenSaverSession(std::function<GDBusConnection*()> bus) : bus_(std::move(bus)) {}

  std::optional<std::map<std::string, Value>> currentDictionary() override {
    bool locked = false;
    if (GDBusConnection* bus = bus_()) {
      if (auto active = getActive(bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver")) {
        locked = *active;
      } else if (auto gnome = getActive(bus, "org.gnome.ScreenSaver", "/org/gnome/ScreenSaver")) {
        locked = *gnome;
      }
    }
    return std::map<std::string, Value>{{"CGSSessionScreenIsLocked", locked}};
  }

 private:
  static std::optional<bool> getActive(GDBusConnection* bus, const char* name, const char* path) {
    GError* error = nullptr;
    // A screen saver that is not running is not locking anything: never
    // start one just to ask.
    GVariant* reply = g_dbus_connection_call_sync(bus, name, path, name, "GetActive", nullptr, G_VARIANT_TYPE("(b)"),
                                                  G_DBUS_CALL_FLAGS_NO_AUTO_START, 500, nullptr, &error);
    if (!reply) {
      if (error) g_error_free(error);
      return std::nullopt;
    }
    gboolean active = FALSE;
    g_variant_get(reply, "(b)", &active);
    g_variant_unref(reply);
    return active != FALSE;
  }

  std::function<GDBusConnection*()> bus_;
};

}  // namespace

std::unique_ptr<ScreenCapture> makeX11ScreenCapture(std::function<Display*()> display,
                                                    std::function<bool()> available) {
  return std::make_unique<X11ScreenCapture>(std::move(display), std::move(available));
}

std::unique_ptr<Session> makeScreenSaverSession(std::function<GDBusConnection*()> sessionBus) {
  return std::make_unique<ScreenSaverSession>(std::move(sessionBus));
}

std::unique_ptr<ScreenCapture> makeScreenCapture(LinuxContext& context) {
  auto capture = std::make_unique<X11ScreenCapture>([&context] { return context.display(); },
                                                   [&context] { return screenCaptureAvailable(context); });
  capture->state_ = [&context] { return screenCaptureState(context); };
  return capture;
}

namespace {

// The screen saver's lock state, and whether the desktop is still there.
class LinuxSession final : public Session {
 public:
  explicit LinuxSession(LinuxContext& context)
      : context_(context), screenSaver_(makeScreenSaverSession([&context] { return context.sessionBus(); })) {}

  std::optional<std::map<std::string, Value>> currentDictionary() override {
    return screenSaver_->currentDictionary();
  }

  std::optional<std::string> desktopGone(bool probe) override {
    switch (context_.displayState(probe)) {
      case LinuxContext::DisplayState::lost:
        return "the X display is gone";
      case LinuxContext::DisplayState::unreachable:
        return "the X display cannot be reached";
      case LinuxContext::DisplayState::notAnswering:
        return "the X display does not answer";
      case LinuxContext::DisplayState::none:
      case LinuxContext::DisplayState::open:
        break;
    }
    if (context_.sessionBusLost()) return "the session bus is gone";
    return std::nullopt;
  }

 private:
  LinuxContext& context_;
  std::unique_ptr<Session> screenSaver_;
};

}  // namespace

std::unique_ptr<Session> makeSession(LinuxContext& context) { return std::make_unique<LinuxSession>(context); }

}  // namespace larkspire::linux_backend
