// Gives up on an application that stopped answering. Each accessibility call
// waits for the other application up to a messaging timeout; a walk over a
// hung application would pay that timeout once per element. After one call
// to an application has failed by running out of time, the guard answers
// its further calls at once with kAXErrorCannotComplete, for a while.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/accessibility.h"
#include "platform/run_loop.h"

namespace larkspire::platform {

class HungApplicationGuard final : public Accessibility {
 public:
  // A failed call that took at least this long ran out of time (the
  // backends' messaging timeout is 1.5 s).
  static constexpr double kTimedOutAfterSeconds = 1.0;
  // How long an application that timed out is left alone: longer than any
  // one request, short enough for the observer to read it again once it
  // recovers.
  static constexpr double kGiveUpSeconds = 10.0;

  // Which application an element belongs to (a process or a bus name);
  // none when the backend cannot tell, and then the call always goes out.
  using ApplicationOf = std::function<std::optional<std::string>(const Element&)>;

  HungApplicationGuard(std::unique_ptr<Accessibility> inner, Clock& clock, ApplicationOf applicationOf);

  bool isProcessTrusted() override;
  bool isProcessTrustedWithOptions(bool prompt) override;
  PermissionState trustState() override;
  Element createApplication(Pid pid) override;
  CopyResult copyAttributeValue(const Element& element, std::string_view attribute) override;
  CopyResult copyParameterizedAttributeValue(const Element& element, std::string_view attribute,
                                             const Value& parameter) override;
  AXError setAttributeValue(const Element& element, std::string_view attribute, const Value& value) override;
  CountResult getAttributeValueCount(const Element& element, std::string_view attribute) override;
  NamesResult copyActionNames(const Element& element) override;
  SettableResult isAttributeSettable(const Element& element, std::string_view attribute) override;
  AXError performAction(const Element& element, std::string_view action) override;
  NamesResult copyAttributeNames(const Element& element) override;
  NamesResult copyParameterizedAttributeNames(const Element& element) override;

 private:
  // Runs one call unless its application was given up on, in which case
  // the answer is `givenUpResult`.
  template <typename Call>
  auto guarded(const Element& element, decltype(std::declval<Call>()()) givenUpResult, Call call) -> decltype(call());
  bool givenUp(const std::string& application);
  void note(const std::string& application, AXError error, double started);

  std::unique_ptr<Accessibility> inner_;
  Clock& clock_;
  ApplicationOf applicationOf_;
  std::mutex mutex_;
  std::map<std::string, double> timedOutAt_;
};

}  // namespace larkspire::platform
