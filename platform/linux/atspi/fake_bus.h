// A recording stand-in for the accessibility bus, for tests: it answers the
// AT-SPI calls from a tree of objects held in memory, built compactly, and
// writes down every call it gets, batch by batch. Time is virtual.
#pragma once

#include <atspi/atspi-constants.h>

#include <algorithm>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/atspi/bus_port.h"
#include "platform/linux/atspi/element.h"
#include "platform/linux/atspi/translate.h"

namespace larkspire::linux_backend::testing {

// One object of the tree, with setters that read as a description.
struct FakeObject {
  std::string bus;
  std::string path;
  AtspiRole role = ATSPI_ROLE_UNKNOWN;
  atspi::States states;
  std::uint32_t interfaces = atspi::kAccessible;
  std::string name;
  std::string description;
  std::string parentPath;  // on the same bus; the null object when empty
  std::vector<std::string> children;
  std::optional<atspi::Extents> extents;
  std::vector<std::string> actions;
  std::string text;
  std::vector<std::pair<std::int32_t, std::int32_t>> selections;
  std::int32_t caret = -1;
  double value = 0;
  std::map<std::string, std::string> documentAttributes;
  std::optional<std::int32_t> linkStart;  // Hyperlink.StartIndex, as an embedded child
  bool gone = false;                      // answers as an object that no longer exists
  bool hung = false;                      // never answers in time

  FakeObject& named(std::string n) {
    name = std::move(n);
    return *this;
  }
  FakeObject& in(std::initializer_list<AtspiStateType> list) {
    for (auto s : list) states = states.with(s);
    return *this;
  }
  FakeObject& implementing(std::uint32_t flags) {
    interfaces |= flags;
    return *this;
  }
  FakeObject& at(atspi::Extents e) {
    extents = e;
    return implementing(atspi::kComponent);
  }
  FakeObject& acting(std::vector<std::string> names) {
    actions = std::move(names);
    return implementing(atspi::kAction);
  }
  FakeObject& holding(std::string t, std::int32_t caretAt = 0) {
    text = std::move(t);
    caret = caretAt;
    return implementing(atspi::kText);
  }
};

class FakeBus final : public atspi::BusPort {
 public:
  // The root of an application: its own bus name, owned by `pid`.
  FakeObject& application(const std::string& bus, platform::Pid pid, std::string name) {
    applications_.emplace_back(bus, pid);
    FakeObject& root = put(bus, atspi::kRootPath, ATSPI_ROLE_APPLICATION);
    root.name = std::move(name);
    return root;
  }
  // A new last child of `parent`, at `path` on the parent's bus.
  FakeObject& add(FakeObject& parent, const std::string& path, AtspiRole role) {
    parent.children.push_back(path);
    FakeObject& child = put(parent.bus, path, role);
    child.parentPath = parent.path;
    return child;
  }
  FakeObject& object(const std::string& bus, const std::string& path) { return objects_.at({bus, path}); }

  std::vector<atspi::Reply> callAll(std::vector<atspi::Call> batch) override {
    if (batch.empty()) return {};  // nothing goes on the bus
    batches.push_back(batch.size());
    std::vector<atspi::Reply> replies;
    replies.reserve(batch.size());
    for (const auto& c : batch) {
      std::string line = c.bus + " " + c.path + " " + c.interface + "." + c.method;
      if (c.parameters.get()) line += " " + printed(c.parameters.get());
      calls.push_back(std::move(line));
      replies.push_back(answer(c));
    }
    return replies;
  }
  double now() override { return time; }

  // Calls whose text holds `part`.
  std::size_t count(const std::string& part) const {
    std::size_t n = 0;
    for (const auto& c : calls) n += c.find(part) != std::string::npos;
    return n;
  }
  void forget() {
    calls.clear();
    batches.clear();
  }

  std::vector<std::string> calls;    // "bus path interface.method (arguments)"
  std::vector<std::size_t> batches;  // the size of each callAll that sent anything
  double time = 1000;

 private:
  FakeObject& put(const std::string& bus, const std::string& path, AtspiRole role) {
    FakeObject& o = objects_[{bus, path}];
    o.bus = bus;
    o.path = path;
    o.role = role;
    return o;
  }

  static std::string printed(GVariant* v) {
    GlibString text(g_variant_print(v, FALSE));
    return text.get();
  }
  static atspi::Reply value(GVariant* v) {
    atspi::Reply r;
    r.value.reset(g_variant_ref_sink(v));
    return r;
  }
  static atspi::Reply error(const char* dbusName) {
    atspi::Reply r;
    r.error = atspi::errorForDBus(dbusName, false);
    return r;
  }
  static std::string argument(const atspi::Call& c, std::size_t i) {
    Variant child(g_variant_get_child_value(c.parameters.get(), i));
    return g_variant_get_string(child.get(), nullptr);
  }
  static std::int32_t number(const atspi::Call& c, std::size_t i) {
    Variant child(g_variant_get_child_value(c.parameters.get(), i));
    return g_variant_get_int32(child.get());
  }
  static GVariant* objectRef(const std::string& bus, const std::string& path) {
    return g_variant_new("(so)", bus.c_str(), path.c_str());
  }
  // Code points [start, end) of UTF-8 text, end -1 meaning the end.
  static std::string slice(const std::string& text, std::int32_t start, std::int32_t end) {
    const auto length = static_cast<std::int32_t>(g_utf8_strlen(text.c_str(), -1));
    if (end < 0 || end > length) end = length;
    start = std::clamp(start, 0, end);
    const char* from = g_utf8_offset_to_pointer(text.c_str(), start);
    const char* to = g_utf8_offset_to_pointer(text.c_str(), end);
    return std::string(from, to);
  }

  atspi::Reply answer(const atspi::Call& c) {
    const std::string method = std::string(c.interface) + "." + c.method;
    if (c.bus == "org.freedesktop.DBus") {
      const std::string asked = argument(c, 0);
      for (const auto& [bus, pid] : applications_)
        if (bus == asked) return value(g_variant_new("(u)", static_cast<guint32>(pid)));
      return error("org.freedesktop.DBus.Error.NameHasNoOwner");
    }
    if (c.bus == "org.a11y.atspi.Registry") {
      GVariantBuilder list;
      g_variant_builder_init(&list, G_VARIANT_TYPE("a(so)"));
      for (const auto& [bus, pid] : applications_) g_variant_builder_add_value(&list, objectRef(bus, atspi::kRootPath));
      return value(g_variant_new("(a(so))", &list));
    }
    auto found = objects_.find({c.bus, c.path});
    if (found == objects_.end() || found->second.gone) return error("org.freedesktop.DBus.Error.UnknownObject");
    FakeObject& o = found->second;
    if (o.hung) {
      atspi::Reply r = error("org.freedesktop.DBus.Error.NoReply");
      r.timedOut = true;
      return r;
    }
    if (method == "org.freedesktop.DBus.Properties.Get") return property(o, argument(c, 0), argument(c, 1));
    if (method == "org.freedesktop.DBus.Properties.Set") {
      Variant boxed(g_variant_get_child_value(c.parameters.get(), 2));
      Variant inner(g_variant_get_variant(boxed.get()));
      if (!(o.interfaces & atspi::kValue) || !g_variant_is_of_type(inner.get(), G_VARIANT_TYPE_DOUBLE))
        return error("org.freedesktop.DBus.Error.InvalidArgs");
      o.value = g_variant_get_double(inner.get());
      return value(g_variant_new("()"));
    }
    if (method == "org.a11y.atspi.Accessible.GetRole") return value(g_variant_new("(u)", guint32(o.role)));
    if (method == "org.a11y.atspi.Accessible.GetState") {
      const std::uint64_t bits = o.states.bits();
      GVariantBuilder words;
      g_variant_builder_init(&words, G_VARIANT_TYPE("au"));
      g_variant_builder_add(&words, "u", guint32(bits & 0xFFFFFFFFu));
      g_variant_builder_add(&words, "u", guint32(bits >> 32));
      return value(g_variant_new("(au)", &words));
    }
    if (method == "org.a11y.atspi.Accessible.GetInterfaces") {
      GVariantBuilder names;
      g_variant_builder_init(&names, G_VARIANT_TYPE("as"));
      for (const auto& [flag, name] : kInterfaceNames)
        if (o.interfaces & flag) g_variant_builder_add(&names, "s", name);
      return value(g_variant_new("(as)", &names));
    }
    if (method == "org.a11y.atspi.Accessible.GetChildren") {
      GVariantBuilder list;
      g_variant_builder_init(&list, G_VARIANT_TYPE("a(so)"));
      for (const auto& path : o.children) g_variant_builder_add_value(&list, objectRef(o.bus, path));
      return value(g_variant_new("(a(so))", &list));
    }
    return answerInterface(o, c, method);
  }

  // Calls of the interfaces an object may lack.
  atspi::Reply answerInterface(FakeObject& o, const atspi::Call& c, const std::string& method) {
    auto has = [&](std::uint32_t flag) { return (o.interfaces & flag) != 0; };
    if (method == "org.a11y.atspi.Component.GetExtents" && has(atspi::kComponent)) {
      const atspi::Extents x = o.extents.value_or(atspi::Extents{});
      return value(g_variant_new("((iiii))", x.x, x.y, x.width, x.height));
    }
    if (method == "org.a11y.atspi.Component.GrabFocus" && has(atspi::kComponent)) {
      return value(g_variant_new("(b)", TRUE));
    }
    if (method == "org.a11y.atspi.Action.GetActions" && has(atspi::kAction)) {
      GVariantBuilder list;
      g_variant_builder_init(&list, G_VARIANT_TYPE("a(sss)"));
      for (const auto& a : o.actions) g_variant_builder_add(&list, "(sss)", a.c_str(), "", "");
      return value(g_variant_new("(a(sss))", &list));
    }
    if (method == "org.a11y.atspi.Action.DoAction" && has(atspi::kAction)) {
      const std::int32_t index = number(c, 0);
      return value(g_variant_new("(b)", index >= 0 && index < std::int32_t(o.actions.size())));
    }
    if (method == "org.a11y.atspi.Text.GetText" && has(atspi::kText))
      return value(g_variant_new("(s)", slice(o.text, number(c, 0), number(c, 1)).c_str()));
    if (method == "org.a11y.atspi.Text.GetNSelections" && has(atspi::kText))
      return value(g_variant_new("(i)", std::int32_t(o.selections.size())));
    if (method == "org.a11y.atspi.Text.GetSelection" && has(atspi::kText)) {
      const std::int32_t k = number(c, 0);
      auto s = k >= 0 && k < std::int32_t(o.selections.size()) ? o.selections[std::size_t(k)] : std::make_pair(0, 0);
      return value(g_variant_new("(ii)", s.first, s.second));
    }
    if (method == "org.a11y.atspi.Text.GetRangeExtents" && has(atspi::kText)) {
      const atspi::Extents x = o.extents.value_or(atspi::Extents{});
      return value(g_variant_new("(iiii)", x.x, x.y, x.width, x.height));
    }
    if (method == "org.a11y.atspi.EditableText.SetTextContents" && has(atspi::kEditableText)) {
      o.text = argument(c, 0);
      return value(g_variant_new("(b)", TRUE));
    }
    if (method == "org.a11y.atspi.Document.GetAttributeValue" && has(atspi::kDocument)) {
      auto found = o.documentAttributes.find(argument(c, 0));
      return value(g_variant_new("(s)", found == o.documentAttributes.end() ? "" : found->second.c_str()));
    }
    return error("org.freedesktop.DBus.Error.UnknownMethod");
  }

  atspi::Reply property(const FakeObject& o, const std::string& interface, const std::string& name) {
    GVariant* v = nullptr;
    if (interface == "org.a11y.atspi.Accessible") {
      if (name == "Name") v = g_variant_new_string(o.name.c_str());
      if (name == "Description") v = g_variant_new_string(o.description.c_str());
      if (name == "ChildCount") v = g_variant_new_int32(std::int32_t(o.children.size()));
      if (name == "Parent") {
        v = o.parentPath.empty() ? objectRef("", "/org/a11y/atspi/null") : objectRef(o.bus, o.parentPath);
      }
    } else if (interface == "org.a11y.atspi.Text" && (o.interfaces & atspi::kText)) {
      if (name == "CharacterCount") v = g_variant_new_int32(std::int32_t(g_utf8_strlen(o.text.c_str(), -1)));
      if (name == "CaretOffset") v = g_variant_new_int32(o.caret);
    } else if (interface == "org.a11y.atspi.Value" && (o.interfaces & atspi::kValue)) {
      if (name == "CurrentValue") v = g_variant_new_double(o.value);
    } else if (interface == "org.a11y.atspi.Hyperlink" && o.linkStart) {
      if (name == "StartIndex") v = g_variant_new_int32(*o.linkStart);
    }
    if (!v) return error("org.freedesktop.DBus.Error.UnknownProperty");
    return value(g_variant_new("(v)", v));
  }

  static constexpr std::pair<std::uint32_t, const char*> kInterfaceNames[] = {
      {atspi::kAccessible, "org.a11y.atspi.Accessible"},     {atspi::kAction, "org.a11y.atspi.Action"},
      {atspi::kComponent, "org.a11y.atspi.Component"},       {atspi::kText, "org.a11y.atspi.Text"},
      {atspi::kEditableText, "org.a11y.atspi.EditableText"}, {atspi::kValue, "org.a11y.atspi.Value"},
      {atspi::kDocument, "org.a11y.atspi.Document"},         {atspi::kApplication, "org.a11y.atspi.Application"},
      {atspi::kCollection, "org.a11y.atspi.Collection"},     {atspi::kSelection, "org.a11y.atspi.Selection"},
      {atspi::kHypertext, "org.a11y.atspi.Hypertext"},
  };

  std::map<std::pair<std::string, std::string>, FakeObject> objects_;  // stable: tests keep references
  std::vector<std::pair<std::string, platform::Pid>> applications_;
};

}  // namespace larkspire::linux_backend::testing
