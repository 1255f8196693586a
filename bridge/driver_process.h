// The program (zul_stm_driver, or zul_stm_sim standing in for it) as a child
// process: the room lists and the command codes go to its standard input,
// its standard output is read line by line, its reports of what became of
// each code come on a pipe of their own (its descriptor 3, named to it in
// ZUL_REPORT_FD), and its standard error is the bridge's own (the journal
// keeps both). A pidfd tells the loop when it has ended.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace bridge {

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
  // Readable once it has ended; -1 where the kernel has no pidfd (before
  // Linux 5.3): the caller then looks again now and then.
  int exit_fd() const { return pid_fd_; }
  // Reads what is there; complete lines go to `lines`. False at the end of
  // the output.
  bool read_lines(std::vector<std::string>* lines);
  // The same for the reports.
  bool read_reports(std::vector<std::string>* lines);
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

  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int report_fd_ = -1;
  int pid_fd_ = -1;
  std::string partial_;
  std::string report_partial_;
};

// What an exit status says, for the log and the driver_exit event.
std::string exit_reason(int status);

}  // namespace bridge
