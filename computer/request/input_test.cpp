#include "computer/request/input.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace larkspire::computer {
namespace {

// A source that yields an endless stream and counts what was taken from it.
class EndlessSource final : public ByteSource {
 public:
  explicit EndlessSource(std::size_t total) : remaining_(total) {}
  std::size_t read(char* buffer, std::size_t size) override {
    std::size_t n = std::min(size, remaining_);
    std::fill(buffer, buffer + n, 'x');
    remaining_ -= n;
    largestRead = std::max(largestRead, size);
    return n;
  }
  std::size_t remaining_;
  std::size_t largestRead = 0;
};

TEST(ReadToEnd, KeepsInputUpToTheLimitAndFlagsOneByteMore) {
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1 << 20}}) {
    MemorySource exact(std::string(100, 'a'), chunk);
    BoundedInput atLimit = readToEnd(exact, 100);
    EXPECT_FALSE(atLimit.overLimit);
    EXPECT_EQ(atLimit.bytes, std::string(100, 'a'));

    MemorySource over(std::string(101, 'a'), chunk);
    BoundedInput pastLimit = readToEnd(over, 100);
    EXPECT_TRUE(pastLimit.overLimit);
    EXPECT_EQ(pastLimit.bytes.size(), 101u);
  }
  MemorySource empty("");
  BoundedInput none = readToEnd(empty, 100);
  EXPECT_FALSE(none.overLimit);
  EXPECT_TRUE(none.bytes.empty());
}

TEST(ReadToEnd, DrainsAnEnormousInputWithoutKeepingItAndStopsAnEndlessOne) {
  // Within the drain, every byte is read: the writer is never left blocked.
  EndlessSource large(std::size_t{40} << 20);
  BoundedInput input = readToEnd(large, 1000);
  EXPECT_TRUE(input.overLimit);
  EXPECT_EQ(input.bytes.size(), 1001u);
  EXPECT_LE(input.bytes.capacity(), std::size_t{1} << 20);
  EXPECT_EQ(large.remaining_, 0u);

  // Past it, reading stops: /dev/zero would otherwise be read for ever.
  const std::size_t total = std::size_t{1} << 40;
  EndlessSource endless(total);
  EXPECT_TRUE(readToEnd(endless, 1000).overLimit);
  const std::size_t taken = total - endless.remaining_;
  EXPECT_GE(taken, 1001u + (std::size_t{64} << 20));
  EXPECT_LE(taken, 1001u + (std::size_t{65} << 20));
}

// Readable at once, but each read takes `secondsPerRead` of a fake clock;
// or never readable at all.
class SlowSource final : public ByteSource {
 public:
  SlowSource(double secondsPerRead, bool readable) : secondsPerRead_(secondsPerRead), readable_(readable) {}
  std::size_t read(char* buffer, std::size_t size) override {
    ++reads;
    now += secondsPerRead_;
    std::fill(buffer, buffer + std::min<std::size_t>(size, 10), 'x');
    return std::min<std::size_t>(size, 10);
  }
  bool waitReadable(double seconds) override {
    waitedFor = seconds;
    return readable_;
  }
  double now = 0;
  int reads = 0;
  double waitedFor = -1;

 private:
  double secondsPerRead_;
  bool readable_;
};

TEST(ReadToEnd, TheDrainEndsWithinItsTimeAlsoWhenTheWriterFallsSilent) {
  SlowSource trickle(0.25, true);
  DrainLimit drain{.now = [&] { return trickle.now; }};
  EXPECT_TRUE(readToEnd(trickle, 5, drain).overLimit);
  // One read fills the request, four more drain until a second has passed.
  EXPECT_EQ(trickle.reads, 5);

  SlowSource silent(0, false);
  DrainLimit silentDrain{.now = [&] { return silent.now; }};
  EXPECT_TRUE(readToEnd(silent, 5, silentDrain).overLimit);
  EXPECT_EQ(silent.reads, 1);
  EXPECT_DOUBLE_EQ(silent.waitedFor, 1.0);
}

std::vector<LineReader::Line> allLines(const std::string& input, std::size_t limit, std::size_t chunk) {
  MemorySource source(input, chunk);
  LineReader reader(source, limit);
  std::vector<LineReader::Line> lines;
  for (;;) {
    auto line = reader.next();
    if (line.status == LineReader::Status::end) break;
    lines.push_back(std::move(line));
    if (lines.size() > 100) break;
  }
  return lines;
}

using Status = LineReader::Status;

// Every case runs with several chunk sizes so that line feeds, carriage
// returns and the limit fall on and across read boundaries.
class LineReaderChunks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(LineReaderChunks, SplitsOnLineFeedsAndDropsTheCarriageReturnBeforeThem) {
  auto lines = allLines("first\nsecond\r\n\nlast", 64, GetParam());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].bytes, "first");
  EXPECT_EQ(lines[1].bytes, "second");
  EXPECT_EQ(lines[2].status, Status::line);
  EXPECT_EQ(lines[2].bytes, "");
  EXPECT_EQ(lines[3].bytes, "last");
}

TEST_P(LineReaderChunks, KeepsCarriageReturnsThatDoNotEndTheLine) {
  auto lines = allLines("a\rb\r\r\n", 64, GetParam());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].bytes, "a\rb\r");
}

TEST_P(LineReaderChunks, NoLineAfterAFinalLineFeedOrInEmptyInput) {
  EXPECT_EQ(allLines("only\n", 64, GetParam()).size(), 1u);
  EXPECT_TRUE(allLines("", 64, GetParam()).empty());
}

TEST_P(LineReaderChunks, LimitCountsTheLineWithoutItsEnding) {
  const std::string exact(16, 'a');
  auto lines = allLines(exact + "\r\n" + exact + "\n" + exact, 16, GetParam());
  ASSERT_EQ(lines.size(), 3u);
  for (auto& line : lines) {
    EXPECT_EQ(line.status, Status::line);
    EXPECT_EQ(line.bytes, exact);
  }
  auto over = allLines(exact + "b\n" + exact + "b\r\n" + exact + "b", 16, GetParam());
  ASSERT_EQ(over.size(), 3u);
  for (auto& line : over) EXPECT_EQ(line.status, Status::tooLong);
}

TEST_P(LineReaderChunks, ResumesAfterTheFeedOfALineFarOverTheLimit) {
  auto lines = allLines(std::string(5000, 'z') + "\r\n{\"next\":1}\n", 16, GetParam());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].status, Status::tooLong);
  EXPECT_EQ(lines[1].status, Status::line);
  EXPECT_EQ(lines[1].bytes, "{\"next\":1}");
}

INSTANTIATE_TEST_SUITE_P(ReadSizes, LineReaderChunks, ::testing::Values(1, 2, 3, 17, 1 << 20));

TEST(LineReader, AnEndlessLineIsNeverBufferedWholeAndEndsTheInput) {
  const std::size_t total = std::size_t{1} << 40;
  EndlessSource source(total);
  LineReader reader(source, 65536);
  auto line = reader.next();
  EXPECT_EQ(line.status, Status::tooLong);
  EXPECT_TRUE(line.bytes.empty());
  EXPECT_LE(total - source.remaining_, std::size_t{65} << 20);
  const std::size_t remaining = source.remaining_;
  EXPECT_EQ(reader.next().status, Status::end);
  EXPECT_EQ(source.remaining_, remaining) << "nothing more is read after the drain gave up";

  // A long line whose writer falls silent before its line feed.
  SlowSource silent(0, false);
  LineReader stalled(silent, 5, DrainLimit{.now = [&] { return silent.now; }});
  EXPECT_EQ(stalled.next().status, Status::tooLong);
  EXPECT_EQ(stalled.next().status, Status::end);
  EXPECT_EQ(silent.reads, 1);
}

TEST(LineReader, LeavesLaterLinesUnreadUntilAsked) {
  MemorySource source("one\ntwo\nthree\n", 1);
  LineReader reader(source, 64);
  EXPECT_EQ(reader.next().bytes, "one");
  EXPECT_EQ(source.consumed(), 4u);
  EXPECT_EQ(reader.next().bytes, "two");
  EXPECT_EQ(source.consumed(), 8u);
}

}  // namespace
}  // namespace larkspire::computer
