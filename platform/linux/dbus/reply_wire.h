// Messages read straight from the bytes D-Bus sends, for the replies the
// accessibility walk reads by the thousand. libdbus first builds a message
// object, checking every byte, and its arguments were then copied once more
// into GVariants; here the bytes are checked as they are read into the
// GVariants the walk uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/linux/handles.h"

namespace larkspire::linux_backend::atspi {

// The types of messages.
inline constexpr std::uint8_t kCallMessage = 1;
inline constexpr std::uint8_t kReturnMessage = 2;
inline constexpr std::uint8_t kErrorMessage = 3;
inline constexpr std::uint8_t kSignalMessage = 4;

// What a caller of methods needs of one message.
struct WireMessage {
  std::uint8_t type = 0;          // one of the above; others D-Bus may add are allowed
  std::uint32_t replySerial = 0;  // 0: none
  std::string errorName;          // errors only
  std::string signature;          // of the arguments
  Variant arguments;              // all of them, as one tuple; null when they refer to file descriptors
};

// The bytes a D-Bus message header announces, all of the message; needs
// its first 16 bytes. 0 when they are not a D-Bus header or announce more
// than `largest`.
std::size_t wireMessageLength(const char* bytes, std::size_t largest);

// The whole message of `length` bytes at `bytes`; none when it breaks the
// rules of D-Bus (libdbus would refuse it). File descriptors are not taken:
// a message that refers to them has no arguments.
std::optional<WireMessage> readWireMessage(const char* bytes, std::size_t length);

}  // namespace larkspire::linux_backend::atspi
