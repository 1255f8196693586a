// The bridge's configuration file. Whatever it holds: every problem names
// its key (or the file, for a file that is no TOML), and a file accepted
// without a problem gives the program arguments it takes and room lists it
// reads whole: rooms 0..4095, each imitated room once, no room in both
// lists, every answer for an imitated room, a port and timings in range, and
// at least one broker, each with a host and a port in range.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "bridge/config.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  bridge::Config config;
  const std::vector<std::string> problems = bridge::parse_config(text, "fuzz.toml", &config);
  if (!problems.empty()) {
    for (const std::string& p : problems) {
      const size_t colon = p.find(':');
      ZUL_FUZZ_CHECK(colon != std::string::npos && colon > 0 && colon + 2 < p.size(),
                     "a problem that names no key: \"%s\"", p.c_str());
    }
    return 0;
  }
  ZUL_FUZZ_CHECK(!config.command.empty(), "no program to start");
  ZUL_FUZZ_CHECK(config.intercom >= 0 && config.intercom <= 255, "intercom %d", config.intercom);
  ZUL_FUZZ_CHECK(config.port >= 1 && config.port <= 65535, "port %d", config.port);
  // The client goes round this list: never empty, every broker usable.
  ZUL_FUZZ_CHECK(!config.brokers.empty(), "no broker");
  for (const bridge::BrokerAddress& b : config.brokers) {
    ZUL_FUZZ_CHECK(!b.host.empty() && b.port >= 1 && b.port <= 65535, "broker \"%s\"",
                   b.text().c_str());
  }
  ZUL_FUZZ_CHECK(config.protocol == 4 || config.protocol == 5, "protocol %d", config.protocol);
  ZUL_FUZZ_CHECK(!config.topic.empty(), "no base topic");
  ZUL_FUZZ_CHECK(!config.client_id.empty(), "no client id");
  std::set<int> imitated;
  for (int room : config.imitate) {
    ZUL_FUZZ_CHECK(room >= 0 && room < kRoomCount, "imitated room %d", room);
    imitated.insert(room);
  }
  for (int room : config.blacklist) {
    ZUL_FUZZ_CHECK(room >= 0 && room < kRoomCount, "blacklisted room %d", room);
    ZUL_FUZZ_CHECK(imitated.count(room) == 0, "room %d in both lists", room);
  }
  for (const auto& [room, answer] : config.answers) {
    ZUL_FUZZ_CHECK(imitated.count(room) == 1, "an answer for room %d, which is not imitated", room);
    ZUL_FUZZ_CHECK(
        answer.pickup_after_ms >= 0 && answer.open_after_ms >= 0 && answer.hangup_after_ms >= 0,
        "a negative wait for room %d", room);
  }
  // What the program reads: numbers and the two -1 ends, nothing else.
  const std::string lists = bridge::room_lists_text(config);
  int ends = 0;
  size_t i = 0;
  while (i < lists.size()) {
    const size_t end = lists.find_first_of(" \n", i);
    const std::string word = lists.substr(i, end - i);
    if (word == "-1") {
      ++ends;
    } else if (!word.empty()) {
      ZUL_FUZZ_CHECK(word.find_first_not_of("0123456789") == std::string::npos && ends < 2,
                     "the room lists hold \"%s\"", word.c_str());
    }
    i = end == std::string::npos ? lists.size() : end + 1;
  }
  ZUL_FUZZ_CHECK(ends == 2, "the room lists have %d ends", ends);
  const std::vector<std::string> argv = bridge::driver_argv(config);
  ZUL_FUZZ_CHECK(argv.size() >= config.command.size() + 1, "the intercom code is not passed");
  return 0;
}
