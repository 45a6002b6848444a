// A recording stand-in for the X server behind the events, for tests: it
// keeps a keyboard map that binding changes really change, logs every call,
// and writes down the character each key press would type with the map and
// Shift state of that moment.
#pragma once

#include <X11/keysym.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/linux/x11/events.h"

namespace larkspire::linux_backend::testing {

// A US-like map: letters, digits, space, Return, Tab, BackSpace, the
// arrows, Shift/Control/Alt, and empty keycodes 90-93.
inline KeyboardMap usMap() {
  KeyboardMap map;
  map.minKeycode = 8;
  map.maxKeycode = 99;
  map.keysymsPerKeycode = 4;
  map.keysyms.assign(static_cast<std::size_t>(99 - 8 + 1) * 4, kNoSymbol);
  int keycode = 10;
  for (char c = 'a'; c <= 'z'; ++c)
    map.setRow(keycode++, {Keysym(c), Keysym(c - 'a' + 'A'), Keysym(c), Keysym(c - 'a' + 'A')});
  const char* digits = "1234567890";
  const char* shifted = "!@#$%^&*()";
  for (int i = 0; i < 10; ++i) map.setRow(keycode++, {Keysym(digits[i]), Keysym(shifted[i])});
  map.setRow(keycode++, {XK_space});
  map.setRow(keycode++, {XK_Return});
  map.setRow(keycode++, {XK_Tab, XK_ISO_Left_Tab});
  map.setRow(keycode++, {XK_BackSpace});
  map.setRow(keycode++, {XK_Delete});
  map.setRow(keycode++, {XK_Escape});
  map.setRow(keycode++, {XK_Left});
  map.setRow(keycode++, {XK_Right});
  map.setRow(keycode++, {XK_Up});
  map.setRow(keycode++, {XK_Down});
  map.setRow(keycode++, {XK_Home});
  map.setRow(keycode++, {XK_End});
  map.setRow(keycode++, {XK_Prior});
  map.setRow(keycode++, {XK_Next});
  map.setRow(keycode++, {XK_Shift_L});
  map.setRow(keycode++, {XK_Control_L});
  map.setRow(keycode++, {XK_Alt_L, XK_Meta_L});
  map.setRow(keycode++, {XK_minus, XK_underscore});
  map.setRow(keycode++, {XK_period, XK_greater});
  // keycodes 67-89 carry filler keysyms so only 8-9 and 90-99 stay empty
  for (; keycode < 90; ++keycode) map.setRow(keycode, {Keysym(0x20000000 + keycode)});
  return map;
}

inline int keycodeOf(const KeyboardMap& map, Keysym keysym) { return locateKeysym(map, keysym)->keycode; }

// The server's side is immediate; the application's is not: like a real
// client it reads keys later, translating each with the map it fetched
// last, and fetches a new map only when it handles a key after the map
// changed. It catches up only when the events wait for a mark
// (awaitMark) and when a test asks what it typed. So a
// binding replaced or restored too early shows as a wrong character here,
// as it would on a busy desktop.
class FakeInputPort final : public InputPort {
 public:
  explicit FakeInputPort(KeyboardMap map) : map_(std::move(map)), original_(map_), clientMap_(map_) {}

  KeyboardMap keyboardMap() override { return map_; }

  void changeKeyboardMapping(int first, int perKeycode, const std::vector<Keysym>& rows) override {
    std::string entry = "map";
    for (std::size_t i = 0; i * perKeycode < rows.size(); ++i) {
      std::vector<Keysym> row(rows.begin() + i * perKeycode, rows.begin() + (i + 1) * perKeycode);
      map_.setRow(first + static_cast<int>(i), row);
      entry += " " + std::to_string(first + i) + "=" + std::to_string(row[0]);
    }
    ++mapChanges;
    log.push_back(entry);
    queue_.push_back(Event{true, 0, false, false});
  }

  void key(int keycode, bool press) override {
    if (failOnKey && --failOnKey == 0) throw std::runtime_error("connection lost");
    log.push_back("key " + std::to_string(keycode) + (press ? " down" : " up"));
    if (press) {
      if (down_.count(keycode)) stuckPress = true;
      down_.insert(keycode);
      queue_.push_back(Event{false, keycode, down_.count(keycodeOf(original_, XK_Shift_L)) > 0, true});
    } else {
      down_.erase(keycode);
    }
  }

  void button(int button, bool press) override {
    log.push_back("button " + std::to_string(button) + (press ? " down" : " up"));
  }
  void moveTo(int x, int y) override {
    pointer_ = {x, y};
    log.push_back("move " + std::to_string(x) + "," + std::to_string(y));
  }
  std::optional<std::pair<int, int>> pointer() override { return pointer_; }
  bool awaitButtonsReleased() override {
    log.push_back("await buttons released");
    return !pointerHeld;
  }
  void sync() override { log.push_back("sync"); }

  bool canConfirmKeys() override { return confirmable; }
  bool startConfirmingKeys() override {
    log.push_back("confirming");
    confirming_ = confirmable;
    return confirmable;
  }
  std::uint64_t markKeys() override {
    if (!confirming_) return 0;
    log.push_back("mark");
    queue_.push_back(Event{false, 0, false, false, ++marks_});
    return marks_;
  }
  bool awaitMark(std::uint64_t mark) override {
    log.push_back("await " + std::to_string(mark));
    if (!confirming_ || !clientReads || mark == 0) return false;
    catchUp();
    return handledMark_ >= mark;
  }
  void stopConfirmingKeys() override {
    log.push_back("stop confirming");
    confirming_ = false;
  }

  void updateBorrowedKeys(const std::function<std::vector<BorrowedKey>(std::vector<BorrowedKey>)>& update) override {
    borrowed = update(borrowed);
  }
  platform::Pid ownProcess() override { return self; }
  bool processAlive(platform::Pid pid) override { return alive.count(pid) > 0 || pid == self; }

  // What the application has typed once it has handled every key.
  std::u32string typed() {
    catchUp();
    return typed_;
  }
  // The calls made, without the syncs.
  std::vector<std::string> calls() const {
    std::vector<std::string> out;
    for (const auto& entry : log) {
      if (entry != "sync") out.push_back(entry);
    }
    return out;
  }
  bool mapRestored() const { return map_.keysyms == original_.keysyms; }
  bool keysUp() const { return down_.empty(); }
  const KeyboardMap& original() const { return original_; }
  void setRow(int keycode, const std::vector<Keysym>& row) { map_.setRow(keycode, row); }

  std::vector<std::string> log;
  int mapChanges = 0;
  int failOnKey = 0;  // throw on the n-th key call
  bool stuckPress = false;
  bool confirmable = true;   // the focused application answers pings
  bool pointerHeld = false;  // another client's grab holds the button events
  bool clientReads = true;   // the application handles its events when waited for
  std::vector<BorrowedKey> borrowed;
  std::set<platform::Pid> alive;
  platform::Pid self = 1000;

 private:
  struct Event {
    bool mapNotify = false;
    int keycode = 0;
    bool shift = false;
    bool press = false;
    std::uint64_t mark = 0;  // a mark the application answers when it gets here
  };

  // The application handles everything queued for it.
  void catchUp() {
    for (const Event& event : queue_) {
      if (event.mark) {
        handledMark_ = event.mark;
        continue;
      }
      if (event.mapNotify) {
        ++notified_;
        stale_ = true;
        continue;
      }
      if (stale_) {
        clientMap_ = map_;
        stale_ = false;
      }
      Keysym keysym = clientMap_.at(event.keycode, event.shift ? 1 : 0);
      if (keysym == kNoSymbol && event.shift) keysym = clientMap_.at(event.keycode, 0);
      if (keysym >= 0x1000100)
        typed_.push_back(static_cast<char32_t>(keysym - 0x1000000));
      else if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF))
        typed_.push_back(keysym);
      else if (keysym == XK_Return)
        typed_.push_back(U'\n');
      else if (keysym == XK_Tab)
        typed_.push_back(U'\t');
    }
    queue_.clear();
  }

  KeyboardMap map_;
  KeyboardMap original_;
  KeyboardMap clientMap_;
  bool stale_ = false;
  int notified_ = 0;
  std::vector<Event> queue_;
  std::u32string typed_;
  bool confirming_ = false;
  std::uint64_t marks_ = 0;
  std::uint64_t handledMark_ = 0;
  std::set<int> down_;
  std::pair<int, int> pointer_{0, 0};
};

}  // namespace larkspire::linux_backend::testing
