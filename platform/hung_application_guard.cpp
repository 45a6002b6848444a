#include "platform/hung_application_guard.h"

namespace larkspire::platform {
namespace {

AXError errorOf(AXError error) { return error; }
template <typename Result>
AXError errorOf(const Result& result) {
  return result.error;
}

}  // namespace

HungApplicationGuard::HungApplicationGuard(std::unique_ptr<Accessibility> inner, Clock& clock,
                                           ApplicationOf applicationOf)
    : inner_(std::move(inner)), clock_(clock), applicationOf_(std::move(applicationOf)) {}

bool HungApplicationGuard::givenUp(const std::string& application) {
  std::lock_guard lock(mutex_);
  auto it = timedOutAt_.find(application);
  if (it == timedOutAt_.end()) return false;
  if (clock_.now() - it->second < kGiveUpSeconds) return true;
  timedOutAt_.erase(it);
  return false;
}

void HungApplicationGuard::note(const std::string& application, AXError error, double started) {
  if (error != kAXErrorCannotComplete) return;
  const double now = clock_.now();
  if (now - started < kTimedOutAfterSeconds) return;
  std::lock_guard lock(mutex_);
  timedOutAt_[application] = now;
}

template <typename Call>
auto HungApplicationGuard::guarded(const Element& element, decltype(std::declval<Call>()()) givenUpResult, Call call)
    -> decltype(call()) {
  auto application = applicationOf_ ? applicationOf_(element) : std::nullopt;
  if (!application) return call();
  if (givenUp(*application)) return givenUpResult;
  const double started = clock_.now();
  auto result = call();
  note(*application, errorOf(result), started);
  return result;
}

bool HungApplicationGuard::isProcessTrusted() { return inner_->isProcessTrusted(); }

bool HungApplicationGuard::isProcessTrustedWithOptions(bool prompt) {
  return inner_->isProcessTrustedWithOptions(prompt);
}

PermissionState HungApplicationGuard::trustState() { return inner_->trustState(); }

Element HungApplicationGuard::createApplication(Pid pid) { return inner_->createApplication(pid); }

CopyResult HungApplicationGuard::copyAttributeValue(const Element& element, std::string_view attribute) {
  return guarded(element, CopyResult{kAXErrorCannotComplete, std::nullopt},
                 [&] { return inner_->copyAttributeValue(element, attribute); });
}

CopyResult HungApplicationGuard::copyParameterizedAttributeValue(const Element& element, std::string_view attribute,
                                                                 const Value& parameter) {
  return guarded(element, CopyResult{kAXErrorCannotComplete, std::nullopt},
                 [&] { return inner_->copyParameterizedAttributeValue(element, attribute, parameter); });
}

AXError HungApplicationGuard::setAttributeValue(const Element& element, std::string_view attribute,
                                                const Value& value) {
  return guarded(element, kAXErrorCannotComplete, [&] { return inner_->setAttributeValue(element, attribute, value); });
}

CountResult HungApplicationGuard::getAttributeValueCount(const Element& element, std::string_view attribute) {
  return guarded(element, CountResult{kAXErrorCannotComplete, 0},
                 [&] { return inner_->getAttributeValueCount(element, attribute); });
}

NamesResult HungApplicationGuard::copyActionNames(const Element& element) {
  return guarded(element, NamesResult{kAXErrorCannotComplete, std::nullopt},
                 [&] { return inner_->copyActionNames(element); });
}

SettableResult HungApplicationGuard::isAttributeSettable(const Element& element, std::string_view attribute) {
  return guarded(element, SettableResult{kAXErrorCannotComplete, false},
                 [&] { return inner_->isAttributeSettable(element, attribute); });
}

AXError HungApplicationGuard::performAction(const Element& element, std::string_view action) {
  return guarded(element, kAXErrorCannotComplete, [&] { return inner_->performAction(element, action); });
}

NamesResult HungApplicationGuard::copyAttributeNames(const Element& element) {
  return guarded(element, NamesResult{kAXErrorCannotComplete, std::nullopt},
                 [&] { return inner_->copyAttributeNames(element); });
}

NamesResult HungApplicationGuard::copyParameterizedAttributeNames(const Element& element) {
  return guarded(element, NamesResult{kAXErrorCannotComplete, std::nullopt},
                 [&] { return inner_->copyParameterizedAttributeNames(element); });
}

}  // namespace larkspire::platform
