// One AT-SPI object as an element handle: identity is (bus name, object
// path). The element of an application made from a process id finds its
// bus name on first use. What was read about an object (its facts, its
// children) is kept for a moment, so that the dozen attribute reads a tree
// walk makes per element cost nothing on their own; it is never reused once
// its Reading has read nothing for kFreshFor. Only reads of the same handle
// share it: a child list read anew makes new handles, and text, selection
// and value reads always ask the application.
#pragma once

#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/atspi/bus_port.h"
#include "platform/linux/atspi/snapshot.h"
#include "platform/values.h"

namespace larkspire::linux_backend::atspi {

inline constexpr double kFreshFor = 1.0;  // seconds, on the bus port's clock

// The reads of one walk. Elements listed as the children of an element share
// its Reading (the windows of an application start their own), and what a
// Reading read stays fresh while it goes on reading: a walk of thousands of
// objects that outlasts kFreshFor reads each of them once, not again when it
// comes to visit them. Once a Reading has read nothing for kFreshFor, all it
// read is stale, and a read after that starts a new run in which only what
// is read anew is fresh.
class Reading {
 public:
  // Before a batch that starts at `now`.
  void starting(double now) {
    if (!active(now)) runStart_ = now;
  }
  // After it, at `now`.
  void read(double now) { lastRead_ = now; }
  // Whether something read at `at` is still fresh.
  bool fresh(double at, double now) const { return at >= runStart_ && active(now); }

 private:
  bool active(double now) const { return now - lastRead_ < kFreshFor; }
  double runStart_ = 0;
  double lastRead_ = -std::numeric_limits<double>::infinity();
};

class AtspiElement;

// Elements listed in one batch: in a walk, one level of the tree. What is
// read about them is read for all of them at once: their facts when the
// first of them is needed, their child lists when the first list is (the
// next level), their descriptions, extents and actions when first asked for.
// A walk of a tree thus costs a few batches per level, not per parent.
struct Level {
  std::vector<std::weak_ptr<const AtspiElement>> members;
  // The windows of an application are read together but walked one by
  // one: listing a window's children lists no other window's.
  bool listTogether = true;
};

// The children an element listed, and when.
struct Listing {
  platform::AXError error = platform::kAXErrorSuccess;
  std::vector<std::shared_ptr<AtspiElement>> children;
  double at = 0;
};

class AtspiElement final : public platform::ElementRef {
 public:
  // An object known by its address, read alone.
  AtspiElement(std::shared_ptr<BusPort> bus, std::string busName, std::string path);
  // The application of a process, found lazily.
  AtspiElement(std::shared_ptr<BusPort> bus, platform::Pid pid);

  bool equals(const platform::ElementRef& other) const override;
  std::size_t hash() const override;

  // The bus name, resolving an application element when needed; empty when
  // the process has no application on the accessibility bus.
  const std::string& busName() const;
  const std::string& path() const { return path_; }
  bool isApplication() const { return path_ == kRootPath; }
  std::optional<platform::Pid> pid() const { return pid_; }

  // Known to lie inside a password entry (set when made as its descendant).
  mutable std::optional<bool> insideSecure;

  // A fresh snapshot of the object's facts, read now unless a fresh one is
  // kept (with those of the rest of its level).
  const Snapshot& snapshot() const;
  // The same with its extents and actions, and its description when it
  // has no name.
  const Snapshot& detailed() const;
  // Its description, read alone when the snapshot has none.
  const std::string& description() const;
  // Its children, listed now unless a fresh list is kept (with those of the
  // rest of its level). An application lists its windows anew every time.
  // Only for an object whose fresh snapshot was read without error.
  const Listing& children() const;
  bool fresh() const;

  BusPort& bus() const { return *bus_; }

 private:
  // Made by a listing: `parent` listed it.
  AtspiElement(std::shared_ptr<BusPort> bus, std::string busName, std::string path, const AtspiElement& parent);

  // What is read together with this element: its level's living members
  // (held while the batch runs), or itself alone.
  struct Company {
    std::vector<std::shared_ptr<const AtspiElement>> held;
    std::vector<const AtspiElement*> members;
  };
  Company company() const;
  static void readFacts(BusPort& bus, std::span<const AtspiElement* const> elements);
  static void appendFactCalls(std::vector<Call>& calls, std::span<const AtspiElement* const> elements);
  static void storeFacts(std::span<const AtspiElement* const> elements, std::vector<Reply>::iterator reply, double now);
  // The children of a fresh listing whose facts are not fresh.
  std::vector<const AtspiElement*> unreadChildren() const;
  static void readDetails(BusPort& bus, std::span<const AtspiElement* const> elements);
  static void list(BusPort& bus, std::span<const AtspiElement* const> parents, const std::shared_ptr<Level>& level);
  bool listedFresh() const;

  std::shared_ptr<BusPort> bus_;
  mutable std::string busName_;
  std::string path_;
  std::optional<platform::Pid> pid_;
  std::shared_ptr<Reading> reading_;
  // Made by a listing: the object that listed it, which is its parent (no
  // need to ask), and its level.
  std::optional<std::pair<std::string, std::string>> listedBy_;
  std::shared_ptr<Level> level_;
  mutable std::optional<Snapshot> snapshot_;
  mutable std::optional<Listing> children_;
};

// The process that owns a bus name, or none.
std::optional<platform::Pid> processOfBus(BusPort& bus, const std::string& busName);

// The calls that read one object's facts, in this order: GetRole, GetState,
// its Name and ChildCount, GetInterfaces, and its Parent unless the walk
// knows it (kFactCallCount calls, one more with the parent); and the reading
// of their replies. Properties are read with Properties.Get each, not
// GetAll: Qt 5's bridge ends its application with a segmentation fault on
// org.freedesktop.DBus.Properties.GetAll. The description, extents and
// actions are read later, and only where asked for (see detailed()).
inline constexpr std::size_t kFactCallCount = 5;
void appendSnapshotCalls(std::vector<Call>& calls, const std::string& busName, const std::string& path,
                         bool withParent);
Snapshot snapshotFrom(std::vector<Reply>::iterator replies, bool withParent);
// Reply tuples read: (bus name, path) pairs of an (a(so)), the states of
// an (au), the strings of an (as), the action names of an (a(sss)).
std::vector<std::pair<std::string, std::string>> objectList(GVariant* tuple);
States statesFrom(GVariant* tuple);
std::vector<std::string> stringsFrom(GVariant* tuple);
std::vector<std::string> actionNamesFrom(GVariant* tuple);

}  // namespace larkspire::linux_backend::atspi
