#include "platform/linux/atspi/element.h"

#include <atspi/atspi-constants.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <span>
#include <tuple>

#include "platform/linux/atspi/registry.h"

namespace larkspire::linux_backend::atspi {
namespace {

// A batch larger than this is sent in parts, so that a node with thousands
// of children does not put thousands of calls in flight at once.
constexpr std::size_t kMaxCallsInFlight = 600;
// Descriptions, extents and actions are read for this many elements of a
// level at a time, from the one asked for on: a walk stops asking once it
// has made its records, and the rest of a wide level need not be read.
constexpr std::size_t kDetailsAtOnce = 64;

// Runs `read` over consecutive parts of `elements` that each cost at most
// kMaxCallsInFlight calls, `cost` calls an element, dating each part's
// reads in the elements' Readings.
template <class Cost, class Read>
void inParts(BusPort& bus, std::span<const AtspiElement* const> elements, Cost cost,
             const std::vector<std::shared_ptr<Reading>>& readings, Read read) {
  std::size_t start = 0;
  while (start < elements.size()) {
    std::size_t end = start, calls = 0;
    while (end < elements.size() && (end == start || calls + cost(elements[end]) <= kMaxCallsInFlight))
      calls += cost(elements[end++]);
    const double started = bus.now();
    for (const auto& r : readings) r->starting(started);
    read(elements.subspan(start, end - start));
    const double now = bus.now();
    for (const auto& r : readings) r->read(now);
    start = end;
  }
}

}  // namespace

AtspiElement::AtspiElement(std::shared_ptr<BusPort> bus, std::string busName, std::string path)
    : bus_(std::move(bus)),
      busName_(std::move(busName)),
      path_(std::move(path)),
      reading_(std::make_shared<Reading>()) {}

AtspiElement::AtspiElement(std::shared_ptr<BusPort> bus, platform::Pid pid)
    : bus_(std::move(bus)), path_(kRootPath), pid_(pid), reading_(std::make_shared<Reading>()) {}

AtspiElement::AtspiElement(std::shared_ptr<BusPort> bus, std::string busName, std::string path,
                           const AtspiElement& parent)
    : bus_(std::move(bus)),
      busName_(std::move(busName)),
      path_(std::move(path)),
      // The windows of an application begin walks of their own.
      reading_(parent.isApplication() ? std::make_shared<Reading>() : parent.reading_),
      listedBy_(std::make_pair(parent.busName_, parent.path_)) {}

const std::string& AtspiElement::busName() const {
  // A failed lookup is not remembered: the application may register later.
  if (busName_.empty() && pid_) busName_ = registeredBusName(*bus_, *pid_);
  return busName_;
}

bool AtspiElement::equals(const platform::ElementRef& other) const {
  const auto* o = dynamic_cast<const AtspiElement*>(&other);
  if (!o) return false;
  if (path_ != o->path_) return false;
  // Two application elements made for the same process are the same.
  if (pid_ && o->pid_ && *pid_ == *o->pid_) return true;
  const std::string& mine = busName();
  return !mine.empty() && mine == o->busName();
}

std::size_t AtspiElement::hash() const {
  // Application elements may not know their bus name yet: hash the path only
  // for them, which keeps equal elements in the same bucket.
  if (isApplication()) return std::hash<std::string>{}(path_);
  return std::hash<std::string>{}(busName_)*31u ^ std::hash<std::string>{}(path_);
}

bool AtspiElement::fresh() const { return snapshot_ && reading_->fresh(snapshot_->at, bus_->now()); }

bool AtspiElement::listedFresh() const { return children_ && reading_->fresh(children_->at, bus_->now()); }

void appendSnapshotCalls(std::vector<Call>& calls, const std::string& busName, const std::string& path,
                         bool withParent) {
  auto property = [&](const char* name) {
    calls.push_back(Call{busName, path, "org.freedesktop.DBus.Properties", "Get",
                         g_variant_new("(ss)", "org.a11y.atspi.Accessible", name), "(v)"});
  };
  calls.push_back(Call{busName, path, "org.a11y.atspi.Accessible", "GetRole", nullptr, "(u)"});
  calls.push_back(Call{busName, path, "org.a11y.atspi.Accessible", "GetState", nullptr, "(au)"});
  property("Name");
  property("ChildCount");
  calls.push_back(Call{busName, path, "org.a11y.atspi.Accessible", "GetInterfaces", nullptr, "(as)"});
  if (withParent) property("Parent");
}

namespace {

// A property's value from its reply, unwrapped, when it came and has the type.
Variant propertyValue(Reply& reply, const GVariantType* type) {
  if (!reply.ok()) return nullptr;
  GVariant* boxed = nullptr;
  g_variant_get(reply.value.get(), "(v)", &boxed);
  Variant value(boxed);
  if (!value || !g_variant_is_of_type(value.get(), type)) return nullptr;
  return value;
}

}  // namespace

Snapshot snapshotFrom(std::vector<Reply>::iterator r, bool withParent) {
  Snapshot s;
  Reply& role = r[0];
  if (!role.ok()) {
    s.error = role.error;
    return s;
  }
  g_variant_get(role.value.get(), "(u)", &s.facts.role);
  if (r[1].ok()) s.facts.states = statesFrom(r[1].value.get());
  if (auto name = propertyValue(r[2], G_VARIANT_TYPE_STRING)) s.facts.name = g_variant_get_string(name.get(), nullptr);
  if (auto count = propertyValue(r[3], G_VARIANT_TYPE_INT32)) s.childCount = g_variant_get_int32(count.get());
  if (r[4].ok()) s.facts.interfaces = interfaceFlags(stringsFrom(r[4].value.get()));
  if (!withParent) return s;
  if (auto parent = propertyValue(r[5], G_VARIANT_TYPE("(so)"))) {
    const char* bus = nullptr;
    const char* path = nullptr;
    g_variant_get(parent.get(), "(&s&o)", &bus, &path);
    s.parentBus = bus;
    s.parentPath = path;
  }
  return s;
}

AtspiElement::Company AtspiElement::company() const {
  Company c;
  if (level_) {
    for (const auto& weak : level_->members)
      if (auto member = weak.lock()) {
        c.members.push_back(member.get());
        c.held.push_back(std::move(member));
      }
  }
  if (c.members.empty()) c.members.push_back(this);
  return c;
}

namespace {

std::vector<std::shared_ptr<Reading>> readingsOf(std::span<const AtspiElement* const> elements,
                                                 std::shared_ptr<Reading> (*of)(const AtspiElement*)) {
  std::vector<std::shared_ptr<Reading>> out;
  for (const AtspiElement* e : elements) {
    auto r = of(e);
    if (std::find(out.begin(), out.end(), r) == out.end()) out.push_back(std::move(r));
  }
  return out;
}

}  // namespace

const Snapshot& AtspiElement::snapshot() const {
  if (!fresh()) {
    const Company c = company();
    std::vector<const AtspiElement*> stale;
    for (const AtspiElement* e : c.members)
      if (!e->fresh()) stale.push_back(e);
    const auto readings = readingsOf(stale, [](const AtspiElement* e) { return e->reading_; });
    inParts(
        *bus_, stale, [](const AtspiElement* e) { return kFactCallCount + (e->listedBy_ ? 0 : 1); }, readings,
        [&](std::span<const AtspiElement* const> part) { readFacts(*bus_, part); });
  }
  Snapshot& s = *snapshot_;
  if (s.error == platform::kAXErrorSuccess) {
    s.facts.topLevel = topLevel(s, busName_, isApplication());
    if (insideSecure) s.facts.insideSecure = *insideSecure;
  }
  return s;
}

void AtspiElement::readFacts(BusPort& bus, std::span<const AtspiElement* const> elements) {
  std::vector<Call> calls;
  appendFactCalls(calls, elements);
  auto replies = bus.callAll(std::move(calls));
  storeFacts(elements, replies.begin(), bus.now());
}

void AtspiElement::appendFactCalls(std::vector<Call>& calls, std::span<const AtspiElement* const> elements) {
  static const std::string kNoBus = "org.invalid";
  for (const AtspiElement* e : elements) {
    const std::string& name = e->busName();
    appendSnapshotCalls(calls, name.empty() ? kNoBus : name, e->path(), !e->listedBy_);
  }
}

void AtspiElement::storeFacts(std::span<const AtspiElement* const> elements, std::vector<Reply>::iterator reply,
                              double now) {
  for (const AtspiElement* e : elements) {
    const bool withParent = !e->listedBy_;
    Snapshot s;
    if (e->busName().empty()) {
      s.error = platform::kAXErrorCannotComplete;
    } else {
      s = snapshotFrom(reply, withParent);
      if (e->listedBy_) std::tie(s.parentBus, s.parentPath) = *e->listedBy_;
    }
    reply += static_cast<std::ptrdiff_t>(kFactCallCount + (withParent ? 1 : 0));
    // Fresh from the end of the batch, not its start.
    s.at = now;
    e->snapshot_ = std::move(s);
  }
}

const Snapshot& AtspiElement::detailed() const {
  const Snapshot& s = snapshot();
  if (s.error != platform::kAXErrorSuccess || s.detailed) return s;
  const Company c = company();
  std::vector<const AtspiElement*> wanted;
  const auto from = std::find(c.members.begin(), c.members.end(), this);
  for (auto it = from == c.members.end() ? c.members.begin() : from;
       it != c.members.end() && wanted.size() < kDetailsAtOnce; ++it) {
    const AtspiElement* e = *it;
    if (e == this || (e->fresh() && e->snapshot_->error == platform::kAXErrorSuccess && !e->snapshot_->detailed))
      wanted.push_back(e);
  }
  if (std::find(wanted.begin(), wanted.end(), this) == wanted.end()) wanted.insert(wanted.begin(), this);
  const auto readings = readingsOf(wanted, [](const AtspiElement* e) { return e->reading_; });
  // Up to kDetailsAtOnce elements, and as many children along: within
  // kMaxCallsInFlight.
  inParts(
      *bus_, wanted, [](const AtspiElement*) { return std::size_t{3}; }, readings,
      [&](std::span<const AtspiElement* const> part) { readDetails(*bus_, part); });
  return s;
}

std::vector<const AtspiElement*> AtspiElement::unreadChildren() const {
  std::vector<const AtspiElement*> unread;
  // An application's windows begin readings of their own.
  if (isApplication() || !children_ || !listedFresh()) return unread;
  for (const auto& child : children_->children)
    if (!child->fresh()) unread.push_back(child.get());
  return unread;
}

void AtspiElement::readDetails(BusPort& bus, std::span<const AtspiElement* const> elements) {
  enum class Kind { description, extents, actions };
  std::vector<Call> calls;
  std::vector<std::pair<Snapshot*, Kind>> targets;
  for (const AtspiElement* e : elements) {
    Snapshot& s = *e->snapshot_;
    s.detailed = true;
    if (s.facts.name.empty() && !s.described) {
      // Named objects are named by their name: their description is read
      // only when someone asks for it.
      calls.push_back(Call{e->busName(), e->path(), "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", "org.a11y.atspi.Accessible", "Description"), "(v)"});
      targets.emplace_back(&s, Kind::description);
    }
    if (wantsExtents(s)) {
      calls.push_back(Call{e->busName(), e->path(), "org.a11y.atspi.Component", "GetExtents", g_variant_new("(u)", 0u),
                           "((iiii))"});
      targets.emplace_back(&s, Kind::extents);
    }
    if (s.facts.interfaces & kAction) {
      calls.push_back(Call{e->busName(), e->path(), "org.a11y.atspi.Action", "GetActions", nullptr, "(a(sss))"});
      targets.emplace_back(&s, Kind::actions);
    }
  }
  // A walk reads the facts of the listed children next: the first of them
  // come in the same round trip. Not all of a large level: a walk refused
  // on its size must not have read it first.
  std::vector<const AtspiElement*> next;
  for (const AtspiElement* e : elements) {
    auto unread = e->unreadChildren();
    next.insert(next.end(), unread.begin(), unread.end());
  }
  if (next.size() > kDetailsAtOnce) next.resize(kDetailsAtOnce);
  appendFactCalls(calls, next);
  auto replies = bus.callAll(std::move(calls));
  storeFacts(next, replies.begin() + static_cast<std::ptrdiff_t>(targets.size()), bus.now());
  for (std::size_t k = 0; k < targets.size(); ++k) {
    auto& [s, kind] = targets[k];
    Reply& r = replies[k];
    switch (kind) {
      case Kind::description:
        s->described = true;
        if (auto d = propertyValue(r, G_VARIANT_TYPE_STRING))
          s->facts.description = g_variant_get_string(d.get(), nullptr);
        if (readLost(r.error)) s->descriptionError = r.error;
        break;
      case Kind::extents: {
        Extents x{std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::min(), 0, 0};
        if (r.ok()) g_variant_get(r.value.get(), "((iiii))", &x.x, &x.y, &x.width, &x.height);
        s->extents = x;
        if (readLost(r.error)) s->extentsError = r.error;
        break;
      }
      case Kind::actions:
        if (r.ok()) s->actions = actionNamesFrom(r.value.get());
        if (readLost(r.error)) s->actionsError = r.error;
        break;
    }
  }
}

const std::string& AtspiElement::description() const {
  const Snapshot& s = snapshot();
  if (s.error == platform::kAXErrorSuccess && !s.described) {
    Reply r = bus_->property(busName(), path_, "org.a11y.atspi.Accessible", "Description");
    if (r.ok() && g_variant_is_of_type(r.value.get(), G_VARIANT_TYPE_STRING))
      snapshot_->facts.description = g_variant_get_string(r.value.get(), nullptr);
    if (readLost(r.error)) snapshot_->descriptionError = r.error;
    snapshot_->described = true;
  }
  return s.facts.description;
}

const Listing& AtspiElement::children() const {
  if (listedFresh() && !isApplication()) return *children_;
  std::vector<const AtspiElement*> parents;
  const Company c = company();
  if (level_ && level_->listTogether) {
    // Every object of the level that has children and no fresh list: a
    // walk lists them all next.
    for (const AtspiElement* e : c.members) {
      if (e != this && (!e->fresh() || e->listedFresh())) continue;
      const Snapshot& s = *e->snapshot_;
      if (e == this || (s.error == platform::kAXErrorSuccess && (!s.childCount || *s.childCount > 0)))
        parents.push_back(e);
    }
  } else {
    parents.push_back(this);
  }
  auto level = std::make_shared<Level>();
  level->listTogether = !isApplication();
  const auto readings = readingsOf(parents, [](const AtspiElement* e) { return e->reading_; });
  inParts(
      *bus_, parents, [](const AtspiElement*) { return std::size_t{1}; }, readings,
      [&](std::span<const AtspiElement* const> part) { list(*bus_, part, level); });
  return *children_;
}

void AtspiElement::list(BusPort& bus, std::span<const AtspiElement* const> parents,
                        const std::shared_ptr<Level>& level) {
  std::vector<Call> calls;
  for (const AtspiElement* e : parents)
    calls.push_back(Call{e->busName(), e->path(), "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))"});
  auto replies = bus.callAll(std::move(calls));
  const double now = bus.now();
  for (std::size_t i = 0; i < parents.size(); ++i) {
    const AtspiElement* parent = parents[i];
    Listing listing;
    listing.at = now;
    if (!replies[i].ok()) {
      listing.error = replies[i].error;
    } else {
      // Passed down a walk, so that text inside a password entry is known
      // to be protected without asking for its ancestors.
      const auto secure = parent->snapshot_ && parent->snapshot_->error == platform::kAXErrorSuccess
                              ? childInsideSecure(parent->isApplication(), *parent->snapshot_, parent->insideSecure)
                              : std::optional<bool>();
      for (auto& [busName, path] : objectList(replies[i].value.get())) {
        auto child =
            std::shared_ptr<AtspiElement>(new AtspiElement(parent->bus_, std::move(busName), std::move(path), *parent));
        child->insideSecure = secure;
        child->level_ = level;
        level->members.push_back(child);
        listing.children.push_back(std::move(child));
      }
    }
    parent->children_ = std::move(listing);
  }
}

namespace {

// The iterator over the array a reply tuple of one array holds.
VariantIter arrayOf(GVariant* tuple, const char* type) {
  GVariantIter* it = nullptr;
  g_variant_get(tuple, type, &it);
  return VariantIter(it);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> objectList(GVariant* tuple) {
  std::vector<std::pair<std::string, std::string>> out;
  VariantIter it = arrayOf(tuple, "(a(so))");
  const char* bus = nullptr;
  const char* path = nullptr;
  while (g_variant_iter_next(it.get(), "(&s&o)", &bus, &path)) out.emplace_back(bus, path);
  return out;
}

States statesFrom(GVariant* tuple) {
  VariantIter it = arrayOf(tuple, "(au)");
  std::vector<std::uint32_t> words;
  guint32 w = 0;
  while (g_variant_iter_next(it.get(), "u", &w)) words.push_back(w);
  return States::fromWords(words);
}

std::vector<std::string> stringsFrom(GVariant* tuple) {
  VariantIter it = arrayOf(tuple, "(as)");
  std::vector<std::string> out;
  const char* s = nullptr;
  while (g_variant_iter_next(it.get(), "&s", &s)) out.emplace_back(s);
  return out;
}

std::vector<std::string> actionNamesFrom(GVariant* tuple) {
  VariantIter it = arrayOf(tuple, "(a(sss))");
  std::vector<std::string> out;
  const char* name = nullptr;
  const char* description = nullptr;
  const char* keys = nullptr;
  while (g_variant_iter_next(it.get(), "(&s&s&s)", &name, &description, &keys)) out.emplace_back(name);
  return out;
}

std::optional<platform::Pid> processOfBus(BusPort& bus, const std::string& busName) {
  Reply r = bus.call(Call{"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "GetConnectionUnixProcessID", g_variant_new("(s)", busName.c_str()), "(u)"});
  if (!r.ok()) return std::nullopt;
  guint32 pid = 0;
  g_variant_get(r.value.get(), "(u)", &pid);
  return static_cast<platform::Pid>(pid);
}

}  // namespace larkspire::linux_backend::atspi
