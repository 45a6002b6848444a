// The compact text form of accessibility subtrees.
#include <gtest/gtest.h>

#include "platform/simulated/desktop.h"

namespace larkspire::simulated {
namespace {

using namespace platform;

class TreeTextTest : public ::testing::Test {
 protected:
  Desktop desktop;
  Accessibility& ax = desktop.platform().accessibility;
  SimWindow& window = desktop.addApp({}).addWindow({.title = "Form"});

  std::string text(Node& node, const char* attribute) {
    auto read = ax.copyAttributeValue(node.element(), attribute);
    return read.get<std::string>() ? *read.get<std::string>() : "<none>";
  }
};

TEST_F(TreeTextTest, IndentationNestsAndSiblingsKeepTheirOrder) {
  window.element().addTree(R"(
AXGroup #form
  AXTextField #name title="Name" value="Ada Lovelace" settable=AXValue,AXFocused
  AXGroup
    AXStaticText #deep value="inner"
  AXButton #ok title="OK" actions=AXPress,AXShowMenu frame=10,20,80,24.5
AXButton #cancel description="Cancel"
)");
  Node* form = window.element().find("form");
  ASSERT_TRUE(form);
  ASSERT_EQ(form->children().size(), 3u);
  EXPECT_EQ(form->children()[0].get(), window.element().find("name"));
  EXPECT_EQ(window.element().find("deep")->parent()->parent(), form);
  EXPECT_EQ(window.element().find("cancel")->parent(), &window.element());
  EXPECT_EQ(window.element().children().size(), 2u);
  EXPECT_EQ(window.element().find("missing"), nullptr);

  Node& name = *window.element().find("name");
  EXPECT_EQ(text(name, "AXRole"), "AXTextField");
  EXPECT_EQ(text(name, "AXValue"), "Ada Lovelace");
  EXPECT_TRUE(ax.isAttributeSettable(name.element(), "AXFocused").settable);

  Node& ok = *window.element().find("ok");
  EXPECT_EQ(*ax.copyActionNames(ok.element()).names, (TextList{"AXPress", "AXShowMenu"}));
  EXPECT_EQ(ax.copyAttributeValue(ok.element(), "AXSize").get<AXValue>()->get<Size>(), (Size{80, 24.5}));
  EXPECT_EQ(text(*window.element().find("cancel"), "AXDescription"), "Cancel");
}

TEST_F(TreeTextTest, ValuesAreTyped) {
  window.element().addTree(
      "AXCheckBox #box value=1 AXEnabled=false AXHelp=\"say \\\"hi\\\"\\nbye\" AXScale=0.5 AXWord=plain "
      "AXLimit=-2.5e3 AXVersion=1.2.3 protected=true subrole=AXSwitch");
  Node& box = *window.element().find("box");
  const Element e = box.element();
  EXPECT_EQ(*ax.copyAttributeValue(e, "AXValue").get<std::int64_t>(), 1);
  EXPECT_EQ(*ax.copyAttributeValue(e, "AXEnabled").get<bool>(), false);
  EXPECT_EQ(text(box, "AXHelp"), "say \"hi\"\nbye");
  EXPECT_EQ(*ax.copyAttributeValue(e, "AXScale").get<double>(), 0.5);
  EXPECT_EQ(text(box, "AXWord"), "plain");
  EXPECT_EQ(*ax.copyAttributeValue(e, "AXLimit").get<double>(), -2500.0);
  EXPECT_EQ(text(box, "AXVersion"), "1.2.3");
  EXPECT_EQ(*ax.copyAttributeValue(e, "AXProtectedContent").get<bool>(), true);
  EXPECT_EQ(text(box, "AXSubrole"), "AXSwitch");
}

TEST_F(TreeTextTest, MalformedLinesAreRefusedWithTheirNumber) {
  auto refused = [&](const std::string& tree) {
    try {
      window.element().addTree(tree);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_NE(refused("AXButton\nAXButton title=\"open").find("line 2"), std::string::npos);
  EXPECT_NE(refused("AXButton frame=1,2,3").find("frame"), std::string::npos);
  EXPECT_NE(refused("AXButton frame=1,2,3,4px").find("'4px' is not a number"), std::string::npos);
  EXPECT_NE(refused("AXButton colour=red").find("unknown key"), std::string::npos);
  EXPECT_NE(refused("#tag AXButton").find("role"), std::string::npos);
  EXPECT_NE(refused("AXButton protected=maybe").find("protected"), std::string::npos);
  EXPECT_NE(refused("AXButton title").find("name=value"), std::string::npos);
}

}  // namespace
}  // namespace larkspire::simulated
