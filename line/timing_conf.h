// TEQsettings/timing.conf: an installation's own timings for the line
// drivers, in INI form, one section per system (timing.h names the systems
// and their keys):
//
//   # this building's Vizit panel needs a longer answer
//   [VIZIT]
//   pickup_hold_ms = 1500
//
// The file is optional. It is read and checked whole at start-up, before
// any pin is configured; the overrides of the system that the intercom code
// selects are laid over its row when its installer runs.
#pragma once

// Relative to the working directory, like the speakerphone settings.
inline constexpr const char* kTimingConfPath = "TEQsettings/timing.conf";

// Reads and checks the file at `path`, keeping its overrides. A missing file
// means no overrides. On any problem, prints one line per problem on
// standard error ("PATH:LINE: what is wrong"), keeps no override at all and
// returns false.
bool timing_conf_load(const char* path);

// Forgets every override (as if no file had been read).
void timing_conf_clear();
