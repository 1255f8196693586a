// Home Assistant MQTT discovery: one device with its entities, each a
// retained config message under the configured prefix.
#pragma once
#include <vector>

#include "bridge/config.h"
#include "bridge/outbox.h"

namespace bridge {

// The program's version as the bridge reports it (the device's sw_version).
std::vector<Message> discovery_messages(const Config& config, const std::string& sw_version);

}  // namespace bridge
