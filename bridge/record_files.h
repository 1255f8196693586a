// The program's flight record as the bridge handles it: whether a file the
// program is writing is whole yet, its compression for the broker, and the
// records kept from unplanned exits (a bounded number, oldest out).
#pragma once
#include <string>
#include <vector>

namespace bridge {

// True when `path` holds a whole record: its last line is the end line the
// program writes last ("<ms> end snapshot" or "<ms> end status N").
bool record_complete(const std::string& path);

// Reads a whole file; false (with the reason) when it cannot.
bool read_whole_file(const std::string& path, std::string* text, std::string* error);

// The gzip form of `text` (zlib, best compression) when it is smaller, and
// `text` itself otherwise; `*gzipped` says which.
std::string gzip_if_smaller(const std::string& text, bool* gzipped);

// Moves the record at `path` into `dir` as exit-<time>-status-<N>.rec and
// removes the oldest such files beyond `keep`. Returns the kept file's path,
// or an empty text (with the reason) when there was nothing to keep.
std::string keep_exit_record(const std::string& path, const std::string& dir, long long unix_ms,
                             int status, int keep, std::string* why);

// The kept records in `dir`, oldest first.
std::vector<std::string> kept_records(const std::string& dir);

}  // namespace bridge
