// Requests sent all at once and answered afterwards. Xlib waits for each
// reply before it sends the next request: reading ten facts of ten windows
// costs a hundred round trips to the server. Through the XCB connection
// under the same display, the requests of a batch go out together and the
// replies are collected afterwards. Errors of these requests come back with
// their replies, never to Xlib's error handler.
#pragma once

#include <X11/Xlib-xcb.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "platform/linux/handles.h"

namespace larkspire::linux_backend {

// Xlib's lock on a display, held while one thread uses it. XCB requests are
// sent under it too: Xlib may have to hand the socket back to XCB first,
// which it does under this lock, so a thread that holds the lock and waits
// for XCB would otherwise wait for ever on one that waits for the lock.
// Nested holds in one thread are fine.
class DisplayLock {
 public:
  explicit DisplayLock(Display* d) : d_(d) { XLockDisplay(d_); }
  ~DisplayLock() { XUnlockDisplay(d_); }
  DisplayLock(const DisplayLock&) = delete;
  DisplayLock& operator=(const DisplayLock&) = delete;

 private:
  Display* d_;
};

inline void freeReply(void* reply) { std::free(reply); }
template <class T>
using XcbReply = std::unique_ptr<T, Release<freeReply>>;

// The reply to `cookie` through `collect` (an xcb_…_reply function); none
// when the request failed (a window that went away, an atom unknown).
template <class Collect, class Cookie>
auto xcbReply(xcb_connection_t* connection, Collect collect, Cookie cookie) {
  xcb_generic_error_t* error = nullptr;
  auto* reply = collect(connection, cookie, &error);
  std::free(error);
  return XcbReply<std::remove_pointer_t<decltype(reply)>>(reply);
}

// A property as the server answered it: none when the window does not have
// it. A property of another type than the one asked for has no value.
struct PropertyReply {
  XcbReply<xcb_get_property_reply_t> reply;
  bool exists() const { return reply && reply->type != XCB_NONE; }
  int format() const { return exists() ? reply->format : 0; }
  // Elements of `format` bits.
  std::size_t items() const {
    if (format() == 0) return 0;
    return static_cast<std::size_t>(xcb_get_property_value_length(reply.get())) /
           static_cast<std::size_t>(format() / 8);
  }
  // The 32-bit values (CARDINAL, ATOM, WINDOW); none of another format.
  std::vector<unsigned long> cardinals() const {
    if (format() != 32) return {};
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    return std::vector<unsigned long>(values, values + items());
  }
  // The bytes of an 8-bit property (text); none of another format.
  std::string_view bytes() const {
    if (format() != 8) return {};
    return std::string_view(static_cast<const char*>(xcb_get_property_value(reply.get())), items());
  }
};

// The names of atoms, asked for together; an atom the server does not know
// has none.
std::unordered_map<unsigned long, std::string> atomNames(xcb_connection_t* connection,
                                                         const std::vector<unsigned long>& atoms);

}  // namespace larkspire::linux_backend
