// Drives the X11 capture and session services for the desktop tests.
//
//   capture_probe list
//       one JSON object per shareable window: windowID, pid, layer, frame, title
//   capture_probe capture WINDOW_ID WIDTH HEIGHT OUT.png [--no-list]
//       lists the windows (as "observe" does before its capture), captures
//       the window at WIDTH x HEIGHT and writes the PNG; prints {"width",
//       "height", "bytes"}. --no-list captures without listing first.
//   capture_probe session
//       the session dictionary: {"locked": bool}
//
// Failures print {"error": "..."} and exit with status 1.
#include <X11/Xlib.h>
#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/linux/linux_platform.h"
#include "platform/linux/linux_run_loop.h"
#include "platform/linux/x11/capture.h"
#include "platform/linux/x11/session.h"

using larkspire::platform::CaptureConfiguration;
using larkspire::platform::ShareableWindow;
using nlohmann::json;

namespace {

int fail(const std::string& message) {
  std::cout << json{{"error", message}}.dump() << std::endl;
  return 1;
}

json frameJson(const larkspire::platform::Rect& r) {
  return {{"x", r.origin.x}, {"y", r.origin.y}, {"width", r.size.width}, {"height", r.size.height}};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return fail("usage: capture_probe list|capture|session ...");
  const std::string command = argv[1];

  // The shared context's connections when it has them, else our own.
  larkspire::linux_backend::LinuxContext context;
  Display* own = nullptr;
  auto display = [&]() -> Display* {
    if (Display* d = context.display()) return d;
    if (!own) own = XOpenDisplay(nullptr);
    return own;
  };
  GDBusConnection* ownBus = nullptr;
  auto bus = [&]() -> GDBusConnection* {
    if (GDBusConnection* b = context.sessionBus()) return b;
    if (!ownBus) ownBus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    return ownBus;
  };

  larkspire::linux_backend::SteadyClock clock;
  auto capture = larkspire::linux_backend::makeX11ScreenCapture(
      display, [&] { return display() != nullptr; }, clock);
  try {
    if (command == "list") {
      for (const ShareableWindow& w : capture->shareableContent(false, false)) {
        json entry = {{"windowID", w.windowID}, {"layer", w.layer}, {"frame", frameJson(w.frame)}};
        entry["pid"] = w.owningProcess ? json(*w.owningProcess) : json(nullptr);
        entry["title"] = w.title ? json(*w.title) : json(nullptr);
        std::cout << entry.dump() << "\n";
      }
      return 0;
    }
    if (command == "capture" && argc >= 6) {
      ShareableWindow window;
      window.windowID = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0));
      if (!(argc > 6 && std::string(argv[6]) == "--no-list")) capture->shareableContent(false, false);
      CaptureConfiguration configuration;
      configuration.width = std::atoi(argv[3]);
      configuration.height = std::atoi(argv[4]);
      auto image = capture->captureWindow(window, configuration);
      auto png = capture->pngData(image);
      if (!png) return fail("no PNG data");
      std::ofstream out(argv[5], std::ios::binary);
      out.write(reinterpret_cast<const char*>(png->data()), static_cast<std::streamsize>(png->size()));
      if (!out) return fail("cannot write the PNG file");
      std::cout << json{{"width", image.width}, {"height", image.height}, {"bytes", png->size()}}.dump() << std::endl;
      return 0;
    }
    if (command == "session") {
      auto session = larkspire::linux_backend::makeScreenSaverSession(bus);
      auto dictionary = session->currentDictionary();
      if (!dictionary) return fail("no session dictionary");
      const bool* locked = std::get_if<bool>(&dictionary->at("CGSSessionScreenIsLocked"));
      if (!locked) return fail("lock state is not a boolean");
      std::cout << json{{"locked", *locked}}.dump() << std::endl;
      return 0;
    }
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  return fail("unknown command");
}
