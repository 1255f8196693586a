#include "bridge/protocol.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "protocol/console.h"

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
  const bool named = std::find(std::begin(kSignalChannels), std::end(kSignalChannels), channel) !=
                     std::end(kSignalChannels);
  if (!named && channel != kSignalUnknown) return false;
  // Published without the colon (and taken without it too).
  const std::string impulse(kSignalImpulse, sizeof kSignalImpulse - 2);
  if (form == kSignalImpulse) form = impulse;
  if (form != kSignalSteady && form != impulse && form != kSignalUnknown) return false;
  if (level != kSignalHigh && level != kSignalLow) return false;
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
  static const std::string kVersionPrefix = std::string(kLineVersion) + " ";
  if (line == kLinePickup) {
    p.kind = K::kPickup;
  } else if (line == kLineOpen) {
    p.kind = K::kOpen;
  } else if (line == kLineDrop) {
    p.kind = K::kDrop;
  } else if (line == kLineOpenDetected) {
    p.kind = K::kOpenDetected;
  } else if (line == kLineCommon) {
    p.kind = K::kCommon;
  } else if (prefixed_number(line, std::string(kLineDial) + " ", &p.number)) {
    p.kind = K::kDial;
  } else if (prefixed_number(line, std::string(kLineIntercom) + " ", &p.number)) {
    p.kind = K::kIntercom;
  } else if (prefixed_number(line, std::string(kLineFirmware) + " ", &p.number)) {
    p.kind = K::kFirmware;
  } else if (prefixed_number(line, std::string(kLineShield) + " ", &p.number)) {
    p.kind = K::kShield;
  } else if (line.compare(0, kVersionPrefix.size(), kVersionPrefix) == 0 &&
             line.size() > kVersionPrefix.size()) {
    p.kind = K::kVersionBanner;
    p.text = line.substr(kVersionPrefix.size());
  } else if (!parse_signal(line, &p)) {
    p = ProgramLine{};
  }
  return p;
}

ProgramReport parse_report_line(const std::string& raw) {
  using K = ProgramReport::Kind;
  static const struct {
    const char* word;
    K kind;
  } kWords[] = {{kReportHello, K::kHello}, {kReportQueued, K::kQueued},   {kReportFull, K::kFull},
                {kReportOwn, K::kOwn},     {kReportOwnFull, K::kOwnFull}, {kReportTake, K::kTake},
                {kReportRun, K::kRun},     {kReportSkip, K::kSkip},       {kReportDone, K::kDone},
                {kReportLost, K::kLost}};
  ProgramReport r;
  const size_t space = raw.find(' ');
  if (space == std::string::npos) return r;
  const std::string word = raw.substr(0, space);
  long number = 0;
  if (!whole_number(raw.substr(space + 1), &number)) return r;
  for (const auto& w : kWords) {
    if (word == w.word) {
      r.kind = w.kind;
      r.number = number;
      return r;
    }
  }
  return r;
}

const char* event_name(ProgramLine::Kind kind) {
  using K = ProgramLine::Kind;
  switch (kind) {
    case K::kDial:
      return kLineDial;
    case K::kPickup:
      return kLinePickup;
    case K::kOpen:
      return kLineOpen;
    case K::kDrop:
      return kLineDrop;
    case K::kOpenDetected:
      return kLineOpenDetected;
    case K::kCommon:
      return kLineCommon;
    case K::kSignal:
      return "signal";
    default:
      return "";
  }
}

bool is_event(ProgramLine::Kind kind) { return *event_name(kind) != '\0'; }

}  // namespace bridge
