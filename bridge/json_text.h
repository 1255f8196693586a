// JSON to text for everything the bridge publishes or logs.
#pragma once
#include <nlohmann/json.hpp>
#include <string>

// A payload from the broker may carry bytes that are not UTF-8, and a
// refusal quotes what it refused: such bytes become U+FFFD rather than an
// exception that would end the bridge.
inline std::string json_text(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
