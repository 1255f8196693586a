// The program's flight record as the bridge handles it: whether a file the
// program is writing is whole yet, its compression for the broker, and the
// records kept from unplanned exits (a bounded number, oldest out).
#pragma once
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bridge {

// True when `path` holds a whole record: its last line is the end line the
// program writes last ("<ms> end snapshot" or "<ms> end status N").
bool record_complete(const std::string& path);

// Reads a whole file; false (with the reason) when it cannot.
bool read_whole_file(const std::string& path, std::string* text, std::string* error);

// The zlib level a record is published at. Measured on a full ring (13.07 MB
// of text: an hour of bench/hour_scenario.py in virtual time), zlib 1.2.13,
// CPU time of one x86-64 core, best of three:
//   level 1: 1.61 MB (12.3 %),  52 ms
//   level 6: 1.33 MB (10.2 %),  99 ms
//   level 9: 1.31 MB (10.0 %), 404 ms
// Level 9 buys 1.6 % fewer bytes for four times the CPU (seconds on a Pi);
// level 1 saves 47 ms for 20 % more bytes on the broker. 6 it is.
inline constexpr int kRecordGzipLevel = 6;

// The gzip form of `text` at `level` when it is smaller, and `text` itself
// otherwise; `*gzipped` says which.
std::string gzip_if_smaller(const std::string& text, bool* gzipped, int level = kRecordGzipLevel);

// A record read and compressed for the broker.
struct PackedRecord {
  std::string error;  // empty when it was read
  size_t bytes = 0;   // the record's own size
  std::string payload;
  bool gzipped = false;
};

// Reads and compresses a record on a thread of its own: a whole record is
// up to ~13 MB of text, and the service's loop, which carries the program's
// events to the broker, must not stop for the 0.1 s (level 6; 0.4 s at
// level 9) of CPU that takes here, several times that on a Pi.
// One job at a time. Everything but the job's result belongs to the thread
// that calls it (the service's loop); the result is handed over under a lock
// and announced on wake_fd(), which the loop polls with its other descriptors.
class RecordPacker {
 public:
  RecordPacker();
  // Waits for a job still running.
  ~RecordPacker();
  RecordPacker(const RecordPacker&) = delete;
  RecordPacker& operator=(const RecordPacker&) = delete;

  // Readable once a job is done; -1 when no pipe could be made (each job
  // then runs on the caller's thread).
  int wake_fd() const { return wake_[0]; }
  bool busy() const { return busy_; }
  // Packs the file open on `fd`, which it takes over: a record renamed or
  // replaced meanwhile is still read whole, as it was when opened.
  void start(int fd);
  // The job's result once it is done (wake_fd() was readable), else nothing.
  std::optional<PackedRecord> take();

 private:
  // Made by the constructor before any worker, closed by the destructor after
  // the last one: read-only in between, for both threads (the worker writes
  // to wake_[1], the loop reads wake_[0]).
  int wake_[2] = {-1, -1};
  // The loop's thread alone: a job started and not yet taken, its thread.
  bool busy_ = false;
  std::thread worker_;
  // Guards done_ and result_, written by the worker and taken by the loop.
  std::mutex mutex_;
  bool done_ = false;
  PackedRecord result_;
};

// Moves the record at `path` into `dir` as exit-<time>-status-<N>.rec (mode
// 0600, synced before it takes that name, so a kept record is whole) and
// removes the oldest such files beyond `keep`. Returns the kept file's path,
// or an empty text (with the reason) when there was nothing to keep.
std::string keep_exit_record(const std::string& path, const std::string& dir, long long unix_ms,
                             int status, int keep, std::string* why);

// The kept records in `dir`, oldest first.
std::vector<std::string> kept_records(const std::string& dir);

}  // namespace bridge
