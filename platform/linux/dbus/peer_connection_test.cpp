#include "platform/linux/dbus/peer_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/linux/atspi/translate.h"
#include "platform/linux/dbus/libdbus_handles.h"

namespace larkspire::linux_backend::atspi {
namespace {

// An application's end of a private connection, on a socket of its own: it
// goes through the handshake, reads the calls that come and answers them as
// a test tells it to, byte by byte if need be.
class Application {
 public:
  explicit Application(std::function<void(Application&)> script) {
    char folder[] = "/tmp/larkspire-peer-XXXXXX";
    folder_ = mkdtemp(folder);
    path_ = folder_ + "/socket";
    listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener_, 1), 0);
    thread_ = std::thread([this, script = std::move(script)] {
      socket_ = accept(listener_, nullptr, nullptr);
      if (handshake()) script(*this);
      close(socket_);
    });
  }
  ~Application() {
    thread_.join();
    close(listener_);
    unlink(path_.c_str());
    rmdir(folder_.c_str());
  }
  std::string address() const { return "unix:path=" + path_; }

  // The next call, as libdbus reads it; null once the other end has gone.
  DBusMessageHandle nextCall() {
    for (;;) {
      if (buffer_.size() >= 16) {
        const int length = dbus_message_demarshal_bytes_needed(buffer_.data(), static_cast<int>(buffer_.size()));
        if (length > 0 && static_cast<std::size_t>(length) <= buffer_.size()) {
          DBusMessageHandle message(dbus_message_demarshal(buffer_.data(), length, nullptr));
          buffer_.erase(0, static_cast<std::size_t>(length));
          return message;
        }
      }
      char bytes[4096];
      const ssize_t got = read(socket_, bytes, sizeof bytes);
      if (got <= 0) return nullptr;
      buffer_.append(bytes, static_cast<std::size_t>(got));
    }
  }
  // A message's bytes, `chunk` bytes per write.
  void send(DBusMessage* message, std::size_t chunk = 1 << 20) {
    static dbus_uint32_t serial = 1;
    dbus_message_set_serial(message, serial++);
    char* bytes = nullptr;
    int length = 0;
    ASSERT_TRUE(dbus_message_marshal(message, &bytes, &length));
    sendBytes(std::string(bytes, static_cast<std::size_t>(length)), chunk);
    dbus_free(bytes);
  }
  void sendBytes(const std::string& bytes, std::size_t chunk = 1 << 20) {
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
      ASSERT_GT(write(socket_, bytes.data() + at, std::min(chunk, bytes.size() - at)), 0);
    }
  }
  static DBusMessageHandle role(DBusMessage* call, dbus_uint32_t value) {
    DBusMessageHandle reply(dbus_message_new_method_return(call));
    dbus_message_append_args(reply.get(), DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID);
    return reply;
  }

 private:
  // The server's side of libdbus's handshake: EXTERNAL, then BEGIN.
  bool handshake() {
    std::string lines;
    char byte = 0;
    while (read(socket_, &byte, 1) == 1) {
      if (byte != '\n') {
        if (byte != '\0' && byte != '\r') lines.push_back(byte);
        continue;
      }
      if (lines.rfind("AUTH", 0) == 0) sendBytes("OK 0123456789abcdef0123456789abcdef\r\n");
      if (lines.rfind("NEGOTIATE_UNIX_FD", 0) == 0) sendBytes("ERROR\r\n");
      if (lines.rfind("BEGIN", 0) == 0) return true;
      lines.clear();
    }
    return false;
  }

  std::string folder_, path_;
  int listener_ = -1;
  int socket_ = -1;
  std::string buffer_;
  std::thread thread_;
};

std::vector<Call> roleCalls(int count) {
  std::vector<Call> calls;
  for (int i = 0; i < count; ++i) {
    calls.push_back(Call{":1.5", "/org/a11y/atspi/accessible/" + std::to_string(i), "org.a11y.atspi.Accessible",
                         "GetRole", nullptr, "(u)"});
  }
  return calls;
}

std::uint32_t roleOf(const Reply& reply) {
  guint32 role = 0;
  if (reply.ok()) g_variant_get(reply.value.get(), "(u)", &role);
  return role;
}

TEST(PeerConnection, RepliesAreMatchedHoweverTheyArrive) {
  // Out of order, a byte at a time, with a signal and a stranger's reply
  // among them.
  Application application([](Application& app) {
    DBusMessageHandle first = app.nextCall(), second = app.nextCall(), third = app.nextCall();
    ASSERT_TRUE(first && second && third);
    DBusMessageHandle signal(
        dbus_message_new_signal("/org/a11y/atspi/accessible/0", "org.a11y.atspi.Event.Object", "StateChanged"));
    app.send(signal.get(), 3);
    app.send(Application::role(third.get(), 30).get(), 1);
    DBusMessageHandle stranger = Application::role(first.get(), 99);
    dbus_message_set_reply_serial(stranger.get(), 12345);
    app.send(stranger.get());
    std::string both;
    for (DBusMessage* call : {first.get(), second.get()}) {
      DBusMessageHandle reply = Application::role(call, call == first.get() ? 10 : 20);
      dbus_message_set_serial(reply.get(), 7);
      char* bytes = nullptr;
      int length = 0;
      ASSERT_TRUE(dbus_message_marshal(reply.get(), &bytes, &length));
      both.append(bytes, static_cast<std::size_t>(length));
      dbus_free(bytes);
    }
    app.sendBytes(both, 5);
    // A batch after that one is read as well.
    DBusMessageHandle fourth = app.nextCall();
    ASSERT_TRUE(fourth);
    app.send(Application::role(fourth.get(), 40).get());
    app.nextCall();  // until the connection goes
  });
  auto peer = PeerConnection::open(application.address(), std::chrono::seconds(5));
  ASSERT_TRUE(peer);
  auto calls = roleCalls(4);
  std::vector<Reply> replies(calls.size());
  peer->callAll(calls, {0, 1, 2}, replies, 5000);
  EXPECT_EQ(roleOf(replies[0]), 10u);
  EXPECT_EQ(roleOf(replies[1]), 20u);
  EXPECT_EQ(roleOf(replies[2]), 30u);
  peer->callAll(calls, {3}, replies, 5000);
  EXPECT_EQ(roleOf(replies[3]), 40u);
  EXPECT_TRUE(peer->connected());
}

TEST(PeerConnection, GarbleOrAClosedConnectionLosesTheCallsStillWaiting) {
  for (bool garble : {true, false}) {
    SCOPED_TRACE(garble ? "garbled" : "closed");
    Application application([garble](Application& app) {
      DBusMessageHandle first = app.nextCall(), second = app.nextCall();
      ASSERT_TRUE(first && second);
      app.send(Application::role(first.get(), 1).get());
      if (garble) app.sendBytes(std::string(32, 'x'));
    });
    auto peer = PeerConnection::open(application.address(), std::chrono::seconds(5));
    ASSERT_TRUE(peer);
    auto calls = roleCalls(2);
    std::vector<Reply> replies(calls.size());
    peer->callAll(calls, {0, 1}, replies, 5000);
    EXPECT_EQ(roleOf(replies[0]), 1u);
    EXPECT_TRUE(replies[1].lostConnection);
    EXPECT_FALSE(replies[1].timedOut);
    EXPECT_FALSE(peer->connected());
  }
}

TEST(PeerConnection, CallsStillUnansweredAtTheDeadlineTimeOut) {
  Application application([](Application& app) {
    DBusMessageHandle first = app.nextCall(), second = app.nextCall();
    ASSERT_TRUE(first && second);
    app.send(Application::role(first.get(), 1).get());
    app.nextCall();  // the second is never answered
  });
  auto peer = PeerConnection::open(application.address(), std::chrono::seconds(5));
  ASSERT_TRUE(peer);
  auto calls = roleCalls(2);
  std::vector<Reply> replies(calls.size());
  const auto started = std::chrono::steady_clock::now();
  peer->callAll(calls, {0, 1}, replies, 200);
  // Generous: it must end, near its deadline rather than at some later one.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(roleOf(replies[0]), 1u);
  EXPECT_TRUE(replies[1].timedOut);
  EXPECT_FALSE(replies[1].lostConnection);
  EXPECT_TRUE(peer->connected());
}

TEST(PeerConnection, RepliesGatherForHalfOfWhatIsAwaitedAtTheirPace) {
  using std::chrono::microseconds;
  // No pace before two answers.
  EXPECT_EQ(readingPause(1, 30, microseconds(500)), microseconds(0));
  // Two answers 40 us apart, 38 awaited: until about 19 more have come.
  EXPECT_EQ(readingPause(2, 38, microseconds(40)), microseconds(760));
  // A slow application is read at least every millisecond.
  EXPECT_EQ(readingPause(3, 20, microseconds(2000)), microseconds(1000));
  // The last few are read as they come.
  EXPECT_EQ(readingPause(30, 3, microseconds(29 * 40)), microseconds(0));
  EXPECT_EQ(readingPause(30, 0, microseconds(29 * 40)), microseconds(0));
}

TEST(PeerConnection, AReplyIsItsValueOrItsErrorAsAGDBusCallWouldGiveThem) {
  // Replies as libdbus writes them.
  DBusMessageHandle asked(dbus_message_new_method_call(nullptr, "/o", "i.f", "M"));
  dbus_message_set_serial(asked.get(), 7);
  auto read = [](DBusMessage* message) {
    dbus_message_set_serial(message, 1);
    char* bytes = nullptr;
    int length = 0;
    EXPECT_TRUE(dbus_message_marshal(message, &bytes, &length));
    auto m = readWireMessage(bytes, static_cast<std::size_t>(length));
    dbus_free(bytes);
    EXPECT_TRUE(m);
    EXPECT_EQ(m->replySerial, 7u);
    return std::move(*m);
  };
  DBusMessageHandle ok(dbus_message_new_method_return(asked.get()));
  dbus_uint32_t value = 42;
  dbus_message_append_args(ok.get(), DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID);
  WireMessage message = read(ok.get());
  Reply r = replyOf(message, "(u)");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(roleOf(r), 42u);
  message = read(ok.get());
  EXPECT_TRUE(replyOf(message, nullptr).ok()) << "no type asked: any";
  message = read(ok.get());
  Reply wrong = replyOf(message, "(s)");
  EXPECT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error, platform::kAXErrorCannotComplete);

  DBusMessageHandle unknown(dbus_message_new_error(asked.get(), "org.freedesktop.DBus.Error.UnknownObject", "gone"));
  message = read(unknown.get());
  Reply gone = replyOf(message, "(u)");
  EXPECT_EQ(gone.error, errorForDBus("org.freedesktop.DBus.Error.UnknownObject", false));
  EXPECT_FALSE(gone.timedOut);
  EXPECT_FALSE(gone.lostConnection);
  DBusMessageHandle late(dbus_message_new_error(asked.get(), "org.freedesktop.DBus.Error.NoReply", "late"));
  message = read(late.get());
  EXPECT_TRUE(replyOf(message, "(u)").timedOut);
}

}  // namespace
}  // namespace larkspire::linux_backend::atspi
