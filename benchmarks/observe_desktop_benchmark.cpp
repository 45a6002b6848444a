// "observe" of a real application's window on a running desktop, whole and
// split into its stages: the accessibility tree walk, the window capture at
// the window's own size, the scaling to the picture size and the PNG
// encoding. Times are wall-clock: the tree walk mostly waits on D-Bus.
//
// Needs a desktop with the accessibility bus and a running application:
//   LARKSPIRE_BENCH_APP   the application identifier to observe
//                         (default org.example.Fixture)
// benchmarks/observe_desktop starts the fixture application with a few
// hundred elements in a headless desktop and runs this program.
//
// With --nodes it times nothing: it walks the window's tree once and prints
// one JSON line with the nodes walked, the records made (or the refusal's
// code) and the walk's wall time, so that a caller can put its own timings
// beside the size of the tree they were taken on.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "common/json.h"
#include "common/png.h"
#include "computer/accessibility/inspection.h"
#include "computer/apps/launch.h"
#include "computer/failure.h"
#include "computer/windows/observation.h"
#include "computer/windows/window_resolution.h"
#include "platform/platform.h"

namespace {

using namespace larkspire;

std::string appId() {
  const char* id = std::getenv("LARKSPIRE_BENCH_APP");
  return id && *id ? id : "org.example.Fixture";
}

platform::Platform& desktop() {
  static std::unique_ptr<platform::NativePlatform> native = [] {
    auto made = platform::makeNativePlatform();
    // Both answers are needed before anything can be observed.
    made->platform().accessibility.isProcessTrustedWithOptions(true);
    made->platform().screenCapture.requestScreenCaptureAccess();
    return made;
  }();
  return native->platform();
}

// Runs body, turning the program's own failures into a skipped benchmark.
template <typename Body>
bool attempt(benchmark::State& state, Body&& body) {
  try {
    body();
    return true;
  } catch (const computer::NativeFailure& failure) {
    state.SkipWithError(("observe failed: " + failure.code).c_str());
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
  }
  return false;
}

// Forwards to another accessibility service, counting the nodes a walk
// visits: the walk asks each node it visits, once, how many children it has.
class CountingAccessibility final : public platform::Accessibility {
 public:
  explicit CountingAccessibility(platform::Accessibility& inner) : inner_(inner) {}
  std::size_t nodes = 0;

  bool isProcessTrusted() override { return inner_.isProcessTrusted(); }
  bool isProcessTrustedWithOptions(bool prompt) override { return inner_.isProcessTrustedWithOptions(prompt); }
  platform::PermissionState trustState() override { return inner_.trustState(); }
  platform::Element createApplication(platform::Pid pid) override { return inner_.createApplication(pid); }
  platform::CopyResult copyAttributeValue(const platform::Element& element, std::string_view attribute) override {
    return inner_.copyAttributeValue(element, attribute);
  }
  platform::CopyResult copyParameterizedAttributeValue(const platform::Element& element, std::string_view attribute,
                                                       const platform::Value& parameter) override {
    return inner_.copyParameterizedAttributeValue(element, attribute, parameter);
  }
  platform::AXError setAttributeValue(const platform::Element& element, std::string_view attribute,
                                      const platform::Value& value) override {
    return inner_.setAttributeValue(element, attribute, value);
  }
  platform::CountResult getAttributeValueCount(const platform::Element& element, std::string_view attribute) override {
    if (attribute == "AXChildren") ++nodes;
    return inner_.getAttributeValueCount(element, attribute);
  }
  platform::NamesResult copyActionNames(const platform::Element& element) override {
    return inner_.copyActionNames(element);
  }
  platform::SettableResult isAttributeSettable(const platform::Element& element, std::string_view attribute) override {
    return inner_.isAttributeSettable(element, attribute);
  }
  platform::AXError performAction(const platform::Element& element, std::string_view action) override {
    return inner_.performAction(element, action);
  }
  platform::NamesResult copyAttributeNames(const platform::Element& element) override {
    return inner_.copyAttributeNames(element);
  }
  platform::NamesResult copyParameterizedAttributeNames(const platform::Element& element) override {
    return inner_.copyParameterizedAttributeNames(element);
  }

 private:
  platform::Accessibility& inner_;
};

struct Target {
  platform::Application app;
  computer::ResolvedWindow window;
};

std::optional<Target> resolve(benchmark::State& state) {
  std::optional<Target> target;
  attempt(state, [&] {
    auto app = computer::targetApp(desktop(), appId());
    auto window = computer::window(desktop(), app, std::nullopt);
    target = Target{std::move(app), std::move(window)};
  });
  return target;
}

void BM_Observe(benchmark::State& state) {
  const json::Json request = {{"operation", "observe"}, {"appId", appId()}};
  std::size_t elements = 0;
  std::size_t pngBytes = 0;
  for (auto _ : state) {
    if (!attempt(state, [&] {
          auto observation = computer::observe(desktop(), request);
          elements = observation.payload["elements"].size();
          pngBytes = observation.payload["image"]["data"].get_ref<const std::string&>().size() * 3 / 4;
          state.counters["width"] = observation.payload["image"]["width"].get<double>();
          state.counters["height"] = observation.payload["image"]["height"].get<double>();
        }))
      return;
  }
  state.counters["elements"] = static_cast<double>(elements);
  state.counters["png_bytes"] = static_cast<double>(pngBytes);
}
BENCHMARK(BM_Observe)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_ResolveWindow(benchmark::State& state) {
  for (auto _ : state) {
    if (!resolve(state)) return;
  }
}
BENCHMARK(BM_ResolveWindow)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TreeWalk(benchmark::State& state) {
  auto target = resolve(state);
  if (!target) return;
  std::size_t elements = 0;
  for (auto _ : state) {
    // The window resolved anew, untimed, as each observe resolves it: the
    // same handle walked again within a second would be answered from what
    // the last walk read.
    state.PauseTiming();
    target = resolve(state);
    state.ResumeTiming();
    if (!target) return;
    if (!attempt(state, [&] {
          elements =
              computer::inspect(desktop().accessibility, target->window.accessibility, target->window.capture.frame)
                  .nodes.size();
        }))
      return;
  }
  state.counters["elements"] = static_cast<double>(elements);
  CountingAccessibility counting(desktop().accessibility);
  attempt(state, [&] { computer::inspect(counting, target->window.accessibility, target->window.capture.frame); });
  state.counters["nodes"] = static_cast<double>(counting.nodes);
}
BENCHMARK(BM_TreeWalk)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The window's pixels at one pixel per point: what the server holds.
platform::CapturedImage nativeCapture(const platform::ShareableWindow& window) {
  platform::CaptureConfiguration size;
  size.width = static_cast<int>(window.frame.size.width);
  size.height = static_cast<int>(window.frame.size.height);
  return desktop().screenCapture.captureWindow(window, size);
}

void BM_Capture(benchmark::State& state) {
  auto target = resolve(state);
  if (!target) return;
  for (auto _ : state) {
    if (!attempt(state, [&] { benchmark::DoNotOptimize(nativeCapture(target->window.capture)); })) return;
  }
}
BENCHMARK(BM_Capture)->Unit(benchmark::kMillisecond)->UseRealTime();

// The window captured at the picture size "observe" asks for.
std::optional<platform::CapturedImage> pictureCapture(benchmark::State& state) {
  auto target = resolve(state);
  if (!target) return std::nullopt;
  const auto& frame = target->window.capture.frame;
  const auto size = computer::captureSize(frame.size.width, frame.size.height);
  platform::CaptureConfiguration configuration;
  configuration.width = size.width;
  configuration.height = size.height;
  platform::CapturedImage image;
  if (!attempt(state, [&] { image = desktop().screenCapture.captureWindow(target->window.capture, configuration); }))
    return std::nullopt;
  return image;
}

// Scaling to the picture size and the PNG, made together a band of rows at
// a time, as "observe" makes them.
void BM_ScaleAndEncodePng(benchmark::State& state) {
  auto image = pictureCapture(state);
  if (!image) return;
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto png = desktop().screenCapture.pngData(*image);
    bytes = png ? png->size() : 0;
  }
  state.counters["width"] = image->width;
  state.counters["height"] = image->height;
  state.counters["png_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ScaleAndEncodePng)->Unit(benchmark::kMillisecond)->UseRealTime();

// One walk of the window's tree, counted: {"nodes", "records"|"refused", "ms"}.
int printNodes() {
  try {
    auto app = computer::targetApp(desktop(), appId());
    auto window = computer::window(desktop(), app, std::nullopt);
    CountingAccessibility counting(desktop().accessibility);
    json::Json out;
    const auto start = std::chrono::steady_clock::now();
    try {
      out["records"] = computer::inspect(counting, window.accessibility, window.capture.frame).nodes.size();
    } catch (const computer::NativeFailure& failure) {
      out["refused"] = failure.code;
    }
    out["ms"] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    out["nodes"] = counting.nodes;
    std::printf("%s\n", out.dump().c_str());
    return 0;
  } catch (const computer::NativeFailure& failure) {
    std::fprintf(stderr, "observe failed: %s\n", failure.code.c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--nodes") == 0) return printNodes();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
