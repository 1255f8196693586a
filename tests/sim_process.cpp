#include "tests/sim_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support.h"

#ifndef ZUL_SIM_LAUNCHER
#define ZUL_SIM_LAUNCHER ""
#endif

namespace test {
namespace {
double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& args, const std::string& cwd) {
  err_path_ = temp_file();
  int in[2];
  int out[2];
  if (pipe(in) != 0 || pipe(out) != 0) {
    abort();
  }
  std::vector<std::string> words;
  std::istringstream launcher(ZUL_SIM_LAUNCHER);
  for (std::string w; launcher >> w;) {
    words.push_back(w);
  }
  words.push_back(ZUL_SIM_PATH);
  words.insert(words.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, STDERR_FILENO);
    close(in[1]);
    close(out[0]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
      _exit(126);
    }
    std::vector<char*> argv;
    for (auto& w : words) {
      argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  in_fd_ = in[1];
  out_fd_ = out[0];
  ::signal(SIGPIPE, SIG_IGN);
}

SimProcess::~SimProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (in_fd_ >= 0) {
    close(in_fd_);
  }
  if (out_fd_ >= 0) {
    close(out_fd_);
  }
  unlink(err_path_.c_str());
}

void SimProcess::write(const std::string& text) {
  if (in_fd_ >= 0 && ::write(in_fd_, text.data(), text.size()) < 0) {
    close_input();
  }
}

void SimProcess::close_input() {
  if (in_fd_ >= 0) {
    close(in_fd_);
    in_fd_ = -1;
  }
}

void SimProcess::close_output() {
  if (out_fd_ >= 0) {
    close(out_fd_);
    out_fd_ = -1;
  }
}

bool SimProcess::read_line(std::string* line, double timeout_s) {
  const auto t0 = std::chrono::steady_clock::now();
  for (;;) {
    const size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      *line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      seen_.push_back(*line);
      return true;
    }
    const double left = timeout_s - seconds_since(t0);
    if (out_fd_ < 0 || left <= 0) {
      return false;
    }
    pollfd p{out_fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) {
      continue;
    }
    char buf[4096];
    const ssize_t n = read(out_fd_, buf, sizeof buf);
    if (n <= 0) {
      close(out_fd_);
      out_fd_ = -1;
      continue;
    }
    buffer_.append(buf, static_cast<size_t>(n));
  }
}

bool SimProcess::wait_for(const std::string& wanted, double timeout_s) {
  const auto t0 = std::chrono::steady_clock::now();
  std::string line;
  while (read_line(&line, timeout_s - seconds_since(t0))) {
    if (line == wanted) {
      return true;
    }
  }
  return false;
}

void SimProcess::signal(int signo) { kill(pid_, signo); }

int SimProcess::wait(double timeout_s) {
  const auto t0 = std::chrono::steady_clock::now();
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
      }
      return 128 + WTERMSIG(status);
    }
    if (seconds_since(t0) > timeout_s) {
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string SimProcess::stderr_text() const { return read_file(err_path_); }

int run_sim(const std::vector<std::string>& args, const std::string& input, std::string* out,
            double timeout_s, const std::string& cwd) {
  SimProcess p(args, cwd);
  p.write(input);
  p.close_input();
  std::string line;
  std::string all;
  while (p.read_line(&line, timeout_s)) {
    all += line + "\n";
  }
  if (out != nullptr) {
    *out = all;
  }
  return p.wait(timeout_s);
}

std::string temp_file(const std::string& text) {
  std::string path = temp_path("file_XXXXXX");
  const int fd = mkstemp(path.data());
  if (fd < 0) {
    abort();
  }
  if (!text.empty() && ::write(fd, text.data(), text.size()) < 0) {
    abort();
  }
  close(fd);
  return path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    out.push_back(line);
  }
  return out;
}

std::vector<PinWrite> pin_writes(const std::string& log) {
  std::vector<PinWrite> out;
  for (const std::string& line : split_lines(log)) {
    std::istringstream in(line);
    PinWrite w{};
    std::string call;
    in >> w.t >> call >> w.gpio >> w.level;
    if (call == "write") {
      out.push_back(w);
    }
  }
  return out;
}

void expect_board_idle_last(const std::vector<PinWrite>& w) {
  ASSERT_GE(w.size(), 9u);
  const int expected[9][2] = {{24, 0}, {23, 1}, {22, 1}, {14, 1}, {6, 0},
                              {25, 0}, {16, 0}, {26, 0}, {2, 1}};
  for (size_t i = 0; i < 9; ++i) {
    const PinWrite& x = w[w.size() - 9 + i];
    EXPECT_EQ(x.gpio, expected[i][0]) << i;
    EXPECT_EQ(x.level, expected[i][1]) << i;
  }
}

}  // namespace test
