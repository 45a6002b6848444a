#include "computer/actions/focus.h"

#include "computer/accessibility/attributes.h"
#include "computer/failure.h"

namespace larkspire::computer {

void focus(platform::Platform& platform, const platform::Application& application, const platform::Element& window) {
  auto& accessibility = platform.accessibility;
  // Both are requests the system may honour late or not at all; what counts
  // is the state checked below.
  (void)accessibility.performAction(window, "AXRaise");
  (void)application->activate();
  platform.clock.sleep(kFocusSettleSeconds);

  const platform::Pid pid = application->processIdentifier();
  auto isFrontmost = [&] {
    auto frontmost = platform.workspace.frontmostApplication();
    return frontmost && frontmost->processIdentifier() == pid;
  };
  auto applicationElement = accessibility.createApplication(pid);
  if (!isFrontmost()) {
    // Activation is cooperative on macOS 14 and later: a helper that is not
    // the active application may be ignored. A trusted process can still
    // ask through Accessibility.
    (void)accessibility.setAttributeValue(applicationElement, "AXFrontmost", true);
    (void)accessibility.performAction(window, "AXRaise");
    platform.clock.sleep(kFocusSettleSeconds);
  }
  if (!isFrontmost()) fail(kTargetChanged);

  auto focusedWindow = accessibility.copyAttributeValue(applicationElement, "AXFocusedWindow");
  auto focusedWindowElement = focusedWindow.get<platform::Element>();
  if (!focusedWindowElement || !(*focusedWindowElement == window)) fail(kTargetChanged);

  auto focused = checkedAttribute(accessibility, applicationElement, "AXFocusedUIElement");
  if (!focused) return;
  if (auto element = std::get_if<platform::Element>(&*focused)) {
    if (secure(accessibility, *element)) fail(kAccessDenied);
  }
}

}  // namespace larkspire::computer
