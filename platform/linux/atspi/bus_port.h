// What the accessibility code asks of the accessibility bus: calls, one at
// a time or pipelined, and the time its reads are dated by.
// dbus/accessibility_bus.h sends them over GDBus; atspi/fake_bus.h answers
// them from a tree held in memory, for tests.
#pragma once

#include <gio/gio.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/handles.h"
#include "platform/values.h"

namespace larkspire::linux_backend::atspi {

// The arguments of a call. A floating GVariant given here is taken over, so
// that a call never sent frees them and a call sent twice still has them.
class Parameters {
 public:
  Parameters() = default;
  Parameters(GVariant* value) : value_(value ? g_variant_ref_sink(value) : nullptr) {}  // NOLINT: implicit by design
  // Copies share the value (GVariants are immutable).
  Parameters(const Parameters& other) : value_(other.value_ ? g_variant_ref(other.value_.get()) : nullptr) {}
  Parameters& operator=(const Parameters& other) {
    if (this != &other) value_.reset(other.value_ ? g_variant_ref(other.value_.get()) : nullptr);
    return *this;
  }
  Parameters(Parameters&&) noexcept = default;
  Parameters& operator=(Parameters&&) noexcept = default;
  GVariant* get() const { return value_.get(); }

 private:
  Variant value_;
};

struct Call {
  std::string bus;
  std::string path;
  const char* interface = nullptr;
  const char* method = nullptr;
  Parameters parameters;
  const char* replyType = nullptr;
};

struct Reply {
  Variant value;  // the reply tuple on success
  platform::AXError error = platform::kAXErrorSuccess;
  // The connection failed (closed, refused), as opposed to an answer, an
  // error sent by the other side or a timeout.
  bool lostConnection = false;
  // No answer came in time. (A call not sent because its application ran
  // out of time before fails without this.)
  bool timedOut = false;
  bool ok() const { return error == platform::kAXErrorSuccess && value; }
};

// An application registered on the accessibility bus and the process that
// owns its bus name.
struct RegisteredApplication {
  std::string busName;
  platform::Pid pid = 0;
};

// The registry's applications as last listed, and when (the port's now()).
struct RegistryListing {
  std::mutex mutex;
  double at = -1;
  std::vector<RegisteredApplication> applications;
};

class BusPort {
 public:
  virtual ~BusPort() = default;

  // Sends every call before waiting for any answer: one round trip for the
  // lot instead of one per call. Replies come back in the order of `calls`.
  virtual std::vector<Reply> callAll(std::vector<Call> calls) = 0;
  // Seconds on a monotonic clock.
  virtual double now() = 0;

  Reply call(Call call);
  // org.freedesktop.DBus.Properties.Get, unwrapped from its variant.
  Reply property(const std::string& bus, const std::string& path, const char* interface, const char* name);

  // Where the registry's last listing is kept (registry.cpp): by the port
  // itself unless it shares one.
  virtual RegistryListing& registryListing() { return ownRegistryListing_; }

 private:
  RegistryListing ownRegistryListing_;
};

}  // namespace larkspire::linux_backend::atspi
