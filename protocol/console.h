// The console protocol between the program and its controlling process, in
// one place: the command codes it reads, the room count of its lists, the
// shield numbers of its version report, its exit statuses, the texts of the
// lines it prints, and the reports it writes on a descriptor of its own.
//
// Data only and nothing of ours included, so that the program's modules,
// the simulator and the bridge (zul_stm_mqtt, which reads the program
// through pipes and links none of it) include the same definitions.
#pragma once
#include <csignal>
#include <cstdint>

// ---- command codes (standard input)

enum : uint8_t {
  kCodePickUp = 1,
  kCodeOpen = 2,
  kCodeHangUp = 3,
  kCodeRelay0 = 20,
  kCodeRelay1 = 21,
  kCodeRelay2 = 22,
  kCodeOpenToo = 23,
  kCodeNoAction = 99,
};
inline constexpr int kRelayCodeCount = 3;  // relays 0..2; relay 3 has no code

inline constexpr bool is_relay_code(int code) {
  return code >= kCodeRelay0 && code < kCodeRelay0 + kRelayCodeCount;
}
// The codes the console thread queues; every other number is dropped.
inline constexpr bool is_console_code(int code) {
  return (code >= kCodePickUp && code <= kCodeHangUp) ||
         (code >= kCodeRelay0 && code <= kCodeOpenToo) || code == kCodeNoAction;
}
// The program's command queue holds this many codes; one more is lost.
inline constexpr int kConsoleQueueSlots = 5;

// ---- room lists

inline constexpr int kRoomCount = 4096;  // rooms 0..4095
inline constexpr int kRoomListEnd = -1;

// ---- shield numbers of the version report

enum : uint8_t {
  kShieldWithSetup = 26,  // takes the setup register
  kShieldWithCodec = 27,  // takes it and carries the CS6422 speakerphone chip
};

// ---- exit statuses

enum : int {
  kExitNoArg = 1,
  kExitVersion = 2,
  kExitPlatform = 3,  // no board to drive (refused, missing, not accessible), no thread
  kExitTiming = 4,    // TEQsettings/timing.conf has problems
};
// After a signal: 128 plus its number, as a shell reports it.
inline constexpr int kExitSignalBase = 128;

// The signals that stop the program: it leaves the line idle, writes its
// flight record and ends with kExitSignalBase plus the signal's number. A
// reader of standard output that has gone counts as SIGPIPE.
inline constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGPIPE};

// ---- lines on standard output

inline constexpr char kLineNoArg[] = "error: no arg";     // no intercom code given
inline constexpr char kLineBanner[] = "#STM_driver_";     // then "MvMP", the version
inline constexpr char kLineVersion[] = "ZUL_STM_Driver";  // then " M.mp"
// The two room lists, each between its prompt and its end line.
inline constexpr char kLineRoomsPrompt[] = "#Write rooms:";
inline constexpr char kLineRoomsEnd[] = "#End read rooms";
inline constexpr char kLineBlacklistPrompt[] = "#Write blacklist rooms:";
inline constexpr char kLineBlacklistEnd[] = "#End read blacklist rooms";
inline constexpr char kLineIntercom[] = "Intercom:";     // then " N"
inline constexpr char kLineFirmware[] = "Program_STM:";  // then " N"
inline constexpr char kLineShield[] = "Shield:";         // then " N"
inline constexpr char kLineDial[] = "dial";              // then " ROOM"
inline constexpr char kLinePickup[] = "pickup";
inline constexpr char kLineOpen[] = "open";
inline constexpr char kLineDrop[] = "drop";
inline constexpr char kLineOpenDetected[] = "openDetected";
inline constexpr char kLineCommon[] = "common";
inline constexpr char kLineBigNumber[] = "Error: big number";

// The lines of a call's events, in the order of the co-processor's event
// codes, then "common"; what a controlling process announces as events.
inline constexpr const char* kCallEventLines[] = {kLineDial, kLinePickup,       kLineOpen,
                                                  kLineDrop, kLineOpenDetected, kLineCommon};

// A signal report: "<channel> <form> <level> <value>", one space between
// the words. A channel or form without a name is kSignalUnknown.
inline constexpr const char* kSignalChannels[] = {"Ek", "S0", "S1"};  // channels 0..2
inline constexpr char kSignalSteady[] = "steady";
inline constexpr char kSignalImpulse[] = "impulse:";
inline constexpr char kSignalUnknown[] = "?";
inline constexpr char kSignalHigh[] = "HIGH";
inline constexpr char kSignalLow[] = "LOW";

// ---- reports (the descriptor named by ZUL_REPORT_FD)
//
// One line per fact, "<word> <code>", each written whole by one write(2).
// The queue's lines ("queued", "full", "own", "own-full", "take") come in
// the queue's own order.

inline constexpr char kReportFdVariable[] = "ZUL_REPORT_FD";
inline constexpr char kReportHello[] = "reports";  // first line: "reports 1"
inline constexpr int kReportVersion = 1;
inline constexpr char kReportQueued[] = "queued";     // a code read from standard input is queued
inline constexpr char kReportFull[] = "full";         // ... is lost: the queue was full
inline constexpr char kReportOwn[] = "own";           // the program queued a code itself
inline constexpr char kReportOwnFull[] = "own-full";  // ... and lost it: the queue was full
inline constexpr char kReportTake[] = "take";         // the main loop took a code
inline constexpr char kReportRun[] = "run";           // its line operation or relay pulse starts
inline constexpr char kReportSkip[] = "skip";         // it has no action now; the loop is free
inline constexpr char kReportDone[] = "done";         // the operation or pulse has ended
inline constexpr char kReportLost[] = "lost";         // N reports the descriptor did not take
