// Work that may run beside the caller's own.
#pragma once

#include <future>
#include <system_error>
#include <type_traits>

namespace larkspire {

// Starts `work` on a thread of its own when `allowed` and a thread is to be
// had; otherwise it runs in the first get(), and not at all without one.
template <typename Work>
std::future<std::invoke_result_t<Work&>> alongside(bool allowed, Work work) {
  if (allowed) {
    try {
      return std::async(std::launch::async, work);
    } catch (const std::system_error&) {
      // No thread to spare: one after the other.
    }
  }
  return std::async(std::launch::deferred, std::move(work));
}

}  // namespace larkspire
