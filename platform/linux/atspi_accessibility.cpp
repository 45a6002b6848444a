// Placeholder: accessibility over AT-SPI2 lands here.
#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend {
namespace {
using namespace platform;
class Stub final : public Accessibility {
 public:
  explicit Stub(LinuxContext& c) : c_(c) {}
  bool isProcessTrusted() override { return accessibilityEnabled(c_, false); }
  bool isProcessTrustedWithOptions(bool prompt) override { return accessibilityEnabled(c_, prompt); }
  Element createApplication(Pid) override { return {}; }
  CopyResult copyAttributeValue(const Element&, std::string_view) override { return {kAXErrorCannotComplete, {}}; }
  CopyResult copyParameterizedAttributeValue(const Element&, std::string_view, const Value&) override {
    return {kAXErrorCannotComplete, {}};
  }
  AXError setAttributeValue(const Element&, std::string_view, const Value&) override { return kAXErrorCannotComplete; }
  NamesResult copyActionNames(const Element&) override { return {kAXErrorCannotComplete, {}}; }
  SettableResult isAttributeSettable(const Element&, std::string_view) override { return {kAXErrorCannotComplete, false}; }
  AXError performAction(const Element&, std::string_view) override { return kAXErrorCannotComplete; }
  NamesResult copyAttributeNames(const Element&) override { return {kAXErrorCannotComplete, {}}; }
  NamesResult copyParameterizedAttributeNames(const Element&) override { return {kAXErrorCannotComplete, {}}; }

 private:
  LinuxContext& c_;
};
}  // namespace
std::unique_ptr<Accessibility> makeAccessibility(LinuxContext& context) { return std::make_unique<Stub>(context); }
}  // namespace larkspire::linux_backend
