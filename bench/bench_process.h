// The benchmarks' own processes: a clock in microseconds, a program started
// with its output in a log, and its stop. Shared by the bridge benchmarks.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

inline long long now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// argv[0] is a path; env holds NAME=VALUE entries added for the child. The
// child inherits nothing of the benchmark's own descriptors (its clients'
// sockets, other logs), so a kill of the benchmark's peer is seen as one.
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& log,
                   const std::vector<std::string>& env = {}) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    for (int other = 3; other < 1024; ++other) close(other);
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

inline void stop(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace bench
