// Bringing the target window to the front before posting input to it.
#pragma once

#include "platform/platform.h"

namespace larkspire::computer {

// How long activation is given to take effect before it is checked.
inline constexpr double kFocusSettleSeconds = 0.08;

// Raises the window, activates the application, waits briefly, then checks
// that the application is frontmost, the window has the focus and the
// focused element is not protected. Throws NativeFailure, or
// AccessibilityInspectionFailure(incomplete) when the focused element's
// protection cannot be decided.
void focus(platform::Platform& platform, const platform::Application& application, const platform::Element& window);

}  // namespace larkspire::computer
