// Which observations can still be acted on. Each observation is served by
// the larkspire-computer --session process that made it; the book only
// remembers ids, so that an act on a snapshot that was used or has expired
// is told why, not just "unknown".
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>

namespace larkspire::mcp {

class SnapshotBook {
 public:
  enum class State { live, used, expired, unknown };

  // At most this many sessions are kept waiting for an act at once; the
  // oldest gives way to a new one.
  static constexpr std::size_t kLiveLimit = 16;
  // Ended snapshots remembered for their refusal text.
  static constexpr std::size_t kMemory = 512;

  // Records a new live snapshot; returns the id of the oldest live one that
  // must now be ended to stay within the limit.
  std::optional<std::string> keep(const std::string& id);
  void markUsed(const std::string& id) { finish(id, State::used); }
  void markExpired(const std::string& id) { finish(id, State::expired); }
  State state(const std::string& id) const;

 private:
  void finish(const std::string& id, State why);

  std::deque<std::string> live_;
  std::map<std::string, State> ended_;
  std::deque<std::string> endedOrder_;
};

// The tool error text for an act on a snapshot that cannot take one.
std::string refusalFor(SnapshotBook::State state, const std::string& id);

}  // namespace larkspire::mcp
