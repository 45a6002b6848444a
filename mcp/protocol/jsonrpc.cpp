#include "mcp/protocol/jsonrpc.h"

#include "common/json.h"

namespace larkspire::mcp {
namespace {

Incoming invalid(int code, std::string message, Json id = nullptr) {
  Incoming m;
  m.kind = Incoming::Kind::invalid;
  m.errorCode = code;
  m.errorMessage = std::move(message);
  m.id = std::move(id);
  return m;
}

bool usableId(const Json& id) { return id.is_string() || id.is_number_integer(); }

}  // namespace

Incoming readMessage(std::string_view line) {
  auto parsed = json::parseObject(line);
  if (!parsed) {
    auto start = line.find_first_not_of(" \t\r");
    bool array = start != std::string_view::npos && line[start] == '[' &&
                 Json::accept(line.begin(), line.end(), /*ignore_comments=*/false);
    if (array) return invalid(rpc::kInvalidRequest, "batches are not supported: send one message per line");
    return invalid(rpc::kParseError, "not a JSON object");
  }
  const Json& m = *parsed;
  Json id = m.contains("id") ? m["id"] : Json();
  Json safeId = usableId(id) ? id : Json();
  auto version = m.find("jsonrpc");
  if (version == m.end() || *version != "2.0")
    return invalid(rpc::kInvalidRequest, "\"jsonrpc\" must be \"2.0\"", safeId);

  Incoming in;
  auto method = m.find("method");
  if (method == m.end()) {
    if (!m.contains("result") && !m.contains("error"))
      return invalid(rpc::kInvalidRequest, "neither a request nor a response", safeId);
    in.kind = Incoming::Kind::response;
    in.id = id;
    return in;
  }
  if (!method->is_string()) return invalid(rpc::kInvalidRequest, "\"method\" must be a string", safeId);
  in.method = method->get<std::string>();
  auto params = m.find("params");
  if (params != m.end()) {
    if (!params->is_object()) return invalid(rpc::kInvalidRequest, "\"params\" must be an object", safeId);
    in.params = *params;
  }
  if (!m.contains("id")) {
    in.kind = Incoming::Kind::notification;
    return in;
  }
  if (!usableId(id)) return invalid(rpc::kInvalidRequest, "\"id\" must be a string or an integer");
  in.kind = Incoming::Kind::request;
  in.id = id;
  return in;
}

Json resultMessage(const Json& id, Json result) {
  return Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

Json errorMessage(const Json& id, int code, std::string_view message) {
  return Json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", std::string(message)}}}};
}

Json notificationMessage(std::string_view method, Json params) {
  Json m{{"jsonrpc", "2.0"}, {"method", std::string(method)}};
  if (!params.is_null()) m["params"] = std::move(params);
  return m;
}

}  // namespace larkspire::mcp
