// Reading requests from standard input without ever holding more of it than
// a request may be long.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace larkspire::computer {

// A stream of bytes: standard input in the process, memory in tests.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes; 0 means end of input.
  virtual std::size_t read(char* buffer, std::size_t size) = 0;
};

// read(2) on a file descriptor, retried on EINTR. A read error ends the input.
class FileDescriptorSource final : public ByteSource {
 public:
  explicit FileDescriptorSource(int fd) : fd_(fd) {}
  std::size_t read(char* buffer, std::size_t size) override;

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

struct BoundedInput {
  std::string bytes;       // at most limit + 1 bytes of the input
  bool overLimit = false;  // the input was longer than the limit
};

// Reads to end of input, keeping at most limit + 1 bytes and discarding the
// rest, so an endless or enormous input cannot exhaust memory.
BoundedInput readToEnd(ByteSource& source, std::size_t limit);

// Splits the input into lines: a line ends at a line feed, which is not part
// of it, nor is a carriage return just before it; a last line without a line
// feed still counts. A line longer than the limit is never held whole: its
// first limit + 1 bytes are kept and the rest up to its line feed discarded.
class LineReader {
 public:
  enum class Status { line, tooLong, end };
  struct Line {
    Status status = Status::end;
    std::string bytes;  // the line's bytes when status is line
  };

  LineReader(ByteSource& source, std::size_t limit);
  Line next();

 private:
  bool fill();

  ByteSource& source_;
  std::size_t limit_;
  std::string buffer_;
  std::size_t position_ = 0;
  bool ended_ = false;
};

}  // namespace larkspire::computer
