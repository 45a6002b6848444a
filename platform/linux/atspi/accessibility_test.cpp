#include "platform/linux/atspi/accessibility.h"

#include <gtest/gtest.h>

#include "platform/linux/atspi/element.h"
#include "platform/linux/atspi/fake_bus.h"
#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend {
namespace {

using namespace platform;
using atspi::AtspiElement;
using testing::FakeBus;
using testing::FakeObject;

constexpr const char* kApp = ":1.7";
constexpr Pid kPid = 4242;

// A small application: a focused window with a button, an entry, a password
// entry (with the text object some toolkits put in it) and a hidden panel;
// a window the user cannot see; a minimised one.
class AtspiAccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeObject& app = bus->application(kApp, kPid, "Garden");
    FakeObject& notes = bus->add(app, "/notes", ATSPI_ROLE_FRAME)
                            .named("Notes")
                            .in({ATSPI_STATE_ACTIVE, ATSPI_STATE_VISIBLE, ATSPI_STATE_SHOWING})
                            .at({500, 300, 602, 425});
    FakeObject& hidden = bus->add(notes, "/notes/hidden", ATSPI_ROLE_PANEL).in({ATSPI_STATE_VISIBLE});
    bus->add(hidden, "/notes/hidden/field", ATSPI_ROLE_TEXT).in({ATSPI_STATE_FOCUSED});
    FakeObject& panel = bus->add(notes, "/notes/panel", ATSPI_ROLE_PANEL).in({ATSPI_STATE_SHOWING});
    bus->add(panel, "/notes/ok", ATSPI_ROLE_PUSH_BUTTON)
        .named("OK")
        .in({ATSPI_STATE_SHOWING, ATSPI_STATE_ENABLED, ATSPI_STATE_FOCUSABLE})
        .at({510, 600, 80, 30})
        .acting({"SetFocus", "click"});
    bus->add(panel, "/notes/name", ATSPI_ROLE_TEXT)
        .in({ATSPI_STATE_SHOWING, ATSPI_STATE_EDITABLE, ATSPI_STATE_SINGLE_LINE, ATSPI_STATE_FOCUSABLE})
        .at({510, 340, 200, 24})
        .holding("Rose garden", 4)
        .implementing(atspi::kEditableText);
    FakeObject& password = bus->add(panel, "/notes/password", ATSPI_ROLE_PASSWORD_TEXT)
                               .in({ATSPI_STATE_SHOWING, ATSPI_STATE_EDITABLE})
                               .holding("hunter2");
    bus->add(password, "/notes/password/inner", ATSPI_ROLE_TEXT)
        .in({ATSPI_STATE_SHOWING, ATSPI_STATE_FOCUSED})
        .holding("hunter2");
    bus->add(app, "/ghost", ATSPI_ROLE_DIALOG).named("Ghost");
    bus->add(app, "/mini", ATSPI_ROLE_FRAME).named("Mini").in({ATSPI_STATE_ICONIFIED});
  }

  Element at(const std::string& path) { return Element(std::make_shared<AtspiElement>(bus, kApp, path)); }
  static std::string pathOf(const Element& e) { return e.as<AtspiElement>()->path(); }
  static std::vector<std::string> pathsOf(const CopyResult& r) {
    std::vector<std::string> out;
    if (const auto* list = r.get<ElementList>())
      for (const auto& e : *list) out.push_back(pathOf(e));
    return out;
  }

  std::shared_ptr<FakeBus> bus = std::make_shared<FakeBus>();
  LinuxContext context;
  std::unique_ptr<Accessibility> accessibility = makeAccessibility(context, bus);
  Element app = accessibility->createApplication(kPid);
};

TEST_F(AtspiAccessibilityTest, WindowsAreTheVisibleOrMinimisedChildrenAndTheActiveOneHasTheFocus) {
  EXPECT_EQ(pathsOf(accessibility->copyAttributeValue(app, "AXChildren")),
            (std::vector<std::string>{"/notes", "/ghost", "/mini"}));
  EXPECT_EQ(pathsOf(accessibility->copyAttributeValue(app, "AXWindows")),
            (std::vector<std::string>{"/notes", "/mini"}));
  auto focused = accessibility->copyAttributeValue(app, "AXFocusedWindow");
  ASSERT_TRUE(focused.get<Element>());
  EXPECT_EQ(pathOf(*focused.get<Element>()), "/notes");
  EXPECT_EQ(*accessibility->copyAttributeValue(app, "AXTitle").get<std::string>(), "Garden");

  bus->object(kApp, "/notes").states = atspi::States{};
  EXPECT_EQ(accessibility->copyAttributeValue(app, "AXFocusedWindow").error, kAXErrorNoValue);
}

TEST_F(AtspiAccessibilityTest, TheFocusedElementIsSoughtAmongShowingObjectsAndKnowsItIsInAPasswordEntry) {
  auto found = accessibility->copyAttributeValue(app, "AXFocusedUIElement");
  ASSERT_TRUE(found.get<Element>());
  // Not the focused field of the hidden panel, which comes first.
  EXPECT_EQ(pathOf(*found.get<Element>()), "/notes/password/inner");
  bus->forget();
  EXPECT_EQ(*accessibility->copyAttributeValue(*found.get<Element>(), "AXProtectedContent").get<bool>(), true);
  EXPECT_EQ(bus->count("Parent"), 1u) << "its own snapshot only: no ancestor is read";

  // Reached by address instead, it looks above itself.
  bus->forget();
  EXPECT_EQ(*accessibility->copyAttributeValue(at("/notes/password/inner"), "AXSubrole").get<std::string>(),
            "AXSecureTextField");
  EXPECT_EQ(bus->count("GetRole"), 2u) << "itself and the password entry above it";
}

TEST_F(AtspiAccessibilityTest, EachOverrideAnswersItsOwnErrorsBeforeReadingAnything) {
  struct Other final : ElementRef {
    bool equals(const ElementRef&) const override { return false; }
    std::size_t hash() const override { return 0; }
  };
  Element stranger(std::make_shared<Other>());
  EXPECT_EQ(accessibility->copyAttributeValue(stranger, "AXRole").error, kAXErrorIllegalArgument);
  EXPECT_EQ(accessibility->performAction(stranger, "AXPress"), kAXErrorIllegalArgument);
  EXPECT_EQ(accessibility->getAttributeValueCount(stranger, "AXChildren").error, kAXErrorIllegalArgument);

  // A process with no application on the bus.
  Element nobody = accessibility->createApplication(999);
  EXPECT_EQ(accessibility->copyAttributeValue(nobody, "AXRole").error, kAXErrorCannotComplete);
  EXPECT_EQ(accessibility->copyAttributeNames(nobody).error, kAXErrorCannotComplete);
  EXPECT_EQ(accessibility->setAttributeValue(nobody, "AXFocused", true), kAXErrorCannotComplete);
  // These look at the request first.
  EXPECT_EQ(accessibility->getAttributeValueCount(nobody, "AXChildren").error, kAXErrorNotImplemented);
  EXPECT_EQ(accessibility->copyParameterizedAttributeValue(nobody, "AXLineForIndex", std::int64_t{0}).error,
            kAXErrorParameterizedAttributeUnsupported);
  EXPECT_EQ(accessibility->copyParameterizedAttributeValue(nobody, "AXStringForRange", std::int64_t{0}).error,
            kAXErrorCannotComplete);

  // An object that went away.
  bus->object(kApp, "/notes/ok").gone = true;
  EXPECT_EQ(accessibility->copyAttributeValue(at("/notes/ok"), "AXRole").error, kAXErrorInvalidUIElement);
  EXPECT_EQ(accessibility->copyActionNames(at("/notes/ok")).error, kAXErrorInvalidUIElement);

  // A defunct one refuses reads of attributes and counts, not the rest.
  bus->object(kApp, "/notes/name").in({ATSPI_STATE_DEFUNCT});
  EXPECT_EQ(accessibility->copyAttributeValue(at("/notes/name"), "AXRole").error, kAXErrorInvalidUIElement);
  EXPECT_EQ(accessibility->getAttributeValueCount(at("/notes/name"), "AXChildren").error, kAXErrorInvalidUIElement);
  EXPECT_EQ(accessibility->copyActionNames(at("/notes/name")).error, kAXErrorSuccess);
  EXPECT_EQ(accessibility->isAttributeSettable(at("/notes/name"), "AXValue").error, kAXErrorSuccess);
  EXPECT_FALSE(accessibility->isAttributeSettable(at("/notes/name"), "AXValue").settable);
}

TEST_F(AtspiAccessibilityTest, DetailsTheApplicationStopsAnsweringForAreNotReadAsNone) {
  // The object's facts come in; then its application stops answering.
  const Element ok = at("/notes/ok");
  EXPECT_EQ(accessibility->copyAttributeValue(ok, "AXRole").error, kAXErrorSuccess);
  bus->object(kApp, "/notes/ok").hung = true;
  EXPECT_EQ(accessibility->copyAttributeValue(ok, "AXPosition").error, kAXErrorCannotComplete);
  EXPECT_EQ(accessibility->copyAttributeValue(ok, "AXSize").error, kAXErrorCannotComplete);
  EXPECT_EQ(accessibility->copyActionNames(ok).error, kAXErrorCannotComplete);
  EXPECT_EQ(accessibility->performAction(ok, "AXPress"), kAXErrorCannotComplete);
  EXPECT_EQ(accessibility->copyAttributeValue(ok, "AXDescription").error, kAXErrorCannotComplete);
}

TEST_F(AtspiAccessibilityTest, AnObjectAnswersEveryAttributeItListsAndNoOther) {
  bus->object(kApp, "/notes").implementing(atspi::kDocument).documentAttributes["DocURL"] = "file:///notes";
  for (const char* path : {"/notes", "/notes/ok", "/notes/name", "/notes/password", "/notes/password/inner"}) {
    const auto listed = accessibility->copyAttributeNames(at(path)).names.value();
    for (const char* name : {"AXRole", "AXSubrole", "AXTitle", "AXDescription", "AXParent", "AXChildren", "AXPosition",
                             "AXSize", "AXEnabled", "AXFocused", "AXValue", "AXNumberOfCharacters", "AXSelectedText",
                             "AXSelectedTextRange", "AXURL", "AXProtectedContent", "AXWindows", "AXHelp"}) {
      const bool offered = std::find(listed.begin(), listed.end(), name) != listed.end();
      EXPECT_EQ(accessibility->copyAttributeValue(at(path), name).error != kAXErrorAttributeUnsupported, offered)
          << path << " " << name;
    }
  }
}

TEST_F(AtspiAccessibilityTest, ReadsOfOneElementShareASnapshotForASecondOfVirtualTime) {
  Element ok = at("/notes/ok");
  EXPECT_EQ(*accessibility->copyAttributeValue(ok, "AXRole").get<std::string>(), "AXButton");
  EXPECT_EQ(*accessibility->copyAttributeValue(ok, "AXTitle").get<std::string>(), "OK");
  EXPECT_EQ(*accessibility->copyAttributeValue(ok, "AXPosition").get<AXValue>(), (AXValue{Point{510, 600}}));
  EXPECT_EQ(accessibility->copyActionNames(ok).names, (TextList{"AXPress"}));
  // The facts in one batch (its parent too: it was not listed by one), then
  // extents and actions in another.
  EXPECT_EQ(bus->batches, (std::vector<std::size_t>{atspi::kFactCallCount + 1, 2}));

  // Kept for kFreshFor on the port's clock, then read again.
  bus->object(kApp, "/notes/ok").name = "Done";
  bus->time += atspi::kFreshFor - 0.25;
  EXPECT_EQ(*accessibility->copyAttributeValue(ok, "AXTitle").get<std::string>(), "OK");
  EXPECT_EQ(bus->batches.size(), 2u);
  bus->time += 0.25;
  EXPECT_EQ(*accessibility->copyAttributeValue(ok, "AXTitle").get<std::string>(), "Done");
  EXPECT_EQ(bus->batches.size(), 3u) << "extents and actions only once asked for";
}

TEST_F(AtspiAccessibilityTest, AWalkKeepsWhatItReadWhileItGoesOnReadingAndNotAfter) {
  auto kids = *accessibility->copyAttributeValue(at("/notes/panel"), "AXChildren").get<ElementList>();
  const Element& ok = kids[0];
  const Element& password = kids[2];
  EXPECT_EQ(*accessibility->copyAttributeValue(ok, "AXRole").get<std::string>(), "AXButton");
  // The walk goes on below, more than kFreshFor after the children were read.
  bus->time += 0.75;
  auto inner = *accessibility->copyAttributeValue(password, "AXChildren").get<ElementList>();
  EXPECT_EQ(*accessibility->copyAttributeValue(inner[0], "AXRole").get<std::string>(), "AXTextArea");
  bus->time += 0.75;
  bus->object(kApp, "/notes/ok").name = "Done";
  bus->forget();
  EXPECT_EQ(*accessibility->copyAttributeValue(ok, "AXTitle").get<std::string>(), "OK");
  EXPECT_EQ(*accessibility->copyAttributeValue(inner[0], "AXRole").get<std::string>(), "AXTextArea");
  EXPECT_TRUE(bus->calls.empty()) << bus->calls.front();

  // Once the walk has read nothing for kFreshFor, everything it read is
  // read again, also after a read of some of it has begun a new run.
  bus->time += atspi::kFreshFor;
  bus->object(kApp, "/notes/password/inner").name = "Secret";
  EXPECT_EQ(*accessibility->copyAttributeValue(ok, "AXTitle").get<std::string>(), "Done");
  EXPECT_EQ(*accessibility->copyAttributeValue(inner[0], "AXTitle").get<std::string>(), "Secret");
}

TEST_F(AtspiAccessibilityTest, TheNextLevelsFactsComeWithTheDetailsOfTheLevelThatListedIt) {
  FakeObject& list = bus->add(bus->object(kApp, "/notes"), "/notes/list", ATSPI_ROLE_LIST);
  for (int i = 0; i < 100; ++i) bus->add(list, "/notes/list/" + std::to_string(i), ATSPI_ROLE_LIST_ITEM);
  auto kids = *accessibility->copyAttributeValue(at("/notes"), "AXChildren").get<ElementList>();
  auto below = *accessibility->copyAttributeValue(kids[0], "AXChildren").get<ElementList>();
  auto buttons = *accessibility->copyAttributeValue(kids[1], "AXChildren").get<ElementList>();
  bus->forget();
  // What a walk asks of a level after listing it: one round trip, which
  // reads the facts of the first 64 objects listed too (the walk may yet
  // be refused for the size of the rest).
  EXPECT_EQ(accessibility->copyActionNames(kids[0]).error, kAXErrorSuccess);
  EXPECT_EQ(bus->batches.size(), 1u);
  EXPECT_EQ(bus->count("GetRole"), 64u);
  bus->forget();
  EXPECT_EQ(*accessibility->copyAttributeValue(below[0], "AXRole").get<std::string>(), "AXTextArea");
  EXPECT_EQ(*accessibility->copyAttributeValue(buttons[0], "AXTitle").get<std::string>(), "OK");
  EXPECT_TRUE(bus->calls.empty()) << bus->calls.front();
}

TEST_F(AtspiAccessibilityTest, AWalkListsAndReadsALevelAtATimeAndLeavesAreNotAskedForTheirChildren) {
  auto kids = accessibility->copyAttributeValue(at("/notes"), "AXChildren");
  EXPECT_EQ(pathsOf(kids), (std::vector<std::string>{"/notes/hidden", "/notes/panel"}));
  // The window's facts (and its parent: nothing listed it), then its children;
  // theirs are read when first needed.
  EXPECT_EQ(bus->batches, (std::vector<std::size_t>{atspi::kFactCallCount + 1, 1}));
  bus->forget();
  const Element hidden = kids.get<ElementList>()->front();
  const Element panel = kids.get<ElementList>()->back();
  EXPECT_EQ(*accessibility->copyAttributeValue(hidden, "AXRole").get<std::string>(), "AXGroup");
  EXPECT_EQ(*accessibility->copyAttributeValue(panel, "AXRole").get<std::string>(), "AXGroup");
  // Listing the children of one lists those of its level: the next level.
  auto below = *accessibility->copyAttributeValue(hidden, "AXChildren").get<ElementList>();
  auto buttons = accessibility->copyAttributeValue(panel, "AXChildren");
  EXPECT_EQ(pathsOf(buttons), (std::vector<std::string>{"/notes/ok", "/notes/name", "/notes/password"}));
  EXPECT_EQ(bus->batches, (std::vector<std::size_t>{2 * atspi::kFactCallCount, 2}));
  bus->forget();
  const Element ok = buttons.get<ElementList>()->front();
  EXPECT_EQ(*accessibility->copyAttributeValue(below[0], "AXRole").get<std::string>(), "AXTextArea");
  // A leaf says so in its facts: no list is asked for.
  EXPECT_EQ(accessibility->getAttributeValueCount(ok, "AXChildren").count, 0);
  EXPECT_EQ(pathsOf(accessibility->copyAttributeValue(ok, "AXChildren")), std::vector<std::string>{});
  EXPECT_EQ(bus->batches, (std::vector<std::size_t>{4 * atspi::kFactCallCount}));
  // Actions, extents, and descriptions of the unnamed, from the one asked for on.
  EXPECT_EQ(accessibility->copyActionNames(ok).names, (TextList{"AXPress"}));
  EXPECT_EQ(bus->batches, (std::vector<std::size_t>{4 * atspi::kFactCallCount, 2 + 2 + 1}));
  EXPECT_EQ(bus->count("Description"), 2u) << "of the entry and the password entry, which have no name";
  EXPECT_EQ(bus->count("Parent"), 0u) << "a walk knows where it came from";
  // A description asked for where the walk did not need it is read then.
  bus->object(kApp, "/notes/ok").description = "Confirms";
  EXPECT_EQ(*accessibility->copyAttributeValue(ok, "AXDescription").get<std::string>(), "Confirms");
  EXPECT_EQ(bus->count("Description"), 3u);

  // Text inside the password entry is known to be protected from the walk.
  bus->forget();
  const Element password = buttons.get<ElementList>()->back();
  auto inner = accessibility->copyAttributeValue(password, "AXChildren");
  EXPECT_EQ(*accessibility->copyAttributeValue(inner.get<ElementList>()->front(), "AXProtectedContent").get<bool>(),
            true);
  EXPECT_EQ(bus->count("GetRole"), 1u);
}

TEST_F(AtspiAccessibilityTest, WithoutASelectionTheCaretIsAnEmptyRange) {
  Element name = at("/notes/name");
  EXPECT_EQ(*accessibility->copyAttributeValue(name, "AXSelectedTextRange").get<AXValue>(),
            (AXValue{CharacterRange{4, 0}}));
  EXPECT_EQ(*accessibility->copyAttributeValue(name, "AXSelectedText").get<std::string>(), "");
  // A selection made backwards reads forwards.
  bus->object(kApp, "/notes/name").selections = {{11, 5}};
  EXPECT_EQ(*accessibility->copyAttributeValue(name, "AXSelectedTextRange").get<AXValue>(),
            (AXValue{CharacterRange{5, 6}}));
  EXPECT_EQ(*accessibility->copyAttributeValue(name, "AXSelectedText").get<std::string>(), "garden");
  EXPECT_EQ(*accessibility->copyAttributeValue(name, "AXNumberOfCharacters").get<std::int64_t>(), 11);
  EXPECT_EQ(*accessibility->copyParameterizedAttributeValue(name, "AXStringForRange", AXValue{CharacterRange{0, 4}})
                 .get<std::string>(),
            "Rose");
  // No caret either.
  bus->object(kApp, "/notes/name").selections.clear();
  bus->object(kApp, "/notes/name").caret = -1;
  EXPECT_EQ(accessibility->copyAttributeValue(name, "AXSelectedTextRange").error, kAXErrorNoValue);
}

TEST_F(AtspiAccessibilityTest, TextOfAHypertextRangeTakesInTheObjectsItEmbeds) {
  FakeObject& page = bus->add(bus->object(kApp, "/notes"), "/notes/page", ATSPI_ROLE_DOCUMENT_WEB)
                         .in({ATSPI_STATE_SHOWING})
                         .holding("See \uFFFC now, \uFFFC")
                         .implementing(atspi::kHypertext);
  FakeObject& link = bus->add(page, "/notes/page/link", ATSPI_ROLE_LINK).holding("the roses");
  link.linkStart = 4;
  link.selections = {{4, 9}};
  bus->add(page, "/notes/page/field", ATSPI_ROLE_ENTRY).holding("typed").linkStart = 11;
  auto text = [&](std::int64_t location, std::int64_t length) {
    auto r = accessibility->copyParameterizedAttributeValue(at("/notes/page"), "AXStringForRange",
                                                            AXValue{CharacterRange{location, length}});
    return r.get<std::string>() ? *r.get<std::string>() : "error " + std::to_string(r.error);
  };
  EXPECT_EQ(text(0, 10), "See the roses now,") << "a link inside the range is wholly in it";
  EXPECT_EQ(text(4, 1), "roses") << "at an end, what the link has selected";
  EXPECT_EQ(text(0, 12), "See the roses now, ") << "form fields are left out";
  EXPECT_EQ(text(0, 3), "See") << "no embedded object: the object's own characters";
  // The page's snapshot, then two rounds for the page (its text, then where
  // its children sit) and two for both children (their text, then the
  // link's selection).
  bus->forget();
  text(0, 12);
  EXPECT_EQ(bus->batches, (std::vector<std::size_t>{atspi::kFactCallCount + 1, 4, 2, 8, 1}));
}

TEST_F(AtspiAccessibilityTest, ActionsAndValuesGoToTheObjectByItsOwnIndexAndInterface) {
  EXPECT_EQ(accessibility->performAction(at("/notes/ok"), "AXPress"), kAXErrorSuccess);
  EXPECT_EQ(bus->count(":1.7 /notes/ok org.a11y.atspi.Action.DoAction (1,)"), 1u);
  EXPECT_EQ(accessibility->performAction(at("/notes/ok"), "AXShowMenu"), kAXErrorActionUnsupported);

  EXPECT_EQ(accessibility->setAttributeValue(at("/notes/name"), "AXValue", std::string("Tulips")), kAXErrorSuccess);
  EXPECT_EQ(bus->object(kApp, "/notes/name").text, "Tulips");
  EXPECT_EQ(accessibility->setAttributeValue(at("/notes/name"), "AXValue", std::string("\xff")),
            kAXErrorIllegalArgument);
  EXPECT_EQ(accessibility->setAttributeValue(at("/notes/ok"), "AXValue", std::string("x")),
            kAXErrorAttributeUnsupported);
}

}  // namespace
}  // namespace larkspire::linux_backend
