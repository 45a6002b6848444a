#include "platform/linux/picture/picture_memory.h"

#include <sys/mman.h>

namespace larkspire::linux_backend {

std::vector<std::uint8_t> pictureBuffer(std::size_t bytes) {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  std::vector<std::uint8_t> buffer;
  buffer.reserve(bytes);
  // Only whole huge pages inside the buffer can be backed by one; the
  // advice is nothing more, and refused advice changes nothing.
  const auto start = reinterpret_cast<std::uintptr_t>(buffer.data());
  const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (start + bytes) & ~(kHugePage - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  buffer.resize(bytes);
  return buffer;
}

}  // namespace larkspire::linux_backend
