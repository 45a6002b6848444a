// A method call written straight into the bytes D-Bus sends, for the calls
// the accessibility walk makes by the thousand: no arguments, or strings,
// object paths and integers. A D-Bus library builds a message object,
// copies every argument into it and then marshals it, which costs more
// than the bytes.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <string>
#include <vector>

namespace larkspire::linux_backend::atspi {

// Appends the call (little-endian, no destination: a peer-to-peer
// connection) to `wire`. False, with `wire` as it was, when the call has
// arguments of another kind or names D-Bus would refuse; then GIO is to
// write it (if D-Bus takes its names).
bool appendMethodCall(std::vector<char>& wire, std::uint32_t serial, const std::string& path, const char* interface,
                      const char* method, GVariant* arguments);

}  // namespace larkspire::linux_backend::atspi
