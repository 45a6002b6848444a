// Screen lock from the session's screen saver, and whether the desktop the
// programs work on is still there.
#include "platform/linux/x11/session.h"

#include <gio/gio.h>

#include "common/alongside.h"
#include "platform/linux/handles.h"
#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend {
namespace {

using namespace platform;

// Screen lock from the session's screen saver: the freedesktop service that
// most desktops offer, else GNOME's own. Without either, the screen counts
// as unlocked.
class ScreenSaverSession final : public Session {
 public:
  explicit ScreenSaverSession(std::function<GDBusConnection*()> bus) : bus_(std::move(bus)) {}

  std::optional<std::map<std::string, Value>> currentDictionary() override {
    bool locked = false;
    if (GDBusConnection* bus = bus_()) {
      // Both asked at once; the freedesktop one counts when it answers.
      auto gnome = alongside(true, [bus] { return getActive(bus, "org.gnome.ScreenSaver", "/org/gnome/ScreenSaver"); });
      if (auto active = getActive(bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver")) {
        locked = *active;
      } else if (auto other = gnome.get()) {
        locked = *other;
      }
    }
    return std::map<std::string, Value>{{"CGSSessionScreenIsLocked", locked}};
  }

 private:
  static std::optional<bool> getActive(GDBusConnection* bus, const char* name, const char* path) {
    ErrorSlot error;
    // A screen saver that is not running is not locking anything: never
    // start one just to ask.
    Variant reply(g_dbus_connection_call_sync(bus, name, path, name, "GetActive", nullptr, G_VARIANT_TYPE("(b)"),
                                              G_DBUS_CALL_FLAGS_NO_AUTO_START, 500, nullptr, error.out()));
    if (!reply) return std::nullopt;
    gboolean active = FALSE;
    g_variant_get(reply.get(), "(b)", &active);
    return active != FALSE;
  }

  std::function<GDBusConnection*()> bus_;
};

// The screen saver's lock state, and whether the desktop is still there.
class LinuxSession final : public Session {
 public:
  explicit LinuxSession(LinuxContext& context)
      : context_(context), screenSaver_(makeScreenSaverSession([&context] { return context.sessionBus(); })) {}

  std::optional<std::map<std::string, Value>> currentDictionary() override { return screenSaver_->currentDictionary(); }

  std::optional<std::string> desktopGone(bool probe) override {
    switch (context_.displayState(probe)) {
      case LinuxContext::DisplayState::lost:
        return "the X display is gone";
      case LinuxContext::DisplayState::unreachable:
        return "the X display cannot be reached";
      case LinuxContext::DisplayState::notAnswering:
        return "the X display does not answer";
      case LinuxContext::DisplayState::none:
      case LinuxContext::DisplayState::open:
        break;
    }
    if (context_.sessionBusLost()) return "the session bus is gone";
    return std::nullopt;
  }

 private:
  LinuxContext& context_;
  std::unique_ptr<Session> screenSaver_;
};

}  // namespace

std::unique_ptr<Session> makeScreenSaverSession(std::function<GDBusConnection*()> sessionBus) {
  return std::make_unique<ScreenSaverSession>(std::move(sessionBus));
}

std::unique_ptr<Session> makeSession(LinuxContext& context) { return std::make_unique<LinuxSession>(context); }

}  // namespace larkspire::linux_backend
