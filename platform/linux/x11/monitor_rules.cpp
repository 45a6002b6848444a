#include "platform/linux/x11/monitor_rules.h"

#include <X11/X.h>

#include <cstdlib>

namespace larkspire::linux_backend {
namespace {

// A bounds-checked reader of the XSETTINGS wire format; the property comes
// from another client and may hold anything.
class SettingsReader {
 public:
  SettingsReader(std::span<const std::uint8_t> data, bool bigEndian) : data_(data), bigEndian_(bigEndian) {}
  bool skip(std::size_t n) {
    if (n > data_.size() - at_) return false;
    at_ += n;
    return true;
  }
  bool card16(std::uint32_t& out) { return number(2, out); }
  bool card32(std::uint32_t& out) { return number(4, out); }
  bool bytes(std::size_t n, std::string& out) {
    if (n > data_.size() - at_) return false;
    out.assign(reinterpret_cast<const char*>(data_.data() + at_), n);
    at_ += n;
    return true;
  }

 private:
  bool number(std::size_t n, std::uint32_t& out) {
    if (n > data_.size() - at_) return false;
    out = 0;
    for (std::size_t i = 0; i < n; ++i) {
      std::uint32_t byte = data_[at_ + (bigEndian_ ? i : n - 1 - i)];
      out = (out << 8) | byte;
    }
    at_ += n;
    return true;
  }
  std::span<const std::uint8_t> data_;
  bool bigEndian_;
  std::size_t at_ = 0;
};

std::size_t padded(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

}  // namespace

DoubleClickSettings parseDoubleClickSettings(std::span<const std::uint8_t> property) {
  DoubleClickSettings settings;
  if (property.empty() || property[0] > 1) return settings;
  SettingsReader in(property, property[0] == 1);
  std::uint32_t serial = 0, count = 0;
  if (!in.skip(4) || !in.card32(serial) || !in.card32(count)) return settings;
  DoubleClickSettings found;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t type = 0, nameLength = 0, lastChange = 0;
    std::string name;
    std::uint32_t typeAndPad = 0;
    if (!in.card16(typeAndPad)) return settings;
    // The type byte comes first whatever the byte order.
    type = property[0] == 1 ? typeAndPad >> 8 : typeAndPad & 0xFF;
    if (!in.card16(nameLength) || !in.bytes(nameLength, name) || !in.skip(padded(nameLength) - nameLength) ||
        !in.card32(lastChange)) {
      return settings;
    }
    if (type == 0) {
      std::uint32_t raw = 0;
      if (!in.card32(raw)) return settings;
      auto value = static_cast<std::int32_t>(raw);
      if (name == "Net/DoubleClickTime" && value > 0 && value <= 10'000)
        found.timeMs = static_cast<std::uint32_t>(value);
      if (name == "Net/DoubleClickDistance" && value >= 0 && value <= 1'000) found.distance = value;
    } else if (type == 1) {
      std::uint32_t length = 0;
      std::string ignored;
      if (!in.card32(length) || !in.bytes(length, ignored) || !in.skip(padded(length) - length)) return settings;
    } else if (type == 2) {
      if (!in.skip(8)) return settings;
    } else {
      return settings;
    }
  }
  return found;
}

int ClickCounter::press(std::uint32_t timeMs, platform::Point location) {
  bool continues = false;
  if (lastTime_) {
    std::uint32_t elapsed = timeMs - *lastTime_;  // X time wraps every 49.7 days
    continues = elapsed <= settings_.timeMs && std::abs(location.x - lastLocation_.x) <= settings_.distance &&
                std::abs(location.y - lastLocation_.y) <= settings_.distance;
  }
  count_ = continues ? count_ + 1 : 1;
  lastTime_ = timeMs;
  lastLocation_ = location;
  return count_;
}

platform::EventFlags flagsForModifierState(unsigned state) {
  platform::EventFlags flags = 0;
  if (state & ControlMask) flags |= platform::kCGEventFlagMaskCommand;
  if (state & ShiftMask) flags |= platform::kCGEventFlagMaskShift;
  if (state & Mod1Mask) flags |= platform::kCGEventFlagMaskAlternate;
  return flags;
}

void ModifierTracker::setModifierMapping(std::vector<std::vector<int>> keycodesByModifier) {
  mapping_ = std::move(keycodesByModifier);
}

bool ModifierTracker::isModifier(int keycode) const {
  for (const auto& keycodes : mapping_) {
    for (int k : keycodes) {
      if (k == keycode) return true;
    }
  }
  return false;
}

bool ModifierTracker::press(int keycode) {
  if (!isModifier(keycode)) return false;
  held_.insert(keycode);
  return true;
}

bool ModifierTracker::release(int keycode) {
  held_.erase(keycode);
  return isModifier(keycode);
}

unsigned ModifierTracker::state() const {
  unsigned state = 0;
  for (std::size_t modifier = 0; modifier < mapping_.size() && modifier < 8; ++modifier) {
    for (int k : mapping_[modifier]) {
      if (held_.count(k)) state |= 1u << modifier;
    }
  }
  return state;
}

std::uint64_t pressedButtonsForMask(unsigned mask) {
  std::uint64_t buttons = 0;
  if (mask & Button1Mask) buttons |= 1;
  if (mask & Button3Mask) buttons |= 2;
  if (mask & Button2Mask) buttons |= 4;
  return buttons;
}

}  // namespace larkspire::linux_backend
