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

std::vector<std::optional<TextObject>> BusTextObjects::read(const std::vector<ObjectAddress>& objects) {
  std::vector<Call> calls;
  for (const auto& o : objects) {
    calls.push_back(Call{o.bus, o.path, "org.a11y.atspi.Accessible", "GetRole", nullptr, "(u)"});
    calls.push_back(Call{o.bus, o.path, "org.a11y.atspi.Text", "GetText", g_variant_new("(ii)", 0, -1), "(s)"});
    calls.push_back(Call{o.bus, o.path, "org.a11y.atspi.Text", "GetNSelections", nullptr, "(i)"});
    calls.push_back(Call{o.bus, o.path, "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))"});
  }
  auto replies = bus_.callAll(std::move(calls));

  std::vector<std::optional<TextObject>> result(objects.size());
  std::vector<std::vector<ObjectAddress>> children(objects.size());
  std::vector<Call> more;
  struct Pending {
    std::size_t object;
    bool selection;  // else a child's start offset
    std::size_t child;
  };
  std::vector<Pending> pending;
  std::size_t childrenAsked = 0;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    Reply* r = &replies[i * 4];
    if (!r[0].ok() || !r[1].ok()) continue;
    TextObject object;
    g_variant_get(r[0].value.get(), "(u)", &object.role);
    const char* text = nullptr;
    g_variant_get(r[1].value.get(), "(&s)", &text);
    object.text = codePointsOf(text ? text : "");
    gint32 count = 0;
    if (r[2].ok()) g_variant_get(r[2].value.get(), "(i)", &count);
    for (std::int32_t k = 0; k < std::min(count, kMaxSelections); ++k) {
      more.push_back(Call{objects[i].bus, objects[i].path, "org.a11y.atspi.Text", "GetSelection",
                          g_variant_new("(i)", k), "(ii)"});
      pending.push_back(Pending{i, true, 0});
    }
    const bool embeds = object.text.find(kEmbeddedObjectCharacter) != std::u32string::npos;
    if (embeds && r[3].ok()) {
      for (auto& [bus, path] : objectList(r[3].value.get())) {
        if (childrenAsked >= kMaxChildren) break;
        ++childrenAsked;
        more.push_back(Call{bus, path, "org.freedesktop.DBus.Properties", "Get",
                            g_variant_new("(ss)", "org.a11y.atspi.Hyperlink", "StartIndex"), "(v)"});
        pending.push_back(Pending{i, false, children[i].size()});
        children[i].push_back(ObjectAddress{std::move(bus), std::move(path)});
      }
    }
    result[i] = std::move(object);
  }

  auto moreReplies = bus_.callAll(std::move(more));
  for (std::size_t k = 0; k < pending.size(); ++k) {
    Reply& r = moreReplies[k];
    if (!r.ok()) continue;
    TextObject& object = *result[pending[k].object];
    if (pending[k].selection) {
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
    if (offset >= 0) object.embedded.emplace_back(offset, children[pending[k].object][pending[k].child]);
  }
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
