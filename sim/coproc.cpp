#include "sim/coproc.h"

#include <deque>
#include <mutex>
#include <random>

#include "sim/clock.h"

namespace sim {
namespace {

constexpr uint8_t kResetPin = 14;

struct State {
  CoprocOptions options;
  CoprocRecord record;
  std::deque<Frame> outbox;
  bool reset_line_low = false;
  bool version_due = false;  // an announcement since the last reset awaits its poll
  bool have_reply = false;
  Frame reply{};
  bool reply_is_real = false;      // the pending reply is a frame of its own, not a request
  Frame last_real{};               // the last frame it had to say (never a retransmit request)
  bool owed = false;               // the program asked for last_real again and has not had it yet
  bool last_shifted_real = false;  // the latest transfer carried a frame of its own
  int corrupt_next = 0;
  int retransmit_next = 0;
  std::mt19937_64 rng{1};
};

// Guards the co-processor's state `s`: the program's transfers and pin
// writes and the scenario's events all reach it. Held for one frame's work,
// never across a wait of the clock.
std::mutex& mu = *new std::mutex;
State& s = *new State;

bool silent() {
  return s.options.no_answer_resets > 0 && s.record.resets <= s.options.no_answer_resets;
}

bool draw_fault() {
  if (s.options.fault_rate <= 0.0) {
    return false;
  }
  // Top 53 bits as a fraction: the same draw on every platform.
  const double u = static_cast<double>(s.rng() >> 11) * (1.0 / 9007199254740992.0);
  return u < s.options.fault_rate;
}

Frame version_frame() {
  return make_frame(kFrameStart, kFrameVersion, s.record.announced_intercom,
                    static_cast<uint8_t>(s.options.firmware >> 8),
                    static_cast<uint8_t>(s.options.firmware & 0xFF), s.options.shield);
}

// The frame to shift out in the next transfer.
void shift_out(const Frame& frame, bool real) {
  s.have_reply = true;
  s.reply = frame;
  s.reply_is_real = real;
  bool corrupt = false;
  if (s.corrupt_next > 0) {
    --s.corrupt_next;
    corrupt = true;
  } else {
    corrupt = draw_fault();
  }
  if (corrupt) {
    s.reply[7] = static_cast<uint8_t>(s.reply[7] ^ 0x5A);
  }
}

// A frame of its own: the one a retransmit request gets again.
void send(const Frame& frame) {
  s.last_real = frame;
  s.owed = false;
  shift_out(frame, true);
}

void ask_for_resend() { shift_out(make_frame(kFrameStart, kFrameRetransmit, 0, 0, 0, 0), false); }

void reply_nothing() {
  s.have_reply = false;
  s.reply_is_real = false;
}

// A poll, or a retransmit request for nothing it still owes: what it has to
// say next.
void answer_poll() {
  if (s.owed) {
    send(s.last_real);
  } else if (s.version_due) {
    s.version_due = false;
    ++s.record.version_reports;
    send(version_frame());
  } else if (!s.outbox.empty()) {
    Frame next = s.outbox.front();
    s.outbox.pop_front();
    send(next);
  } else {
    reply_nothing();
  }
}

void receive(const Frame& in) {
  if (silent()) {
    reply_nothing();
    return;
  }
  const uint16_t crc = coproc_crc(in.data(), 6);
  const bool intact = in[6] == (crc >> 8) && in[7] == (crc & 0xFF) && in[0] == kFrameStart;
  // The program asks for the reply it has just had: if that was a frame of
  // its own (not a request), the program missed it, and it is owed.
  if (intact && in[1] == kFrameRetransmit && s.last_shifted_real) {
    s.owed = true;
  }
  if (s.retransmit_next > 0) {
    --s.retransmit_next;
    ask_for_resend();
    return;
  }
  if (!intact) {
    ask_for_resend();
    return;
  }
  switch (in[1]) {
    case kFrameRetransmit:
      // Owed: its last frame again. Otherwise the program missed a request
      // of ours, and the frame we wanted again is gone from the program; a
      // program that has nothing else sends polls, so take it as one.
      answer_poll();
      return;
    case kFrameAnnounce:
      ++s.record.announcements;
      s.record.announced_intercom = in[2];
      s.version_due = true;
      reply_nothing();
      return;
    case kFrameSetup:
    case kFrameCodec:
      s.record.settings.push_back(in);
      reply_nothing();
      return;
    case kFramePoll:
      answer_poll();
      return;
    default:
      reply_nothing();
      return;
  }
}

void power_on() {
  s.version_due = false;
  s.have_reply = false;
  s.reply_is_real = false;
  s.last_shifted_real = false;
  s.owed = false;
}

}  // namespace

uint16_t coproc_crc(const uint8_t* bytes, int length) {
  uint16_t crc = 0xFFFF;
  for (int i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc =
          (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

Frame make_frame(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5) {
  Frame f{b0, b1, b2, b3, b4, b5, 0, 0};
  const uint16_t crc = coproc_crc(f.data(), 6);
  f[6] = static_cast<uint8_t>(crc >> 8);
  f[7] = static_cast<uint8_t>(crc & 0xFF);
  return f;
}

void coproc_reset_all() {
  std::lock_guard<std::mutex> lock(mu);
  s = State{};
}

void coproc_configure(const CoprocOptions& options) {
  std::lock_guard<std::mutex> lock(mu);
  s.options = options;
  s.rng.seed(options.seed);
}

void coproc_pin_written(uint8_t gpio, uint8_t level) {
  if (gpio != kResetPin) {
    return;
  }
  std::lock_guard<std::mutex> lock(mu);
  if (level == 0) {
    s.reset_line_low = true;
  } else if (s.reset_line_low) {
    s.reset_line_low = false;
    ++s.record.resets;
    power_on();
  }
}

void coproc_transfer(const uint8_t* mosi, uint8_t* miso) {
  std::lock_guard<std::mutex> lock(mu);
  Frame in{};
  for (size_t i = 0; i < 8; ++i) {
    in[i] = mosi[i];
    miso[i] = 0;
  }
  if (s.reset_line_low) {
    return;  // held in reset: the bus is dead
  }
  // Eight zero bytes clock out the pending reply; anything else is a frame.
  const bool fetch = in[0] == 0 && in[6] == 0 && in[7] == 0;
  if (fetch) {
    s.last_shifted_real = s.have_reply && s.reply_is_real;
    if (s.have_reply) {
      for (size_t i = 0; i < 8; ++i) {
        miso[i] = s.reply[i];
      }
      s.have_reply = false;
    }
    return;
  }
  receive(in);
}

void coproc_queue(const Frame& frame) {
  std::lock_guard<std::mutex> lock(mu);
  s.outbox.push_back(frame);
}

void coproc_corrupt_next(int n) {
  std::lock_guard<std::mutex> lock(mu);
  s.corrupt_next += n;
}

void coproc_retransmit_next(int n) {
  std::lock_guard<std::mutex> lock(mu);
  s.retransmit_next += n;
}

CoprocRecord coproc_record() {
  std::lock_guard<std::mutex> lock(mu);
  CoprocRecord r = s.record;
  r.queued = s.outbox.size();
  return r;
}

}  // namespace sim

namespace sim {
void coproc_queue_version() {
  std::lock_guard<std::mutex> lock(mu);
  s.outbox.push_back(version_frame());
}
}  // namespace sim
