#include "computer/request/input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace larkspire::computer {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

std::size_t FileDescriptorSource::read(char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;
  }
}

std::size_t MemorySource::read(char* buffer, std::size_t size) {
  std::size_t n = std::min({size, chunk_, bytes_.size() - offset_});
  std::memcpy(buffer, bytes_.data() + offset_, n);
  offset_ += n;
  return n;
}

BoundedInput readToEnd(ByteSource& source, std::size_t limit) {
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
  // Drain the rest so the writer on the other end is never left blocked.
  std::string scratch(kChunk, '\0');
  while (source.read(scratch.data(), scratch.size()) != 0) {
  }
  return input;
}

LineReader::LineReader(ByteSource& source, std::size_t limit) : source_(source), limit_(limit) {}

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
  for (;;) {
    if (position_ == buffer_.size() && !fill()) break;
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
