// An application's private AT-SPI connection: one blocking connection that
// only this process uses, with no thread of its own. GIO connects to the
// address; the handshake, the calls and the replies are written and read
// here. The calls of a batch go out together, in as few writes as the
// socket takes, and the replies are read on the calling thread, where a
// GDBus connection hands every call to its worker thread and every reply
// back.
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/linux/atspi/bus_port.h"
#include "platform/linux/dbus/reply_wire.h"
#include "platform/linux/handles.h"

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
  explicit PeerConnection(Object<GIOStream> stream);
  // Reads what has arrived into the inbox, waiting for something to come
  // when `wait` (up to the socket's receive timeout); false once the
  // connection has closed or broken.
  bool receive(bool wait);
  // Takes the whole messages in the inbox, each reply into its call's
  // place; false when what came is not D-Bus.
  bool takeReplies(const std::vector<Call>& calls, std::unordered_map<std::uint32_t, std::size_t>& waiting,
                   std::vector<Reply>& replies);

  // A batch's calls go out in one write, its replies are read in as few
  // reads as they arrive in, each reply read once (libdbus read 2 KiB at a
  // time and queued every message). The stream owns the socket.
  Object<GIOStream> stream_;
  int socket_ = -1;
  bool closed_ = false;
  std::vector<char> inbox_;  // bytes read and not yet taken, from inboxStart_
  std::size_t inboxStart_ = 0;
  std::mutex mutex_;        // one batch at a time
  int receiveWaitMs_ = -1;  // the socket\'s receive timeout, none set yet
  static constexpr int kReceiveSlackMs = 20;
  static constexpr std::size_t kMessageHeaderBytes = 16;
  std::uint32_t nextSerial_ = 1;
};

// How long to let replies gather, once a batch is written, before reading
// what has come. The application answers one call after another, each reply
// a write of its own, and a read that waits wakes for every one: a wake-up
// costs more than the reply. From the pace of the replies so far (two at
// least), the pause lasts until about half of those still awaited have
// come, never longer than a millisecond; a pause too short to be worth a
// sleep is none, and the read waits as usual.
std::chrono::microseconds readingPause(std::size_t answered, std::size_t awaited,
                                       std::chrono::microseconds sinceFirstAnswer);

// The reply of a call from its reply message (a return or an error), whose
// arguments it takes; `replyType` is the tuple the call expects, none for
// any.
Reply replyOf(WireMessage& message, const char* replyType);

}  // namespace larkspire::linux_backend::atspi
