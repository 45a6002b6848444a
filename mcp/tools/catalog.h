// The tools this server offers, and how each call becomes a request to a
// helper. The helpers' own protocol (README) is what is spoken to them.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace larkspire::mcp {

using Json = nlohmann::json;

// How long a helper may take to answer each kind of request before it is
// ended. "launch" waits up to 10 s for the application itself.
namespace budget {
inline constexpr std::chrono::seconds kStatus{10};
inline constexpr std::chrono::seconds kApps{30};
inline constexpr std::chrono::seconds kLaunch{30};
inline constexpr std::chrono::seconds kObserve{30};
// A session ends itself 100 s after it began (a long typing run may use
// most of that): an act is never cut short before the session would be.
inline constexpr std::chrono::seconds kAct{105};
}  // namespace budget

// The "tools" of a tools/list answer.
Json toolList();

// One request to larkspire-computer.
struct HelperCall {
  enum class Mode { oneShot, observeSession, actInSession } mode = Mode::oneShot;
  Json request;  // what is written to the helper (one line)
  std::chrono::seconds budget{10};
};

struct CallPlan {
  std::optional<HelperCall> call;  // when the arguments are usable
  std::string problem;             // otherwise: what is wrong, for the assistant
};

bool isKnownTool(std::string_view name);
// The helper request for a tool call; arguments is an object or null.
CallPlan planCall(std::string_view tool, const Json& arguments);

}  // namespace larkspire::mcp
