#include "platform/linux/dbus/peer_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/linux/atspi/translate.h"
#include "platform/linux/dbus/call_wire.h"
#include "platform/linux/dbus/libdbus_handles.h"
#include "platform/linux/dbus/message_values.h"

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

// Opens the connection and goes through the handshake, both by `deadline`.
PrivateDBusConnection connect(const std::string& address, Clock::time_point deadline) {
  DBusErrorSlot error;
  PrivateDBusConnection connection(dbus_connection_open_private(address.c_str(), error.out()));
  if (!connection) return nullptr;
  dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
  while (!dbus_connection_get_is_authenticated(connection.get())) {
    const int left = millisecondsLeft(deadline);
    if (left == 0 || !dbus_connection_read_write(connection.get(), left)) return nullptr;
  }
  return connection;
}

}  // namespace

std::unique_ptr<PeerConnection> PeerConnection::open(const std::string& address, std::chrono::milliseconds limit) {
  // Connections are used from the thread that opens them and the one that
  // calls; libdbus locks them once told to.
  if (!dbus_threads_init_default()) return nullptr;
  struct Attempt {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    PrivateDBusConnection connection;
  };
  auto attempt = std::make_shared<Attempt>();
  const Clock::time_point deadline = Clock::now() + limit;
  try {
    // Connecting to a socket whose application does not accept may block
    // past any deadline: it is done on a thread that is left behind (and
    // cleans up after itself) when the time runs out.
    std::thread([attempt, address, deadline] {
      PrivateDBusConnection connection = connect(address, deadline);
      std::lock_guard<std::mutex> lock(attempt->mutex);
      if (!attempt->abandoned) attempt->connection = std::move(connection);
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
  if (!attempt->connection) return nullptr;
  return std::unique_ptr<PeerConnection>(new PeerConnection(attempt->connection.release()));
}

void PeerConnection::Close::operator()(DBusConnection* connection) const { detail::closeConnection(connection); }

bool PeerConnection::connected() const { return dbus_connection_get_is_connected(connection_.get()) != 0; }

Reply replyOf(DBusMessage* message, const char* replyType) {
  Reply reply;
  if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_ERROR) {
    const char* name = dbus_message_get_error_name(message);
    reply.error = errorForDBus(name ? name : "", false);
    reply.timedOut = name && timeoutName(name);
    return reply;
  }
  // As GDBus does: a reply of another type than the call expects is a
  // failed call.
  if (replyType && !tupleOf(replyType, dbus_message_get_signature(message))) {
    reply.error = platform::kAXErrorCannotComplete;
    return reply;
  }
  reply.value = argumentsOf(message);
  if (!reply.value) reply.error = platform::kAXErrorCannotComplete;
  return reply;
}

void PeerConnection::callAll(const std::vector<Call>& calls, const std::vector<std::size_t>& which,
                             std::vector<Reply>& replies, int timeoutMs) {
  DBusConnection* connection = connection_.get();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unordered_map<dbus_uint32_t, std::size_t> waiting;  // serial -> index
  waiting.reserve(which.size());
  // The whole batch goes out in as few writes as the socket takes: libdbus
  // would write every message on its own, a system call and a wake-up of
  // the application each. The serials are ours; libdbus sends nothing
  // else on this connection.
  std::vector<char> wire;
  for (std::size_t i : which) {
    const Call& c = calls[i];
    const dbus_uint32_t serial = nextSerial_++;
    if (nextSerial_ == 0) nextSerial_ = 1;
    if (appendMethodCall(wire, serial, c.path, c.interface, c.method, c.parameters.get())) {
      waiting.emplace(serial, i);
      continue;
    }
    // Arguments of other kinds: libdbus writes the call.
    DBusMessageHandle message(dbus_message_new_method_call(nullptr, c.path.c_str(), c.interface, c.method));
    char* bytes = nullptr;
    int length = 0;
    if (!message || !appendArguments(message.get(), c.parameters.get())) {
      replies[i].error = platform::kAXErrorCannotComplete;
      continue;
    }
    dbus_message_set_serial(message.get(), serial);
    if (!dbus_message_marshal(message.get(), &bytes, &length)) {
      replies[i].error = platform::kAXErrorCannotComplete;
      continue;
    }
    wire.insert(wire.end(), bytes, bytes + length);
    dbus_free(bytes);
    waiting.emplace(serial, i);
  }
  int socket = -1;
  bool lost = !waiting.empty() && !dbus_connection_get_socket(connection, &socket);
  std::size_t written = 0;
  // Writing and reading go together: an application that answers while
  // calls are still being written is read meanwhile.
  for (;;) {
    while (DBusMessage* raw = dbus_connection_pop_message(connection)) {
      DBusMessageHandle message(raw);
      const int type = dbus_message_get_type(raw);
      if (type != DBUS_MESSAGE_TYPE_METHOD_RETURN && type != DBUS_MESSAGE_TYPE_ERROR) continue;
      auto found = waiting.find(dbus_message_get_reply_serial(raw));
      if (found == waiting.end()) continue;
      replies[found->second] = replyOf(raw, calls[found->second].replyType);
      waiting.erase(found);
    }
    if (waiting.empty() || lost) break;
    const int left = millisecondsLeft(deadline);
    if (left == 0) break;
    if (written < wire.size()) {
      const ssize_t sent = send(socket, wire.data() + written, wire.size() - written, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        written += static_cast<std::size_t>(sent);
        continue;
      }
      if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        lost = true;
        continue;
      }
      // No room: wait for some, reading what comes meanwhile.
      pollfd wanted{socket, POLLIN | POLLOUT, 0};
      if (poll(&wanted, 1, left) > 0 && (wanted.revents & (POLLIN | POLLERR | POLLHUP)) != 0 &&
          !dbus_connection_read_write(connection, 0))
        lost = true;
      continue;
    }
    // False once the connection has closed; what came before is still read.
    if (!dbus_connection_read_write(connection, left)) lost = true;
  }
  // A call cut off in the middle would garble every later one.
  if (written != 0 && written < wire.size()) dbus_connection_close(connection);
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

}  // namespace larkspire::linux_backend::atspi
