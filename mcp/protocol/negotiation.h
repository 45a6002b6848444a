// Which revision of the Model Context Protocol a session speaks.
#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace larkspire::mcp {

// Newest first. Older revisions allowed JSON-RPC batches and had no
// structured tool output, neither of which this server offers.
inline constexpr std::array<std::string_view, 2> kProtocolVersions = {"2025-11-25", "2025-06-18"};

// The client's requested revision when we speak it, else our newest (the
// client then decides whether it can go on).
std::string negotiateVersion(const nlohmann::json& requested);

}  // namespace larkspire::mcp
