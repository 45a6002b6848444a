// The accessibility service over the simulated trees.
#include <algorithm>

#include "platform/simulated/internal.h"

namespace larkspire::simulated {

using platform::kAXErrorSuccess;

class SimAccessibility final : public platform::Accessibility {
 public:
  explicit SimAccessibility(Desktop& desktop) : desktop_(desktop) {}

  bool isProcessTrusted() override { return desktop_.accessibilityTrusted && !desktop_.accessibilityServiceFailed; }
  platform::PermissionState trustState() override {
    if (desktop_.accessibilityServiceFailed) return platform::PermissionState::serviceFailed;
    return desktop_.accessibilityTrusted ? platform::PermissionState::granted : platform::PermissionState::notGranted;
  }

  bool isProcessTrustedWithOptions(bool prompt) override {
    if (prompt && !desktop_.accessibilityTrusted) {
      // The system shows its prompt only while the permission is missing.
      ++desktop_.accessibilityPrompts;
      if (desktop_.promptGrantsAccessibility) desktop_.accessibilityTrusted = true;
    }
    return desktop_.accessibilityTrusted;
  }

  Element createApplication(Pid pid) override {
    if (SimApp* app = desktop_.app(pid)) return app->element().element();
    return Element(std::make_shared<NodeRef>(desktop_.impl_->serial, 0, pid));
  }

  platform::CopyResult copyAttributeValue(const Element& element, std::string_view attribute) override {
    Node* node = nullptr;
    if (AXError error = reach(element, node)) return {error, std::nullopt};
    auto answer = node->answer(std::string(attribute));
    if (!answer) return {platform::kAXErrorAttributeUnsupported, std::nullopt};
    return {answer->error, answer->error == kAXErrorSuccess ? answer->value : std::nullopt};
  }

  platform::CopyResult copyParameterizedAttributeValue(const Element& element, std::string_view attribute,
                                                       const Value& parameter) override {
    Node* node = nullptr;
    if (AXError error = reach(element, node)) return {error, std::nullopt};
    auto it = node->parameterized_.find(std::string(attribute));
    if (it == node->parameterized_.end() || !it->second)
      return {platform::kAXErrorParameterizedAttributeUnsupported, std::nullopt};
    AttributeAnswer answer = it->second(parameter);
    return {answer.error, answer.error == kAXErrorSuccess ? answer.value : std::nullopt};
  }

  AXError setAttributeValue(const Element& element, std::string_view attribute, const Value& value) override {
    Node* node = nullptr;
    if (AXError error = reach(element, node)) return error;
    const std::string name(attribute);
    // Every attempt that reaches the application is recorded, failed or not:
    // the application may have seen it.
    desktop_.setValues.push_back(SetValue{element, name, value});
    if (auto it = node->setErrors_.find(name); it != node->setErrors_.end()) return it->second;
    // Asking for the front through Accessibility is not the cooperative
    // activation of RunningApplication::activate(): it is carried out.
    if (name == "AXFrontmost" && node->app_ && node == &node->app_->element() && value == Value(true)) {
      desktop_.activateApp(*node->app_, true);
    }
    node->set(name, value);
    return kAXErrorSuccess;
  }

  platform::CountResult getAttributeValueCount(const Element& element, std::string_view attribute) override {
    Node* node = nullptr;
    if (AXError error = reach(element, node)) return {error, 0};
    ++desktop_.countReads;
    auto answer = node->answer(std::string(attribute));
    if (!answer) return {platform::kAXErrorAttributeUnsupported, 0};
    if (answer->error != kAXErrorSuccess) return {answer->error, 0};
    if (!answer->value) return {platform::kAXErrorNoValue, 0};
    if (const auto* list = std::get_if<platform::ElementList>(&*answer->value))
      return {kAXErrorSuccess, static_cast<std::int64_t>(list->size())};
    if (const auto* texts = std::get_if<platform::TextList>(&*answer->value))
      return {kAXErrorSuccess, static_cast<std::int64_t>(texts->size())};
    return {platform::kAXErrorIllegalArgument, 0};
  }

  platform::NamesResult copyActionNames(const Element& element) override {
    Node* node = nullptr;
    if (AXError error = reach(element, node)) return {error, std::nullopt};
    if (node->actionNamesError_) return {*node->actionNamesError_, std::nullopt};
    return {kAXErrorSuccess, node->actions_.value_or(platform::TextList{})};
  }

  platform::SettableResult isAttributeSettable(const Element& element, std::string_view attribute) override {
    Node* node = nullptr;
    if (AXError error = reach(element, node)) return {error, false};
    const std::string name(attribute);
    if (auto it = node->settableErrors_.find(name); it != node->settableErrors_.end()) return {it->second, false};
    return {kAXErrorSuccess, node->settable_.count(name) > 0};
  }

  AXError performAction(const Element& element, std::string_view action) override {
    Node* node = nullptr;
    if (AXError error = reach(element, node)) return error;
    const std::string name(action);
    desktop_.performed.push_back(PerformedAction{element, name});
    if (auto it = node->actionErrors_.find(name); it != node->actionErrors_.end()) return it->second;
    const auto& names = node->actions_;
    if (!names || std::find(names->begin(), names->end(), name) == names->end())
      return platform::kAXErrorActionUnsupported;
    // Raising a window makes it its application's focused window, as the
    // window server does; a handler may add to that.
    if (name == "AXRaise" && node->window_ && node->app_) node->app_->focus(*node->window_);
    if (auto it = node->actionHandlers_.find(name); it != node->actionHandlers_.end() && it->second) {
      auto handler = it->second;  // the handler may rebuild the tree, this node included
      handler();
    }
    return kAXErrorSuccess;
  }

  platform::NamesResult copyAttributeNames(const Element& element) override {
    Node* node = nullptr;
    if (AXError error = reach(element, node)) return {error, std::nullopt};
    platform::TextList names;
    for (const auto& [name, answer] : node->attributes_) names.push_back(name);
    auto addDerived = [&](const char* name) {
      auto answer = node->answer(name);
      if (answer && answer->error == kAXErrorSuccess && std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
    };
    addDerived("AXChildren");
    addDerived("AXParent");
    addDerived("AXWindows");
    return {kAXErrorSuccess, names};
  }

  platform::NamesResult copyParameterizedAttributeNames(const Element& element) override {
    Node* node = nullptr;
    if (AXError error = reach(element, node)) return {error, std::nullopt};
    platform::TextList names;
    for (const auto& [name, answer] : node->parameterized_) names.push_back(name);
    return {kAXErrorSuccess, names};
  }

 private:
  // The node behind a handle, or the error a call on it answers.
  AXError reach(const Element& element, Node*& node) {
    if (!desktop_.accessibilityTrusted) return platform::kAXErrorAPIDisabled;
    if (!element) return platform::kAXErrorIllegalArgument;
    auto* ref = element.as<NodeRef>();
    if (ref && ref->nodeId() == 0) {
      // The element of a process that did not exist when it was made; it
      // stays dead even if that process identifier is used later.
      return platform::kAXErrorCannotComplete;
    }
    node = desktop_.impl_->resolve(element);
    if (!node || !node->valid()) return platform::kAXErrorInvalidUIElement;
    ++desktop_.accessibilityCalls;
    if (node->app_ && node->app_->hung) {
      desktop_.advance(desktop_.messagingTimeout);
      return platform::kAXErrorCannotComplete;
    }
    return kAXErrorSuccess;
  }

  Desktop& desktop_;
};

std::unique_ptr<platform::Accessibility> makeAccessibility(Desktop& desktop) {
  return std::make_unique<SimAccessibility>(desktop);
}

}  // namespace larkspire::simulated
