// The program's standard output, line by line: what each line means to the
// bridge. Lines that are not events (banners, prompts, messages) are kinds of
// their own, so that nothing the program says is mistaken for a call event.
#pragma once
#include <string>

namespace bridge {

struct ProgramLine {
  enum class Kind {
    kOther,          // anything else: only logged
    kVersionBanner,  // "ZUL_STM_Driver 1.22": text = "1.22"
    kIntercom,       // "Intercom: N"
    kFirmware,       // "Program_STM: N"
    kShield,         // "Shield: N"
    kDial,           // "dial N"
    kPickup,
    kOpen,
    kDrop,
    kOpenDetected,
    kCommon,  // the common driver opened the door on a ringing call
    kSignal,  // "S0 impulse: HIGH 500"
  };
  Kind kind = Kind::kOther;
  long number = 0;                   // room, version field or signal value
  std::string text;                  // version text
  std::string channel, form, level;  // signal report
};

ProgramLine parse_program_line(const std::string& line);

// One line of the program's reports (ZUL_REPORT_FD): what became of a code.
struct ProgramReport {
  enum class Kind {
    kUnknown,  // not a report line: only logged
    kHello,    // the program reports; number = the reports' version
    kQueued,   // a code the bridge wrote is queued
    kFull,     // ... is lost: the program's queue was full
    kOwn,      // the program queued a code itself (the reject of a blacklisted call)
    kOwnFull,  // ... and lost it
    kTake,     // the main loop took a code
    kRun,      // its line operation or relay pulse starts
    kSkip,     // it had no action in the call's state
    kDone,     // the operation or pulse has ended
    kLost,     // number = reports the program could not write
  };
  Kind kind = Kind::kUnknown;
  long number = 0;  // the code, or as above
};

ProgramReport parse_report_line(const std::string& line);

// The event name published for a call event kind ("dial", "openDetected").
const char* event_name(ProgramLine::Kind kind);
bool is_event(ProgramLine::Kind kind);

}  // namespace bridge
