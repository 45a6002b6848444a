#include "platform/linux/atspi/raise.h"

#include <gtest/gtest.h>

namespace larkspire::linux_backend::atspi {
namespace {

ClientWindow client(unsigned long id, platform::Pid pid, std::string title, Extents frame) {
  return ClientWindow{id, pid, std::move(title), frame};
}

TEST(PickClientWindow, OnlyWindowsOfTheProcessCount) {
  std::vector<ClientWindow> clients{client(1, 10, "Editor", {0, 0, 100, 100})};
  EXPECT_EQ(pickClientWindow(clients, 11, "Editor", Extents{0, 0, 100, 100}), std::nullopt);
  // A process with a single window needs no further match.
  EXPECT_EQ(pickClientWindow(clients, 10, "Other", std::nullopt), 1u);
}

TEST(PickClientWindow, TitleAndFrameTogetherWinOverEitherAlone) {
  std::vector<ClientWindow> clients{client(1, 10, "Doc", {0, 0, 100, 100}), client(2, 10, "Doc", {50, 50, 300, 200}),
                                    client(3, 10, "Tools", {50, 50, 300, 200})};
  EXPECT_EQ(pickClientWindow(clients, 10, "Doc", Extents{50, 50, 300, 200}), 2u);
  // The frame may be off by one pixel (rounding of frame extents).
  EXPECT_EQ(pickClientWindow(clients, 10, "Doc", Extents{51, 49, 300, 201}), 2u);
}

TEST(PickClientWindow, AmbiguousTitlesOrFramesDecideNothing) {
  std::vector<ClientWindow> clients{client(1, 10, "Doc", {0, 0, 100, 100}), client(2, 10, "Doc", {200, 0, 100, 100})};
  EXPECT_EQ(pickClientWindow(clients, 10, "Doc", std::nullopt), std::nullopt);
  EXPECT_EQ(pickClientWindow(clients, 10, "Doc", Extents{200, 0, 100, 100}), 2u);
  EXPECT_EQ(pickClientWindow(clients, 10, "", Extents{0, 0, 100, 100}), 1u);
  // An empty title never matches an untitled window by accident.
  std::vector<ClientWindow> untitled{client(1, 10, "", {0, 0, 10, 10}), client(2, 10, "", {20, 0, 10, 10})};
  EXPECT_EQ(pickClientWindow(untitled, 10, "", std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace larkspire::linux_backend::atspi
