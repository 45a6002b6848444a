// Drives the Linux accessibility service alone, for the desktop tests:
//   atspi_probe tree PID                 the application's tree as JSON
//   atspi_probe windows PID              its windows and the focused window and element
//   atspi_probe press PID NAME [ACTION]  performs AXPress (or ACTION) on the element titled NAME
//                                        (NAME "role:AXTextField": the first element of that role)
//   atspi_probe set-value PID NAME TEXT  sets AXValue of the element titled NAME
//   atspi_probe selected PID NAME        selection attributes of the element titled NAME
//   atspi_probe names PID NAME           attribute and parameterized attribute names
//   atspi_probe raise PID TITLE          AXRaise on the window titled TITLE
//   atspi_probe hold PID NAME            reads AXRole, waits for a line on stdin, reads it again
//   atspi_probe walk PID COUNT           walks the tree COUNT times, reports nodes and ms per walk
// Every answer is one JSON object on stdout; error codes are the platform's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/linux/linux_platform.h"

using namespace larkspire;
using namespace larkspire::platform;
using nlohmann::json;

namespace {

std::unique_ptr<linux_backend::LinuxContext> gContext;
std::unique_ptr<Accessibility> gAx;

json valueJson(const CopyResult& r) {
  if (!r.succeeded() || !r.value) return json{{"error", r.error}};
  return std::visit(
      [](const auto& v) -> json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, bool> || std::is_same_v<T, std::int64_t> ||
                      std::is_same_v<T, double>) {
          return v;
        } else if constexpr (std::is_same_v<T, Url>) {
          return json{{"url", v.absoluteString}};
        } else if constexpr (std::is_same_v<T, Element>) {
          return "element";
        } else if constexpr (std::is_same_v<T, ElementList>) {
          return json{{"elements", v.size()}};
        } else if constexpr (std::is_same_v<T, AXValue>) {
          if (auto p = v.template get<Point>()) return json{{"x", p->x}, {"y", p->y}};
          if (auto s = v.template get<Size>()) return json{{"width", s->width}, {"height", s->height}};
          if (auto r = v.template get<Rect>())
            return json{{"x", r->origin.x}, {"y", r->origin.y}, {"width", r->size.width}, {"height", r->size.height}};
          if (auto c = v.template get<CharacterRange>()) return json{{"location", c->location}, {"length", c->length}};
          return nullptr;
        } else {
          return "other";
        }
      },
      *r.value);
}

std::string text(const Element& e, const char* attribute) {
  auto r = gAx->copyAttributeValue(e, attribute);
  auto* s = r.get<std::string>();
  return s ? *s : std::string();
}

ElementList children(const Element& e) {
  auto r = gAx->copyAttributeValue(e, "AXChildren");
  auto* l = r.get<ElementList>();
  return l ? *l : ElementList{};
}

json describe(const Element& e) {
  json node;
  node["role"] = valueJson(gAx->copyAttributeValue(e, "AXRole"));
  node["title"] = valueJson(gAx->copyAttributeValue(e, "AXTitle"));
  auto subrole = gAx->copyAttributeValue(e, "AXSubrole");
  if (subrole.succeeded()) node["subrole"] = valueJson(subrole);
  auto prot = gAx->copyAttributeValue(e, "AXProtectedContent");
  if (prot.succeeded()) node["protected"] = valueJson(prot);
  auto actions = gAx->copyActionNames(e);
  node["actions"] = actions.names ? *actions.names : TextList{};
  node["settable"] = gAx->isAttributeSettable(e, "AXValue").settable;
  auto pos = gAx->copyAttributeValue(e, "AXPosition");
  auto size = gAx->copyAttributeValue(e, "AXSize");
  if (pos.succeeded() && size.succeeded()) {
    auto p = valueJson(pos), s = valueJson(size);
    node["bounds"] = json{{"x", p["x"]}, {"y", p["y"]}, {"width", s["width"]}, {"height", s["height"]}};
  } else {
    node["boundsError"] = pos.succeeded() ? size.error : pos.error;
  }
  return node;
}

json tree(const Element& e, int depth, int& budget) {
  json node = describe(e);
  json kids = json::array();
  if (depth < 30)
    for (const auto& c : children(e)) {
      if (--budget < 0) break;
      kids.push_back(tree(c, depth + 1, budget));
    }
  node["children"] = kids;
  return node;
}

// Breadth-first search for the first element whose title is `name`, or
// whose role is X for a name "role:X".
Element find(const Element& app, const std::string& name) {
  const bool byRole = name.rfind("role:", 0) == 0;
  std::deque<Element> queue{app};
  int budget = 5000;
  while (!queue.empty() && budget-- > 0) {
    Element e = queue.front();
    queue.pop_front();
    if (byRole ? text(e, "AXRole") == name.substr(5) : text(e, "AXTitle") == name) return e;
    for (auto& c : children(e)) queue.push_back(c);
  }
  return {};
}

void print(const json& j) { std::cout << j.dump() << std::endl; }

int usage() {
  print(json{{"error", "usage"}});
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  linux_backend::silenceLibraryMessages();
  gContext = std::make_unique<linux_backend::LinuxContext>();
  gAx = linux_backend::makeAccessibility(*gContext);
  const std::string command = argv[1];
  const Pid pid = static_cast<Pid>(std::stol(argv[2]));
  const Element app = gAx->createApplication(pid);

  if (command == "tree") {
    int budget = 5000;
    print(tree(app, 0, budget));
    return 0;
  }
  if (command == "windows") {
    json out;
    json windows = json::array();
    auto r = gAx->copyAttributeValue(app, "AXWindows");
    if (auto* l = r.get<ElementList>())
      for (const auto& w : *l) windows.push_back(describe(w));
    out["windows"] = windows;
    out["windowsError"] = r.error;
    auto fw = gAx->copyAttributeValue(app, "AXFocusedWindow");
    if (auto* w = fw.get<Element>()) {
      out["focusedWindow"] = text(*w, "AXTitle");
      if (auto* l = r.get<ElementList>())
        for (std::size_t i = 0; i < l->size(); ++i)
          if ((*l)[i] == *w) out["focusedWindowIndex"] = i;
    } else {
      out["focusedWindowError"] = fw.error;
    }
    auto fe = gAx->copyAttributeValue(app, "AXFocusedUIElement");
    if (auto* e = fe.get<Element>())
      out["focusedElement"] = describe(*e);
    else
      out["focusedElementError"] = fe.error;
    print(out);
    return 0;
  }
  if (argc < 4) return usage();
  const std::string name = argv[3];
  if (command == "raise") {
    auto r = gAx->copyAttributeValue(app, "AXWindows");
    if (auto* l = r.get<ElementList>())
      for (const auto& w : *l)
        if (text(w, "AXTitle") == name) {
          print(json{{"error", gAx->performAction(w, "AXRaise")}});
          return 0;
        }
    print(json{{"error", "not found"}});
    return 1;
  }
  if (command == "walk") {
    const int count = std::max(1, std::stoi(name));
    double total = 0;
    int nodes = 0;
    for (int i = 0; i < count; ++i) {
      auto start = std::chrono::steady_clock::now();
      std::deque<Element> queue{app};
      nodes = 0;
      while (!queue.empty()) {
        Element n = queue.front();
        queue.pop_front();
        ++nodes;
        // The reads one inventory makes per node.
        gAx->copyAttributeValue(n, "AXSubrole");
        gAx->copyAttributeValue(n, "AXProtectedContent");
        gAx->copyAttributeValue(n, "AXRole");
        gAx->copyAttributeValue(n, "AXTitle");
        gAx->copyAttributeValue(n, "AXDescription");
        gAx->copyActionNames(n);
        gAx->isAttributeSettable(n, "AXValue");
        gAx->copyAttributeValue(n, "AXPosition");
        gAx->copyAttributeValue(n, "AXSize");
        for (auto& c : children(n)) queue.push_back(c);
      }
      total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
    print(json{{"nodes", nodes}, {"msPerWalk", total / count}});
    return 0;
  }
  const Element e = find(app, name);
  if (!e) {
    print(json{{"error", "not found"}});
    return 1;
  }
  if (command == "press") {
    print(json{{"error", gAx->performAction(e, argc > 4 ? argv[4] : "AXPress")}});
  } else if (command == "set-value" && argc > 4) {
    print(json{{"error", gAx->setAttributeValue(e, "AXValue", Value{std::string(argv[4])})},
               {"value", valueJson(gAx->copyAttributeValue(e, "AXValue"))}});
  } else if (command == "selected") {
    json out;
    out["role"] = text(e, "AXRole");
    out["selectedText"] = valueJson(gAx->copyAttributeValue(e, "AXSelectedText"));
    auto range = gAx->copyAttributeValue(e, "AXSelectedTextRange");
    out["range"] = valueJson(range);
    out["characters"] = valueJson(gAx->copyAttributeValue(e, "AXNumberOfCharacters"));
    out["url"] = valueJson(gAx->copyAttributeValue(e, "AXURL"));
    if (auto* v = range.get<AXValue>()) {
      out["stringForRange"] = valueJson(gAx->copyParameterizedAttributeValue(e, "AXStringForRange", *v));
      out["boundsForRange"] = valueJson(gAx->copyParameterizedAttributeValue(e, "AXBoundsForRange", *v));
    }
    out["bounds"] = describe(e)["bounds"];
    print(out);
  } else if (command == "names") {
    auto a = gAx->copyAttributeNames(e);
    auto p = gAx->copyParameterizedAttributeNames(e);
    print(json{{"attributes", a.names ? *a.names : TextList{}}, {"parameterized", p.names ? *p.names : TextList{}}});
  } else if (command == "hold") {
    print(json{{"before", valueJson(gAx->copyAttributeValue(e, "AXRole"))}});
    std::string line;
    std::getline(std::cin, line);
    // Past the snapshot lifetime, so the second read asks the application.
    print(json{{"after", valueJson(gAx->copyAttributeValue(e, "AXRole"))},
               {"actions", gAx->copyActionNames(e).error},
               {"press", gAx->performAction(e, "AXPress")}});
  } else {
    return usage();
  }
  return 0;
}
