// Where the observer's lines go. Each call is one whole line, written with
// one unbuffered write so that the parent can read it at once and lines are
// never interleaved.
#pragma once

#include <string>
#include <string_view>

namespace larkspire::observer {

class Output {
 public:
  virtual ~Output() = default;
  virtual void standardOutput(std::string_view line) = 0;  // line includes its "\n"
  virtual void standardError(std::string_view line) = 0;
};

// Writes to file descriptors 1 and 2.
class ProcessOutput final : public Output {
 public:
  void standardOutput(std::string_view line) override;
  void standardError(std::string_view line) override;
};

// Collects lines in memory (tests).
class CapturedOutput final : public Output {
 public:
  void standardOutput(std::string_view line) override { out += line; }
  void standardError(std::string_view line) override { err += line; }
  std::string out;
  std::string err;
};

}  // namespace larkspire::observer
