#include "computer/request/input.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>

namespace larkspire::computer {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

// One drain of refused input, from its first byte on.
class Drain {
 public:
  explicit Drain(const DrainLimit& limit) : limit_(limit), start_(now()) {}

  // Whether to read on: neither bound reached, and the source has
  // something to say within the time left.
  bool more(ByteSource& source) {
    if (taken_ >= limit_.bytes) return false;
    double left = limit_.seconds - (now() - start_);
    if (!(left > 0)) return false;
    return source.waitReadable(left);
  }
  void took(std::size_t n) { taken_ += n; }

 private:
  double now() const {
    if (limit_.now) return limit_.now();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  }

  const DrainLimit& limit_;
  double start_;
  std::size_t taken_ = 0;
};

}  // namespace

std::size_t FileDescriptorSource::read(char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;
  }
}

bool FileDescriptorSource::waitReadable(double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (!(left > 0)) return false;
    pollfd fd{fd_, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(std::min(std::ceil(left * 1000.0), 86'400'000.0)));
    if (ready > 0) return true;  // bytes, the end, or an error read() will report
    if (ready < 0 && errno != EINTR) return true;
  }
}

std::size_t MemorySource::read(char* buffer, std::size_t size) {
  std::size_t n = std::min({size, chunk_, bytes_.size() - offset_});
  std::memcpy(buffer, bytes_.data() + offset_, n);
  offset_ += n;
  return n;
}

BoundedInput readToEnd(ByteSource& source, std::size_t limit, const DrainLimit& drain) {
  BoundedInput input;
  const std::size_t keep = limit + 1;
  for (;;) {
    std::size_t have = input.bytes.size();
    if (have == keep) break;
    std::size_t want = std::min(kChunk, keep - have);
    input.bytes.resize(have + want);
    std::size_t n = source.read(input.bytes.data() + have, want);
    input.bytes.resize(have + n);
    if (n == 0) return input;
  }
  input.overLimit = true;
  Drain drainer(drain);
  std::string scratch(kChunk, '\0');
  while (drainer.more(source)) {
    std::size_t n = source.read(scratch.data(), scratch.size());
    if (n == 0) break;
    drainer.took(n);
  }
  return input;
}

LineReader::LineReader(ByteSource& source, std::size_t limit, DrainLimit drain)
    : source_(source), limit_(limit), drain_(std::move(drain)) {}

bool LineReader::fill() {
  if (ended_) return false;
  buffer_.resize(kChunk);
  std::size_t n = source_.read(buffer_.data(), buffer_.size());
  buffer_.resize(n);
  position_ = 0;
  if (n == 0) ended_ = true;
  return n != 0;
}

LineReader::Line LineReader::next() {
  const std::size_t keep = limit_ + 1;
  std::string line;
  bool overflow = false;
  bool started = false;
  bool terminated = false;
  std::optional<Drain> drainer;  // from the moment the line is known to be too long
  for (;;) {
    if (position_ == buffer_.size()) {
      if (overflow) {
        if (!drainer) drainer.emplace(drain_);
        if (!drainer->more(source_)) {
          // Whatever follows belongs to a line that never ended in time.
          ended_ = true;
          buffer_.clear();
          position_ = 0;
          break;
        }
      }
      if (!fill()) break;
      if (drainer) drainer->took(buffer_.size());
    }
    started = true;
    std::string_view rest(buffer_.data() + position_, buffer_.size() - position_);
    std::size_t feed = rest.find('\n');
    std::string_view piece = rest.substr(0, feed);
    std::size_t room = keep - line.size();
    if (piece.size() > room) overflow = true;
    line.append(piece.substr(0, std::min(room, piece.size())));
    if (feed != std::string_view::npos) {
      position_ += feed + 1;
      terminated = true;
      break;
    }
    position_ = buffer_.size();
  }
  if (!started) return {Status::end, {}};
  if (terminated && !overflow && !line.empty() && line.back() == '\r') line.pop_back();
  if (overflow || line.size() > limit_) return {Status::tooLong, {}};
  return {Status::line, std::move(line)};
}

}  // namespace larkspire::computer
