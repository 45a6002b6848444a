#include "mcp/tools/catalog.h"

#include <array>

namespace larkspire::mcp {
namespace {

constexpr std::array<std::string_view, 6> kTools = {"permission_status",  "request_permissions", "list_applications",
                                                    "launch_application", "observe_window",      "act"};

Json annotations(std::string title, bool readOnly, bool destructive, bool idempotent) {
  Json a{{"title", std::move(title)}, {"readOnlyHint", readOnly}, {"openWorldHint", false}};
  if (!readOnly) {
    a["destructiveHint"] = destructive;
    a["idempotentHint"] = idempotent;
  }
  return a;
}

Json objectSchema(Json properties, Json required = Json::array()) {
  Json s{{"type", "object"}, {"properties", std::move(properties)}};
  if (!required.empty()) s["required"] = std::move(required);
  return s;
}

const Json& rectangle() {
  static const Json r = objectSchema({{"x", {{"type", "number"}}},
                                      {"y", {{"type", "number"}}},
                                      {"width", {{"type", "number"}}},
                                      {"height", {{"type", "number"}}}},
                                     {"x", "y", "width", "height"});
  return r;
}

Json permissionsSchema() {
  return objectSchema({{"accessibility", {{"type", "boolean"}}}, {"screenRecording", {{"type", "boolean"}}}},
                      {"accessibility", "screenRecording"});
}

Json appSchema() {
  return objectSchema({{"appId", {{"type", "string"}}},
                       {"name", {{"type", "string"}}},
                       {"running", {{"type", "boolean"}}},
                       {"pid", {{"type", "integer"}}},
                       {"ready", {{"type", "boolean"}}}},
                      {"appId", "name", "running"});
}

Json observationSchema() {
  Json element = objectSchema({{"ref", {{"type", "string"}}},
                               {"role", {{"type", "string"}}},
                               {"name", {{"type", "string"}}},
                               {"actions", {{"type", "array"}, {"items", {{"type", "string"}}}}},
                               {"editable", {{"type", "boolean"}}},
                               {"bounds", rectangle()}},
                              {"ref", "role", "name", "actions", "editable"});
  Json window = objectSchema({{"windowId", {{"type", "string"}}}, {"title", {{"type", "string"}}}}, {"windowId"});
  Json image = objectSchema(
      {{"mimeType", {{"type", "string"}}}, {"width", {{"type", "integer"}}}, {"height", {{"type", "integer"}}}},
      {"mimeType", "width", "height"});
  return objectSchema({{"snapshotId", {{"type", "string"}}},
                       {"appId", {{"type", "string"}}},
                       {"windowId", {{"type", "string"}}},
                       {"pid", {{"type", "integer"}}},
                       {"bounds", rectangle()},
                       {"elements", {{"type", "array"}, {"items", element}}},
                       {"windows", {{"type", "array"}, {"items", window}}},
                       {"image", image}},
                      {"snapshotId", "appId", "windowId", "elements", "image"});
}

Json actionSchema() {
  return objectSchema(
      {{"type",
        {{"type", "string"},
         {"enum", {"click", "fill", "click_at", "type", "press", "scroll"}},
         {"description",
          "click {ref}: press or click an element; fill {ref, text}: set an element's value; click_at {x, y}: "
          "click a point of the picture (its pixels); type {text}: type into the focused element; press {key}: "
          "a key or shortcut; scroll {direction, amount}: scroll at the window's centre"}}},
       {"ref", {{"type", "string"}, {"description", "an element's ref from the observation, e.g. \"e7\""}}},
       {"text", {{"type", "string"}, {"maxLength", 4000}}},
       {"x", {{"type", "number"}}},
       {"y", {{"type", "number"}}},
       {"key",
        {{"type", "string"},
         {"description",
          "Enter, Tab, Escape, Backspace, Delete, Space, ArrowUp/ArrowDown/ArrowLeft/ArrowRight, Home, End, "
          "PageUp, PageDown, Shift+Tab, Shift+Enter, Mod+Enter, Mod+a/f/k/l/n/s/t/z, Meta+a/s (Mod is Command on "
          "macOS, Control on Linux)"}}},
       {"direction", {{"type", "string"}, {"enum", {"up", "down"}}}},
       {"amount", {{"type", "integer"}, {"minimum", 1}, {"maximum", 1000}, {"description", "pixels"}}}},
      {"type"});
}

Json tool(std::string_view name, std::string description, Json input, Json output, Json notes) {
  Json t{{"name", std::string(name)},
         {"title", notes["title"]},
         {"description", std::move(description)},
         {"inputSchema", std::move(input)},
         {"annotations", std::move(notes)}};
  if (!output.is_null()) t["outputSchema"] = std::move(output);
  return t;
}

std::optional<std::string> optionalString(const Json& arguments, const char* key, std::string& problem) {
  if (!arguments.is_object() || !arguments.contains(key)) return std::nullopt;
  if (!arguments[key].is_string()) {
    problem = std::string("\"") + key + "\" must be a string.";
    return std::nullopt;
  }
  return arguments[key].get<std::string>();
}

}  // namespace

Json toolList() {
  Json tools = Json::array();
  tools.push_back(tool("permission_status",
                       "Whether this computer lets the helpers read other applications (accessibility) and take "
                       "pictures of their windows (screen recording). Changes nothing.",
                       objectSchema(Json::object()), permissionsSchema(),
                       annotations("Permission status", true, false, true)));
  tools.push_back(tool("request_permissions",
                       "Asks the system to grant accessibility and screen recording (on macOS the user is shown "
                       "the system's prompt; on Linux the desktop's accessibility switch is turned on), then "
                       "reports both, without waiting for the user.",
                       objectSchema(Json::object()), permissionsSchema(),
                       annotations("Request permissions", false, false, true)));
  tools.push_back(tool(
      "list_applications",
      "The applications running now that can be observed, and with a query also matching "
      "installed applications. Each has the appId that launch_application and observe_window take.",
      objectSchema(
          {{"query",
            {{"type", "string"}, {"description", "text to look for in names and identifiers (lowercase match)"}}}}),
      objectSchema({{"apps", {{"type", "array"}, {"items", appSchema()}}}}, {"apps"}),
      annotations("List applications", true, false, true)));
  tools.push_back(tool("launch_application",
                       "Opens an application by appId (or brings it forward when it runs already) and waits up "
                       "to 10 seconds for it to be ready.",
                       objectSchema({{"appId", {{"type", "string"}}}}, {"appId"}), appSchema(),
                       annotations("Launch application", false, false, true)));
  tools.push_back(tool("observe_window",
                       "Looks at an application's window: returns a PNG picture of it and its inventory of "
                       "accessibility elements (ref, role, name, actions, editable, bounds in screen points), its "
                       "windows and a snapshotId. The snapshot can be acted on once, with act, within 100 seconds.",
                       objectSchema({{"appId", {{"type", "string"}}},
                                     {"windowId",
                                      {{"type", "string"},
                                       {"description", "one of the observation's windows; default: the main window"}}}},
                                    {"appId"}),
                       observationSchema(), annotations("Observe window", true, false, false)));
  tools.push_back(
      tool("act",
           "Performs one action on the window of an observation: the window and the element are "
           "checked against the observation first, and nothing is done when they changed. Each "
           "snapshot allows one act; observe again to act again.",
           objectSchema({{"snapshotId", {{"type", "string"}}}, {"action", actionSchema()}}, {"snapshotId", "action"}),
           objectSchema({{"completed", {{"type", "boolean"}}}}, {"completed"}),
           annotations("Act on a window", false, true, false)));
  return tools;
}

bool isKnownTool(std::string_view name) {
  for (auto t : kTools) {
    if (t == name) return true;
  }
  return false;
}

CallPlan planCall(std::string_view tool, const Json& arguments) {
  CallPlan plan;
  if (!arguments.is_null() && !arguments.is_object()) {
    plan.problem = "The arguments must be an object.";
    return plan;
  }
  HelperCall call;
  if (tool == "permission_status" || tool == "request_permissions") {
    call.request = {{"operation", tool == "permission_status" ? "status" : "permissions"}};
    call.budget = budget::kStatus;
  } else if (tool == "list_applications") {
    call.request = {{"operation", "apps"}};
    if (auto query = optionalString(arguments, "query", plan.problem)) call.request["query"] = *query;
    call.budget = budget::kApps;
  } else if (tool == "launch_application" || tool == "observe_window") {
    auto appId = optionalString(arguments, "appId", plan.problem);
    if (!appId && plan.problem.empty()) plan.problem = "\"appId\" is required: take it from list_applications.";
    if (tool == "launch_application") {
      call.request = {{"operation", "launch"}, {"appId", appId.value_or("")}};
      call.budget = budget::kLaunch;
    } else {
      call.mode = HelperCall::Mode::observeSession;
      call.request = {{"nativeSessionVersion", 2}, {"operation", "observe"}, {"appId", appId.value_or("")}};
      if (auto windowId = optionalString(arguments, "windowId", plan.problem)) call.request["windowId"] = *windowId;
      call.budget = budget::kObserve;
    }
  } else if (tool == "act") {
    auto snapshotId = optionalString(arguments, "snapshotId", plan.problem);
    if (!snapshotId && plan.problem.empty()) plan.problem = "\"snapshotId\" is required: take it from observe_window.";
    const Json* action = arguments.is_object() && arguments.contains("action") ? &arguments["action"] : nullptr;
    if (plan.problem.empty() && (!action || !action->is_object() || !action->contains("type"))) {
      plan.problem = "\"action\" must be an object with a \"type\".";
    }
    if (plan.problem.empty()) {
      call.mode = HelperCall::Mode::actInSession;
      call.request = {
          {"nativeSessionVersion", 2}, {"operation", "act"}, {"snapshotId", *snapshotId}, {"action", *action}};
      call.budget = budget::kAct;
    }
  } else {
    plan.problem = "Unknown tool.";
  }
  if (plan.problem.empty()) plan.call = std::move(call);
  return plan;
}

}  // namespace larkspire::mcp
