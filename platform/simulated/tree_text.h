// A compact text form of accessibility subtrees for test scenarios. One node
// per line, children indented (two spaces a level) under their parent:
//
//   AXGroup #form
//     AXTextField title="Name" value="Ada" settable=AXValue,AXFocused
//     AXTextField subrole=AXSecureTextField
//     AXButton title="OK" actions=AXPress frame=10,10,80,20
//
// The first word is the role. Then, in any order:
//   #tag                          a name to find the node with Node::find
//   title= description= value= subrole=
//   frame=x,y,width,height        "AXPosition" and "AXSize"
//   actions=A,B                   action names (actions= gives none)
//   settable=A,B                  settable attributes
//   protected=true|false          "AXProtectedContent"
//   AXAnyName=value               any attribute
// A value is "quoted text" (with \" \\ \n escapes), true/false, an integer,
// a decimal number, or a bare word taken as text. Blank lines are skipped.
#pragma once

#include <string_view>

namespace larkspire::simulated {

class Node;

// Adds the described nodes as children of `parent`. Throws
// std::invalid_argument naming the line on a malformed description.
void buildTree(Node& parent, std::string_view text);

}  // namespace larkspire::simulated
