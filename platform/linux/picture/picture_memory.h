// Memory for whole pictures: several megabytes that a fresh process touches
// once, page by page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace larkspire::linux_backend {

// `bytes` zeroed bytes. The kernel is asked to back the buffer with huge
// pages where it can: a 1600 x 867 RGBA picture otherwise costs some 1,400
// page faults, about as long as scaling it.
std::vector<std::uint8_t> pictureBuffer(std::size_t bytes);

}  // namespace larkspire::linux_backend
