// The D-Bus side of the accessibility service: calls on the accessibility
// bus, each bounded by a short timeout, singly or pipelined in a batch. The
// calls to an application go over its private connection when it offers
// one (dbus/peer_connection.h), else over the bus with GDBus.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/atspi/bus_port.h"
#include "platform/linux/dbus/peer_connection.h"
#include "platform/linux/handles.h"
#include "platform/values.h"

namespace larkspire::linux_backend {
class LinuxContext;
}

namespace larkspire::linux_backend::atspi {

// No answer within this time reads as a failed call, so that a hung
// application cannot stall a request.
inline constexpr int kCallTimeoutMs = 1500;
// An application whose call ran out of time is not asked again for this
// long: its further calls fail at once, so that a walk or a batch split in
// parts pays one timeout in all, not one per part. Longer than any request,
// short enough for the observer to read an application again once it
// recovers.
inline constexpr double kGiveUpSeconds = 10.0;

// The applications (bus names) given up on, and since when. Thread-safe.
class TimedOutApplications {
 public:
  void timedOut(const std::string& busName, double now);
  bool givenUp(const std::string& busName, double now);

 private:
  std::mutex mutex_;
  std::map<std::string, double> since_;
};

class Bus final : public BusPort {
 public:
  // `clock` gives the time in seconds; a monotonic clock when none is given.
  explicit Bus(LinuxContext& context, std::function<double()> clock = {});
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // The accessibility bus, or null when there is none.
  GDBusConnection* connection();

  std::vector<Reply> callAll(std::vector<Call> calls) override;
  double now() override;
  // One for the process: the workspace's bus and the accessibility
  // service's find applications in the same registry.
  RegistryListing& registryListing() override;

 private:
  // Where calls to an application's bus name go: its private connection
  // when it offers one, else the accessibility bus (null when there is no way).
  struct Route {
    std::shared_ptr<PeerConnection> peer;
    Object<GDBusConnection> bus;
  };
  Route route(const std::string& busName);
  std::shared_ptr<PeerConnection> peerFor(const std::string& busName);
  std::shared_ptr<PeerConnection> connectPeer(const std::string& busName);
  void forgetPeer(const std::string& busName);
  void noteTimeouts(const std::vector<Call>& calls, const std::vector<Reply>& replies);

  LinuxContext& context_;
  std::function<double()> clock_;
  TimedOutApplications timedOut_;
  std::mutex peersMutex_;
  std::map<std::string, std::shared_ptr<PeerConnection>> peers_;  // null: none offered or reachable
};

// Whether an address an application offers for its private connection is
// one this process may connect to: a local socket, nothing else.
bool acceptablePeerAddress(const std::string& address);

// A reply's error in the platform's codes.
platform::AXError errorFor(const GError* error);
// Whether an error says that no answer came in time, from our side or the
// bus daemon's.
bool isTimeout(const GError* error);

}  // namespace larkspire::linux_backend::atspi
