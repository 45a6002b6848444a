// An application's private AT-SPI connection, over libdbus: one blocking
// connection that only this process uses, with no thread of its own. The
// calls of a batch go out together, in as few writes as the socket takes,
// and the replies are read on the calling thread, where a GDBus connection
// hands every call to its worker thread and every reply back.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/atspi/bus_port.h"

// libdbus's, declared here so that only the files that speak libdbus see
// its headers.
struct DBusConnection;
struct DBusMessage;

namespace larkspire::linux_backend::atspi {

class PeerConnection {
 public:
  // Connected and past the handshake within `limit`, or null: a hung
  // application accepts the socket but never answers the handshake.
  static std::unique_ptr<PeerConnection> open(const std::string& address, std::chrono::milliseconds limit);

  // Sends calls[i] for every i of `which`, then reads until each has its
  // reply in replies[i] or `timeoutMs` have passed: a call without a reply
  // by then has timed out, one whose connection closed first has lost it.
  void callAll(const std::vector<Call>& calls, const std::vector<std::size_t>& which, std::vector<Reply>& replies,
               int timeoutMs);
  bool connected() const;

 private:
  struct Close {
    void operator()(DBusConnection* connection) const;
  };
  explicit PeerConnection(DBusConnection* connection) : connection_(connection) {}
  std::unique_ptr<DBusConnection, Close> connection_;
  // Serials of the calls this process writes itself, apart from any
  // libdbus would give.
  std::uint32_t nextSerial_ = 0x40000000;
};

// The reply of a call from its reply message (a return or an error);
// `replyType` is the tuple the call expects, none for any.
Reply replyOf(DBusMessage* message, const char* replyType);

}  // namespace larkspire::linux_backend::atspi
