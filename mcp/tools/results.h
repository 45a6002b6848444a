// Turning what a helper answered into an MCP tool result.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace larkspire::mcp {

using Json = nlohmann::json;

// A tool result the assistant sees as a failure: isError with one text.
Json toolError(std::string text);

// What the assistant should do after a helper failure code, in one sentence.
std::string adviceFor(std::string_view code);

// The result of a tool call from the helper's one response line (envelope
// already parsed). Failures become tool errors naming the code; an
// observation becomes an image block plus its inventory as structured
// content and text; other data is structured content and its JSON text.
Json resultFromResponse(std::string_view tool, const Json& response);

}  // namespace larkspire::mcp
