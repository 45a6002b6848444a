#include "platform/linux/dbus/peer_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/linux/atspi/translate.h"
#include "platform/linux/dbus/call_wire.h"
#include "platform/linux/dbus/reply_wire.h"

namespace larkspire::linux_backend::atspi {
namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool timeoutName(std::string_view name) {
  return name == "org.freedesktop.DBus.Error.NoReply" || name == "org.freedesktop.DBus.Error.Timeout" ||
         name == "org.freedesktop.DBus.Error.TimedOut";
}

// Whether `tuple` is the signature in parentheses, as GDBus writes a
// reply's type.
bool tupleOf(std::string_view tuple, std::string_view signature) {
  return tuple.size() == signature.size() + 2 && tuple.front() == '(' && tuple.back() == ')' &&
         tuple.substr(1, signature.size()) == signature;
}

// Waits until the socket is ready for `events`, at most until `deadline`.
bool ready(int socket, short events, Clock::time_point deadline) {
  pollfd wanted{socket, events, 0};
  int result = 0;
  do {
    result = poll(&wanted, 1, millisecondsLeft(deadline));
  } while (result < 0 && errno == EINTR);
  return result > 0 && (wanted.revents & events) != 0;
}

bool writeAll(int socket, std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    const ssize_t sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return false;
    } else if (!ready(socket, POLLOUT, deadline)) {
      return false;
    }
  }
  return true;
}

// One line of the handshake, without its CR LF. Read a byte at a time:
// what follows the line is not the handshake's.
bool readLine(int socket, std::string& line, Clock::time_point deadline) {
  constexpr std::size_t kLongestLine = 1024;
  line.clear();
  while (line.size() < kLongestLine) {
    char byte = 0;
    const ssize_t got = recv(socket, &byte, 1, MSG_DONTWAIT);
    if (got == 1) {
      if (byte == '\n') {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
      line.push_back(byte);
    } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return false;
    } else if (!ready(socket, POLLIN, deadline)) {
      return false;
    }
  }
  return false;
}

// The client's side of the D-Bus handshake: a NUL, the credentials the
// socket itself carries (EXTERNAL, with this process's user id), and once
// the application says OK, BEGIN. Messages may follow.
bool authenticate(int socket, Clock::time_point deadline) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hello("\0AUTH EXTERNAL ", 15);
  for (char digit : std::to_string(getuid())) {
    hello.push_back(kHex[(digit >> 4) & 0xf]);
    hello.push_back(kHex[digit & 0xf]);
  }
  hello += "\r\n";
  std::string answer;
  return writeAll(socket, hello, deadline) && readLine(socket, answer, deadline) && answer.rfind("OK ", 0) == 0 &&
         writeAll(socket, "BEGIN\r\n", deadline);
}

// Connects to the address (GIO reads every form D-Bus addresses take) and
// goes through the handshake, both by `deadline`.
Object<GIOStream> connect(const std::string& address, Clock::time_point deadline) {
  Object<GIOStream> stream(g_dbus_address_get_stream_sync(address.c_str(), nullptr, nullptr, nullptr));
  if (!stream || !G_IS_SOCKET_CONNECTION(stream.get())) return nullptr;
  GSocket* socket = g_socket_connection_get_socket(G_SOCKET_CONNECTION(stream.get()));
  if (!socket || !authenticate(g_socket_get_fd(socket), deadline)) return nullptr;
  return stream;
}

}  // namespace

std::unique_ptr<PeerConnection> PeerConnection::open(const std::string& address, std::chrono::milliseconds limit) {
  struct Attempt {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    Object<GIOStream> stream;
  };
  auto attempt = std::make_shared<Attempt>();
  const Clock::time_point deadline = Clock::now() + limit;
  try {
    // Connecting to a socket whose application does not accept may block
    // past any deadline: it is done on a thread that is left behind (and
    // cleans up after itself) when the time runs out.
    std::thread([attempt, address, deadline] {
      Object<GIOStream> stream = connect(address, deadline);
      std::lock_guard<std::mutex> lock(attempt->mutex);
      if (!attempt->abandoned) attempt->stream = std::move(stream);
      attempt->finished = true;
      attempt->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return nullptr;  // no thread to spare: the bus will do
  }
  std::unique_lock<std::mutex> lock(attempt->mutex);
  if (!attempt->done.wait_until(lock, deadline, [&] { return attempt->finished; })) {
    attempt->abandoned = true;
    return nullptr;
  }
  if (!attempt->stream) return nullptr;
  return std::unique_ptr<PeerConnection>(new PeerConnection(std::move(attempt->stream)));
}

PeerConnection::PeerConnection(Object<GIOStream> stream) : stream_(std::move(stream)) {
  // Reads may wait (up to a timeout); writes never do (MSG_DONTWAIT).
  socket_ = g_socket_get_fd(g_socket_connection_get_socket(G_SOCKET_CONNECTION(stream_.get())));
  const int flags = fcntl(socket_, F_GETFL);
  if (flags < 0 || fcntl(socket_, F_SETFL, flags & ~O_NONBLOCK) != 0) closed_ = true;
}

bool PeerConnection::connected() const { return !closed_; }

Reply replyOf(WireMessage& message, const char* replyType) {
  Reply reply;
  if (message.type == kErrorMessage) {
    reply.error = errorForDBus(message.errorName, false);
    reply.timedOut = timeoutName(message.errorName);
    return reply;
  }
  // As GDBus does: a reply of another type than the call expects is a
  // failed call.
  if (replyType && !tupleOf(replyType, message.signature)) {
    reply.error = platform::kAXErrorCannotComplete;
    return reply;
  }
  reply.value = std::move(message.arguments);
  if (!reply.value) reply.error = platform::kAXErrorCannotComplete;
  return reply;
}

void PeerConnection::callAll(const std::vector<Call>& calls, const std::vector<std::size_t>& which,
                             std::vector<Reply>& replies, int timeoutMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unordered_map<std::uint32_t, std::size_t> waiting;  // serial -> index
  waiting.reserve(which.size());
  // The whole batch goes out in as few writes as the socket takes: a
  // D-Bus library would write every message on its own, a system call and
  // a wake-up of the application each.
  std::vector<char> wire;
  for (std::size_t i : which) {
    const Call& c = calls[i];
    const std::uint32_t serial = nextSerial_++;
    if (nextSerial_ == 0) nextSerial_ = 1;
    if (appendMethodCall(wire, serial, c.path, c.interface, c.method, c.parameters.get())) {
      waiting.emplace(serial, i);
      continue;
    }
    // Arguments of other kinds: GIO writes the call, unless a name is one
    // D-Bus would refuse.
    GVariant* arguments = c.parameters.get();
    if (!g_variant_is_object_path(c.path.c_str()) || !g_dbus_is_interface_name(c.interface) ||
        !g_dbus_is_member_name(c.method) || (arguments && !g_variant_is_of_type(arguments, G_VARIANT_TYPE_TUPLE))) {
      replies[i].error = platform::kAXErrorCannotComplete;
      continue;
    }
    Object<GDBusMessage> message(g_dbus_message_new_method_call(nullptr, c.path.c_str(), c.interface, c.method));
    if (arguments) g_dbus_message_set_body(message.get(), arguments);
    g_dbus_message_set_serial(message.get(), serial);
    gsize length = 0;
    guchar* bytes = g_dbus_message_to_blob(message.get(), &length, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    if (!bytes) {
      replies[i].error = platform::kAXErrorCannotComplete;
      continue;
    }
    wire.insert(wire.end(), bytes, bytes + length);
    g_free(bytes);
    waiting.emplace(serial, i);
  }
  bool lost = !waiting.empty() && !connected();
  std::size_t written = 0;
  const std::size_t sent = waiting.size();
  std::optional<Clock::time_point> firstAnswer;
  // Writing and reading go together: an application that answers while
  // calls are still being written is read meanwhile.
  for (;;) {
    lost = !takeReplies(calls, waiting, replies) || lost;
    if (waiting.empty() || lost) break;
    if (!firstAnswer && waiting.size() < sent) firstAnswer = Clock::now();
    const int left = millisecondsLeft(deadline);
    if (left == 0) break;
    if (written < wire.size()) {
      const ssize_t sent = send(socket_, wire.data() + written, wire.size() - written, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        written += static_cast<std::size_t>(sent);
        continue;
      }
      if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        lost = true;
        continue;
      }
    }
    if (written < wire.size()) {
      // Wait for room to write, reading what comes meanwhile.
      pollfd wanted{socket_, POLLIN | POLLOUT, 0};
      if (poll(&wanted, 1, left) > 0 && (wanted.revents & (POLLIN | POLLERR | POLLHUP)) != 0) lost = !receive(false);
      continue;
    }
    // All written: the replies gather for a moment while the application
    // is answering at a pace, then what has come is taken in one read.
    const auto pause =
        firstAnswer ? readingPause(sent - waiting.size(), waiting.size(),
                                   std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - *firstAnswer))
                    : std::chrono::microseconds(0);
    if (pause.count() > 0) {
      std::this_thread::sleep_for(std::min<std::chrono::microseconds>(pause, std::chrono::milliseconds(left)));
      lost = !receive(false);
      continue;
    }
    // Otherwise a read that waits for replies, no longer than is left
    // (give or take kReceiveSlackMs: the wait is set again only when it
    // would overrun by more, or is far shorter than what is left).
    if (receiveWaitMs_ < 0 || receiveWaitMs_ > left + kReceiveSlackMs || receiveWaitMs_ < left / 2) {
      const timeval wait{left / 1000, (left % 1000) * 1000};
      if (setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0) {
        receiveWaitMs_ = left;
      } else {
        receiveWaitMs_ = -1;
      }
    }
    lost = !receive(receiveWaitMs_ >= 0);
  }
  // A call cut off in the middle would garble every later one.
  if (written != 0 && written < wire.size()) {
    shutdown(socket_, SHUT_RDWR);
    closed_ = true;
  }
  for (const auto& [serial, i] : waiting) {
    Reply& r = replies[i];
    if (lost) {
      r.error = platform::kAXErrorCannotComplete;
      r.lostConnection = true;
    } else {
      r.error = errorForDBus("", true);
      r.timedOut = true;
    }
  }
}

std::chrono::microseconds readingPause(std::size_t answered, std::size_t awaited,
                                       std::chrono::microseconds sinceFirstAnswer) {
  // A sleep costs a wake-up of its own and oversleeps by the timer's slack.
  constexpr std::chrono::microseconds kShortestPause{150};
  constexpr std::chrono::microseconds kLongestPause{1000};
  if (answered < 2 || awaited == 0 || sinceFirstAnswer.count() <= 0) return std::chrono::microseconds(0);
  // Half of those awaited, at the pace of the answers after the first.
  const double pace = static_cast<double>(sinceFirstAnswer.count()) / static_cast<double>(answered - 1);
  const double pause = std::min(pace * static_cast<double>(awaited) / 2, static_cast<double>(kLongestPause.count()));
  if (pause < static_cast<double>(kShortestPause.count())) return std::chrono::microseconds(0);
  return std::chrono::microseconds(static_cast<long long>(pause));
}

bool PeerConnection::receive(bool wait) {
  // Replies come one by one as the application writes them; whatever has
  // arrived is taken in one read.
  constexpr std::size_t kReadAtOnce = 64 * 1024;
  if (inboxStart_ != 0 && inboxStart_ == inbox_.size()) {
    inbox_.clear();
    inboxStart_ = 0;
  }
  char arrived[kReadAtOnce];
  const ssize_t got = recv(socket_, arrived, sizeof arrived, wait ? 0 : MSG_DONTWAIT);
  if (got > 0) {
    inbox_.insert(inbox_.end(), arrived, arrived + got);
    return true;
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  closed_ = true;  // the application closed the connection, or it broke
  return false;
}

bool PeerConnection::takeReplies(const std::vector<Call>& calls,
                                 std::unordered_map<std::uint32_t, std::size_t>& waiting, std::vector<Reply>& replies) {
  // More than libdbus accepts by default: a peer that announces it is not
  // speaking D-Bus to us.
  constexpr std::size_t kLargestMessage = 32 * 1024 * 1024;
  while (inbox_.size() - inboxStart_ >= kMessageHeaderBytes) {
    const char* start = inbox_.data() + inboxStart_;
    const std::size_t length = wireMessageLength(start, kLargestMessage);
    if (length == 0) {
      closed_ = true;
      return false;
    }
    if (length > inbox_.size() - inboxStart_) break;
    auto message = readWireMessage(start, length);
    inboxStart_ += length;
    if (!message) {
      closed_ = true;  // garbled: nothing after it can be trusted
      return false;
    }
    if (message->type != kReturnMessage && message->type != kErrorMessage) continue;
    auto found = waiting.find(message->replySerial);
    if (found == waiting.end()) continue;
    replies[found->second] = replyOf(*message, calls[found->second].replyType);
    waiting.erase(found);
  }
  // What was taken is dropped now and then, not after every message.
  if (inboxStart_ > 64 * 1024 && inboxStart_ * 2 > inbox_.size()) {
    inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(inboxStart_));
    inboxStart_ = 0;
  }
  return true;
}

}  // namespace larkspire::linux_backend::atspi
