#include "selection-observer/diagnostic_modes.h"

#include <cmath>
#include <deque>
#include <vector>

#include "common/text.h"
#include "selection-observer/constants.h"
#include "selection-observer/extraction.h"

namespace larkspire::observer {
namespace {

using platform::AXValue;
using platform::Element;

constexpr int kWatchNodes = 600;
constexpr double kWatchPause = 0.3;
constexpr int kDumpNodes = 4000;
constexpr int kDumpExpandDepth = 24;
constexpr double kDumpSettle = 1.2;

void line(Output& output, const std::string& text) { output.standardOutput(text + "\n"); }

std::string count(const std::string& text) { return std::to_string(text::graphemeCount(text)); }

std::vector<Element> childrenOf(platform::Accessibility& ax, const Element& element) {
  auto result = ax.copyAttributeValue(element, "AXChildren");
  if (auto list = result.get<platform::ElementList>()) return *list;
  return {};
}

// The focused window, else the first window; `windows` receives the count.
std::optional<Element> rootOf(platform::Accessibility& ax, const Element& app, std::size_t* windows = nullptr) {
  auto focused = ax.copyAttributeValue(app, "AXFocusedWindow");
  if (auto element = focused.get<Element>(); element && *element) return *element;
  auto list = ax.copyAttributeValue(app, "AXWindows");
  if (auto elements = list.get<platform::ElementList>(); elements && !elements->empty()) {
    if (windows) *windows = elements->size();
    return elements->front();
  }
  return std::nullopt;
}

std::string describeForWatch(platform::Accessibility& ax, const Element& element, const std::string& role) {
  auto selected = ax.copyAttributeValue(element, "AXSelectedText");
  std::string s = "nil";
  if (auto text = selected.get<std::string>()) s = text->empty() ? "empty" : "LEN=" + count(*text);

  auto range = ax.copyAttributeValue(element, "AXSelectedTextRange");
  std::string r = "nil";
  std::string t = "nil";
  if (auto value = range.get<AXValue>()) {
    if (auto chars = value->get<platform::CharacterRange>()) {
      r = "loc=" + std::to_string(chars->location) + " len=" + std::to_string(chars->length);
    }
    if (auto text = stringForParameter(ax, element, "AXStringForRange", *value)) {
      t = text->empty() ? "empty" : "RLEN=" + count(*text);
    }
  }
  auto characters = ax.copyAttributeValue(element, "AXNumberOfCharacters");
  std::string c = "-";
  if (auto n = characters.get<std::int64_t>()) c = std::to_string(*n);
  return role + ": AXSelectedText=" + s + " range[" + r + "] AXStringForRange=" + t + " chars=" + c;
}

std::string lengthOrDash(const std::optional<std::string>& text, const char* prefix) {
  if (!text) return "-";
  return text->empty() ? "empty" : prefix + count(*text);
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += ", ";
    out += names[i];
  }
  return out;
}

}  // namespace

void watchSelection(platform::Platform& platform, Output& output, platform::Pid pid, double seconds) {
  auto& ax = platform.accessibility;
  rearmAccessibility(ax, pid);
  auto app = ax.createApplication(pid);
  double deadline = platform.clock.now() + seconds;
  line(output, "watching pid " + std::to_string(pid) + " for " +
                   std::to_string(static_cast<long long>(std::trunc(seconds))) + "s — 现在去那个应用里选中一段文字");
  std::string previous;
  while (platform.clock.now() < deadline) {
    if (auto root = rootOf(ax, app)) {
      std::vector<Element> walk{*root};
      std::vector<std::string> lines;
      for (std::size_t i = 0; i < walk.size() && i < static_cast<std::size_t>(kWatchNodes); ++i) {
        Element element = walk[i];
        auto role = stringAttribute(ax, element, "AXRole").value_or("");
        if (selectionRoles().count(role)) lines.push_back(describeForWatch(ax, element, role));
        for (auto& child : childrenOf(ax, element)) walk.push_back(child);
      }
      std::string current;
      for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) current += " | ";
        current += lines[i];
      }
      if (current != previous) {
        line(output, current.empty() ? "(no content-area nodes)" : current);
        previous = current;
      }
    }
    platform.clock.sleep(kWatchPause);
  }
  line(output, "done");
}

void dumpTree(platform::Platform& platform, Output& output, platform::Pid pid) {
  auto& ax = platform.accessibility;
  rearmAccessibility(ax, pid);
  platform.clock.sleep(kDumpSettle);
  auto app = ax.createApplication(pid);

  std::optional<Element> root;
  auto focused = ax.copyAttributeValue(app, "AXFocusedWindow");
  if (auto element = focused.get<Element>(); element && *element) {
    root = *element;
    line(output, "root = AXFocusedWindow");
  } else {
    auto windows = ax.copyAttributeValue(app, "AXWindows");
    auto list = windows.get<platform::ElementList>();
    if (list && !list->empty()) {
      root = list->front();
      line(output, "root = AXWindows[0] (共 " + std::to_string(list->size()) + " 个窗口)");
    } else {
      line(output, "pid " + std::to_string(pid) + ": 既无 AXFocusedWindow 也无 AXWindows（app 元素 role=" +
                       stringAttribute(ax, app, "AXRole").value_or("nil") + "）");
      return;
    }
  }

  std::deque<std::pair<Element, int>> queue;
  queue.emplace_back(*root, 0);
  for (int taken = 0; taken < kDumpNodes && !queue.empty(); ++taken) {
    auto [element, depth] = std::move(queue.front());
    queue.pop_front();
    std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
    auto role = stringAttribute(ax, element, "AXRole");

    auto selectedValue = ax.copyAttributeValue(element, "AXSelectedText");
    std::optional<std::string> selectedTextValue;
    if (auto text = selectedValue.get<std::string>()) selectedTextValue = *text;

    auto markerRange = ax.copyAttributeValue(element, "AXSelectedTextMarkerRange");
    bool hasMarker = markerRange.succeeded() && markerRange.value.has_value();
    std::string markerText = "-";
    if (hasMarker) {
      markerText =
          lengthOrDash(stringForParameter(ax, element, "AXStringForTextMarkerRange", *markerRange.value), "MLEN=");
    }
    std::string rangeText = "-";
    auto range = ax.copyAttributeValue(element, "AXSelectedTextRange");
    if (auto value = range.get<AXValue>()) {
      rangeText = lengthOrDash(stringForParameter(ax, element, "AXStringForRange", *value), "RLEN=");
    }

    line(output, indent + "[" + std::to_string(depth) + "] " + role.value_or("?") +
                     " selected=" + lengthOrDash(selectedTextValue, "LEN=") + " " + (hasMarker ? "marker" : "-") +
                     " markerText=" + markerText + " rangeText=" + rangeText);

    if (role && selectionRoles().count(*role)) {
      auto names = ax.copyAttributeNames(element);
      if (names.error == platform::kAXErrorSuccess && names.names) {
        line(output, indent + "    attrs: " + joined(*names.names));
      }
      auto params = ax.copyParameterizedAttributeNames(element);
      if (params.error == platform::kAXErrorSuccess && params.names && !params.names->empty()) {
        line(output, indent + "    params: " + joined(*params.names));
      }
    }
    if (depth <= kDumpExpandDepth) {
      for (auto& child : childrenOf(ax, element)) queue.emplace_back(child, depth + 1);
    }
  }
}

}  // namespace larkspire::observer
