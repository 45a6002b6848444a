#include "platform/linux/x11/keymap.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <utility>

namespace larkspire::linux_backend {
namespace {

// macOS virtual key codes (ANSI keyboard, the kVK_* constants) and the X
// keysym of the same key. Command keys map to Control like the Command flag.
// clang-format off
constexpr auto kMacKeys = std::to_array<std::pair<std::uint16_t, Keysym>>({
    {0x00, XK_a},        {0x01, XK_s},           {0x02, XK_d},           {0x03, XK_f},
    {0x04, XK_h},        {0x05, XK_g},           {0x06, XK_z},           {0x07, XK_x},
    {0x08, XK_c},        {0x09, XK_v},           {0x0B, XK_b},           {0x0C, XK_q},
    {0x0D, XK_w},        {0x0E, XK_e},           {0x0F, XK_r},           {0x10, XK_y},
    {0x11, XK_t},        {0x12, XK_1},           {0x13, XK_2},           {0x14, XK_3},
    {0x15, XK_4},        {0x16, XK_6},           {0x17, XK_5},           {0x18, XK_equal},
    {0x19, XK_9},        {0x1A, XK_7},           {0x1B, XK_minus},       {0x1C, XK_8},
    {0x1D, XK_0},        {0x1E, XK_bracketright}, {0x1F, XK_o},          {0x20, XK_u},
    {0x21, XK_bracketleft}, {0x22, XK_i},        {0x23, XK_p},           {0x24, XK_Return},
    {0x25, XK_l},        {0x26, XK_j},           {0x27, XK_apostrophe},  {0x28, XK_k},
    {0x29, XK_semicolon}, {0x2A, XK_backslash},  {0x2B, XK_comma},       {0x2C, XK_slash},
    {0x2D, XK_n},        {0x2E, XK_m},           {0x2F, XK_period},      {0x30, XK_Tab},
    {0x31, XK_space},    {0x32, XK_grave},       {0x33, XK_BackSpace},   {0x35, XK_Escape},
    {0x36, XK_Control_R}, {0x37, XK_Control_L},  {0x38, XK_Shift_L},     {0x39, XK_Caps_Lock},
    {0x3A, XK_Alt_L},    {0x3B, XK_Control_L},   {0x3C, XK_Shift_R},     {0x3D, XK_Alt_R},
    {0x3E, XK_Control_R}, {0x40, XK_F17},        {0x41, XK_KP_Decimal},  {0x43, XK_KP_Multiply},
    {0x45, XK_KP_Add},   {0x47, XK_Clear},       {0x48, XF86XK_AudioRaiseVolume},
    {0x49, XF86XK_AudioLowerVolume},             {0x4A, XF86XK_AudioMute}, {0x4B, XK_KP_Divide},
    {0x4C, XK_KP_Enter}, {0x4E, XK_KP_Subtract}, {0x4F, XK_F18},         {0x50, XK_F19},
    {0x51, XK_KP_Equal}, {0x52, XK_KP_0},        {0x53, XK_KP_1},        {0x54, XK_KP_2},
    {0x55, XK_KP_3},     {0x56, XK_KP_4},        {0x57, XK_KP_5},        {0x58, XK_KP_6},
    {0x59, XK_KP_7},     {0x5A, XK_F20},         {0x5B, XK_KP_8},        {0x5C, XK_KP_9},
    {0x60, XK_F5},       {0x61, XK_F6},          {0x62, XK_F7},          {0x63, XK_F3},
    {0x64, XK_F8},       {0x65, XK_F9},          {0x67, XK_F11},         {0x69, XK_F13},
    {0x6A, XK_F16},      {0x6B, XK_F14},         {0x6D, XK_F10},         {0x6F, XK_F12},
    {0x71, XK_F15},      {0x72, XK_Help},        {0x73, XK_Home},        {0x74, XK_Prior},
    {0x75, XK_Delete},   {0x76, XK_F4},          {0x77, XK_End},         {0x78, XK_F2},
    {0x79, XK_Next},     {0x7A, XK_F1},          {0x7B, XK_Left},        {0x7C, XK_Right},
    {0x7D, XK_Down},     {0x7E, XK_Up},
});
// clang-format on

constexpr Keysym kUnicodeKeysymBase = 0x1000000;

}  // namespace

std::optional<Keysym> keysymForMacKeyCode(std::uint16_t keyCode) {
  for (const auto& [code, keysym] : kMacKeys) {
    if (code == keyCode) return keysym;
  }
  return std::nullopt;
}

std::vector<Keysym> modifierKeysymsForFlags(platform::EventFlags flags) {
  // Pressed in this order and released in the reverse one.
  std::vector<Keysym> keys;
  if (flags & (platform::kCGEventFlagMaskCommand | platform::kCGEventFlagMaskControl)) keys.push_back(XK_Control_L);
  if (flags & platform::kCGEventFlagMaskAlternate) keys.push_back(XK_Alt_L);
  if (flags & platform::kCGEventFlagMaskShift) keys.push_back(XK_Shift_L);
  return keys;
}

std::optional<Keysym> keysymForCodePoint(char32_t c) {
  switch (c) {
    case U'\n':
    case U'\r':
      return XK_Return;
    case U'\t':
      return XK_Tab;
    case U'\b':
      return XK_BackSpace;
    case 0x1B:
      return XK_Escape;
    case 0x7F:
      return XK_Delete;
    default:
      break;
  }
  if (c < 0x20 || (c >= 0x80 && c < 0xA0)) return std::nullopt;  // other controls type nothing
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
  if (c <= 0xFF) return static_cast<Keysym>(c);
  return kUnicodeKeysymBase + static_cast<Keysym>(c);
}

std::u32string decodeUtf16(std::u16string_view units) {
  std::u32string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    char16_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      out.push_back(0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out.push_back(0xFFFD);
    } else {
      out.push_back(u);
    }
  }
  return out;
}

Keysym KeyboardMap::at(int keycode, int index) const {
  if (keycode < minKeycode || keycode > maxKeycode || index < 0 || index >= keysymsPerKeycode) return kNoSymbol;
  std::size_t at = static_cast<std::size_t>(keycode - minKeycode) * keysymsPerKeycode + index;
  return at < keysyms.size() ? keysyms[at] : kNoSymbol;
}

std::vector<Keysym> KeyboardMap::row(int keycode) const {
  if (keycode < minKeycode || keycode > maxKeycode) return {};
  std::vector<Keysym> values;
  for (int i = 0; i < keysymsPerKeycode; ++i) values.push_back(at(keycode, i));
  return values;
}

void KeyboardMap::setRow(int keycode, const std::vector<Keysym>& values) {
  if (keycode < minKeycode || keycode > maxKeycode) return;
  std::size_t start = static_cast<std::size_t>(keycode - minKeycode) * keysymsPerKeycode;
  if (keysyms.size() < start + keysymsPerKeycode) keysyms.resize(start + keysymsPerKeycode, kNoSymbol);
  for (int i = 0; i < keysymsPerKeycode; ++i) {
    keysyms[start + i] = i < static_cast<int>(values.size()) ? values[i] : kNoSymbol;
  }
}

std::optional<KeyLocation> locateKeysym(const KeyboardMap& map, Keysym keysym) {
  if (keysym == kNoSymbol) return std::nullopt;
  for (int index = 0; index < std::min(2, map.keysymsPerKeycode); ++index) {
    for (int keycode = map.minKeycode; keycode <= map.maxKeycode; ++keycode) {
      if (map.at(keycode, index) != keysym) continue;
      // A key whose two levels both carry the keysym types it either way.
      bool shift = index == 1 && map.at(keycode, 0) != keysym;
      return KeyLocation{keycode, shift};
    }
  }
  return std::nullopt;
}

std::optional<KeyLocation> locateCodePoint(const KeyboardMap& map, char32_t codePoint) {
  auto keysym = keysymForCodePoint(codePoint);
  if (!keysym) return std::nullopt;
  if (auto found = locateKeysym(map, *keysym)) return found;
  // Some maps name Latin-1 letters by their Unicode keysym and vice versa.
  if (codePoint >= 0x20 && codePoint <= 0xFF && *keysym == codePoint) {
    return locateKeysym(map, kUnicodeKeysymBase + codePoint);
  }
  return std::nullopt;
}

std::vector<int> spareKeycodes(const KeyboardMap& map) {
  std::vector<int> spare;
  for (int keycode = map.minKeycode; keycode <= map.maxKeycode; ++keycode) {
    bool empty = true;
    for (int i = 0; i < map.keysymsPerKeycode && empty; ++i) empty = map.at(keycode, i) == kNoSymbol;
    if (empty && map.keysymsPerKeycode > 0) spare.push_back(keycode);
  }
  return spare;
}

}  // namespace larkspire::linux_backend
