#include "selection-observer/diagnostic_modes.h"

#include <gtest/gtest.h>

#include "platform/simulated/desktop.h"

namespace larkspire::observer {
namespace {

using platform::AXValue;
using platform::CharacterRange;
using simulated::AttributeAnswer;

TEST(DiagnosticModes, DumpOfAnApplicationWithoutWindowsPrintsOneLine) {
  simulated::Desktop desktop;
  desktop.addApp({.bundleIdentifier = "org.example.Empty", .name = "Empty", .pid = 31}).element().role("AXApplication");
  CapturedOutput output;
  dumpTree(desktop.platform(), output, 31);
  EXPECT_EQ(output.out, "pid 31: 既无 AXFocusedWindow 也无 AXWindows（app 元素 role=AXApplication）\n");
  output.out.clear();
  dumpTree(desktop.platform(), output, 999);
  EXPECT_EQ(output.out, "pid 999: 既无 AXFocusedWindow 也无 AXWindows（app 元素 role=nil）\n");
}

TEST(DiagnosticModes, DumpPrintsTheTreeWithSelectionStates) {
  simulated::Desktop desktop;
  auto& app = desktop.addApp({.bundleIdentifier = "org.example.Editor", .name = "Editor", .pid = 10});
  auto& one = app.addWindow({.title = "One", .frame = {{0, 0}, {100, 100}}});
  app.addWindow({.title = "Two", .frame = {{200, 0}, {100, 100}}});
  one.element().role("AXWindow");
  auto& area = one.element().add("AXTextArea");
  area.set("AXSelectedText", std::string("héllo"));
  area.set("AXSelectedTextRange", AXValue{CharacterRange{0, 5}});
  area.parameterized("AXStringForRange", [](const platform::Value&) { return AttributeAnswer{0, std::string()}; });
  CapturedOutput output;
  dumpTree(desktop.platform(), output, 10);
  std::string expected =
      "root = AXWindows[0] (共 2 个窗口)\n"
      "[0] AXWindow selected=- - markerText=- rangeText=-\n"
      "  [1] AXTextArea selected=LEN=5 - markerText=- rangeText=empty\n";
  ASSERT_EQ(output.out.substr(0, expected.size()), expected);
  EXPECT_NE(output.out.find("      attrs: "), std::string::npos);
  EXPECT_NE(output.out.find("      params: AXStringForRange"), std::string::npos);
  EXPECT_EQ(desktop.now(), 1.2);
}

TEST(DiagnosticModes, WatchPrintsOnlyChanges) {
  simulated::Desktop desktop;
  auto& app = desktop.addApp({.bundleIdentifier = "org.example.Editor", .name = "Editor", .pid = 10});
  auto& window = app.addWindow({.title = "One", .frame = {{0, 0}, {100, 100}}});
  app.focus(window);
  auto& area = window.element().add("AXTextArea");
  area.set("AXSelectedText", std::string());
  area.set("AXNumberOfCharacters", std::int64_t{42});
  desktop.at(1.0, [&] { area.set("AXSelectedText", std::string("abc")); });
  desktop.at(2.0, [&] { area.role("AXGroup"); });
  CapturedOutput output;
  watchSelection(desktop.platform(), output, 10, 3.5);
  EXPECT_EQ(output.out,
            "watching pid 10 for 3s — 现在去那个应用里选中一段文字\n"
            "AXTextArea: AXSelectedText=empty range[nil] AXStringForRange=nil chars=42\n"
            "AXTextArea: AXSelectedText=LEN=3 range[nil] AXStringForRange=nil chars=42\n"
            "(no content-area nodes)\n"
            "done\n");
}

}  // namespace
}  // namespace larkspire::observer
