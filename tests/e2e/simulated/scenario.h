// A small fixed desktop for programs that run the computer tool's request
// path on the simulated backend: one regular application, frontmost, with one
// window holding a button and a text field.
#pragma once

#include "platform/simulated/desktop.h"

namespace larkspire::testing {

inline void buildNotesDesktop(simulated::Desktop& desktop) {
  simulated::AppSpec appSpec;
  appSpec.bundleIdentifier = "com.example.Notes";
  appSpec.name = "Notes";
  appSpec.pid = 4242;
  auto& app = desktop.addApp(appSpec);

  simulated::WindowSpec windowSpec;
  windowSpec.title = "Untitled";
  windowSpec.frame = {{100, 50}, {400, 300}};
  auto& window = app.addWindow(windowSpec);
  auto& root = window.element();
  root.set("AXTitle", std::string("Untitled"));
  root.add("AXButton").title("Save").actions({"AXPress"}).frame({{120, 80}, {80, 24}});
  root.add("AXTextField")
      .title("Body")
      .value(std::string("hello"))
      .settable("AXValue")
      .actions({"AXConfirm"})
      .frame({{120, 120}, {300, 24}});

  app.focus(window);
  desktop.setFrontmost(app);
}

}  // namespace larkspire::testing
