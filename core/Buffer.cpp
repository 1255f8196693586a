#include "core/Buffer.h"

#include <mutex>

#include "out/report.h"
#include "protocol/console.h"

uint8_t bufferConsole[16] = {kQueueSlotCount, kQueueMessageBytes};

namespace {
// Held only for the few byte moves of one operation, never across a wait.
std::mutex g_queue_lock;

// A slot is its one message byte followed by its full flag.
constexpr int kFirstSlot = 2;
constexpr int kSlotBytes = kQueueMessageBytes + 1;
constexpr int kProbes = 5;
static_assert(kFirstSlot + kSlotBytes * kQueueSlotCount <= kQueueInputByte,
              "the slots end before the input byte");
static_assert(kQueueInputByte + kQueueMessageBytes <= kQueueOutputByte &&
                  kQueueOutputByte + kQueueMessageBytes <= kQueueReadIndex,
              "input byte, output byte and read index do not overlap");
static_assert(kProbes == kQueueSlotCount, "a dequeue probes every slot once");
static_assert(kQueueSlotCount == kConsoleQueueSlots,
              "the controlling process counts the same slots");

struct Slot {
  uint8_t* message;
  uint8_t* full;
};

// The slot count byte is trusted only up to the slots the record has room for.
int slot_count(const uint8_t* queue) {
  return queue[0] < kQueueSlotCount ? queue[0] : kQueueSlotCount;
}

Slot slot(uint8_t* queue, int index) {
  uint8_t* base = queue + kFirstSlot + kSlotBytes * index;
  return {base, base + kQueueMessageBytes};
}
}  // namespace

void buffer_write(uint8_t* queue) {
  const int count = slot_count(queue);
  const int read_index = queue[kQueueReadIndex];
  for (int step = 0; step < count; ++step) {
    const Slot s = slot(queue, (read_index + step) % count);
    if (*s.message == 0) {
      *s.full = 1;
      *s.message = queue[kQueueInputByte];
      return;
    }
  }
}

uint8_t buffer_read(uint8_t* queue) {
  const int count = slot_count(queue);
  if (count == 0) {
    return 0;
  }
  uint8_t taken = 0;
  for (int probe = 0; probe < kProbes && taken == 0; ++probe) {
    const Slot s = slot(queue, queue[kQueueReadIndex] % count);
    if (*s.full == 1) {
      *s.full = 0;
      queue[kQueueOutputByte] = *s.message;
      *s.message = 0;
      taken = 1;
    }
    const int next = queue[kQueueReadIndex] + 1;
    queue[kQueueReadIndex] = static_cast<uint8_t>(next >= count ? 0 : next);
  }
  return taken;
}

namespace {
bool has_empty_slot(uint8_t* queue) {
  const int count = slot_count(queue);
  for (int index = 0; index < count; ++index) {
    if (*slot(queue, index).message == 0) {
      return true;
    }
  }
  return false;
}
}  // namespace

void console_enqueue(uint8_t code, QueueSource source) {
  std::lock_guard<std::mutex> lock(g_queue_lock);
  const bool queued = has_empty_slot(bufferConsole);
  bufferConsole[kQueueInputByte] = code;
  buffer_write(bufferConsole);
  if (source == QueueSource::kInput) {
    report_code(queued ? kReportQueued : kReportFull, code);
  } else {
    report_code(queued ? kReportOwn : kReportOwnFull, code);
  }
}

uint8_t console_dequeue() {
  std::lock_guard<std::mutex> lock(g_queue_lock);
  const uint8_t code = buffer_read(bufferConsole) == 1 ? bufferConsole[kQueueOutputByte] : 0;
  if (code != 0) {
    report_code(kReportTake, code);
  }
  return code;
}
