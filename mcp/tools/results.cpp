#include "mcp/tools/results.h"

#include "common/json.h"

namespace larkspire::mcp {
namespace {

Json structured(Json data) {
  Json text{{"type", "text"}, {"text", json::compact(data)}};
  return Json{{"content", Json::array({std::move(text)})}, {"structuredContent", std::move(data)}};
}

Json observation(Json data) {
  Json image = data.value("image", Json::object());
  Json block{{"type", "image"}, {"data", image.value("data", "")}, {"mimeType", image.value("mimeType", "image/png")}};
  // The picture travels once, as the image block; the inventory keeps its size.
  if (data.contains("image") && data["image"].is_object()) data["image"].erase("data");
  Json text{{"type", "text"}, {"text", json::compact(data)}};
  return Json{{"content", Json::array({std::move(block), std::move(text)})}, {"structuredContent", std::move(data)}};
}

}  // namespace

Json toolError(std::string text) {
  return Json{{"content", Json::array({Json{{"type", "text"}, {"text", std::move(text)}}})}, {"isError", true}};
}

std::string adviceFor(std::string_view code) {
  if (code == "COMPUTER_INVALID_REQUEST")
    return "The request was not understood: check the arguments against the tool's input schema and call it again.";
  if (code == "COMPUTER_TARGET_CHANGED")
    return "The application or window is gone or changed since it was observed: call observe_window again and act on "
           "the new snapshot.";
  if (code == "COMPUTER_PERMISSION_REQUIRED")
    return "Accessibility or screen recording is not granted: call request_permissions and ask the user to grant "
           "both, then try again.";
  if (code == "COMPUTER_APP_NOT_FOUND")
    return "No such application: call list_applications with a query to find its appId.";
  if (code == "COMPUTER_SCREEN_LOCKED") return "The screen is locked: ask the user to unlock it, then try again.";
  if (code == "COMPUTER_WINDOW_TOO_COMPLEX")
    return "The window is too large to inventory: observe another of the application's windows (windowId) or ask "
           "the user to simplify it.";
  if (code == "COMPUTER_ACCESS_DENIED")
    return "The window shows protected content such as a password field: ask the user to do this step themselves.";
  return "The desktop could not be reached just now: wait a moment and try again, and tell the user if it keeps "
         "failing.";
}

Json resultFromResponse(std::string_view tool, const Json& response) {
  if (!response.is_object() || !response.contains("ok")) {
    return toolError("larkspire-computer answered something that is not a response; try again.");
  }
  if (response["ok"] != true) {
    std::string code = response.value("code", "COMPUTER_UNAVAILABLE");
    bool notExecuted = response.value("notExecuted", true);
    std::string text = code + ": " + adviceFor(code);
    text += notExecuted ? " Nothing on the desktop was changed."
                        : " The action may have partly happened: observe again before acting further.";
    return toolError(std::move(text));
  }
  Json data = response.value("data", Json::object());
  if (tool == "observe_window") return observation(std::move(data));
  return structured(std::move(data));
}

}  // namespace larkspire::mcp
