#include <algorithm>

#include "platform/simulated/internal.h"
#include "platform/simulated/tree_text.h"

namespace larkspire::simulated {

Node::Node(Desktop& desktop, SimApp* app, Node* parent)
    : desktop_(desktop), app_(app), parent_(parent), id_(desktop.impl_->nextNodeId++) {
  desktop_.impl_->nodes[id_] = this;
}

Node::~Node() {
  // Children go first (they are members), then this node leaves the index.
  children_.clear();
  desktop_.impl_->nodes.erase(id_);
}

Element Node::element() const {
  return Element(std::make_shared<NodeRef>(desktop_.impl_->serial, id_, app_ ? app_->pid() : 0));
}

bool Node::valid() const { return !dead_ && !(app_ && app_->terminated()); }

Node& Node::add(const std::string& roleName) {
  children_.push_back(std::make_unique<Node>(desktop_, app_, this));
  Node& child = *children_.back();
  child.role(roleName);
  return child;
}

Node& Node::addMany(int count, const std::function<void(Node&, int)>& build) {
  for (int i = 0; i < count; ++i) {
    children_.push_back(std::make_unique<Node>(desktop_, app_, this));
    if (build) build(*children_.back(), i);
  }
  return *this;
}

void Node::removeChild(const Node& child) {
  if (child.window_ && app_) {
    app_->closeWindow(*child.window_);
    return;
  }
  auto it = std::find_if(children_.begin(), children_.end(), [&](const auto& c) { return c.get() == &child; });
  if (it != children_.end()) children_.erase(it);
}

Node& Node::addTree(const std::string& text) {
  buildTree(*this, text);
  return *this;
}

Node& Node::tag(const std::string& name) {
  tag_ = name;
  return *this;
}

Node* Node::find(const std::string& tagName) {
  if (tag_ == tagName) return this;
  for (auto& child : children_)
    if (Node* found = child->find(tagName)) return found;
  return nullptr;
}

Node& Node::invalidate() {
  dead_ = true;
  return *this;
}

Node& Node::role(const std::string& v) { return set("AXRole", v); }
Node& Node::subrole(const std::string& v) { return set("AXSubrole", v); }
Node& Node::title(const std::string& v) { return set("AXTitle", v); }
Node& Node::description(const std::string& v) { return set("AXDescription", v); }
Node& Node::value(const Value& v) { return set("AXValue", v); }
Node& Node::protectedContent(bool v) { return set("AXProtectedContent", v); }

Node& Node::frame(const Rect& rect) {
  set("AXPosition", platform::AXValue{rect.origin});
  return set("AXSize", platform::AXValue{rect.size});
}

Node& Node::actions(std::vector<std::string> names) {
  actions_ = std::move(names);
  return *this;
}

Node& Node::settable(const std::string& attribute, bool isSettable) {
  if (isSettable)
    settable_.insert(attribute);
  else
    settable_.erase(attribute);
  return *this;
}

Node& Node::set(const std::string& attribute, const Value& v) {
  attributes_[attribute] = AttributeAnswer{platform::kAXErrorSuccess, v};
  return *this;
}

Node& Node::fail(const std::string& attribute, AXError error) {
  attributes_[attribute] = AttributeAnswer{error, std::nullopt};
  return *this;
}

Node& Node::succeedWithoutValue(const std::string& attribute) {
  attributes_[attribute] = AttributeAnswer{platform::kAXErrorSuccess, std::nullopt};
  return *this;
}

Node& Node::unset(const std::string& attribute) {
  attributes_.erase(attribute);
  return *this;
}

Node& Node::failActionNames(AXError error) {
  actionNamesError_ = error;
  return *this;
}

Node& Node::failSettable(const std::string& attribute, AXError error) {
  settableErrors_[attribute] = error;
  return *this;
}

Node& Node::failAction(const std::string& action, AXError error) {
  actionErrors_[action] = error;
  return *this;
}

Node& Node::failSet(const std::string& attribute, AXError error) {
  setErrors_[attribute] = error;
  return *this;
}

Node& Node::parameterized(const std::string& attribute, std::function<AttributeAnswer(const Value&)> answerFn) {
  parameterized_[attribute] = std::move(answerFn);
  return *this;
}

Node& Node::onAction(const std::string& action, std::function<void()> handler) {
  actionHandlers_[action] = std::move(handler);
  return *this;
}

std::optional<AttributeAnswer> Node::answer(const std::string& attribute) const {
  if (auto it = attributes_.find(attribute); it != attributes_.end()) return it->second;

  // Derived attributes, answered from the tree's shape unless set.
  if (attribute == "AXChildren") {
    platform::ElementList list;
    for (const auto& child : children_)
      if (child->listed_) list.push_back(child->element());
    return AttributeAnswer{platform::kAXErrorSuccess, Value(std::move(list))};
  }
  if (attribute == "AXParent") {
    if (!parent_) return AttributeAnswer{platform::kAXErrorNoValue, std::nullopt};
    return AttributeAnswer{platform::kAXErrorSuccess, Value(parent_->element())};
  }
  if (attribute == "AXWindows" && app_ && this == &app_->element()) {
    platform::ElementList list;
    for (SimWindow* window : app_->windows())
      if (window->accessible_) list.push_back(window->element().element());
    return AttributeAnswer{platform::kAXErrorSuccess, Value(std::move(list))};
  }
  return std::nullopt;
}

}  // namespace larkspire::simulated
