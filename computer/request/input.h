// Reading requests from standard input without ever holding more of it than
// a request may be long.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace larkspire::computer {

// A stream of bytes: standard input in the process, memory in tests.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes; 0 means end of input.
  virtual std::size_t read(char* buffer, std::size_t size) = 0;
  // Waits up to `seconds` for read() to have something to say (bytes or
  // the end); false when the time ran out first.
  virtual bool waitReadable(double seconds) {
    (void)seconds;
    return true;
  }
};

// read(2) on a file descriptor, retried on EINTR. A read error ends the input.
class FileDescriptorSource final : public ByteSource {
 public:
  explicit FileDescriptorSource(int fd) : fd_(fd) {}
  std::size_t read(char* buffer, std::size_t size) override;
  bool waitReadable(double seconds) override;

 private:
  int fd_;
};

// Bytes held in memory, handed out at most `chunk` at a time so that tests
// can cross every buffer boundary.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string bytes, std::size_t chunk = static_cast<std::size_t>(-1))
      : bytes_(std::move(bytes)), chunk_(chunk == 0 ? 1 : chunk) {}
  std::size_t read(char* buffer, std::size_t size) override;
  std::size_t consumed() const { return offset_; }

 private:
  std::string bytes_;
  std::size_t chunk_;
  std::size_t offset_ = 0;
};

// How much of an input that is already known to be refused is still read
// and thrown away, so that a writer on the other end of a pipe is not left
// blocked by a reader that ends early. An endless input (or a writer that
// never closes) ends the drain at either bound.
struct DrainLimit {
  std::size_t bytes = std::size_t{64} << 20;
  double seconds = 1.0;
  // Seconds on a monotonic clock; the steady clock when empty.
  std::function<double()> now;
};

struct BoundedInput {
  std::string bytes;       // at most limit + 1 bytes of the input
  bool overLimit = false;  // the input was longer than the limit
};

// Reads to end of input, keeping at most limit + 1 bytes. Past the limit
// the rest is drained within `drain` and discarded, so an endless or
// enormous input can neither exhaust memory nor keep the answer waiting.
BoundedInput readToEnd(ByteSource& source, std::size_t limit, const DrainLimit& drain = {});

// Splits the input into lines: a line ends at a line feed, which is not part
// of it, nor is a carriage return just before it; a last line without a line
// feed still counts. A line longer than the limit is never held whole: its
// first limit + 1 bytes are kept and the rest up to its line feed discarded,
// within `drain`; a line that does not end within it ends the input.
class LineReader {
 public:
  enum class Status { line, tooLong, end };
  struct Line {
    Status status = Status::end;
    std::string bytes;  // the line's bytes when status is line
  };

  LineReader(ByteSource& source, std::size_t limit, DrainLimit drain = {});
  Line next();

 private:
  bool fill();

  ByteSource& source_;
  std::size_t limit_;
  DrainLimit drain_;
  std::string buffer_;
  std::size_t position_ = 0;
  bool ended_ = false;
};

}  // namespace larkspire::computer
