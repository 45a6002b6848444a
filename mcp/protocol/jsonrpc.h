// JSON-RPC 2.0 messages as MCP sends them over standard input/output: one
// message per line, never a batch.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace larkspire::mcp {

using Json = nlohmann::json;

namespace rpc {
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;
// MCP: a resource that does not exist.
inline constexpr int kResourceNotFound = -32002;
}  // namespace rpc

struct Incoming {
  enum class Kind { request, notification, response, invalid } kind = Kind::invalid;
  Json id;             // requests and responses
  std::string method;  // requests and notifications
  Json params;         // an object, or null when absent
  // For invalid messages: the error to answer with (id null unless known).
  int errorCode = 0;
  std::string errorMessage;
};

// Reads one line. Invalid JSON is a parse error; a batch (an array), a
// message without "jsonrpc": "2.0", a non-object "params" or an id that is
// neither a string nor an integer is an invalid request.
Incoming readMessage(std::string_view line);

Json resultMessage(const Json& id, Json result);
Json errorMessage(const Json& id, int code, std::string_view message);
Json notificationMessage(std::string_view method, Json params);

}  // namespace larkspire::mcp
