// The command queue: five one-byte slots in a 16-byte record.
//
//   byte 0 slot count (5), byte 1 message length (1),
//   bytes 2+2i / 3+2i message byte / full flag of slot i,
//   byte 12 input byte, 13 output byte, 14 spare, 15 read index.
//
// Producers: the console thread (codes typed by the controlling process) and
// the link thread (the reject code for a blacklisted room). Consumer: the main
// loop, one code per pass.
#pragma once
#include <cstdint>

// Five slots of one message byte each: commands are single codes, and no
// other record exists.
inline constexpr int kQueueSlotCount = 5;
inline constexpr int kQueueMessageBytes = 1;
inline constexpr int kQueueInputByte = 12;
inline constexpr int kQueueOutputByte = 13;
inline constexpr int kQueueReadIndex = 15;

// Shared by the console, link and main threads: every access while they run
// goes through console_enqueue and console_dequeue, under the queue lock.
extern uint8_t bufferConsole[16];

// Stores the message at the input byte in the first free slot from the read
// index on, wrapping round; when all slots are full the message is lost.
void buffer_write(uint8_t* queue);
// Takes the oldest message into the output byte; 1 if one was taken, else 0.
uint8_t buffer_read(uint8_t* queue);

// Who put a code into the queue: the controlling process (a code read from
// standard input) or the program itself (the reject of a blacklisted call).
enum class QueueSource : uint8_t { kInput, kOwn };

// The queue as the threads use it: the input byte and the enqueue, and the
// dequeue and the output byte, each under one lock, since both producers
// share the input byte. Each also reports what it did (out/report.h) under
// that lock, so that the reports come in the queue's own order.
void console_enqueue(uint8_t code, QueueSource source = QueueSource::kInput);
// The code taken, or 0 when the queue was empty.
uint8_t console_dequeue();
