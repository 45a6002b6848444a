// The accessibility service over AT-SPI2, by direct D-Bus calls on the
// accessibility bus (through a BusPort): no client-side cache to go stale,
// no main loop needed, and every call bounded by kCallTimeoutMs. The
// meaning of what is read is decided in translate.cpp (roles, actions,
// protection, settability, which attributes an object has) and
// snapshot.cpp (windows, focus, password ancestry, extents, the caret);
// this file does the reading.
#include "platform/linux/atspi/accessibility.h"

#include <X11/Xlib.h>
#include <atspi/atspi-constants.h>

#include "platform/linux/atspi/element.h"
#include "platform/linux/atspi/hypertext.h"
#include "platform/linux/atspi/raise.h"
#include "platform/linux/atspi/text_objects.h"
#include "platform/linux/atspi/translate.h"
#include "platform/linux/dbus/accessibility_bus.h"
#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend {
namespace {

using namespace platform;
using atspi::AtspiElement;
using atspi::Call;
using atspi::Reply;

// Bounds of the search for the focused element inside the focused window.
constexpr std::size_t kFocusSearchNodes = 3000;
// Ancestors looked at to learn whether a text object sits in a password entry.
constexpr int kSecureAncestorHops = 3;

CopyResult failed(AXError error) { return CopyResult{error, std::nullopt}; }
CopyResult valueOf(Value v) { return CopyResult{kAXErrorSuccess, std::move(v)}; }

class AtspiAccessibility final : public Accessibility {
 public:
  AtspiAccessibility(LinuxContext& context, std::shared_ptr<atspi::BusPort> bus)
      : context_(context), bus_(std::move(bus)) {}

  bool isProcessTrusted() override { return accessibilityEnabled(context_, false); }
  bool isProcessTrustedWithOptions(bool prompt) override { return accessibilityEnabled(context_, prompt); }
  PermissionState trustState() override { return accessibilityState(context_, false); }

  Element createApplication(Pid pid) override { return Element(std::make_shared<AtspiElement>(bus_, pid)); }

  CopyResult copyAttributeValue(const Element& element, std::string_view attribute) override {
    const Target t = resolve(element, Defunct::refused);
    if (t.error != kAXErrorSuccess) return failed(t.error);
    if (t.element->isApplication()) return applicationAttribute(*t.element, *t.snapshot, attribute);
    return objectAttribute(*t.element, *t.snapshot, attribute);
  }

  CopyResult copyParameterizedAttributeValue(const Element& element, std::string_view attribute,
                                             const Value& parameter) override {
    const atspi::AttributeEntry<atspi::ParameterizedAttribute>* entry = nullptr;
    const Target t = resolve(element, Defunct::read, [&](const AtspiElement&) {
      entry = atspi::findParameterizedAttribute(attribute);
      return entry ? kAXErrorSuccess : kAXErrorParameterizedAttributeUnsupported;
    });
    if (t.error != kAXErrorSuccess) return failed(t.error);
    if (!entry->offered(t.snapshot->facts)) return failed(kAXErrorParameterizedAttributeUnsupported);
    const auto* value = std::get_if<AXValue>(&parameter);
    auto range = value ? value->get<CharacterRange>() : std::nullopt;
    auto bounds = range ? atspi::atspiRange(*range) : std::nullopt;
    if (!bounds) return failed(kAXErrorIllegalArgument);
    return textOfRange(*t.element, *t.snapshot, *bounds, entry->id == atspi::ParameterizedAttribute::stringForRange);
  }

  AXError setAttributeValue(const Element& element, std::string_view attribute, const Value& value) override {
    const Target t = resolve(element);
    if (t.error != kAXErrorSuccess) return t.error;
    const AtspiElement& e = *t.element;
    if (e.isApplication()) {
      if (!accessibilitySwitch(attribute)) return kAXErrorAttributeUnsupported;
      if (!std::holds_alternative<bool>(value)) return kAXErrorIllegalArgument;
      // What these ask an application for is to expose its tree; on Linux
      // that is the session-wide accessibility switch, which Qt and
      // Chromium wait for. GTK answers either way.
      if (std::get<bool>(value)) switchAccessibilityOn(context_);
      return kAXErrorSuccess;
    }
    const auto* entry = atspi::findObjectAttribute(attribute);
    const auto id = entry ? std::optional(entry->id) : std::nullopt;
    if (id == atspi::ObjectAttribute::value) return setValue(e, *t.snapshot, value);
    if (id == atspi::ObjectAttribute::focused) {
      if (!std::holds_alternative<bool>(value)) return kAXErrorIllegalArgument;
      if (!std::get<bool>(value)) return kAXErrorSuccess;
      Reply r = bus_->call(Call{e.busName(), e.path(), "org.a11y.atspi.Component", "GrabFocus", nullptr, "(b)"});
      return r.ok() ? kAXErrorSuccess : r.error;
    }
    return kAXErrorAttributeUnsupported;
  }

  // From the snapshot's ChildCount, which a walk has already read with the
  // element's other facts: a node's children are counted before they are
  // listed and their facts fetched. Applications are listed every time.
  CountResult getAttributeValueCount(const Element& element, std::string_view attribute) override {
    const Target t = resolve(element, Defunct::refused, [&](const AtspiElement& e) {
      return attribute != "AXChildren" || e.isApplication() ? kAXErrorNotImplemented : kAXErrorSuccess;
    });
    if (t.error != kAXErrorSuccess) return {t.error, 0};
    const auto& count = t.snapshot->childCount;
    if (!count || *count < 0) return {kAXErrorNotImplemented, 0};
    return {kAXErrorSuccess, *count};
  }

  NamesResult copyActionNames(const Element& element) override {
    const Target t = resolve(element);
    if (t.error != kAXErrorSuccess) return {t.error, std::nullopt};
    TextList names;
    if (t.snapshot->facts.topLevel) names.push_back("AXRaise");
    if (!t.element->isApplication()) {
      const atspi::Snapshot& s = t.element->detailed();
      if (s.actionsError != kAXErrorSuccess) return {s.actionsError, std::nullopt};
      for (auto& a : atspi::mapActions(factsOf(*t.element, s), s.actions)) names.push_back(std::move(a.name));
    }
    return {kAXErrorSuccess, std::move(names)};
  }

  SettableResult isAttributeSettable(const Element& element, std::string_view attribute) override {
    const Target t = resolve(element);
    if (t.error != kAXErrorSuccess) return {t.error, false};
    if (t.element->isApplication()) return {kAXErrorSuccess, accessibilitySwitch(attribute)};
    const auto* entry = atspi::findObjectAttribute(attribute);
    if (entry && entry->id == atspi::ObjectAttribute::value)
      return {kAXErrorSuccess, atspi::valueSettable(factsOf(*t.element, *t.snapshot))};
    if (entry && entry->id == atspi::ObjectAttribute::focused)
      return {kAXErrorSuccess, t.snapshot->facts.states.has(ATSPI_STATE_FOCUSABLE)};
    return {kAXErrorSuccess, false};
  }

  AXError performAction(const Element& element, std::string_view action) override {
    const Target t = resolve(element);
    if (t.error != kAXErrorSuccess) return t.error;
    const AtspiElement& e = *t.element;
    const atspi::Snapshot& s = e.detailed();
    if (action == "AXRaise") return s.facts.topLevel ? raise(e, s) : kAXErrorActionUnsupported;
    if (e.isApplication()) return kAXErrorActionUnsupported;
    if (s.actionsError != kAXErrorSuccess) return s.actionsError;
    for (const auto& a : atspi::mapActions(factsOf(e, s), s.actions)) {
      if (a.name != action) continue;
      Reply r = bus_->call(
          Call{e.busName(), e.path(), "org.a11y.atspi.Action", "DoAction", g_variant_new("(i)", a.index), "(b)"});
      if (!r.ok()) return r.error;
      gboolean done = FALSE;
      g_variant_get(r.value.get(), "(b)", &done);
      return done ? kAXErrorSuccess : kAXErrorCannotComplete;
    }
    return kAXErrorActionUnsupported;
  }

  NamesResult copyAttributeNames(const Element& element) override {
    const Target t = resolve(element);
    if (t.error != kAXErrorSuccess) return {t.error, std::nullopt};
    return {kAXErrorSuccess, atspi::attributeNames(factsOf(*t.element, *t.snapshot), t.element->isApplication())};
  }

  NamesResult copyParameterizedAttributeNames(const Element& element) override {
    const Target t = resolve(element);
    if (t.error != kAXErrorSuccess) return {t.error, std::nullopt};
    if (t.element->isApplication()) return {kAXErrorSuccess, TextList{}};
    return {kAXErrorSuccess, atspi::parameterizedAttributeNames(t.snapshot->facts)};
  }

 private:
  // What every operation starts from: the AT-SPI element behind a handle
  // and its snapshot, or the error that answers the request. In this order:
  // a handle of another backend is an illegal argument; `first` checks what
  // an operation refuses before anything is read (each its own code); an
  // application not on the bus cannot complete; an object that cannot be
  // read answers why; a defunct object is invalid where `defunct` says so.
  struct Target {
    const AtspiElement* element = nullptr;
    const atspi::Snapshot* snapshot = nullptr;
    AXError error = kAXErrorSuccess;
  };
  enum class Defunct { read, refused };
  static AXError nothingFirst(const AtspiElement&) { return kAXErrorSuccess; }

  template <class First = decltype(&nothingFirst)>
  Target resolve(const Element& element, Defunct defunct = Defunct::read, First first = &nothingFirst) {
    const AtspiElement* e = element.as<AtspiElement>();
    if (!e) return Target{nullptr, nullptr, kAXErrorIllegalArgument};
    if (const AXError refused = first(*e); refused != kAXErrorSuccess) return Target{e, nullptr, refused};
    if (e->busName().empty()) return Target{e, nullptr, kAXErrorCannotComplete};
    const atspi::Snapshot& s = e->snapshot();
    if (s.error != kAXErrorSuccess) return Target{e, &s, s.error};
    if (defunct == Defunct::refused && s.facts.states.has(ATSPI_STATE_DEFUNCT))
      return Target{e, &s, kAXErrorInvalidUIElement};
    return Target{e, &s, kAXErrorSuccess};
  }

  // AXStringForRange (`wantText`) or AXBoundsForRange of a text object.
  CopyResult textOfRange(const AtspiElement& e, const atspi::Snapshot& s, std::pair<std::int32_t, std::int32_t> bounds,
                         bool wantText) {
    if (s.facts.interfaces & atspi::kHypertext) {
      auto resolved = resolveEmbedded(e, bounds);
      if (!resolved) return failed(kAXErrorCannotComplete);
      if (resolved->embedded) {
        if (wantText) return valueOf(std::move(resolved->text.text));
        auto x = atspi::extentsOfRuns(*bus_, resolved->text.runs);
        if (!x) return failed(kAXErrorNoValue);
        return valueOf(AXValue{Rect{Point{double(x->x), double(x->y)}, Size{double(x->width), double(x->height)}}});
      }
    }
    if (wantText) return textRange(e, bounds.first, bounds.second);
    Reply r = bus_->call(Call{e.busName(), e.path(), "org.a11y.atspi.Text", "GetRangeExtents",
                              g_variant_new("(iiu)", bounds.first, bounds.second, 0u), "(iiii)"});
    if (!r.ok()) return failed(r.error);
    atspi::Extents x;
    g_variant_get(r.value.get(), "(iiii)", &x.x, &x.y, &x.width, &x.height);
    if (!atspi::usableExtents(x)) return failed(kAXErrorNoValue);
    return valueOf(AXValue{Rect{Point{double(x.x), double(x.y)}, Size{double(x.width), double(x.height)}}});
  }

  // The application attributes that stand for the session's accessibility
  // switch: the only ones an application lets set.
  static bool accessibilitySwitch(std::string_view attribute) {
    const auto* entry = atspi::findApplicationAttribute(attribute);
    return entry && (entry->id == atspi::ApplicationAttribute::manualAccessibility ||
                     entry->id == atspi::ApplicationAttribute::enhancedUserInterface);
  }

  // The facts with the password-entry ancestry settled, which only text
  // objects need (and which costs calls when the element was not reached
  // from above).
  atspi::Facts factsOf(const AtspiElement& e, const atspi::Snapshot& s) {
    atspi::Facts f = s.facts;
    if (!atspi::needsSecureAncestry(f, e.insideSecure)) return f;
    bool inside = false;
    std::string bus = s.parentBus, path = s.parentPath;
    for (int hop = 0; hop < kSecureAncestorHops && !bus.empty() && path != atspi::kRootPath; ++hop) {
      AtspiElement parent(bus_, bus, path);
      const atspi::Snapshot& ps = parent.snapshot();
      if (ps.error != kAXErrorSuccess) break;
      if (atspi::isPasswordRole(ps.facts.role)) {
        inside = true;
        break;
      }
      bus = ps.parentBus;
      path = ps.parentPath;
    }
    e.insideSecure = inside;
    f.insideSecure = inside;
    return f;
  }

  // The children, listed with those of the rest of the element's level: a
  // walk asks for theirs next.
  static std::optional<ElementList> children(const AtspiElement& e, const atspi::Snapshot& s, AXError& error) {
    // Most objects of a tree are leaves: their snapshot already says so.
    // Not for applications, whose windows come and go while callers wait.
    if (!e.isApplication() && s.childCount && *s.childCount == 0) return ElementList{};
    const atspi::Listing& listing = e.children();
    if (listing.error != kAXErrorSuccess) {
      error = listing.error;
      return std::nullopt;
    }
    return ElementList(listing.children.begin(), listing.children.end());
  }

  CopyResult applicationAttribute(const AtspiElement& e, const atspi::Snapshot& s, std::string_view name) {
    using A = atspi::ApplicationAttribute;
    const auto* entry = atspi::findApplicationAttribute(name);
    if (!entry || !entry->offered(s.facts)) return failed(kAXErrorAttributeUnsupported);
    switch (entry->id) {
      case A::role:
        return valueOf(std::string("AXApplication"));
      case A::title:
        return valueOf(s.facts.name);
      case A::description:
        return valueOf(e.description());
      case A::subrole:
      case A::parent:
        return failed(kAXErrorNoValue);
      case A::manualAccessibility:
      case A::enhancedUserInterface:
        return valueOf(accessibilityEnabled(context_, false));
      case A::children:
      case A::windows:
      case A::focusedWindow:
      case A::focusedUIElement:
        return windowAttribute(e, s, entry->id);
    }
    return failed(kAXErrorAttributeUnsupported);
  }

  CopyResult windowAttribute(const AtspiElement& e, const atspi::Snapshot& s, atspi::ApplicationAttribute attribute) {
    using A = atspi::ApplicationAttribute;
    AXError error = kAXErrorSuccess;
    auto kids = children(e, s, error);
    if (!kids) return failed(error);
    if (attribute == A::children) return valueOf(std::move(*kids));
    ElementList windows;
    for (auto& w : *kids) {
      const atspi::Snapshot& ws = w.as<AtspiElement>()->snapshot();
      if (ws.error == kAXErrorSuccess && atspi::listedWindow(ws.facts.states)) windows.push_back(w);
    }
    if (attribute == A::windows) return valueOf(std::move(windows));
    Element focusedWindow;
    for (auto& w : windows)
      if (atspi::focusedWindow(w.as<AtspiElement>()->snapshot().facts.states)) {
        focusedWindow = w;
        break;
      }
    if (!focusedWindow) return failed(kAXErrorNoValue);
    if (attribute == A::focusedWindow) return valueOf(focusedWindow);
    return focusedElement(*focusedWindow.as<AtspiElement>());
  }

  // Breadth-first over the focused window, one batch of calls per level,
  // looking at showing objects only (the focus is never in a hidden one).
  CopyResult focusedElement(const AtspiElement& window) {
    struct Node {
      std::string bus, path;
      bool insideSecure;
    };
    std::vector<Node> level{{window.busName(), window.path(), false}};
    std::size_t seen = 1;
    while (!level.empty()) {
      std::vector<Call> calls;
      for (const auto& n : level) {
        calls.push_back(Call{n.bus, n.path, "org.a11y.atspi.Accessible", "GetRole", nullptr, "(u)"});
        calls.push_back(Call{n.bus, n.path, "org.a11y.atspi.Accessible", "GetState", nullptr, "(au)"});
        calls.push_back(Call{n.bus, n.path, "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))"});
      }
      auto replies = bus_->callAll(std::move(calls));
      std::vector<Node> next;
      for (std::size_t i = 0; i < level.size(); ++i) {
        Reply& role = replies[i * 3];
        Reply& state = replies[i * 3 + 1];
        Reply& kids = replies[i * 3 + 2];
        if (!role.ok() || !state.ok()) continue;
        guint32 r = 0;
        g_variant_get(role.value.get(), "(u)", &r);
        const auto states = atspi::statesFrom(state.value.get());
        const auto step = atspi::focusStep(states, level[i].path == window.path());
        if (step == atspi::FocusStep::found) {
          auto found = std::make_shared<AtspiElement>(bus_, level[i].bus, level[i].path);
          found->insideSecure = level[i].insideSecure;
          return valueOf(Element(std::move(found)));
        }
        if (step == atspi::FocusStep::skip || !kids.ok()) continue;
        const bool secure = atspi::secureBelow(level[i].insideSecure, r);
        for (auto& [bus, path] : atspi::objectList(kids.value.get())) {
          if (seen >= kFocusSearchNodes) break;
          ++seen;
          next.push_back(Node{std::move(bus), std::move(path), secure});
        }
      }
      level = std::move(next);
    }
    return failed(kAXErrorNoValue);
  }

  CopyResult objectAttribute(const AtspiElement& e, const atspi::Snapshot& s, std::string_view name) {
    using O = atspi::ObjectAttribute;
    const auto* entry = atspi::findObjectAttribute(name);
    if (!entry) return failed(kAXErrorAttributeUnsupported);
    // Settled only where it matters: it costs calls.
    std::optional<atspi::Facts> settled;
    if (entry->needsAncestry) settled = factsOf(e, s);
    const atspi::Facts& facts = settled ? *settled : s.facts;
    if (!entry->offered(facts)) return failed(kAXErrorAttributeUnsupported);
    switch (entry->id) {
      case O::role:
        return valueOf(std::string(atspi::axRole(facts)));
      case O::subrole: {
        auto subrole = atspi::axSubrole(facts);
        return subrole ? valueOf(std::string(*subrole)) : failed(kAXErrorNoValue);
      }
      case O::protectedContent:
        return valueOf(*atspi::protectedContent(facts));
      case O::title:
        return valueOf(facts.name);
      case O::description: {
        std::string description = e.description();
        if (e.snapshot().descriptionError != kAXErrorSuccess) return failed(e.snapshot().descriptionError);
        return valueOf(std::move(description));
      }
      case O::enabled:
        return valueOf(atspi::enabled(facts.states));
      case O::focused:
        return valueOf(facts.states.has(ATSPI_STATE_FOCUSED));
      case O::position:
      case O::size:
        return rectangle(e.detailed(), entry->id);
      case O::children: {
        AXError error = kAXErrorSuccess;
        auto kids = children(e, s, error);
        return kids ? valueOf(std::move(*kids)) : failed(error);
      }
      case O::parent: {
        if (!atspi::hasParent(s)) return failed(kAXErrorNoValue);
        return valueOf(Element(std::make_shared<AtspiElement>(bus_, s.parentBus, s.parentPath)));
      }
      case O::value:
        return readValue(e, s);
      case O::numberOfCharacters:
        return characterCount(e);
      case O::selectedText:
        return selection(e, s, true);
      case O::selectedTextRange:
        return selection(e, s, false);
      case O::url:
        return documentUrl(e);
    }
    return failed(kAXErrorAttributeUnsupported);
  }

  static CopyResult rectangle(const atspi::Snapshot& s, atspi::ObjectAttribute attribute) {
    if (s.extentsError != kAXErrorSuccess) return failed(s.extentsError);
    const auto x = atspi::screenRectangle(s);
    if (!x) return failed(kAXErrorNoValue);
    if (attribute == atspi::ObjectAttribute::position) return valueOf(AXValue{Point{double(x->x), double(x->y)}});
    return valueOf(AXValue{Size{double(x->width), double(x->height)}});
  }

  CopyResult characterCount(const AtspiElement& e) {
    Reply r = bus_->property(e.busName(), e.path(), "org.a11y.atspi.Text", "CharacterCount");
    if (!r.ok()) return failed(r.error);
    if (!g_variant_is_of_type(r.value.get(), G_VARIANT_TYPE_INT32)) return failed(kAXErrorCannotComplete);
    return valueOf(std::int64_t{g_variant_get_int32(r.value.get())});
  }

  CopyResult textRange(const AtspiElement& e, std::int32_t start, std::int32_t end) {
    Reply r = bus_->call(
        Call{e.busName(), e.path(), "org.a11y.atspi.Text", "GetText", g_variant_new("(ii)", start, end), "(s)"});
    if (!r.ok()) return failed(r.error);
    const char* text = nullptr;
    g_variant_get(r.value.get(), "(&s)", &text);
    return valueOf(std::string(text));
  }

  CopyResult readValue(const AtspiElement& e, const atspi::Snapshot& s) {
    switch (atspi::valueSource(s.facts)) {
      case atspi::ValueSource::text:
        return textRange(e, 0, -1);
      case atspi::ValueSource::numeric: {
        Reply r = bus_->property(e.busName(), e.path(), "org.a11y.atspi.Value", "CurrentValue");
        if (!r.ok()) return failed(r.error);
        if (!g_variant_is_of_type(r.value.get(), G_VARIANT_TYPE_DOUBLE)) return failed(kAXErrorCannotComplete);
        return valueOf(g_variant_get_double(r.value.get()));
      }
      case atspi::ValueSource::checkState:
        return valueOf(std::int64_t{s.facts.states.has(ATSPI_STATE_CHECKED) ? 1 : 0});
      case atspi::ValueSource::none:
        break;
    }
    return failed(kAXErrorAttributeUnsupported);
  }

  // The first selection of the text; with none, the caret as an empty range
  // (and empty selected text), as macOS text elements answer.
  CopyResult selection(const AtspiElement& e, const atspi::Snapshot& s, bool wantText) {
    std::vector<Call> calls;
    calls.push_back(Call{e.busName(), e.path(), "org.a11y.atspi.Text", "GetNSelections", nullptr, "(i)"});
    calls.push_back(
        Call{e.busName(), e.path(), "org.a11y.atspi.Text", "GetSelection", g_variant_new("(i)", 0), "(ii)"});
    calls.push_back(Call{e.busName(), e.path(), "org.freedesktop.DBus.Properties", "Get",
                         g_variant_new("(ss)", "org.a11y.atspi.Text", "CaretOffset"), "(v)"});
    auto replies = bus_->callAll(std::move(calls));
    if (!replies[0].ok()) return failed(replies[0].error);
    gint32 count = 0;
    g_variant_get(replies[0].value.get(), "(i)", &count);
    std::optional<std::pair<std::int32_t, std::int32_t>> first;
    if (replies[1].ok()) {
      first.emplace();
      g_variant_get(replies[1].value.get(), "(ii)", &first->first, &first->second);
    }
    auto span = atspi::firstSelection(count, first);
    if (!span) {
      if (wantText) return valueOf(std::string());
      if (!replies[2].ok()) return failed(replies[2].error);
      GVariant* inner = nullptr;
      g_variant_get(replies[2].value.get(), "(v)", &inner);
      Variant caret(inner);
      std::optional<std::int32_t> offset;
      if (g_variant_is_of_type(inner, G_VARIANT_TYPE_INT32)) offset = g_variant_get_int32(inner);
      span = atspi::caretRange(offset);
      if (!span) return failed(kAXErrorNoValue);
    }
    const auto [start, end] = *span;
    if (!wantText) return valueOf(AXValue{CharacterRange{start, std::int64_t{end} - start}});
    if (start == end) return valueOf(std::string());
    if (s.facts.interfaces & atspi::kHypertext) {
      auto resolved = resolveEmbedded(e, {start, end});
      if (!resolved) return failed(kAXErrorCannotComplete);
      if (resolved->embedded) return valueOf(std::move(resolved->text.text));
    }
    return textRange(e, start, end);
  }

  // A span of a hypertext object's text with its embedded objects resolved
  // (a web document's selection lies in the paragraphs it spans, not in the
  // document's U+FFFC characters). `embedded` is false when the span holds
  // none, and the object's own characters answer.
  struct Resolved {
    atspi::ResolvedText text;
    bool embedded = false;
  };
  std::optional<Resolved> resolveEmbedded(const AtspiElement& e, atspi::TextSpan span) {
    atspi::BusTextObjects objects(*bus_);
    const atspi::ObjectAddress address{e.busName(), e.path()};
    auto root = objects.read({address});
    if (root.empty() || !root[0]) return std::nullopt;
    if (!atspi::spansEmbeddedObject(*root[0], span)) return Resolved{};
    return Resolved{atspi::resolveSpan(objects, address, *root[0], span), true};
  }

  CopyResult documentUrl(const AtspiElement& e) {
    for (const char* key : {"DocURL", "URI", "URL"}) {
      Reply r = bus_->call(Call{e.busName(), e.path(), "org.a11y.atspi.Document", "GetAttributeValue",
                                g_variant_new("(s)", key), "(s)"});
      if (!r.ok()) {
        if (r.error == kAXErrorInvalidUIElement || r.error == kAXErrorCannotComplete) return failed(r.error);
        continue;
      }
      const char* url = nullptr;
      g_variant_get(r.value.get(), "(&s)", &url);
      if (url && *url) return valueOf(Url{url});
    }
    return failed(kAXErrorNoValue);
  }

  AXError setValue(const AtspiElement& e, const atspi::Snapshot& s, const Value& value) {
    const atspi::Facts facts = factsOf(e, s);
    if (!atspi::valueSettable(facts)) return kAXErrorAttributeUnsupported;
    if (const auto* text = std::get_if<std::string>(&value)) {
      if (!(facts.interfaces & atspi::kEditableText)) return kAXErrorIllegalArgument;
      if (!g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr)) return kAXErrorIllegalArgument;
      Reply r = bus_->call(Call{e.busName(), e.path(), "org.a11y.atspi.EditableText", "SetTextContents",
                                g_variant_new("(s)", text->c_str()), "(b)"});
      if (!r.ok()) return r.error;
      gboolean done = FALSE;
      g_variant_get(r.value.get(), "(b)", &done);
      return done ? kAXErrorSuccess : kAXErrorCannotComplete;
    }
    double number = 0;
    if (const auto* d = std::get_if<double>(&value))
      number = *d;
    else if (const auto* i = std::get_if<std::int64_t>(&value))
      number = static_cast<double>(*i);
    else
      return kAXErrorIllegalArgument;
    if (!(facts.interfaces & atspi::kValue)) return kAXErrorIllegalArgument;
    Reply r = bus_->call(
        Call{e.busName(), e.path(), "org.freedesktop.DBus.Properties", "Set",
             g_variant_new("(ssv)", "org.a11y.atspi.Value", "CurrentValue", g_variant_new_double(number)), nullptr});
    return r.ok() ? kAXErrorSuccess : r.error;
  }

  AXError raise(const AtspiElement& e, const atspi::Snapshot& s) {
    Display* display = context_.display();
    if (!display) return kAXErrorCannotComplete;
    auto pid = atspi::processOfBus(*bus_, e.busName());
    if (!pid) return kAXErrorCannotComplete;
    return atspi::raiseWindow(display, *pid, s.facts.name, atspi::screenRectangle(s)) ? kAXErrorSuccess
                                                                                      : kAXErrorCannotComplete;
  }

  LinuxContext& context_;
  std::shared_ptr<atspi::BusPort> bus_;
};

}  // namespace

std::unique_ptr<Accessibility> makeAccessibility(LinuxContext& context) {
  return makeAccessibility(context, std::make_shared<atspi::Bus>(context));
}

std::unique_ptr<Accessibility> makeAccessibility(LinuxContext& context, std::shared_ptr<atspi::BusPort> bus) {
  return std::make_unique<AtspiAccessibility>(context, std::move(bus));
}

std::optional<std::string> applicationOf(const Element& element) {
  const AtspiElement* e = element.as<AtspiElement>();
  if (!e || e->busName().empty()) return std::nullopt;
  return e->busName();
}

}  // namespace larkspire::linux_backend
