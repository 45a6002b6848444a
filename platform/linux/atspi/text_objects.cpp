#include "platform/linux/atspi/text_objects.h"

#include <algorithm>

#include "platform/linux/atspi/element.h"

namespace larkspire::linux_backend::atspi {
namespace {

// A few selections per object are all a page ever has; children of one
// object past this many are not looked at for embedded objects.
constexpr std::int32_t kMaxSelections = 8;
constexpr std::size_t kMaxChildren = 10000;

}  // namespace

namespace {

// Role, text, selection count and children of each object.
constexpr std::size_t kFirstRoundCalls = 4;
std::vector<Call> firstRound(const std::vector<ObjectAddress>& objects) {
  std::vector<Call> calls;
  calls.reserve(objects.size() * kFirstRoundCalls);
  for (const auto& o : objects) {
    calls.push_back(Call{o.bus, o.path, "org.a11y.atspi.Accessible", "GetRole", nullptr, "(u)"});
    calls.push_back(Call{o.bus, o.path, "org.a11y.atspi.Text", "GetText", g_variant_new("(ii)", 0, -1), "(s)"});
    calls.push_back(Call{o.bus, o.path, "org.a11y.atspi.Text", "GetNSelections", nullptr, "(i)"});
    calls.push_back(Call{o.bus, o.path, "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))"});
  }
  return calls;
}

// The second round: each object's selections, and the start offset of each
// child of an object whose text embeds objects.
struct SecondRound {
  struct Pending {
    std::size_t object;
    bool selection;  // else a child's start offset
    std::size_t child;
  };
  std::vector<Call> calls;
  std::vector<Pending> pending;
  std::vector<std::vector<ObjectAddress>> children;
  std::size_t childrenAsked = 0;
};

// An object from its first-round replies; its second-round calls go to
// `second`.
std::optional<TextObject> readObject(const ObjectAddress& address, std::size_t index, Reply* r, SecondRound& second) {
  if (!r[0].ok() || !r[1].ok()) return std::nullopt;
  TextObject object;
  g_variant_get(r[0].value.get(), "(u)", &object.role);
  const char* text = nullptr;
  g_variant_get(r[1].value.get(), "(&s)", &text);
  object.text = codePointsOf(text ? text : "");
  gint32 count = 0;
  if (r[2].ok()) g_variant_get(r[2].value.get(), "(i)", &count);
  for (std::int32_t k = 0; k < std::min(count, kMaxSelections); ++k) {
    second.calls.push_back(
        Call{address.bus, address.path, "org.a11y.atspi.Text", "GetSelection", g_variant_new("(i)", k), "(ii)"});
    second.pending.push_back(SecondRound::Pending{index, true, 0});
  }
  const bool embeds = object.text.find(kEmbeddedObjectCharacter) != std::u32string::npos;
  if (!embeds || !r[3].ok()) return object;
  auto& children = second.children[index];
  for (auto& [bus, path] : objectList(r[3].value.get())) {
    if (second.childrenAsked >= kMaxChildren) break;
    ++second.childrenAsked;
    second.calls.push_back(Call{bus, path, "org.freedesktop.DBus.Properties", "Get",
                                g_variant_new("(ss)", "org.a11y.atspi.Hyperlink", "StartIndex"), "(v)"});
    second.pending.push_back(SecondRound::Pending{index, false, children.size()});
    children.push_back(ObjectAddress{std::move(bus), std::move(path)});
  }
  return object;
}

void applySecondRound(std::vector<std::optional<TextObject>>& objects, const SecondRound& second,
                      std::vector<Reply>& replies) {
  for (std::size_t k = 0; k < second.pending.size(); ++k) {
    Reply& r = replies[k];
    if (!r.ok()) continue;
    const SecondRound::Pending& p = second.pending[k];
    TextObject& object = *objects[p.object];
    if (p.selection) {
      gint32 start = 0, end = 0;
      g_variant_get(r.value.get(), "(ii)", &start, &end);
      if (end < start) std::swap(start, end);
      if (start < end) object.selections.emplace_back(start, end);
      continue;
    }
    // Only embedded children are links of their parent's hypertext; the
    // others (text leaves, in some browsers) fail here.
    GVariant* inner = nullptr;
    g_variant_get(r.value.get(), "(v)", &inner);
    Variant value(inner);
    if (!g_variant_is_of_type(inner, G_VARIANT_TYPE_INT32)) continue;
    const std::int32_t offset = g_variant_get_int32(inner);
    if (offset >= 0) object.embedded.emplace_back(offset, second.children[p.object][p.child]);
  }
}

}  // namespace

std::vector<std::optional<TextObject>> BusTextObjects::read(const std::vector<ObjectAddress>& objects) {
  auto replies = bus_.callAll(firstRound(objects));
  std::vector<std::optional<TextObject>> result(objects.size());
  SecondRound second;
  second.children.resize(objects.size());
  for (std::size_t i = 0; i < objects.size(); ++i)
    result[i] = readObject(objects[i], i, &replies[i * kFirstRoundCalls], second);
  auto moreReplies = bus_.callAll(std::move(second.calls));
  applySecondRound(result, second, moreReplies);
  return result;
}

std::optional<Extents> extentsOfRuns(BusPort& bus, const std::vector<TextRun>& runs) {
  std::vector<Call> calls;
  for (const auto& run : runs)
    calls.push_back(Call{run.object.bus, run.object.path, "org.a11y.atspi.Text", "GetRangeExtents",
                         g_variant_new("(iiu)", run.span.first, run.span.second, 0u), "(iiii)"});
  auto replies = bus.callAll(std::move(calls));
  std::vector<Extents> rectangles;
  for (auto& r : replies) {
    if (!r.ok()) continue;
    Extents x;
    g_variant_get(r.value.get(), "(iiii)", &x.x, &x.y, &x.width, &x.height);
    rectangles.push_back(x);
  }
  return unionOfExtents(rectangles);
}

}  // namespace larkspire::linux_backend::atspi
