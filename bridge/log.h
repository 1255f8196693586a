// Service log: one line per event of the service on standard error, where
// systemd's journal keeps it. Times are left to the journal.
#pragma once
#include <string>

namespace bridge {

void log_line(const std::string& text);

// Milliseconds on a clock that never jumps (timers, pacing, backoff).
long long steady_ms();

// Wall-clock time as ISO 8601 in UTC with milliseconds: 2026-12-09T03:05:42.123Z.
std::string iso_time_now();
std::string iso_time(long long unix_ms);
// Parses "2026-12-24T18:00:00Z" (optionally with .mmm); false, with the
// reason in `why`, when malformed or when no such day or time exists.
bool parse_iso_time(const std::string& text, long long* unix_ms, std::string* why = nullptr);
long long unix_ms_now();

}  // namespace bridge
