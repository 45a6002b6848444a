// The response envelope and the one writer every response goes through.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/json.h"

namespace larkspire::computer {

// Where response bytes go. Real processes write to fd 1; tests collect.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // Writes all bytes or reports failure (a closed pipe, for instance).
  virtual bool write(std::string_view bytes) = 0;
};

// Standard output written with write(2) directly: no buffering to flush
// before _exit, partial writes and EINTR retried, a closed pipe answered as
// a failed write instead of a SIGPIPE death.
class FileDescriptorOutput final : public OutputSink {
 public:
  explicit FileDescriptorOutput(int fd) : fd_(fd) {}
  bool write(std::string_view bytes) override;

 private:
  int fd_;
};

json::Json successResponse(json::Json data);
json::Json failureResponse(const std::string& code, bool notExecuted);
// The session protocol's version, which every session response carries.
inline constexpr int kSessionVersion = 2;
// Adds it to a response.
json::Json sessionResponse(json::Json response);

// Compact JSON text of a response; none when it cannot be serialised.
std::optional<std::string> serializeResponse(const json::Json& response);

// Writes the compact text, then the line feed in a second write. When the
// response cannot be serialised nothing at all is written.
void emit(OutputSink& output, const json::Json& response);

}  // namespace larkspire::computer
