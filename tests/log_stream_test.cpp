// The simulator's streamed logs: every byte reaches the file in order
// however many buffers it takes, the rest comes out at the end, and a run
// that did not ask for its transfers keeps none.
#include "sim/log_stream.h"

#include <bcm2835.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "sim/board.h"
#include "sim/coproc.h"
#include "sim/time_format.h"
#include "tests/sim_process.h"
#include "tests/support.h"

namespace {

using test::read_file;
using test::temp_file;

// Text that shows where a byte went missing or moved: numbered lines.
std::string numbered_lines(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "line " + std::to_string(i) + " of the stream\n";
  }
  return text;
}

TEST(LogStream, ManyBuffersReachTheFileInOrderAndTheRestAtFinish) {
  const std::string path = temp_file("what was there before");
  const std::string text = numbered_lines(20000);  // several buffers' worth
  ASSERT_GT(text.size(), 4 * sim::LogStream::kBufferSize);
  static sim::LogStream stream;
  ASSERT_TRUE(stream.open(path.c_str()));
  // Line by line, as the board writes it, and one piece bigger than the
  // buffer.
  size_t at = 0;
  while (at < text.size() / 2) {
    const size_t end = text.find('\n', at) + 1;
    char* room = stream.reserve(end - at);
    ASSERT_NE(room, nullptr);
    text.copy(room, end - at, at);
    stream.commit(end - at);
    at = end;
  }
  stream.append(text.data() + at, text.size() - at);
  // Everything but the last buffer is in the file already.
  const std::string so_far = read_file(path);
  EXPECT_GT(so_far.size(), text.size() - sim::LogStream::kBufferSize);
  EXPECT_EQ(so_far, text.substr(0, so_far.size()));
  stream.finish();
  EXPECT_EQ(read_file(path), text);
  std::remove(path.c_str());
}

TEST(LogStream, AppendsAfterTheEndAreDroppedAndASecondFinishChangesNothing) {
  const std::string path = temp_file();
  static sim::LogStream stream;
  ASSERT_TRUE(stream.open(path.c_str()));
  stream.append("kept\n", 5);
  stream.finish();
  EXPECT_FALSE(stream.active());
  EXPECT_EQ(stream.reserve(8), nullptr);
  stream.append("dropped\n", 8);
  stream.finish();
  EXPECT_EQ(read_file(path), "kept\n");
  std::remove(path.c_str());
}

TEST(LogStream, APipeGetsTheBytesInOrder) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  static sim::LogStream stream;
  ASSERT_TRUE(stream.open(("/proc/self/fd/" + std::to_string(fds[1])).c_str()));
  close(fds[1]);
  const std::string text = numbered_lines(300);  // within the pipe's capacity
  stream.append(text.data(), text.size());
  stream.finish();
  std::string got;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
    got.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  EXPECT_EQ(got, text);
}

TEST(LogStream, AFileThatCannotBeCreatedIsRefused) {
  static sim::LogStream stream;
  EXPECT_FALSE(stream.open("/nonexistent-dir/frames.log"));
  EXPECT_FALSE(stream.active());
  EXPECT_EQ(stream.reserve(8), nullptr);
}

void transfer(const char (&sent)[8]) {
  char tx[8];
  char rx[8];
  for (int i = 0; i < 8; ++i) {
    tx[i] = sent[i];
  }
  bcm2835_spi_transfernb(tx, rx, 8);
}

TEST(BoardFrames, StreamedTransfersKeepNoneAndLogEachAsItsLine) {
  test::fresh_board();
  const std::string path = temp_file();
  sim::board_keep_transfers(false);
  ASSERT_TRUE(sim::board_stream_frames(path.c_str()));
  bcm2835_spi_begin();
  bcm2835_spi_setClockDivider(889);
  const char poll[8] = {'\xA1', '\x01', 0, 0, 0, 0, '\x12', '\x34'};
  const char fetch[8] = {};
  transfer(poll);
  transfer(fetch);
  EXPECT_TRUE(sim::transfers().empty());
  sim::board_finish_frames();
  // The poll's checksum is wrong: the fetch brings a retransmit request.
  // 64 bits at 250 MHz / 889: 227.584 us each.
  const sim::Frame request = sim::make_frame(0xA1, 0xFF, 0, 0, 0, 0);
  EXPECT_EQ(read_file(path),
            "0 A101000000001234 0000000000000000\n"
            "0.227 0000000000000000 " +
                test::hex(request.data(), 8) + "\n");
  std::remove(path.c_str());
}

TEST(BoardFrames, TestsKeepEveryTransferByDefault) {
  test::fresh_board();
  bcm2835_spi_begin();
  const char fetch[8] = {};
  transfer(fetch);
  transfer(fetch);
  EXPECT_EQ(sim::transfers().size(), 2u);
}

TEST(TimeFormat, MillisecondsWithTheirMicrosecondsWithoutTrailingZeros) {
  const struct {
    int64_t ns;
    const char* text;
  } cases[] = {
      {0, "0"},
      {999, "0"},
      {5000, "0.005"},
      {100000, "0.1"},
      {120000, "0.12"},
      {1200114000, "1200.114"},
      {1200000000, "1200"},
      {1200105999, "1200.105"},
      {86400000000000, "86400000"},
  };
  for (const auto& c : cases) {
    char out[32];
    sim::format_ms(c.ns, out, sizeof out);
    EXPECT_STREQ(out, c.text) << c.ns;
  }
}

}  // namespace
