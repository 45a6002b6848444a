// Window listing and capture on X11.
#include "platform/linux/x11/capture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <set>

#include "common/png.h"
#include "platform/linux/handles.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/picture/hidden_parts.h"
#include "platform/linux/picture/image_scale.h"
#include "platform/linux/picture/picture_memory.h"
#include "platform/linux/picture/x11_image.h"
#include "platform/linux/x11/error_trap.h"
#include "platform/linux/x11/server_grab.h"
#include "platform/linux/x11/windows.h"
#include "platform/linux/x11/xcb_replies.h"

namespace larkspire::linux_backend {
namespace {
using namespace platform;

// Pictures larger than this per side are refused rather than allocated.
constexpr int kLargestCaptureSide = 16384;
// A window's own pixels are read in full before they are scaled down: up to
// this many (128 MiB as RGBA), whatever its shape. X11 sides end at 32767.
constexpr long long kLargestWindowArea = 32LL * 1024 * 1024;
// Rows read per request, so that no single image is huge.
constexpr int kRowsPerRead = 2048;
// A window the screen shows whole and uncovered is read from the screen.
// Any other is redirected to a picture of its own, where the parts that were
// hidden hold what covered them until the application repaints them: the
// capture waits (at most this long) until those parts have changed and then
// stayed the same for a moment, woken by the damage the repaint reports.
constexpr double kRepaintWindow = 0.300;
constexpr double kRepaintQuiet = 0.010;
// Parts that have not changed are taken as they are once they have stayed
// so this long: the server may have restored them itself (backing store),
// or the application drew what covered them.
constexpr double kRepaintMinimum = 0.060;
// Without a damage report the parts are compared this often.
constexpr double kRepaintPoll = 0.025;

// A damage report on a window, destroyed with this object, its events that
// are still queued dropped with it.
class DamageReport {
 public:
  DamageReport() = default;
  DamageReport(Display* d, Damage damage, int eventType) : d_(d), damage_(damage), eventType_(eventType) {}
  ~DamageReport() {
    if (damage_ == None) return;
    DisplayLock lock(d_);
    XErrorTrap trap(d_);
    XDamageDestroy(d_, damage_);
    trap.sync();
    XEvent event;
    while (XCheckTypedEvent(d_, eventType_, &event)) {
    }
  }
  DamageReport(const DamageReport&) = delete;
  DamageReport& operator=(const DamageReport&) = delete;

  int eventType() const { return eventType_; }

 private:
  Display* d_ = nullptr;
  Damage damage_ = None;
  int eventType_ = 0;
};

using Pixels = WindowPixels;

bool wholePixels(const Pixels& pixels) { return pixels.width > 0 && pixels.height > 0 && pixels.bytes; }

PixelOrder orderOf(const Pixels& pixels) { return pixels.serverOrder ? PixelOrder::bgrx : PixelOrder::rgba; }

// A shared-memory segment attached to the server, kept for later captures.
class ShmSegment {
 public:
  ~ShmSegment() { release(); }

  // An XImage of width x height backed by the segment, or null when shared
  // memory cannot be used (the server is remote, the segment is refused).
  // The segment keeps its memory: the image only lends it.
  SharedImage image(Display* display, Visual* visual, int depth, int width, int height) {
    if (broken_ || !XShmQueryExtension(display)) return nullptr;
    if (display_ && display_ != display) release();
    SharedImage image(XShmCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &info_,
                                      static_cast<unsigned>(width), static_cast<unsigned>(height)));
    if (!image) return nullptr;
    const std::size_t needed = static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(height);
    if (needed > size_ && !allocate(display, needed)) return nullptr;
    image->data = info_.shmaddr;
    image->obdata = reinterpret_cast<char*>(&info_);
    return image;
  }

  void markBroken() { broken_ = true; }

  // The segment's memory, handed over with what the server last wrote in
  // it: the server lets go of it, and it stays mapped here until the last
  // holder goes. The next image gets a new segment.
  std::shared_ptr<const std::uint8_t> take() {
    if (!info_.shmaddr) return nullptr;
    {
      XErrorTrap trap(display_);
      XShmDetach(display_, &info_);
      trap.sync();
    }
    std::shared_ptr<const std::uint8_t> memory(reinterpret_cast<const std::uint8_t*>(info_.shmaddr),
                                               [](const std::uint8_t* address) { shmdt(address); });
#ifdef MADV_POPULATE_READ
    // Mapped in one call rather than a fault on every page as it is read.
    madvise(info_.shmaddr, size_, MADV_POPULATE_READ);
#endif
    info_ = {};
    size_ = 0;
    display_ = nullptr;
    return memory;
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

// The drawable a window's pixels are read from, and where the window's
// frame starts in it.
struct Source {
  Drawable drawable = None;
  PixmapHandle pixmap;  // the window's own pixmap, when that is the drawable
  int originX = 0;      // the frame's top-left corner in the drawable
  int originY = 0;
  int width = 0;  // the drawable's size
  int height = 0;
  Visual* visual = nullptr;
  int depth = 0;
};

// Converts the image's pixels to RGBA rows `stride` bytes apart at `out`.
void toRgba(const XImage& image, const Source& source, int width, int rows, std::uint8_t* out, std::size_t stride) {
  if (!convertToRgba(reinterpret_cast<const std::uint8_t*>(image.data), width, rows,
                     layoutOf(image, *source.visual, source.depth), out, stride)) {
    throw PlatformError("unsupported pixel format");
  }
}

// Where a window to capture lies: its frame on the root window, the
// top-level's attributes and its position on the root.
struct Placement {
  Window topLevel = 0;
  XWindowAttributes attributes{};
  int topX = 0;
  int topY = 0;
  int frameX = 0;
  int frameY = 0;
  int width = 0;
  int height = 0;
};

class X11ScreenCapture final : public ScreenCapture {
 public:
  X11ScreenCapture(std::function<Display*()> display, std::function<bool()> available, Clock& clock)
      : display_(std::move(display)), available_(std::move(available)), clock_(clock) {}

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
    CapturedImage image;
    image.width = configuration.width;
    image.height = configuration.height;
    image.native = std::make_shared<const Pixels>(grab(d, window.windowID));
    return image;
  }

  // The picture is scaled from the window's pixels a band of rows at a
  // time as the PNG encoder asks for them: its rows are never all in
  // memory at once.
  std::optional<std::vector<std::uint8_t>> pngData(const CapturedImage& image) override {
    if (image.width <= 0 || image.height <= 0) return std::nullopt;
    if (!image.native) {
      if (image.rgba.size() != static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 4) {
        return std::nullopt;
      }
      return png::encodePng(image.rgba.data(), image.width, image.height, 1);
    }
    const auto& pixels = *static_cast<const Pixels*>(image.native.get());
    if (!wholePixels(pixels)) return std::nullopt;
    const RgbaScaler scaler(pixels.bytes.get(), pixels.width, pixels.height, image.width, image.height,
                            orderOf(pixels));
    // Scaling keeps opaque pixels opaque.
    const bool opaque = pixels.serverOrder ||
                        png::isOpaque(pixels.bytes.get(),
                                      static_cast<std::size_t>(pixels.width) * static_cast<std::size_t>(pixels.height));
    return png::encodePng(
        [&scaler](int first, int end, std::uint8_t* scratch) { return scaler.rows(first, end, scratch); }, image.width,
        image.height, opaque, 1, pixels.serverOrder ? png::ChannelOrder::bgra : png::ChannelOrder::rgba);
  }

  // The display is locked around every use, and AT-SPI is another
  // connection.
  bool capturesAlongsideAccessibility() const override { return true; }

  std::optional<std::uint32_t> windowAtPoint(Point point) override {
    Display* d = display_();
    if (!d || !std::isfinite(point.x) || !std::isfinite(point.y)) return std::nullopt;
    // Where the click would be posted: the point rounded to a pixel.
    DisplayLock lock(d);
    auto window =
        linux_backend::windowAtPoint(d, static_cast<int>(std::lround(point.x)), static_cast<int>(std::lround(point.y)));
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

  bool damageAvailable(Display* d) {
    if (!damage_) {
      int errorBase = 0;
      damage_ = XDamageQueryExtension(d, &damageEventBase_, &errorBase) != 0;
    }
    return *damage_;
  }

  // The frames of the viewable windows stacked above `topLevel` that draw
  // (InputOutput), as the screen shows them. The caller holds the display
  // lock and a server grab.
  std::vector<PixelRect> windowsAbove(Display* d, Window topLevel) {
    xcb_connection_t* c = XGetXCBConnection(d);
    auto tree = xcbReply(c, xcb_query_tree_reply, xcb_query_tree(c, static_cast<xcb_window_t>(DefaultRootWindow(d))));
    if (!tree) throw PlatformError("window stacking unreadable");
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    const auto own = std::find(children, children + count, static_cast<xcb_window_t>(topLevel));  // bottom to top
    if (own == children + count) throw PlatformError("window no longer exists");
    // Asked of all of them at once, then answered.
    std::vector<std::pair<xcb_get_window_attributes_cookie_t, xcb_get_geometry_cookie_t>> asked;
    for (const xcb_window_t* child = own + 1; child != children + count; ++child) {
      asked.emplace_back(xcb_get_window_attributes(c, *child), xcb_get_geometry(c, *child));
    }
    std::vector<PixelRect> above;
    for (const auto& [attributesAsked, geometryAsked] : asked) {
      auto attributes = xcbReply(c, xcb_get_window_attributes_reply, attributesAsked);
      auto geometry = xcbReply(c, xcb_get_geometry_reply, geometryAsked);
      if (!attributes || !geometry) continue;
      if (attributes->map_state != XCB_MAP_STATE_VIEWABLE || attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT)
        continue;
      above.push_back({geometry->x, geometry->y, geometry->width + 2 * geometry->border_width,
                       geometry->height + 2 * geometry->border_width});
    }
    return above;
  }

  // Redirects one top-level to a picture of its own, which the server still
  // shows on screen as before; it ends with our connection. False when
  // Composite is missing or refuses.
  bool redirect(Display* d, Window topLevel) {
    if (!compositeAvailable(d)) return false;
    XErrorTrap trap(d);
    XCompositeRedirectWindow(d, topLevel, CompositeRedirectAutomatic);
    if (trap.sync() != 0) return false;
    redirected_.insert(topLevel);
    return true;
  }

  Pixels grab(Display* d, std::uint32_t windowID) {
    std::vector<PixelRect> hidden;
    std::vector<std::vector<std::uint8_t>> covered;
    std::optional<DamageReport> damage;
    double redirectedAt = 0;
    {
      DisplayLock lock(d);
      XErrorTrap trap(d);
      // Nothing may move, appear or draw between the look at the screen
      // and the pixels read from it, or the first read after redirecting.
      ServerGrab serverGrab(d);
      const Placement placement = place(d, windowID);
      if (!redirected_.contains(placement.topLevel)) {
        const PixelRect frame{placement.frameX, placement.frameY, placement.width, placement.height};
        const PixelRect screen{0, 0, DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d))};
        hidden = hiddenParts(frame, screen, windowsAbove(d, placement.topLevel));
        const Source screenSource = rootSource(d, placement);
        // The screen shows a window of another depth (an ARGB one)
        // converted: all of it is to be read from its own picture.
        if (screenSource.depth != placement.attributes.depth) hidden = {{0, 0, placement.width, placement.height}};
        if (hidden.empty() || !redirect(d, placement.topLevel)) return readPicture(d, placement, screenSource);
        redirectedAt = clock_.now();
        if (damageAvailable(d)) {
          trap.clear();
          const Damage created = XDamageCreate(d, placement.topLevel, XDamageReportRawRectangles);
          if (trap.sync() == 0) damage.emplace(d, created, damageEventBase_ + XDamageNotify);
        }
        const Source own = chooseSource(d, placement, trap);
        for (const PixelRect& part : hidden) covered.push_back(readPart(d, own, part));
      }
    }
    if (!hidden.empty()) awaitRepaint(d, windowID, hidden, covered, damage ? &*damage : nullptr, redirectedAt);

    DisplayLock lock(d);
    XErrorTrap trap(d);
    const Placement placement = place(d, windowID);
    return readPicture(d, placement, chooseSource(d, placement, trap));
  }

  // The pixels of one part of the window's frame, read from its source.
  // The caller holds the display lock.
  std::vector<std::uint8_t> readPart(Display* d, const Source& source, const PixelRect& part) {
    const auto box = readableBox(source.originX + part.x, source.originY + part.y, part.width, part.height,
                                 source.width, source.height);
    if (!box) return {};
    const int width = box->x1 - box->x0;
    const int rows = box->y1 - box->y0;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(rows) * 4);
    for (int top = 0; top < rows; top += kRowsPerRead) {
      readRows(d, source, box->x0, box->y0 + top, width, std::min(kRowsPerRead, rows - top),
               pixels.data() + static_cast<std::size_t>(top) * width * 4, static_cast<std::size_t>(width) * 4);
    }
    return pixels;
  }

  // Waits until the hidden parts have been repainted: changed from what
  // they held right after the redirection, then the same twice in a row
  // with a quiet moment between (or unchanged for kRepaintMinimum). Ends
  // at kRepaintWindow after the redirection whatever happens (an
  // application that never stops drawing there).
  void awaitRepaint(Display* d, std::uint32_t windowID, const std::vector<PixelRect>& hidden,
                    const std::vector<std::vector<std::uint8_t>>& covered, const DamageReport* damage,
                    double redirectedAt) {
    std::vector<std::vector<std::uint8_t>> last;  // none yet: as covered
    bool changed = false;
    while (true) {
      const double left = kRepaintWindow - (clock_.now() - redirectedAt);
      if (left <= 0) break;
      waitForDamage(d, damage, std::min(left, changed ? kRepaintQuiet : kRepaintPoll));
      std::vector<std::vector<std::uint8_t>> now;
      {
        DisplayLock lock(d);
        XErrorTrap trap(d);
        const Placement placement = place(d, windowID);
        const Source own = chooseSource(d, placement, trap);
        for (const PixelRect& part : hidden) now.push_back(readPart(d, own, part));
      }
      const bool settled =
          now == (last.empty() ? covered : last) && (changed || clock_.now() - redirectedAt >= kRepaintMinimum);
      changed = changed || now != covered;
      last = std::move(now);
      if (settled) break;
    }
  }

  // Sleeps up to `seconds`, less when the window reports damage; the
  // reports are taken off the queue.
  void waitForDamage(Display* d, const DamageReport* damage, double seconds) {
    if (!damage) {
      clock_.sleep(seconds);
      return;
    }
    const double until = clock_.now() + seconds;
    while (true) {
      bool damaged = false;
      {
        DisplayLock lock(d);
        XEventsQueued(d, QueuedAfterReading);
        XEvent event;
        while (XCheckTypedEvent(d, damage->eventType(), &event)) damaged = true;
      }
      const double left = until - clock_.now();
      if (damaged || left <= 0) return;
      // Another thread may read the connection meanwhile; the short wait
      // bounds what that can cost.
      pollfd watched{ConnectionNumber(d), POLLIN, 0};
      poll(&watched, 1, std::max(1, static_cast<int>(std::ceil(std::min(left, kRepaintQuiet) * 1000))));
    }
  }

  // One band of a drawable (at most kRowsPerRead rows), through shared
  // memory when the server offers it, as RGBA rows `stride` bytes apart at
  // `out`. The caller holds the display lock.
  void readRows(Display* d, const Source& source, int x, int y, int width, int rows, std::uint8_t* out,
                std::size_t stride) {
    XErrorTrap trap(d);
    if (SharedImage image = shm_.image(d, source.visual, source.depth, width, rows)) {
      if (XShmGetImage(d, source.drawable, image.get(), x, y, AllPlanes) && trap.sync() == 0) {
        toRgba(*image, source, width, rows, out, stride);
        return;
      }
      shm_.markBroken();
    }
    trap.clear();
    Image image(XGetImage(d, source.drawable, x, y, static_cast<unsigned>(width), static_cast<unsigned>(rows),
                          AllPlanes, ZPixmap));
    if (!image || trap.sync() != 0) throw PlatformError("window pixels unreadable");
    toRgba(*image, source, width, rows, out, stride);
  }

  // The window's frame from `source`. The caller holds the display lock.
  Pixels readPicture(Display* d, const Placement& placement, const Source& source) {
    const auto box =
        readableBox(source.originX, source.originY, placement.width, placement.height, source.width, source.height);
    if (box && box->x1 - box->x0 == placement.width && box->y1 - box->y0 == placement.height) {
      if (auto kept = readInPlace(d, source, *box)) return std::move(*kept);
    }
    // What lies outside the drawable (off screen without Composite) stays
    // transparent.
    auto rgba = std::make_shared<std::vector<std::uint8_t>>(
        pictureBuffer(static_cast<std::size_t>(placement.width) * placement.height * 4));
    if (box) {
      const std::size_t stride = static_cast<std::size_t>(placement.width) * 4;
      for (int top = box->y0; top < box->y1; top += kRowsPerRead) {
        std::uint8_t* first = rgba->data() + static_cast<std::size_t>(top - source.originY) * stride +
                              static_cast<std::size_t>(box->x0 - source.originX) * 4;
        readRows(d, source, box->x0, top, box->x1 - box->x0, std::min(kRowsPerRead, box->y1 - top), first, stride);
      }
    }
    Pixels out;
    out.width = placement.width;
    out.height = placement.height;
    out.bytes = std::shared_ptr<const std::uint8_t>(rgba, rgba->data());
    return out;
  }

  // The pixels of `box`, left in shared memory as the server wrote them,
  // where they need no conversion (32-bit B, G, R, unused byte: nearly
  // every desktop) and shared memory is available; else none, and nothing
  // read. The caller holds the display lock.
  std::optional<Pixels> readInPlace(Display* d, const Source& source, const PixelBox& box) {
    const int width = box.x1 - box.x0;
    const int height = box.y1 - box.y0;
    XErrorTrap trap(d);
    SharedImage image = shm_.image(d, source.visual, source.depth, width, height);
    if (!image || !opaqueServerOrder(layoutOf(*image, *source.visual, source.depth), width)) return std::nullopt;
    if (!XShmGetImage(d, source.drawable, image.get(), box.x0, box.y0, AllPlanes) || trap.sync() != 0) {
      shm_.markBroken();
      return std::nullopt;
    }
    Pixels out;
    out.width = width;
    out.height = height;
    out.serverOrder = true;
    out.bytes = shm_.take();
    if (!out.bytes) return std::nullopt;
    return out;
  }

  // The caller holds the display lock and an error trap.
  Placement place(Display* d, std::uint32_t windowID) {
    auto w = describeWindow(d, windowID);
    if (!w) throw PlatformError("window no longer exists");
    if (!w->viewable) throw PlatformError("window is not on screen");
    Placement placement;
    placement.topLevel = w->topLevel;
    XWindowAttributes& attributes = placement.attributes;
    if (!XGetWindowAttributes(d, w->topLevel, &attributes)) throw PlatformError("window no longer exists");
    if (!attributes.visual || (attributes.visual->c_class != TrueColor && attributes.visual->c_class != DirectColor)) {
      throw PlatformError("window visual is not true colour");
    }
    Window child = 0;
    if (!XTranslateCoordinates(d, w->topLevel, DefaultRootWindow(d), 0, 0, &placement.topX, &placement.topY, &child)) {
      throw PlatformError("window no longer exists");
    }
    placement.width = static_cast<int>(std::lround(width(w->frame)));
    placement.height = static_cast<int>(std::lround(height(w->frame)));
    if (placement.width < 1 || placement.height < 1) throw PlatformError("window has no area");
    if (static_cast<long long>(placement.width) * placement.height > kLargestWindowArea) {
      throw PlatformError("window too large");
    }
    placement.frameX = static_cast<int>(std::lround(minX(w->frame)));
    placement.frameY = static_cast<int>(std::lround(minY(w->frame)));
    return placement;
  }

  // The window's own off-screen pixmap when it is redirected, else the
  // root window (what the screen shows there).
  Source chooseSource(Display* d, const Placement& placement, XErrorTrap& trap) {
    const XWindowAttributes& attributes = placement.attributes;
    if (redirected_.contains(placement.topLevel)) {
      trap.clear();
      const Pixmap pixmap = XCompositeNameWindowPixmap(d, placement.topLevel);
      // A pixmap the server refused is not ours to free.
      if (trap.sync() == 0 && pixmap != None) {
        // The pixmap covers the top-level including its border.
        Source source;
        source.drawable = pixmap;
        source.pixmap = PixmapHandle(d, pixmap);
        source.originX = placement.frameX - placement.topX + attributes.border_width;
        source.originY = placement.frameY - placement.topY + attributes.border_width;
        source.width = attributes.width + 2 * attributes.border_width;
        source.height = attributes.height + 2 * attributes.border_width;
        source.visual = attributes.visual;
        source.depth = attributes.depth;
        return source;
      }
    }
    return rootSource(d, placement);
  }

  // The root's visual and depth come with the connection: nothing to ask.
  Source rootSource(Display* d, const Placement& placement) {
    Source source;
    source.drawable = DefaultRootWindow(d);
    source.originX = placement.frameX;
    source.originY = placement.frameY;
    source.width = DisplayWidth(d, DefaultScreen(d));
    source.height = DisplayHeight(d, DefaultScreen(d));
    source.visual = DefaultVisual(d, DefaultScreen(d));
    source.depth = DefaultDepth(d, DefaultScreen(d));
    return source;
  }

  std::function<Display*()> display_;
  std::function<bool()> available_;
  Clock& clock_;

 public:
  std::function<PermissionState()> state_;  // why not available; set by the native wiring
  std::optional<bool> composite_;
  std::optional<bool> damage_;
  int damageEventBase_ = 0;
  std::set<Window> redirected_;  // top-levels redirected by this connection
  ShmSegment shm_;
};

}  // namespace

std::vector<std::uint8_t> pictureRgba(const CapturedImage& image) {
  if (!image.native) return image.rgba;
  const auto& pixels = *static_cast<const Pixels*>(image.native.get());
  if (!wholePixels(pixels) || image.width <= 0 || image.height <= 0) return {};
  auto rgba = scaleRgba(pixels.bytes.get(), pixels.width, pixels.height, image.width, image.height, orderOf(pixels));
  if (pixels.serverOrder) {
    for (std::size_t i = 0; i < rgba.size(); i += 4) std::swap(rgba[i], rgba[i + 2]);
  }
  return rgba;
}

std::optional<PixelBox> readableBox(int originX, int originY, int width, int height, int sourceWidth,
                                    int sourceHeight) {
  PixelBox box{std::max(originX, 0), std::max(originY, 0), std::min(originX + width, sourceWidth),
               std::min(originY + height, sourceHeight)};
  if (box.x1 <= box.x0 || box.y1 <= box.y0) return std::nullopt;
  return box;
}

std::unique_ptr<ScreenCapture> makeX11ScreenCapture(std::function<Display*()> display, std::function<bool()> available,
                                                    Clock& clock) {
  return std::make_unique<X11ScreenCapture>(std::move(display), std::move(available), clock);
}

std::unique_ptr<ScreenCapture> makeScreenCapture(LinuxContext& context, Clock& clock) {
  auto capture = std::make_unique<X11ScreenCapture>([&context] { return context.display(); },
                                                    [&context] { return screenCaptureAvailable(context); }, clock);
  capture->state_ = [&context] { return screenCaptureState(context); };
  return capture;
}

}  // namespace larkspire::linux_backend
