// The accessibility service: read and operate other applications' elements.
#pragma once

#include <string_view>

#include "platform/values.h"

namespace larkspire::platform {

class Accessibility {
 public:
  virtual ~Accessibility() = default;

  // Whether this process may use the interface (AXIsProcessTrusted).
  virtual bool isProcessTrusted() = 0;
  // The same; with prompt true the system may ask the user, without waiting.
  virtual bool isProcessTrustedWithOptions(bool prompt) = 0;
  // isProcessTrusted, telling a permission not granted from an
  // accessibility service that is gone or does not answer.
  virtual PermissionState trustState() {
    return isProcessTrusted() ? PermissionState::granted : PermissionState::notGranted;
  }

  // The element of an application process. Never fails; reads on a process
  // that does not exist fail.
  virtual Element createApplication(Pid pid) = 0;

  virtual CopyResult copyAttributeValue(const Element& element, std::string_view attribute) = 0;
  virtual CopyResult copyParameterizedAttributeValue(const Element& element, std::string_view attribute,
                                                     const Value& parameter) = 0;
  virtual AXError setAttributeValue(const Element& element, std::string_view attribute, const Value& value) = 0;
  // How many values a list attribute holds, without reading them: a walk
  // learns how many children a node has before it asks for them.
  // kAXErrorNotImplemented when the backend cannot count without reading.
  virtual CountResult getAttributeValueCount(const Element& element, std::string_view attribute) = 0;
  virtual NamesResult copyActionNames(const Element& element) = 0;
  virtual SettableResult isAttributeSettable(const Element& element, std::string_view attribute) = 0;
  virtual AXError performAction(const Element& element, std::string_view action) = 0;
  virtual NamesResult copyAttributeNames(const Element& element) = 0;
  virtual NamesResult copyParameterizedAttributeNames(const Element& element) = 0;
};

}  // namespace larkspire::platform
