// The X11 screen-capture and session services, for callers that bring their
// own connections (benchmarks and probes); the programs use the factories of
// linux_platform.h, which take them from the LinuxContext.
#pragma once

#include <functional>
#include <memory>

#include "platform/screen_capture.h"
#include "platform/session.h"

typedef struct _XDisplay Display;
typedef struct _GDBusConnection GDBusConnection;

namespace larkspire::linux_backend {

// `display` is asked on every call (null: no display); `available` answers
// the permission questions.
std::unique_ptr<platform::ScreenCapture> makeX11ScreenCapture(std::function<Display*()> display,
                                                              std::function<bool()> available);

std::unique_ptr<platform::Session> makeScreenSaverSession(std::function<GDBusConnection*()> sessionBus);

}  // namespace larkspire::linux_backend
