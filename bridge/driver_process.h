// The program (zul_stm_driver, or zul_stm_sim standing in for it) as a child
// process: the room lists and the command codes go to its standard input,
// its standard output is read line by line, its reports of what became of
// each code come on a pipe of their own (its descriptor 3, named to it in
// ZUL_REPORT_FD), and its standard error comes on a pipe too: the bridge
// passes it on to its own, line by line as it came, and keeps the last
// line, which says why a program that ends at once ended (a switched-off
// SPI, a missing right) where an installer looks: BASE/health. A pidfd
// tells the loop when it has ended.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace bridge {

// The most of the program's last line on standard error that is kept.
inline constexpr size_t kLastErrorBytes = 512;

class DriverProcess {
 public:
  DriverProcess() = default;
  ~DriverProcess();
  DriverProcess(const DriverProcess&) = delete;
  DriverProcess& operator=(const DriverProcess&) = delete;

  // Starts argv in `cwd`, with the bridge's environment and `env`
  // ("NAME=value") on top, and ZUL_REPORT_FD naming its report pipe, and
  // writes `first_input` to it. False with the
  // reason when it cannot be started at all.
  bool start(const std::vector<std::string>& argv, const std::string& cwd,
             const std::string& first_input, const std::vector<std::string>& env,
             std::string* error);
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The end of its standard output to poll; -1 when there is none.
  int output_fd() const { return out_fd_; }
  // The end of its report pipe to poll; -1 when there is none.
  int report_fd() const { return report_fd_; }
  // The end of its standard error to poll; -1 when there is none.
  int error_fd() const { return err_fd_; }
  // Readable once it has ended; -1 where the kernel has no pidfd (before
  // Linux 5.3): the caller then looks again now and then.
  int exit_fd() const { return pid_fd_; }
  // Reads what is there; complete lines go to `lines`. False at the end of
  // the output.
  bool read_lines(std::vector<std::string>* lines);
  // The same for the reports.
  bool read_reports(std::vector<std::string>* lines);
  // Passes what is there of its standard error on to the bridge's own and
  // keeps its last line; at most 64 KiB a call, so that a program flooding
  // it cannot hold up the loop.
  void read_errors();
  // Its last non-empty line on standard error, without the
  // "zul_stm_driver: " its lines start with, at most kLastErrorBytes (cut
  // between two characters, and then ending in "…"); empty when it wrote
  // none. It stays after the program has been reaped, until the next start.
  std::string last_error_line() const;
  // One code and a line end; false when the program no longer reads.
  bool write_code(int code);
  // Reaps the program if it has ended: true with its status (128 + N after
  // signal N).
  bool reap(int* status);
  // SIGTERM, then up to `grace_ms` for it to end, then SIGKILL. Returns the
  // status, and whether it had to be killed.
  int stop(int grace_ms, bool* killed);

 private:
  void close_pipes();
  void take_errors(size_t count);
  void end_error_line();
  void finish_errors();

  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int report_fd_ = -1;
  int pid_fd_ = -1;
  int err_fd_ = -1;
  std::string partial_;
  std::string report_partial_;
  // The standard error's bytes read and not yet passed on: the start of a
  // line whose end has not come. A longer line goes on in pieces.
  char err_pending_[4096];
  size_t err_used_ = 0;
  bool err_mid_line_ = false;  // a piece of the current line has gone on
  // The first bytes of the current line, and of the last non-empty one; the
  // room for the prefix keeps kLastErrorBytes for what follows it. Fixed
  // arrays: no allocation however many lines come.
  static constexpr size_t kLineRoom = kLastErrorBytes + 32;
  char err_line_[kLineRoom];
  size_t err_line_used_ = 0;
  bool err_line_cut_ = false;
  char err_last_[kLineRoom];
  size_t err_last_used_ = 0;
  bool err_last_cut_ = false;
};

// What an exit status says, for the log, the driver_exit event and
// BASE/health; with the program's last line on standard error, when it
// wrote one, which says why in its own words.
std::string exit_reason(int status, const std::string& last_error_line = "");

}  // namespace bridge
