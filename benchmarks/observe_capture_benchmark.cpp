// Window listing, capture, scaling and PNG encoding on a real X server.
//
// Needs a display: it opens a 1600x1000 window of its own (or measures the
// window whose id is in LARKSPIRE_BENCH_WINDOW) and captures it the way
// "observe" does: list, capture at the picture size, scale, encode.
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

constexpr int kWindowWidth = 1600;
constexpr int kWindowHeight = 1000;

// A window that looks roughly like an application: panels, buttons and many
// lines of text, so that the PNG encoder sees realistic content.
struct TestWindow {
  Display* display = nullptr;
  Window window = 0;

  TestWindow() {
    display = XOpenDisplay(nullptr);
    if (!display) return;
    if (const char* id = std::getenv("LARKSPIRE_BENCH_WINDOW")) {
      window = static_cast<Window>(std::strtoul(id, nullptr, 0));
      return;
    }
    const int screen = DefaultScreen(display);
    window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, kWindowWidth, kWindowHeight, 0,
                                 BlackPixel(display, screen), 0xf6f5f4);
    XStoreName(display, window, "capture benchmark");
    XSelectInput(display, window, ExposureMask | StructureNotifyMask);
    XMapWindow(display, window);
    XEvent event;
    do XNextEvent(display, &event);
    while (event.type != Expose);
    paint();
  }

  void paint() {
    GC gc = XCreateGC(display, window, 0, nullptr);
    std::mt19937 random(7);
    XSetForeground(display, gc, 0xdeddda);
    XFillRectangle(display, window, gc, 0, 0, kWindowWidth, 48);
    XFillRectangle(display, window, gc, 0, 48, 260, kWindowHeight - 48);
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

  ~TestWindow() {
    if (display) XCloseDisplay(display);
  }
};

TestWindow& testWindow() {
  static TestWindow w;
  return w;
}

std::unique_ptr<ScreenCapture> makeCapture() {
  Display* d = testWindow().display;
  static larkspire::linux_backend::SteadyClock clock;
  return larkspire::linux_backend::makeX11ScreenCapture([d] { return d; }, [d] { return d != nullptr; }, clock);
}

ShareableWindow findWindow(ScreenCapture& capture, benchmark::State& state) {
  for (auto& w : capture.shareableContent(false, false)) {
    if (w.windowID == testWindow().window) return w;
  }
  state.SkipWithError("benchmark window not listed");
  return {};
}

bool needsDisplay(benchmark::State& state) {
  if (testWindow().display && testWindow().window) return true;
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
  auto capture = makeCapture();
  for (auto _ : state) benchmark::DoNotOptimize(capture->shareableContent(false, false));
}
BENCHMARK(BM_ListWindows)->Unit(benchmark::kMillisecond);

void BM_CaptureWindow(benchmark::State& state) {
  if (!needsDisplay(state)) return;
  auto capture = makeCapture();
  const ShareableWindow w = findWindow(*capture, state);
  const CaptureConfiguration size = pictureSize(w);
  capture->captureWindow(w, size);  // the redirection settles once
  for (auto _ : state) benchmark::DoNotOptimize(capture->captureWindow(w, size));
  state.counters["width"] = size.width;
  state.counters["height"] = size.height;
}
BENCHMARK(BM_CaptureWindow)->Unit(benchmark::kMillisecond);

std::vector<std::uint8_t> capturedPixels(int& width, int& height) {
  auto capture = makeCapture();
  ShareableWindow target;
  for (auto& w : capture->shareableContent(false, false)) {
    if (w.windowID == testWindow().window) target = w;
  }
  CaptureConfiguration size = pictureSize(target);
  CapturedImage image = capture->captureWindow(target, size);
  width = image.width;
  height = image.height;
  return image.rgba;
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
BENCHMARK(BM_ScaleToPicture)
    ->Args({2560, 1600})
    ->Args({800, 500})
    ->Args({1366, 741})
    ->Unit(benchmark::kMillisecond);

void BM_EncodePng(benchmark::State& state) {
  if (!needsDisplay(state)) return;
  int width = 0;
  int height = 0;
  const std::vector<std::uint8_t> pixels = capturedPixels(width, height);
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
BENCHMARK(BM_EncodePng)->Unit(benchmark::kMillisecond);

void BM_CaptureScaleEncode(benchmark::State& state) {
  // The picture half of "observe": list, capture at the picture size, encode.
  if (!needsDisplay(state)) return;
  auto capture = makeCapture();
  const ShareableWindow w = findWindow(*capture, state);
  const CaptureConfiguration size = pictureSize(w);
  capture->captureWindow(w, size);
  for (auto _ : state) {
    auto windows = capture->shareableContent(false, false);
    auto image = capture->captureWindow(w, size);
    benchmark::DoNotOptimize(capture->pngData(image));
  }
}
BENCHMARK(BM_CaptureScaleEncode)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
