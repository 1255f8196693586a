// The command queue: order, capacity, wrap-around, and which console codes
// it takes.
#include <gtest/gtest.h>

#include <array>

#include "core/Buffer.h"
#include "core/main.h"
#include "tests/support.h"

namespace {

using Record = std::array<uint8_t, 16>;

Record fresh_queue() { return Record{5, 1}; }

void put(Record& q, uint8_t code) {
  q[kQueueInputByte] = code;
  buffer_write(q.data());
}

// Result and output byte of one dequeue.
std::pair<int, int> take(Record& q) {
  const int result = buffer_read(q.data());
  return {result, q[kQueueOutputByte]};
}

TEST(Queue, CodesLeaveInTheOrderTheyCame) {
  Record q = fresh_queue();
  put(q, 1);
  put(q, 2);
  put(q, 3);
  EXPECT_EQ((std::array<uint8_t, 6>{q[2], q[3], q[4], q[5], q[6], q[7]}),
            (std::array<uint8_t, 6>{1, 1, 2, 1, 3, 1}));
  EXPECT_EQ(take(q), std::make_pair(1, 1));
  EXPECT_EQ(take(q), std::make_pair(1, 2));
  EXPECT_EQ(take(q), std::make_pair(1, 3));
  EXPECT_EQ(q[kQueueReadIndex], 3);
  EXPECT_EQ(take(q).first, 0);
}

TEST(Queue, SixthCodeIsLost) {
  Record q = fresh_queue();
  for (uint8_t code : {1, 2, 3, 20, 21, 22}) {
    put(q, code);
  }
  for (int expected : {1, 2, 3, 20, 21}) {
    EXPECT_EQ(take(q), std::make_pair(1, expected));
  }
  EXPECT_EQ(take(q).first, 0);
}

TEST(Queue, WrapsRoundFromReadIndexThree) {
  Record q = fresh_queue();
  q[kQueueReadIndex] = 3;
  put(q, 7);  // slot 3
  put(q, 8);  // slot 4
  put(q, 9);  // slot 0
  EXPECT_EQ(q[2], 9);
  EXPECT_EQ(take(q), std::make_pair(1, 7));
  EXPECT_EQ(take(q), std::make_pair(1, 8));
  EXPECT_EQ(take(q), std::make_pair(1, 9));
}

TEST(Queue, EmptyDequeueLeavesOutputAndReadIndexAlone) {
  Record q = fresh_queue();
  put(q, 2);
  take(q);
  const Record before = q;
  EXPECT_EQ(take(q), std::make_pair(0, 2));
  EXPECT_EQ(q, before);
}

TEST(Queue, EnqueueLeavesInputByteAndReadIndexAlone) {
  Record q = fresh_queue();
  q[kQueueReadIndex] = 2;
  put(q, 23);
  EXPECT_EQ(q[kQueueInputByte], 23);
  EXPECT_EQ(q[kQueueReadIndex], 2);
  EXPECT_EQ(q[6], 23) << "first free slot at or after the read index";
}

// Console codes through the console thread's reader, end of input included.
TEST(ConsoleReader, QueuesTheAcceptedCodesAndSkipsEverythingElse) {
  test::fresh_board();
  test::give_input("0 4 19 24 98 100 -1 abc 1x 1 3 20 23 99 2 7 +21");
  console_read_codes();  // returns once the input has ended
  std::vector<int> queued;
  for (uint8_t code = console_dequeue(); code != 0; code = console_dequeue()) {
    queued.push_back(code);
  }
  EXPECT_EQ(queued, (std::vector<int>{1, 3, 20, 23, 99}));  // the sixth, 2, was lost
}

}  // namespace
