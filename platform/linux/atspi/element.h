// One AT-SPI object as an element handle: identity is (bus name, object
// path). The element of an application made from a process id finds its
// bus name on first use. What was read about an object is kept for a
// moment, so that the dozen attribute reads a tree walk makes per element
// cost one batch of calls; it is never reused once its Reading has read
// nothing for kFreshFor. Only reads of the same handle share it: every child
// list read makes new handles, and text, selection and value reads always
// ask the application.
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

class AtspiElement final : public platform::ElementRef {
 public:
  // An object known by its address, read alone or, given a Reading, as
  // part of that walk.
  AtspiElement(std::shared_ptr<BusPort> bus, std::string busName, std::string path,
               std::shared_ptr<Reading> reading = nullptr);
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

  // A fresh snapshot, read now unless a fresh one is kept.
  const Snapshot& snapshot() const;
  // Reads snapshots of many elements in one pipelined batch.
  static void prefetch(BusPort& bus, const std::vector<const AtspiElement*>& elements);
  bool fresh() const;

  BusPort& bus() const { return *bus_; }
  const std::shared_ptr<Reading>& reading() const { return reading_; }

 private:
  // The two rounds of calls of a prefetch: the facts every object has; then
  // extents and actions of those that have them.
  static void readFacts(BusPort& bus, std::span<const AtspiElement* const> elements);
  static void readExtentsAndActions(BusPort& bus, std::span<const AtspiElement* const> elements);

  std::shared_ptr<BusPort> bus_;
  mutable std::string busName_;
  std::string path_;
  std::optional<platform::Pid> pid_;
  std::shared_ptr<Reading> reading_;
  mutable std::optional<Snapshot> snapshot_;
};

// The bus name of the application that a process registered on the
// accessibility bus, or "" when there is none.
std::string findApplicationBus(BusPort& bus, platform::Pid pid);
// The process that owns a bus name, or none.
std::optional<platform::Pid> processOfBus(BusPort& bus, const std::string& busName);

// The calls that read one object's facts (kSnapshotCallCount of them, in
// this order), which prefetch batches for many objects, and the reading of
// their replies. Name, Description, Parent and ChildCount are read with
// Properties.Get each, not GetAll: Qt 5's bridge ends its application with
// a segmentation fault on org.freedesktop.DBus.Properties.GetAll.
void appendSnapshotCalls(std::vector<Call>& calls, const std::string& busName, const std::string& path);
inline constexpr std::size_t kSnapshotCallCount = 7;
Snapshot snapshotFrom(std::vector<Reply>::iterator replies);
// Reply tuples read: (bus name, path) pairs of an (a(so)), the states of
// an (au), the strings of an (as), the action names of an (a(sss)).
std::vector<std::pair<std::string, std::string>> objectList(GVariant* tuple);
States statesFrom(GVariant* tuple);
std::vector<std::string> stringsFrom(GVariant* tuple);
std::vector<std::string> actionNamesFrom(GVariant* tuple);

}  // namespace larkspire::linux_backend::atspi
