// The one writer every response goes through.
#include "computer/request/envelope.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

namespace larkspire::computer {
namespace {

TEST(FileDescriptorOutput, AClosedReaderIsAFailedWriteNotASignal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  FileDescriptorOutput output(fds[1]);

  // A SIGPIPE left pending would end this test process when the writer
  // restores the signal mask.
  EXPECT_FALSE(output.write("{\"ok\":true}"));
  EXPECT_FALSE(output.write("\n"));
  sigset_t pending;
  ASSERT_EQ(sigpending(&pending), 0);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  close(fds[1]);
}

TEST(FileDescriptorOutput, WritesEveryByte) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FileDescriptorOutput output(fds[1]);
  EXPECT_TRUE(output.write("abc"));
  close(fds[1]);
  char buffer[8] = {};
  EXPECT_EQ(read(fds[0], buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "abc");
  close(fds[0]);
}

}  // namespace
}  // namespace larkspire::computer
