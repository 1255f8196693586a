// The flight record's file, as the program writes it and as the simulator's
// replay and the bridge read it: a header of lines starting with "#", then
// one line per entry, "<ms> <kind> ...", the time in milliseconds since the
// peripheral library started, and last the end line, "<ms> end HOW". A file
// without its end line is not whole.
//
// Data only and nothing of ours included: the program writes it from a
// signal handler, and the bridge links none of the program.
#pragma once

// The legend the header ends with.
inline constexpr char kRecordLegend[] =
    "# <ms since the peripheral library started> spi SENT RECEIVED | in TOKEN | in-end | "
    "out LINE | pin GPIO LEVEL | end HOW\n";

// The kinds of entry.
inline constexpr char kRecordTransfer[] = "spi";     // then the two frames in hex, sent first
inline constexpr char kRecordToken[] = "in";         // then a token read from standard input
inline constexpr char kRecordInputEnd[] = "in-end";  // standard input ended
inline constexpr char kRecordLine[] = "out";         // then a line written to standard output
inline constexpr char kRecordPin[] = "pin";          // then the GPIO and the level written
inline constexpr char kRecordEnd[] = "end";          // then HOW, below; the last line

// HOW: a snapshot (SIGUSR1; the program goes on) or the program's end with
// its exit status.
inline constexpr char kRecordEndSnapshot[] = "snapshot";
inline constexpr char kRecordEndStatus[] = "status";  // then " N"
