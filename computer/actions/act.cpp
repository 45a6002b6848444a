#include "computer/actions/act.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "computer/accessibility/attributes.h"
#include "computer/accessibility/inspection.h"
#include "computer/actions/focus.h"
#include "computer/actions/keys.h"
#include "computer/apps/launch.h"
#include "computer/failure.h"
#include "computer/windows/window_resolution.h"

namespace larkspire::computer {

using json::Json;
using platform::Element;
using platform::Rect;

namespace {

using json::integerMember;
using json::numberMember;
using json::stringMember;

constexpr std::size_t kMaximumTextLength = 4000;

// Text of at most 4000 user-perceived characters, else an invalid request.
std::string boundedText(const Json& action) {
  auto text = stringMember(action, "text");
  if (!text || text::graphemeCount(*text) > kMaximumTextLength) fail(kInvalidRequest);
  return *text;
}

// The observation's "bounds", a missing coordinate counting as 0.
Rect observedBounds(const Json& bounds) {
  auto get = [&](const char* key) { return numberMember(bounds, key).value_or(0); };
  return Rect{{get("x"), get("y")}, {get("width"), get("height")}};
}

bool boundsObjectOfNumbers(const Json& snapshot) {
  auto found = snapshot.find("bounds");
  if (found == snapshot.end() || !found->is_object()) return false;
  for (const auto& item : found->items()) {
    if (!item.value().is_number()) return false;
  }
  return true;
}

// [role, name] of an element record, non-strings counting as "".
std::vector<std::string> roleAndName(const Json& record) {
  return {stringMember(record, "role").value_or(""), stringMember(record, "name").value_or("")};
}

// Both records without "bounds", or both with the same four numbers.
bool sameRecordBounds(const Json& observed, const Json& current) {
  bool hasObserved = observed.is_object() && observed.contains("bounds");
  bool hasCurrent = current.is_object() && current.contains("bounds");
  if (!hasObserved || !hasCurrent) return hasObserved == hasCurrent;
  const auto& a = observed["bounds"];
  const auto& b = current["bounds"];
  for (const char* key : {"x", "y", "width", "height"}) {
    auto va = numberMember(a, key);
    auto vb = numberMember(b, key);
    if (!va || !vb || *va != *vb) return false;
  }
  return true;
}

// A real mouse click, only where it lands on the target window itself: a
// point off every screen, or under another window (an always-on-top panel,
// a pop-up, a dialog of the same application), would take the click
// elsewhere.
void click(platform::Platform& platform, const platform::ShareableWindow& window, platform::Point at) {
  if (platform.screenCapture.windowAtPoint(at) != window.windowID) fail(kTargetChanged);
  auto down = platform.events.createMouseEvent(platform::MouseEventType::leftMouseDown, at);
  auto up = platform.events.createMouseEvent(platform::MouseEventType::leftMouseUp, at);
  if (!down || !up) fail(kUnavailable);
  platform.events.post(*down);
  platform.events.post(*up);
  // A click the desktop holds back lands later, wherever the pointer then is.
  if (!platform.events.finishClick()) fail(kUnavailable, false);
}

struct Target {
  platform::Application application;
  ResolvedWindow window;
  InspectedElements inventory;
};

void elementAction(platform::Platform& platform, const std::string& type, const Json& action,
                   const NativeObservation& observation, const Target& target) {
  // Every way the element can fail to be the observed one is a changed target.
  auto ref = stringMember(action, "ref");
  if (!ref) fail(kTargetChanged);
  auto observedElement = observation.references.find(*ref);
  if (observedElement == observation.references.end()) fail(kTargetChanged);

  const Json* observedRecord = nullptr;
  if (auto elements = observation.snapshot.find("elements");
      elements != observation.snapshot.end() && elements->is_array()) {
    for (const auto& record : *elements) {
      if (stringMember(record, "ref") == *ref) {
        observedRecord = &record;
        break;
      }
    }
  }
  if (!observedRecord) fail(kTargetChanged);
  const auto metadata = roleAndName(*observedRecord);

  // The live elements of the current inventory, and the record of each.
  std::vector<std::pair<Element, std::vector<std::string>>> candidates;
  std::vector<const Json*> records;
  for (const auto& record : target.inventory.nodes) {
    auto recordRef = stringMember(record, "ref");
    if (!recordRef) continue;
    auto live = target.inventory.references.find(*recordRef);
    if (live == target.inventory.references.end()) continue;
    candidates.emplace_back(live->second, roleAndName(record));
    records.push_back(&record);
  }
  auto index = observedCandidate(observedElement->second, metadata, candidates,
                                 [](const Element& a, const Element& b) { return a == b; });
  if (!index) fail(kTargetChanged);
  const Element& element = candidates[*index].first;
  const Json* currentRecord = records[*index];
  if (!sameRecordBounds(*observedRecord, *currentRecord)) fail(kTargetChanged);

  if (type == "click") {
    bool pressable = false;
    if (auto actions = currentRecord->find("actions"); actions != currentRecord->end() && actions->is_array()) {
      for (const auto& name : *actions)
        pressable = pressable || (name.is_string() && name.get<std::string>() == "AXPress");
    }
    if (pressable) {
      if (platform.accessibility.performAction(element, "AXPress") != platform::kAXErrorSuccess) {
        fail(kUnavailable, false);
      }
      return;
    }
    auto bounds = currentRecord->find("bounds");
    if (bounds == currentRecord->end()) fail(kInvalidRequest);
    auto x = numberMember(*bounds, "x"), y = numberMember(*bounds, "y");
    auto w = numberMember(*bounds, "width"), h = numberMember(*bounds, "height");
    if (!x || !y || !w || !h || !(*w > 0) || !(*h > 0)) fail(kInvalidRequest);
    platform::Point centre{*x + *w * 0.5, *y + *h * 0.5};
    if (!platform::containsPoint(target.window.capture.frame, centre)) fail(kInvalidRequest);
    focus(platform, target.application, target.window.accessibility);
    click(platform, target.window.capture, centre);
    return;
  }

  // "fill"
  auto editable = currentRecord->find("editable");
  if (editable == currentRecord->end() || !editable->is_boolean() || !editable->get<bool>()) fail(kInvalidRequest);
  auto text = boundedText(action);
  if (platform.accessibility.setAttributeValue(element, "AXValue", platform::Value(text)) !=
      platform::kAXErrorSuccess) {
    fail(kUnavailable, false);
  }
}

void windowAction(platform::Platform& platform, const std::string& type, const Json& action,
                  const NativeObservation& observation, const Target& target) {
  // The window is raised before the parameters are looked at.
  focus(platform, target.application, target.window.accessibility);
  const Rect& frame = target.window.capture.frame;

  if (type == "click_at") {
    auto x = numberMember(action, "x"), y = numberMember(action, "y");
    auto image = observation.snapshot.find("image");
    if (!x || !y || image == observation.snapshot.end()) fail(kInvalidRequest);
    auto width = numberMember(*image, "width"), height = numberMember(*image, "height");
    if (!width || !height) fail(kInvalidRequest);
    if (!(*x >= 0 && *x < *width && *y >= 0 && *y < *height)) fail(kInvalidRequest);
    platform::Point at{platform::minX(frame) + platform::width(frame) * *x / *width,
                       platform::minY(frame) + platform::height(frame) * *y / *height};
    click(platform, target.window.capture, at);
  } else if (type == "type") {
    auto text = boundedText(action);
    typeText(platform, text, target.application);
  } else if (type == "press") {
    auto name = stringMember(action, "key");
    if (!name) fail(kInvalidRequest);
    auto entry = pressKeys().find(*name);
    if (entry == pressKeys().end()) fail(kInvalidRequest);
    key(platform.events, entry->second.code, entry->second.flags);
  } else if (type == "scroll") {
    auto amount = integerMember(action, "amount", 1, 1000);
    auto direction = stringMember(action, "direction");
    if (!amount || !direction || (*direction != "up" && *direction != "down")) fail(kInvalidRequest);
    auto pixels = static_cast<std::int32_t>(*direction == "up" ? *amount : -*amount);
    auto event = platform.events.createScrollWheelEvent(pixels);
    if (!event) fail(kInvalidRequest);
    event->location = platform::Point{platform::midX(frame), platform::midY(frame)};
    platform.events.post(*event);
  } else {
    fail(kInvalidRequest);
  }
}

}  // namespace

Json act(platform::Platform& platform, const Json& request, const NativeObservation& observation) {
  const Json& snapshot = observation.snapshot;
  auto requested = stringMember(request, "snapshotId");
  auto observed = stringMember(snapshot, "snapshotId");
  if (!requested || !observed || *requested != *observed) fail(kInvalidRequest);

  auto actionEntry = request.find("action");
  if (actionEntry == request.end() || !actionEntry->is_object()) fail(kInvalidRequest);
  const Json& action = *actionEntry;
  auto appId = stringMember(snapshot, "appId");
  auto windowId = stringMember(snapshot, "windowId");
  if (!appId || !windowId || !boundsObjectOfNumbers(snapshot)) fail(kInvalidRequest);

  Target target;
  target.application = targetApp(platform, *appId);
  auto pid = integerMember(snapshot, "pid", std::numeric_limits<std::int32_t>::min(),
                           std::numeric_limits<std::int32_t>::max());
  if (!pid || *pid != target.application->processIdentifier()) fail(kTargetChanged);

  target.window = window(platform, target.application, *windowId);
  if (!sameWindowBounds(observedBounds(snapshot.at("bounds")), target.window.capture.frame) ||
      !(target.window.accessibility == observation.window)) {
    fail(kTargetChanged);
  }
  target.inventory = inspect(platform.accessibility, target.window.accessibility, target.window.capture.frame);

  auto type = stringMember(action, "type");
  if (!type) fail(kInvalidRequest);
  if (*type == "click" || *type == "fill") {
    elementAction(platform, *type, action, observation, target);
  } else {
    windowAction(platform, *type, action, observation, target);
  }
  return Json{{"completed", true}};
}

}  // namespace larkspire::computer
