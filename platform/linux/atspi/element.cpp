#include "platform/linux/atspi/element.h"

#include <atspi/atspi-constants.h>

#include <functional>
#include <limits>
#include <span>

#include "platform/linux/atspi/registry.h"

namespace larkspire::linux_backend::atspi {
namespace {

// A batch larger than this is sent in parts, so that a node with thousands
// of children does not put thousands of calls in flight at once.
constexpr std::size_t kMaxCallsInFlight = 600;

}  // namespace

AtspiElement::AtspiElement(std::shared_ptr<BusPort> bus, std::string busName, std::string path,
                           std::shared_ptr<Reading> reading)
    : bus_(std::move(bus)),
      busName_(std::move(busName)),
      path_(std::move(path)),
      reading_(reading ? std::move(reading) : std::make_shared<Reading>()) {}

AtspiElement::AtspiElement(std::shared_ptr<BusPort> bus, platform::Pid pid)
    : bus_(std::move(bus)), path_(kRootPath), pid_(pid), reading_(std::make_shared<Reading>()) {}

const std::string& AtspiElement::busName() const {
  // A failed lookup is not remembered: the application may register later.
  if (busName_.empty() && pid_) busName_ = findApplicationBus(*bus_, *pid_);
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

void appendSnapshotCalls(std::vector<Call>& calls, const std::string& busName, const std::string& path) {
  auto property = [&](const char* name) {
    calls.push_back(Call{busName, path, "org.freedesktop.DBus.Properties", "Get",
                         g_variant_new("(ss)", "org.a11y.atspi.Accessible", name), "(v)"});
  };
  calls.push_back(Call{busName, path, "org.a11y.atspi.Accessible", "GetRole", nullptr, "(u)"});
  calls.push_back(Call{busName, path, "org.a11y.atspi.Accessible", "GetState", nullptr, "(au)"});
  property("Name");
  property("Description");
  property("Parent");
  property("ChildCount");
  calls.push_back(Call{busName, path, "org.a11y.atspi.Accessible", "GetInterfaces", nullptr, "(as)"});
}

Snapshot snapshotFrom(std::vector<Reply>::iterator r) {
  Snapshot s;
  Reply& role = r[0];
  if (!role.ok()) {
    s.error = role.error;
    return s;
  }
  g_variant_get(role.value.get(), "(u)", &s.facts.role);

  if (r[1].ok()) s.facts.states = statesFrom(r[1].value.get());

  // A property's value, unwrapped, when it came and has the type.
  auto property = [&](std::size_t index, const GVariantType* type) -> Variant {
    if (!r[index].ok()) return nullptr;
    GVariant* boxed = nullptr;
    g_variant_get(r[index].value.get(), "(v)", &boxed);
    Variant value(boxed);
    if (!value || !g_variant_is_of_type(value.get(), type)) return nullptr;
    return value;
  };
  if (auto name = property(2, G_VARIANT_TYPE_STRING)) s.facts.name = g_variant_get_string(name.get(), nullptr);
  if (auto description = property(3, G_VARIANT_TYPE_STRING)) {
    s.facts.description = g_variant_get_string(description.get(), nullptr);
  }
  if (auto parent = property(4, G_VARIANT_TYPE("(so)"))) {
    const char* bus = nullptr;
    const char* path = nullptr;
    g_variant_get(parent.get(), "(&s&o)", &bus, &path);
    s.parentBus = bus;
    s.parentPath = path;
  }
  if (auto count = property(5, G_VARIANT_TYPE_INT32)) s.childCount = g_variant_get_int32(count.get());

  if (r[6].ok()) s.facts.interfaces = interfaceFlags(stringsFrom(r[6].value.get()));
  return s;
}

void AtspiElement::prefetch(BusPort& bus, const std::vector<const AtspiElement*>& elements) {
  std::vector<const AtspiElement*> stale;
  for (const auto* e : elements)
    if (!e->fresh()) stale.push_back(e);
  const std::size_t perBatch = kMaxCallsInFlight / kSnapshotCallCount;
  for (std::size_t start = 0; start < stale.size(); start += perBatch) {
    const std::span<const AtspiElement* const> part(stale.data() + start, std::min(perBatch, stale.size() - start));
    const double started = bus.now();
    for (const AtspiElement* e : part) e->reading_->starting(started);
    // First what every object has; then extents and actions only of the
    // objects that have them, which saves a third of the calls of a walk.
    readFacts(bus, part);
    readExtentsAndActions(bus, part);
    // Fresh from the end of the batch, not its start.
    const double now = bus.now();
    for (const AtspiElement* e : part) {
      e->snapshot_->at = now;
      e->reading_->read(now);
    }
  }
}

void AtspiElement::readFacts(BusPort& bus, std::span<const AtspiElement* const> elements) {
  std::vector<Call> calls;
  calls.reserve(elements.size() * kSnapshotCallCount);
  for (const AtspiElement* e : elements) {
    static const std::string kNoBus = "org.invalid";
    const std::string& name = e->busName();
    appendSnapshotCalls(calls, name.empty() ? kNoBus : name, e->path());
  }
  auto replies = bus.callAll(std::move(calls));
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const AtspiElement* e = elements[i];
    if (e->busName().empty()) {
      Snapshot s;
      s.error = platform::kAXErrorCannotComplete;
      e->snapshot_ = std::move(s);
      continue;
    }
    e->snapshot_ = snapshotFrom(replies.begin() + static_cast<std::ptrdiff_t>(i * kSnapshotCallCount));
  }
}

void AtspiElement::readExtentsAndActions(BusPort& bus, std::span<const AtspiElement* const> elements) {
  std::vector<Call> calls;
  std::vector<std::pair<Snapshot*, bool>> targets;  // snapshot, true for extents
  for (const AtspiElement* e : elements) {
    Snapshot& s = *e->snapshot_;
    if (s.error != platform::kAXErrorSuccess) continue;
    if (wantsExtents(s)) {
      calls.push_back(Call{e->busName(), e->path(), "org.a11y.atspi.Component", "GetExtents", g_variant_new("(u)", 0u),
                           "((iiii))"});
      targets.emplace_back(&s, true);
    }
    if (s.facts.interfaces & kAction) {
      calls.push_back(Call{e->busName(), e->path(), "org.a11y.atspi.Action", "GetActions", nullptr, "(a(sss))"});
      targets.emplace_back(&s, false);
    }
  }
  auto replies = bus.callAll(std::move(calls));
  for (std::size_t k = 0; k < targets.size(); ++k) {
    auto& [s, extents] = targets[k];
    Reply& r = replies[k];
    if (extents) {
      Extents x{std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::min(), 0, 0};
      if (r.ok()) g_variant_get(r.value.get(), "((iiii))", &x.x, &x.y, &x.width, &x.height);
      s->extents = x;
    } else if (r.ok()) {
      s->actions = actionNamesFrom(r.value.get());
    }
  }
}

const Snapshot& AtspiElement::snapshot() const {
  if (!fresh()) prefetch(*bus_, {this});
  Snapshot& s = *snapshot_;
  if (s.error == platform::kAXErrorSuccess) {
    s.facts.topLevel = topLevel(s, busName_, isApplication());
    if (insideSecure) s.facts.insideSecure = *insideSecure;
  }
  return s;
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

std::string findApplicationBus(BusPort& bus, platform::Pid pid) {
  if (pid <= 0) return {};
  for (const auto& application : registeredApplications(bus))
    if (application.pid == pid) return application.busName;
  return {};
}

}  // namespace larkspire::linux_backend::atspi
