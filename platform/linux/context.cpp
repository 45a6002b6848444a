// Placeholder: the shared connections land with the permission report.
#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend {
struct LinuxContext::Impl {};
LinuxContext::LinuxContext() : impl_(std::make_unique<Impl>()) {}
LinuxContext::~LinuxContext() = default;
Display* LinuxContext::display() { return nullptr; }
GDBusConnection* LinuxContext::sessionBus() { return nullptr; }
GDBusConnection* LinuxContext::accessibilityBus() { return nullptr; }
bool accessibilityEnabled(LinuxContext&, bool) { return false; }
bool screenCaptureAvailable(LinuxContext&) { return false; }
void silenceLibraryMessages() {}
}  // namespace larkspire::linux_backend
