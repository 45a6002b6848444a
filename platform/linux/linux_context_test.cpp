// The permission answers against a private D-Bus daemon that plays the
// session's accessibility launcher, and against environments without one.
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend {
namespace {

// Sets or unsets environment variables for one test and restores them.
class ScopedEnvironment {
 public:
  void set(const char* name, const char* value) {
    remember(name);
    if (value == nullptr) {
      unsetenv(name);
    } else {
      setenv(name, value, 1);
    }
  }
  ~ScopedEnvironment() {
    for (auto& [name, value, had] : saved_) {
      if (had) {
        setenv(name.c_str(), value.c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

 private:
  void remember(const char* name) {
    const char* old = std::getenv(name);
    saved_.push_back({name, old ? old : "", old != nullptr});
  }
  struct Saved {
    std::string name, value;
    bool had;
  };
  std::vector<Saved> saved_;
};

// Everything written to fd 2 while alive.
class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    saved_ = dup(2);
    file_ = tmpfile();
    dup2(fileno(file_), 2);
  }
  std::string text() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
    std::string out;
    rewind(file_);
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
    return out;
  }
  ~StderrCapture() {
    if (saved_ >= 0) text();
    fclose(file_);
  }

 private:
  int saved_ = -1;
  FILE* file_ = nullptr;
};

constexpr const char* kIntrospection = R"(
<node>
  <interface name="org.a11y.Bus">
    <method name="GetAddress"><arg type="s" direction="out"/></method>
  </interface>
  <interface name="org.a11y.Status">
    <property name="IsEnabled" type="b" access="readwrite"/>
  </interface>
</node>)";

// What the launcher's GetAddress answers: the session bus's own address (a
// bus that answers), the address of a socket nobody listens on, or an error.
enum class AddressMode { sessionBus, unreachable, error };

// org.a11y.Bus on a private bus daemon, served from its own thread because
// the code under test blocks in synchronous calls.
class FakeAccessibilityLauncher {
 public:
  explicit FakeAccessibilityLauncher(AddressMode mode, bool enabled = false) : enabled_(enabled) {
    testBus_ = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(testBus_);  // also sets DBUS_SESSION_BUS_ADDRESS
    address_ = g_test_dbus_get_bus_address(testBus_);
    if (mode == AddressMode::sessionBus) accessibilityAddress_ = address_;
    if (mode == AddressMode::unreachable) accessibilityAddress_ = "unix:path=/nonexistent/larkspire-a11y";
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    std::promise<void> ready;
    auto started = ready.get_future();
    thread_ = std::thread([this, &ready] { serve(ready); });
    started.wait();
  }

  ~FakeAccessibilityLauncher() {
    g_main_context_invoke(
        context_,
        [](gpointer loop) {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_);
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    g_test_dbus_down(testBus_);
    g_object_unref(testBus_);
  }

  const std::string& address() const { return address_; }
  bool enabled() const { return enabled_; }

 private:
  void serve(std::promise<void>& ready) {
    g_main_context_push_thread_default(context_);
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    static const GDBusInterfaceVTable busTable = {&FakeAccessibilityLauncher::onCall, nullptr, nullptr, {}};
    static const GDBusInterfaceVTable statusTable = {
        nullptr, &FakeAccessibilityLauncher::onGet, &FakeAccessibilityLauncher::onSet, {}};
    guint busId = g_dbus_connection_register_object(connection, "/org/a11y/bus", node->interfaces[0], &busTable, this,
                                                    nullptr, nullptr);
    guint statusId = g_dbus_connection_register_object(connection, "/org/a11y/bus", node->interfaces[1], &statusTable,
                                                       this, nullptr, nullptr);
    GVariant* owned = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.a11y.Bus", 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (owned) g_variant_unref(owned);
    ready.set_value();
    g_main_loop_run(loop_);
    g_dbus_connection_unregister_object(connection, busId);
    g_dbus_connection_unregister_object(connection, statusId);
    g_dbus_node_info_unref(node);
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    g_main_context_pop_thread_default(context_);
  }

  static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                     GDBusMethodInvocation* invocation, gpointer self) {
    auto* launcher = static_cast<FakeAccessibilityLauncher*>(self);
    if (launcher->accessibilityAddress_.empty()) {
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed", "no bus");
    } else {
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", launcher->accessibilityAddress_.c_str()));
    }
  }
  static GVariant* onGet(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GError**,
                         gpointer self) {
    return g_variant_new_boolean(static_cast<FakeAccessibilityLauncher*>(self)->enabled_);
  }
  static gboolean onSet(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* value,
                        GError**, gpointer self) {
    static_cast<FakeAccessibilityLauncher*>(self)->enabled_ = g_variant_get_boolean(value);
    return TRUE;
  }

  std::string accessibilityAddress_;
  std::atomic<bool> enabled_;
  GTestDBus* testBus_ = nullptr;
  std::string address_;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  std::thread thread_;
};

TEST(LinuxPermissions, NothingIsOpenedWithoutAnEnvironment) {
  ScopedEnvironment env;
  env.set("DISPLAY", nullptr);
  env.set("DBUS_SESSION_BUS_ADDRESS", nullptr);
  StderrCapture stderrText;
  LinuxContext context;
  EXPECT_EQ(context.display(), nullptr);
  EXPECT_EQ(context.sessionBus(), nullptr);
  EXPECT_EQ(context.accessibilityBus(), nullptr);
  EXPECT_FALSE(accessibilityEnabled(context, false));
  EXPECT_FALSE(accessibilityEnabled(context, true));
  EXPECT_FALSE(screenCaptureAvailable(context));
  EXPECT_EQ(stderrText.text(), "");
}

TEST(LinuxPermissions, UnreachableDisplayAndBusAreAnsweredQuietly) {
  ScopedEnvironment env;
  env.set("DISPLAY", ":65000");
  StderrCapture stderrText;
  for (const char* address : {"unix:path=/nonexistent/larkspire-bus", "not an address", "tcp:host=127.0.0.1,port=1"}) {
    env.set("DBUS_SESSION_BUS_ADDRESS", address);
    LinuxContext context;
    EXPECT_EQ(context.sessionBus(), nullptr) << address;
    EXPECT_FALSE(accessibilityEnabled(context, true)) << address;
    EXPECT_FALSE(screenCaptureAvailable(context));
  }
  EXPECT_EQ(stderrText.text(), "");
}

// A display that never answers is left to a thread of its own, blocked in
// the library's connect; when the tests end before it does, what that
// connect allocated is still held by a call that never returned. (These
// tests make no other X connection.)
extern "C" const char* __lsan_default_suppressions() { return "leak:libX11.so\nleak:libxcb.so\n"; }

// A display socket that takes connections and never says a word, as a
// stopped X server does.
class SilentDisplay {
 public:
  SilentDisplay() {
    ::mkdir("/tmp/.X11-unix", 01777);
    for (int number = 63000; number < 63500 && name_.empty(); ++number) {
      std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
      if (::access(path.c_str(), F_OK) == 0) continue;
      int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
      if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 8) == 0) {
        fd_ = fd;
        path_ = path;
        name_ = ":" + std::to_string(number);
      } else {
        ::close(fd);
      }
    }
  }
  ~SilentDisplay() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& name() const { return name_; }

 private:
  int fd_ = -1;
  std::string path_, name_;
};

TEST(LinuxPermissions, ADisplayThatNeverAnswersIsAFailedServiceWithinItsTime) {
  SilentDisplay silent;
  ASSERT_FALSE(silent.name().empty());
  ScopedEnvironment env;
  env.set("DISPLAY", silent.name().c_str());
  env.set("DBUS_SESSION_BUS_ADDRESS", nullptr);
  LinuxContext context;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(screenCaptureState(context), platform::PermissionState::serviceFailed);
  EXPECT_EQ(context.displayState(), LinuxContext::DisplayState::notAnswering);
  EXPECT_FALSE(screenCaptureAvailable(context));
  // One wait for the connection, not one per question; generous for a
  // loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // Without any display, nothing failed: the permission is just not there.
  env.set("DISPLAY", nullptr);
  LinuxContext outside;
  EXPECT_EQ(screenCaptureState(outside), platform::PermissionState::notGranted);
  EXPECT_EQ(accessibilityState(outside, false), platform::PermissionState::notGranted);
}

class LinuxAccessibilityPermission : public ::testing::Test {
 protected:
  void SetUp() override { env_.set("DISPLAY", nullptr); }
  ScopedEnvironment env_;  // the launcher sets DBUS_SESSION_BUS_ADDRESS
};

TEST_F(LinuxAccessibilityPermission, FollowsIsEnabledWhenTheBusAnswers) {
  FakeAccessibilityLauncher launcher(AddressMode::sessionBus);
  {
    LinuxContext context;
    ASSERT_NE(context.sessionBus(), nullptr);
    ASSERT_NE(context.accessibilityBus(), nullptr);
    EXPECT_FALSE(accessibilityEnabled(context, false));
    EXPECT_EQ(accessibilityState(context, false), platform::PermissionState::notGranted);
    EXPECT_FALSE(launcher.enabled()) << "asking must not turn it on";
    EXPECT_TRUE(accessibilityEnabled(context, true));
    EXPECT_TRUE(launcher.enabled());
    EXPECT_TRUE(accessibilityEnabled(context, false));
  }
  // A fresh process sees what the first one turned on.
  LinuxContext later;
  EXPECT_TRUE(accessibilityEnabled(later, false));
}

TEST_F(LinuxAccessibilityPermission, IsFalseWhenTheAccessibilityBusCannotBeReached) {
  for (AddressMode mode : {AddressMode::unreachable, AddressMode::error}) {
    FakeAccessibilityLauncher launcher(mode, /*enabled=*/true);
    LinuxContext context;
    ASSERT_NE(context.sessionBus(), nullptr);
    EXPECT_EQ(context.accessibilityBus(), nullptr);
    // Switched on, but nobody can be reached over it.
    EXPECT_FALSE(accessibilityEnabled(context, false));
    EXPECT_FALSE(accessibilityEnabled(context, true));
  }
}

TEST_F(LinuxAccessibilityPermission, IsFalseWithoutALauncherOnTheSessionBus) {
  GTestDBus* bus = g_test_dbus_new(G_TEST_DBUS_NONE);
  g_test_dbus_up(bus);
  {
    LinuxContext context;
    ASSERT_NE(context.sessionBus(), nullptr);
    EXPECT_EQ(context.accessibilityBus(), nullptr);
    EXPECT_FALSE(accessibilityEnabled(context, true));
    // A session without its accessibility bus has a broken service, not a
    // switch that is off.
    EXPECT_EQ(accessibilityState(context, false), platform::PermissionState::serviceFailed);
  }
  g_test_dbus_down(bus);
  g_object_unref(bus);
}

TEST(LinuxLibraryMessages, GLibOutputIsDiscarded) {
  silenceLibraryMessages();
  silenceLibraryMessages();  // a second call must not trip GLib's once-only setters
  StderrCapture stderrText;
  g_warning("a warning from %s", "GLib");
  g_message("a message");
  g_log("Atspi", G_LOG_LEVEL_CRITICAL, "a critical");
  g_log_structured("GLib-GIO", G_LOG_LEVEL_WARNING, "MESSAGE", "structured");
  g_printerr("printerr\n");
  EXPECT_EQ(stderrText.text(), "");
}

}  // namespace
}  // namespace larkspire::linux_backend
