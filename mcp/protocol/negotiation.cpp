#include "mcp/protocol/negotiation.h"

namespace larkspire::mcp {

std::string negotiateVersion(const nlohmann::json& requested) {
  if (requested.is_string()) {
    for (auto version : kProtocolVersions) {
      if (requested.get<std::string>() == version) return std::string(version);
    }
  }
  return std::string(kProtocolVersions.front());
}

}  // namespace larkspire::mcp
