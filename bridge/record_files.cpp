#include "bridge/record_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bridge/log.h"
#include "protocol/record_format.h"

namespace bridge {

namespace {

bool is_end_line(const std::string& line) {
  // "<ms> end HOW", where ms is digits with an optional fraction.
  const size_t space = line.find(' ');
  if (space == 0 || space == std::string::npos) return false;
  for (size_t i = 0; i < space; ++i) {
    if ((line[i] < '0' || line[i] > '9') && line[i] != '.') return false;
  }
  const std::string end = std::string(kRecordEnd) + " ";
  const std::string rest = line.substr(space + 1);
  return rest == end + kRecordEndSnapshot || rest.rfind(end + kRecordEndStatus + " ", 0) == 0;
}

}  // namespace

bool record_complete(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool whole = false;
  if (fstat(fd, &st) == 0 && st.st_size > 1) {
    // The end line is short: the last bytes hold it.
    char tail[128];
    const off_t from = std::max<off_t>(0, st.st_size - static_cast<off_t>(sizeof tail));
    const ssize_t n = pread(fd, tail, sizeof tail, from);
    if (n > 1 && tail[n - 1] == '\n') {
      std::string text(tail, static_cast<size_t>(n - 1));
      const size_t start = text.rfind('\n');
      whole = start != std::string::npos && is_end_line(text.substr(start + 1));
    }
  }
  close(fd);
  return whole;
}

bool read_whole_file(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  std::ostringstream all;
  all << in.rdbuf();
  *text = all.str();
  return true;
}

std::string gzip_if_smaller(const std::string& text, bool* gzipped, int level) {
  *gzipped = false;
  z_stream z{};
  // 15 bits of window, +16: a gzip header and trailer, so that gunzip and
  // zcat read it as it comes off the broker.
  if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    return text;
  }
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  const size_t used = z.total_out;
  deflateEnd(&z);
  if (rc != Z_STREAM_END || used >= text.size()) return text;
  out.resize(used);
  *gzipped = true;
  return out;
}

RecordPacker::RecordPacker() {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

RecordPacker::~RecordPacker() {
  if (worker_.joinable()) worker_.join();
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

namespace {

PackedRecord pack(int fd) {
  PackedRecord r;
  std::string text;
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_size > 0) text.reserve(static_cast<size_t>(st.st_size));
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      r.error = std::string("cannot read the record: ") + strerror(errno);
      break;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  if (r.error.empty()) {
    r.bytes = text.size();
    r.payload = gzip_if_smaller(text, &r.gzipped);
  }
  return r;
}

}  // namespace

void RecordPacker::start(int fd) {
  busy_ = true;
  const auto job = [this, fd] {
    PackedRecord r = pack(fd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      result_ = std::move(r);
      done_ = true;
    }
    if (wake_[1] >= 0) {
      const char byte = 1;
      [[maybe_unused]] const ssize_t n = write(wake_[1], &byte, 1);
    }
  };
  if (wake_[1] < 0) {
    job();  // no way to be woken: done at once, on this thread
    return;
  }
  worker_ = std::thread(job);
}

std::optional<PackedRecord> RecordPacker::take() {
  char drain[16];
  while (wake_[0] >= 0 && read(wake_[0], drain, sizeof drain) > 0) {
  }
  std::optional<PackedRecord> r;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!done_) return r;
    r = std::move(result_);
    result_ = PackedRecord{};
    done_ = false;
  }
  if (worker_.joinable()) worker_.join();  // it has posted its result: it is ending
  busy_ = false;
  return r;
}

std::vector<std::string> kept_records(const std::string& dir) {
  std::vector<std::string> kept;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("exit-", 0) == 0 && name.size() > 4 &&
        name.compare(name.size() - 4, 4, ".rec") == 0) {
      kept.push_back(entry.path().string());
    }
  }
  // The time in the name sorts them.
  std::sort(kept.begin(), kept.end());
  return kept;
}

std::string keep_exit_record(const std::string& path, const std::string& dir, long long unix_ms,
                             int status, int keep, std::string* why) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    *why = "the program left no record";
    return "";
  }
  std::string when = iso_time(unix_ms);  // 2026-12-09T03:05:42.123Z
  std::replace(when.begin(), when.end(), ':', '-');
  const std::string kept = dir + "/exit-" + when + "-status-" + std::to_string(status) + ".rec";
  // The program's own name for the record is the temporary one: the kept
  // name appears only by a rename once the file is private (households'
  // call times; an older program made it 0644) and on the disk, and the
  // directory is synced after it, so a power cut leaves a kept record
  // whole or not there at all.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 || fchmod(fd, 0600) != 0 || fsync(fd) != 0) {
    *why = "cannot make " + path + " private and synced: " + strerror(errno);
    if (fd >= 0) close(fd);
    return "";
  }
  close(fd);
  if (rename(path.c_str(), kept.c_str()) != 0) {
    *why = "cannot move " + path + " to " + kept + ": " + strerror(errno);
    return "";
  }
  const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  std::vector<std::string> all = kept_records(dir);
  for (size_t i = 0; i + static_cast<size_t>(keep) < all.size(); ++i) unlink(all[i].c_str());
  return kept;
}

}  // namespace bridge
