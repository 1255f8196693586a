// Home Assistant MQTT discovery: the entrance as one device with its
// entities, each a retained config message under the configured prefix, and
// optionally a device per imitated room under that room's own topics, for
// the household's own Home Assistant.
//
// One config per entity rather than Home Assistant's device-based discovery
// (one config with every component): the latter needs Home Assistant
// 2024.12 or later, and taking a component out of it takes two updates in
// turn; with one config each, a stale entity goes with one empty retained
// message, and every version understands it.
#pragma once
#include <string>
#include <vector>

#include "bridge/config.h"
#include "bridge/outbox.h"

namespace bridge {

// `sw_version` is the bridge's own version: the device record stays the
// same from one start to the next.
std::vector<Message> discovery_messages(const Config& config, const std::string& sw_version);

// Where retained records of this bridge may lie from an earlier
// configuration (a room dropped, room devices turned off): patterns to
// subscribe to, so that whatever is found there and no longer announced is
// cleared.
std::vector<std::string> stale_patterns(const Config& config);

}  // namespace bridge
