#include "mcp/server/snapshot_book.h"

#include <gtest/gtest.h>

namespace larkspire::mcp {
namespace {

using State = SnapshotBook::State;

TEST(McpSnapshots, ASnapshotIsLiveUntilUsedOrExpiredAndTheRefusalSaysWhich) {
  SnapshotBook book;
  EXPECT_EQ(book.keep("a"), std::nullopt);
  EXPECT_EQ(book.keep("b"), std::nullopt);
  EXPECT_EQ(book.state("a"), State::live);
  book.markUsed("a");
  book.markExpired("b");
  EXPECT_EQ(book.state("a"), State::used);
  EXPECT_EQ(book.state("b"), State::expired);
  EXPECT_EQ(book.state("c"), State::unknown);
  // A used snapshot stays used when its process ends afterwards.
  book.markExpired("a");
  EXPECT_EQ(book.state("a"), State::used);

  EXPECT_NE(refusalFor(State::used, "a").find("already acted on"), std::string::npos);
  EXPECT_NE(refusalFor(State::expired, "b").find("has expired"), std::string::npos);
  EXPECT_EQ(refusalFor(State::unknown, "c").rfind("Unknown snapshot c", 0), 0u);
}

TEST(McpSnapshots, TheOldestLiveSnapshotGivesWayAtTheLimitAndOldEndingsAreForgotten) {
  SnapshotBook book;
  for (std::size_t i = 0; i < SnapshotBook::kLiveLimit; ++i)
    EXPECT_EQ(book.keep("s" + std::to_string(i)), std::nullopt);
  EXPECT_EQ(book.keep("new"), "s0");
  book.markExpired("s0");
  EXPECT_EQ(book.keep("newer"), "s1");

  SnapshotBook memory;
  for (std::size_t i = 0; i <= SnapshotBook::kMemory; ++i) {
    memory.keep("m" + std::to_string(i));
    memory.markUsed("m" + std::to_string(i));
  }
  EXPECT_EQ(memory.state("m0"), State::unknown);
  EXPECT_EQ(memory.state("m1"), State::used);
}

}  // namespace
}  // namespace larkspire::mcp
