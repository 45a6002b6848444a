// Window listing, capture, scaling and PNG encoding on a real X server.
//
// Needs a display: it opens two windows of its own (or measures the window
// whose id is in LARKSPIRE_BENCH_WINDOW) and captures them the way
// "observe" does: list, capture at the picture size, scale, encode. Each
// benchmark taking a window runs for both (argument 0 and 1):
//   0: 1600 x 1000 at the screen's corner, whose frame hangs off the
//      screen, so it is read from its own redirected picture;
//   1: 1366 x 741 (gtk3-widget-factory's size) above it and wholly on
//      screen, so it is read from the screen; with the window manager's
//      decoration its picture is 1600 x 895, scaled up.
// LARKSPIRE_BENCH_WINDOW=$(xdotool search --class gtk3-widget-factory)
// measures the widget factory itself (1600 x 867) under both arguments.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/png.h"
#include "computer/windows/observation.h"
#include "platform/linux/linux_run_loop.h"
#include "platform/linux/picture/image_scale.h"
#include "platform/linux/x11/capture.h"

namespace {

using larkspire::platform::CaptureConfiguration;
using larkspire::platform::CapturedImage;
using larkspire::platform::ScreenCapture;
using larkspire::platform::ShareableWindow;

struct WindowKind {
  int width;
  int height;
  int x;
  int y;
};
constexpr WindowKind kKinds[] = {{1600, 1000, 0, 0}, {1366, 741, 60, 80}};

// A window that looks roughly like an application: panels, buttons and many
// lines of text, so that the PNG encoder sees realistic content.
struct TestWindow {
  Display* display = nullptr;
  Window window = 0;
  int width = 0;
  int height = 0;

  TestWindow(Display* d, const WindowKind& kind) : display(d), width(kind.width), height(kind.height) {
    if (!display) return;
    if (const char* id = std::getenv("LARKSPIRE_BENCH_WINDOW")) {
      window = static_cast<Window>(std::strtoul(id, nullptr, 0));
      return;
    }
    const int screen = DefaultScreen(display);
    window = XCreateSimpleWindow(display, DefaultRootWindow(display), kind.x, kind.y, static_cast<unsigned>(width),
                                 static_cast<unsigned>(height), 0, BlackPixel(display, screen), 0xf6f5f4);
    XStoreName(display, window, "capture benchmark");
    // Placed where asked, not where the window manager would choose.
    XSizeHints hints{};
    hints.flags = USPosition;
    hints.x = kind.x;
    hints.y = kind.y;
    XSetWMNormalHints(display, window, &hints);
    XSelectInput(display, window, ExposureMask | StructureNotifyMask);
    XMapWindow(display, window);
    XEvent event;
    do XWindowEvent(display, window, ExposureMask, &event);
    while (event.type != Expose);
    paint();
  }

  void paint() {
    GC gc = XCreateGC(display, window, 0, nullptr);
    std::mt19937 random(7);
    XSetForeground(display, gc, 0xdeddda);
    XFillRectangle(display, window, gc, 0, 0, static_cast<unsigned>(width), 48);
    XFillRectangle(display, window, gc, 0, 48, 260, static_cast<unsigned>(height - 48));
    for (int i = 0; i < 12; ++i) {
      XSetForeground(display, gc, 0x3584e4 + static_cast<unsigned>(i) * 0x0a0a00);
      XFillRectangle(display, window, gc, 12 + i * 110, 8, 96, 32);
    }
    XSetForeground(display, gc, 0x241f31);
    for (int line = 0; line < 60; ++line) {
      std::string text;
      const int words = 4 + static_cast<int>(random() % 14);
      for (int w = 0; w < words; ++w) {
        const int letters = 2 + static_cast<int>(random() % 8);
        for (int l = 0; l < letters; ++l) text.push_back(static_cast<char>('a' + random() % 26));
        text.push_back(' ');
      }
      XDrawString(display, window, gc, 280, 70 + line * 15, text.data(), static_cast<int>(text.size()));
      XDrawString(display, window, gc, 16, 70 + line * 15, text.data(),
                  std::min<int>(24, static_cast<int>(text.size())));
    }
    XFreeGC(display, gc);
    XSync(display, False);
  }
};

// Both windows, the second above the first, opened once.
struct TestWindows {
  Display* display = XOpenDisplay(nullptr);
  std::vector<std::unique_ptr<TestWindow>> windows;

  TestWindows() {
    for (const WindowKind& kind : kKinds) windows.push_back(std::make_unique<TestWindow>(display, kind));
    if (display) XSync(display, False);
  }
  ~TestWindows() {
    if (display) XCloseDisplay(display);
  }
};

TestWindow& testWindow(benchmark::State& state) {
  static TestWindows all;
  return *all.windows[static_cast<std::size_t>(state.range(0))];
}

std::unique_ptr<ScreenCapture> makeCapture(benchmark::State& state) {
  Display* d = testWindow(state).display;
  static larkspire::linux_backend::SteadyClock clock;
  return larkspire::linux_backend::makeX11ScreenCapture([d] { return d; }, [d] { return d != nullptr; }, clock);
}

ShareableWindow findWindow(ScreenCapture& capture, benchmark::State& state) {
  for (auto& w : capture.shareableContent(false, false)) {
    if (w.windowID == testWindow(state).window) return w;
  }
  state.SkipWithError("benchmark window not listed");
  return {};
}

bool needsDisplay(benchmark::State& state) {
  if (testWindow(state).display && testWindow(state).window) return true;
  state.SkipWithError("no X display");
  return false;
}

// The picture size "observe" asks for.
CaptureConfiguration pictureSize(const ShareableWindow& w) {
  const auto size = larkspire::computer::captureSize(w.frame.size.width, w.frame.size.height);
  CaptureConfiguration c;
  c.width = size.width;
  c.height = size.height;
  return c;
}

void BM_ListWindows(benchmark::State& state) {
  if (!needsDisplay(state)) return;
  auto capture = makeCapture(state);
  for (auto _ : state) benchmark::DoNotOptimize(capture->shareableContent(false, false));
}
BENCHMARK(BM_ListWindows)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_CaptureWindow(benchmark::State& state) {
  if (!needsDisplay(state)) return;
  auto capture = makeCapture(state);
  const ShareableWindow w = findWindow(*capture, state);
  const CaptureConfiguration size = pictureSize(w);
  capture->captureWindow(w, size);  // a redirection settles once
  for (auto _ : state) benchmark::DoNotOptimize(capture->captureWindow(w, size));
  state.counters["width"] = size.width;
  state.counters["height"] = size.height;
}
BENCHMARK(BM_CaptureWindow)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The first capture of a window in a fresh connection, as one observe
// makes it: a covered or partly hidden window is redirected and waited for.
void BM_FirstCapture(benchmark::State& state) {
  if (!needsDisplay(state)) return;
  static larkspire::linux_backend::SteadyClock clock;
  const Window target = testWindow(state).window;
  for (auto _ : state) {
    // A redirection lasts as long as the connection that made it: each
    // round opens one of its own, as each observe does.
    state.PauseTiming();
    Display* d = XOpenDisplay(nullptr);
    state.ResumeTiming();
    {
      auto capture =
          larkspire::linux_backend::makeX11ScreenCapture([d] { return d; }, [d] { return d != nullptr; }, clock);
      for (auto& w : capture->shareableContent(false, false)) {
        if (w.windowID == target) benchmark::DoNotOptimize(capture->captureWindow(w, pictureSize(w)));
      }
    }
    state.PauseTiming();
    XCloseDisplay(d);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FirstCapture)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

std::vector<std::uint8_t> capturedPixels(benchmark::State& state, int& width, int& height) {
  auto capture = makeCapture(state);
  ShareableWindow target;
  for (auto& w : capture->shareableContent(false, false)) {
    if (w.windowID == testWindow(state).window) target = w;
  }
  CaptureConfiguration size = pictureSize(target);
  CapturedImage image = capture->captureWindow(target, size);
  width = image.width;
  height = image.height;
  return larkspire::linux_backend::pictureRgba(image);
}

// Scales random pixels of a window of (w, h) to its picture size.
void BM_ScaleToPicture(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const auto picture = larkspire::computer::captureSize(width, height);
  std::vector<std::uint8_t> src(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4u);
  std::mt19937 random(3);
  for (auto& b : src) b = static_cast<std::uint8_t>(random());
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        larkspire::linux_backend::scaleRgba(src.data(), width, height, picture.width, picture.height));
  }
  state.counters["width"] = picture.width;
  state.counters["height"] = picture.height;
}
// A big window brought down, as observe does; a small one doubled; the
// widget factory's window (1366 x 741) brought up to 1600 x 867.
BENCHMARK(BM_ScaleToPicture)->Args({2560, 1600})->Args({800, 500})->Args({1366, 741})->Unit(benchmark::kMillisecond);

void BM_EncodePng(benchmark::State& state) {
  if (!needsDisplay(state)) return;
  int width = 0;
  int height = 0;
  const std::vector<std::uint8_t> pixels = capturedPixels(state, width, height);
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto png = larkspire::png::encodePng(pixels.data(), width, height, 1);
    bytes = png ? png->size() : 0;
    benchmark::DoNotOptimize(png);
  }
  state.counters["width"] = width;
  state.counters["height"] = height;
  state.counters["pngBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodePng)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_CaptureScaleEncode(benchmark::State& state) {
  // The picture half of "observe": list, capture at the picture size, encode.
  if (!needsDisplay(state)) return;
  auto capture = makeCapture(state);
  const ShareableWindow w = findWindow(*capture, state);
  const CaptureConfiguration size = pictureSize(w);
  capture->captureWindow(w, size);
  for (auto _ : state) {
    auto windows = capture->shareableContent(false, false);
    auto image = capture->captureWindow(w, size);
    benchmark::DoNotOptimize(capture->pngData(image));
  }
}
BENCHMARK(BM_CaptureScaleEncode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
