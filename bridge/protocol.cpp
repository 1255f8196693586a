#include "bridge/protocol.h"

#include <cstdlib>

namespace bridge {

namespace {

// A whole decimal number (no sign, no spaces) and nothing else.
bool whole_number(const std::string& text, long* out) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  *out = std::strtol(text.c_str(), nullptr, 10);
  return true;
}

bool prefixed_number(const std::string& line, const std::string& prefix, long* out) {
  return line.compare(0, prefix.size(), prefix) == 0 &&
         whole_number(line.substr(prefix.size()), out);
}

// "<channel> <form> <level> <value>" where the form "impulse:" carries a colon.
bool parse_signal(const std::string& line, ProgramLine* out) {
  std::string words[4];
  size_t count = 0, start = 0;
  while (start <= line.size() && count < 5) {
    const size_t space = line.find(' ', start);
    const std::string word = line.substr(start, space == std::string::npos ? space : space - start);
    if (count == 4) return false;
    words[count++] = word;
    if (space == std::string::npos) break;
    start = space + 1;
  }
  if (count != 4) return false;
  const std::string& channel = words[0];
  std::string form = words[1];
  const std::string& level = words[2];
  if (channel != "Ek" && channel != "S0" && channel != "S1" && channel != "?") return false;
  if (form == "impulse:") form = "impulse";
  if (form != "steady" && form != "impulse" && form != "?") return false;
  if (level != "HIGH" && level != "LOW") return false;
  if (!whole_number(words[3], &out->number)) return false;
  out->kind = ProgramLine::Kind::kSignal;
  out->channel = channel;
  out->form = form;
  out->level = level;
  return true;
}

}  // namespace

ProgramLine parse_program_line(const std::string& raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  ProgramLine p;
  using K = ProgramLine::Kind;
  if (line == "pickup") {
    p.kind = K::kPickup;
  } else if (line == "open") {
    p.kind = K::kOpen;
  } else if (line == "drop") {
    p.kind = K::kDrop;
  } else if (line == "openDetected") {
    p.kind = K::kOpenDetected;
  } else if (line == "common") {
    p.kind = K::kCommon;
  } else if (prefixed_number(line, "dial ", &p.number)) {
    p.kind = K::kDial;
  } else if (prefixed_number(line, "Intercom: ", &p.number)) {
    p.kind = K::kIntercom;
  } else if (prefixed_number(line, "Program_STM: ", &p.number)) {
    p.kind = K::kFirmware;
  } else if (prefixed_number(line, "Shield: ", &p.number)) {
    p.kind = K::kShield;
  } else if (line.compare(0, 15, "ZUL_STM_Driver ") == 0 && line.size() > 15) {
    p.kind = K::kVersionBanner;
    p.text = line.substr(15);
  } else if (!parse_signal(line, &p)) {
    p = ProgramLine{};
  }
  return p;
}

const char* event_name(ProgramLine::Kind kind) {
  using K = ProgramLine::Kind;
  switch (kind) {
    case K::kDial:
      return "dial";
    case K::kPickup:
      return "pickup";
    case K::kOpen:
      return "open";
    case K::kDrop:
      return "drop";
    case K::kOpenDetected:
      return "openDetected";
    case K::kCommon:
      return "common";
    case K::kSignal:
      return "signal";
    default:
      return "";
  }
}

bool is_event(ProgramLine::Kind kind) { return *event_name(kind) != '\0'; }

}  // namespace bridge
