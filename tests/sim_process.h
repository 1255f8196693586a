// zul_stm_sim run as a controlling process runs it: arguments, a pipe to its
// standard input, its standard output read line by line.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace test {

class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args, const std::string& cwd = "");
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  void write(const std::string& text);
  void close_input();
  // Stops reading: the program's next line finds no reader.
  void close_output();
  // The next line, or nothing (false) when the output ended or timeout_s passed.
  bool read_line(std::string* line, double timeout_s = 30);
  // Reads until `line` appears; false if it never did.
  bool wait_for(const std::string& line, double timeout_s = 30);
  // Every line read so far.
  const std::vector<std::string>& seen() const { return seen_; }
  void signal(int signo);
  pid_t pid() const { return pid_; }
  // Exit status (or 128+signal), waiting at most timeout_s; -1 on time-out.
  int wait(double timeout_s = 30);
  std::string stderr_text() const;

 private:
  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  std::string err_path_;
  std::string buffer_;
  std::vector<std::string> seen_;
};

// Runs the simulator to its end; returns its exit status and its output.
int run_sim(const std::vector<std::string>& args, const std::string& input, std::string* out,
            double timeout_s = 60, const std::string& cwd = "");

// A new file in the case's temporary directory with the given text in it
// (empty text: an empty file); its path.
std::string temp_file(const std::string& text = "");
std::string read_file(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);

// The pin writes of a simulator's pins log, in order ("T write GPIO LEVEL",
// T in seconds).
struct PinWrite {
  double t;
  int gpio;
  int level;
};
std::vector<PinWrite> pin_writes(const std::string& log);
// Expects the last nine writes to be the board idle state, in its order.
void expect_board_idle_last(const std::vector<PinWrite>& w);

}  // namespace test
