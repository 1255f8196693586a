// The console: the two room lists and then the codes, as the controlling
// process types them. Whatever it types, the room table holds exactly the
// rooms a careful reader of the same text would mark, the prompts and the
// complaints come in order, and only the accepted codes reach the queue, the
// first five of them in order (a full queue loses the rest).
#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/Buffer.h"
#include "core/main.h"
#include "fuzz/fuzz_support.h"
#include "protocol/console.h"
#include "tests/support.h"

namespace {

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string> tokens_of(const std::string& text) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && blank(text[i])) {
      ++i;
    }
    const size_t start = i;
    while (i < text.size() && !blank(text[i])) {
      ++i;
    }
    if (i > start) {
      out.emplace_back(text, start, i - start);
    }
  }
  return out;
}

// A sign, then at least one digit and nothing else; clamped to 32 bits.
bool number_of(const std::string& t, int64_t* value) {
  size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
  if (i == t.size()) {
    return false;
  }
  int64_t v = 0;
  for (size_t j = i; j < t.size(); ++j) {
    if (t[j] < '0' || t[j] > '9') {
      return false;
    }
    v = v > INT32_MAX ? v : v * 10 + (t[j] - '0');
  }
  v = t[0] == '-' ? -v : v;
  *value = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  fuzz::one_board();
  test::fresh_program();
  fuzz::Stdio stdio(data, size);
  ReedRoom();
  ReedBlacklist();
  console_read_codes();

  // The same text read by the model.
  std::vector<uint8_t> rooms(kRoomCount, kRoomNone);
  std::vector<std::string> lines;
  std::vector<int> codes;
  const std::vector<std::string> tokens = tokens_of(text);
  size_t next = 0;
  for (uint8_t mark : {kRoomImitated, kRoomBlacklisted}) {
    lines.push_back(mark == kRoomImitated ? kLineRoomsPrompt : kLineBlacklistPrompt);
    for (; next < tokens.size(); ++next) {
      int64_t n = 0;
      if (!number_of(tokens[next], &n) || (n < 0 && n != -1)) {
        continue;
      }
      if (n == -1) {
        ++next;
        break;
      }
      if (n >= kRoomCount) {
        lines.push_back(kLineBigNumber);
      } else {
        rooms[static_cast<size_t>(n)] = mark;
      }
    }
    lines.push_back(mark == kRoomImitated ? kLineRoomsEnd : kLineBlacklistEnd);
  }
  for (; next < tokens.size(); ++next) {
    int64_t n = 0;
    if (number_of(tokens[next], &n) && ((n >= 1 && n <= 3) || (n >= 20 && n <= 23) || n == 99) &&
        codes.size() < 5) {
      codes.push_back(static_cast<int>(n));
    }
  }

  for (int r = 0; r < kRoomCount; ++r) {
    ZUL_FUZZ_CHECK(RoomImit[r] == rooms[static_cast<size_t>(r)], "room %d is %d, expected %d", r,
                   RoomImit[r], rooms[static_cast<size_t>(r)]);
  }
  const std::vector<std::string> printed = stdio.lines();
  ZUL_FUZZ_CHECK(printed == lines, "%zu lines printed, %zu expected", printed.size(), lines.size());
  for (size_t i = 0; i < codes.size(); ++i) {
    const int code = console_dequeue();
    ZUL_FUZZ_CHECK(code == codes[i], "queued code %zu is %d, expected %d", i, code, codes[i]);
  }
  ZUL_FUZZ_CHECK(console_dequeue() == 0, "more codes queued than were accepted");
  return 0;
}
