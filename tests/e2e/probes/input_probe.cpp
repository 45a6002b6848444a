// Drives the X backend's events, monitors and run loop for the desktop tests.
//
//   input_probe type TEXT            types TEXT one character per event
//   input_probe type-piece TEXT      types TEXT as one event
//   input_probe key CODE [FLAGS]     one key stroke (macOS key code, event flags)
//   input_probe click X Y            left click at a screen point
//   input_probe scroll PIXELS X Y    scroll at a point (positive up)
//   input_probe pointer              prints the pointer position and buttons
//   input_probe monitor SECONDS      prints every monitor event as a JSON line
//   input_probe idle SECONDS         runs a 0.3 s timer and the monitors
//
// Exit status 3 when the display cannot give the events or monitors.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "common/text.h"
#include "platform/linux/linux_platform.h"

using namespace larkspire;
using platform::KeyboardEvent;

namespace {

void printLine(const nlohmann::json& line) {
  std::string text = line.dump() + "\n";
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

bool postPiece(platform::Events& events, const std::u16string& piece) {
  auto down = events.createKeyboardEvent(0, true);
  auto up = events.createKeyboardEvent(0, false);
  if (!down || !up) return false;
  down->unicodeString = piece;
  up->unicodeString = piece;
  events.post(*down);
  events.post(*up);
  return true;
}

int typeText(platform::Events& events, platform::Clock& clock, std::string_view text, bool onePiece) {
  if (onePiece) return postPiece(events, text::toUtf16(text)) ? 0 : 3;
  for (auto character : text::graphemes(text)) {
    if (!postPiece(events, text::toUtf16(character))) return 3;
    clock.sleep(0.01);
  }
  return 0;
}

int key(platform::Events& events, std::uint16_t code, platform::EventFlags flags) {
  auto down = events.createKeyboardEvent(code, true);
  auto up = events.createKeyboardEvent(code, false);
  if (!down || !up) return 3;
  down->flags = flags;
  up->flags = flags;
  events.post(*down);
  events.post(*up);
  return 0;
}

int click(platform::Events& events, platform::Point point) {
  auto down = events.createMouseEvent(platform::MouseEventType::leftMouseDown, point);
  auto up = events.createMouseEvent(platform::MouseEventType::leftMouseUp, point);
  if (!down || !up) return 3;
  events.post(*down);
  events.post(*up);
  return 0;
}

int scroll(platform::Events& events, std::int32_t pixels, platform::Point point) {
  auto event = events.createScrollWheelEvent(pixels);
  if (!event) return 3;
  event->location = point;
  events.post(*event);
  return 0;
}

const char* kindName(platform::MonitorKind kind) {
  switch (kind) {
    case platform::MonitorKind::leftMouseDown:
      return "leftMouseDown";
    case platform::MonitorKind::leftMouseUp:
      return "leftMouseUp";
    case platform::MonitorKind::keyDown:
      return "keyDown";
  }
  return "?";
}

int monitor(platform::Platform& p, double seconds, bool idle) {
  std::vector<std::unique_ptr<platform::MonitorHandle>> handles;
  for (auto kind :
       {platform::MonitorKind::leftMouseDown, platform::MonitorKind::leftMouseUp, platform::MonitorKind::keyDown}) {
    auto handle = p.monitors.addGlobalMonitor(kind, [&p, kind, idle](const platform::MonitorEvent& event) {
      if (idle) return;
      platform::Point at = p.monitors.mouseLocation();
      printLine({{"event", kindName(kind)},
                 {"clickCount", event.clickCount},
                 {"flags", event.modifierFlags},
                 {"x", at.x},
                 {"y", at.y},
                 {"buttons", p.monitors.pressedMouseButtons()}});
    });
    if (!handle) return 3;
    handles.push_back(std::move(handle));
  }
  int ticks = 0;
  auto timer = p.runLoop.scheduleRepeating(0.3, [&ticks] { ++ticks; });
  auto end = p.runLoop.scheduleAfter(seconds, [&p] { p.runLoop.stop(); });
  printLine({{"ready", true}, {"pid", getpid()}});
  p.runLoop.run();
  printLine({{"ticks", ticks}});
  return 0;
}

double number(const char* text) { return std::strtod(text, nullptr); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: input_probe type|type-piece|key|click|scroll|pointer|monitor|idle ...\n", stderr);
    return 2;
  }
  auto native = platform::makeNativePlatform();
  platform::Platform& p = native->platform();
  std::string_view command = argv[1];
  if ((command == "type" || command == "type-piece") && argc == 3) {
    return typeText(p.events, p.clock, argv[2], command == "type-piece");
  }
  if (command == "key" && (argc == 3 || argc == 4)) {
    auto flags = argc == 4 ? std::strtoull(argv[3], nullptr, 0) : 0;
    return key(p.events, static_cast<std::uint16_t>(std::strtoul(argv[2], nullptr, 0)), flags);
  }
  if (command == "click" && argc == 4) return click(p.events, {number(argv[2]), number(argv[3])});
  if (command == "scroll" && argc == 5) {
    return scroll(p.events, static_cast<std::int32_t>(std::strtol(argv[2], nullptr, 10)),
                  {number(argv[3]), number(argv[4])});
  }
  if (command == "pointer" && argc == 2) {
    platform::Point at = p.monitors.mouseLocation();
    printLine({{"x", at.x}, {"y", at.y}, {"buttons", p.monitors.pressedMouseButtons()}});
    return 0;
  }
  if ((command == "monitor" || command == "idle") && argc == 3) return monitor(p, number(argv[2]), command == "idle");
  std::fputs("input_probe: bad arguments\n", stderr);
  return 2;
}
