// Noticing that the controlling process is gone.
#pragma once

// Once standard input has ended, the console thread watches standard output
// instead: a controlling process may close its side of our input and go on
// reading events, but when the reading end of our output is gone too, nobody
// can hear about the call any more, so the program stops as on SIGPIPE (the
// board idle state, exit 141) at once instead of at its next printed line,
// which may be hours away while an imitated call holds the line. Never
// returns.
[[noreturn]] void watch_output_reader();
