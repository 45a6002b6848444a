#include "computer/actions/focus.h"

#include "computer/accessibility/attributes.h"
#include "computer/request/failure.h"

namespace larkspire::computer {

void focus(platform::Platform& platform, const platform::Application& application, const platform::Element& window) {
  auto& accessibility = platform.accessibility;
  // Both are requests the system may honour late or not at all; what counts
  // is the state checked below.
  (void)accessibility.performAction(window, "AXRaise");
  (void)application->activate();
  platform.clock.sleep(kFocusSettleSeconds);

  const platform::Pid pid = application->processIdentifier();
  auto frontmost = platform.workspace.frontmostApplication();
  if (!frontmost || frontmost->processIdentifier() != pid) fail(kTargetChanged);

  auto applicationElement = accessibility.createApplication(pid);
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
