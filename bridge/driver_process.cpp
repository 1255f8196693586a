#include "bridge/driver_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bridge/log.h"
#include "out/console_protocol.h"

extern char** environ;

namespace bridge {

namespace {

// The descriptor the program finds its reports pipe on.
constexpr int kChildReportFd = 3;

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return kExitSignalBase + WTERMSIG(raw);
  return -1;
}

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
  }
#else
  (void)pid;
#endif
  return -1;
}

// Reads what is there into `partial`; complete lines go to `lines`. False
// at the end (the descriptor is then closed and set to -1).
bool read_into(int* fd, std::string* partial, std::vector<std::string>* lines) {
  if (*fd < 0) return false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(*fd, buffer, sizeof buffer);
    if (n > 0) {
      partial->append(buffer, static_cast<size_t>(n));
      size_t start = 0, end;
      while ((end = partial->find('\n', start)) != std::string::npos) {
        lines->push_back(partial->substr(start, end - start));
        start = end + 1;
      }
      partial->erase(0, start);
      // A runaway line cannot grow without bound.
      if (partial->size() > 4096) {
        lines->push_back(*partial);
        partial->clear();
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (!partial->empty()) lines->push_back(*partial);
    partial->clear();
    close(*fd);
    *fd = -1;
    return false;
  }
}

// The bridge's environment, with `extra` ("NAME=value") on top and
// ZUL_REPORT_FD naming the report pipe: each of those replaces a variable of
// the same name the bridge has.
std::vector<std::string> child_environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env = extra;
  env.push_back(std::string(kReportFdVariable) + "=" + std::to_string(kChildReportFd));
  const size_t own = env.size();
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    const size_t name_len = eq ? static_cast<size_t>(eq - *e) + 1 : std::strlen(*e);
    bool replaced = false;
    for (size_t i = 0; i < own && !replaced; ++i) {
      replaced = env[i].compare(0, name_len, *e, name_len) == 0;
    }
    if (!replaced) env.push_back(*e);
  }
  return env;
}

}  // namespace

std::string exit_reason(int status) {
  switch (status) {
    case 0:
      return "ended";
    case kExitNoArg:
      return "no intercom argument";
    case kExitVersion:
      return "printed its version and ended";
    case kExitPlatform:
      return "the board could not be opened (see the program's lines on standard error)";
    case kExitTiming:
      return "TEQsettings/timing.conf has a problem (see the program's lines on standard error)";
    case 126:
    case 127:
      return "cannot be executed";
    default:
      break;
  }
  if (status > kExitSignalBase && status < kExitSignalBase + 65) {
    const int signo = status - kExitSignalBase;
    const char* name = strsignal(signo);
    return std::string("killed by signal ") + std::to_string(signo) + " (" + (name ? name : "?") +
           ")";
  }
  return "exit status " + std::to_string(status);
}

DriverProcess::~DriverProcess() {
  if (pid_ > 0) {
    bool killed = false;
    stop(5000, &killed);
  }
  close_pipes();
}

void DriverProcess::close_pipes() {
  for (int* fd : {&in_fd_, &out_fd_, &report_fd_, &pid_fd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  partial_.clear();
  report_partial_.clear();
}

bool DriverProcess::start(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::string& first_input, const std::vector<std::string>& env,
                          std::string* error) {
  int in[2], out[2], report[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + strerror(errno);
    return false;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + strerror(errno);
    close(in[0]);
    close(in[1]);
    return false;
  }
  if (pipe2(report, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + strerror(errno);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    return false;
  }
  // The write end must not already be the child's descriptor 3: a dup2
  // onto itself would leave it close-on-exec.
  if (report[1] == kChildReportFd) {
    const int moved = fcntl(report[1], F_DUPFD_CLOEXEC, kChildReportFd + 1);
    close(report[1]);
    report[1] = moved;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::vector<std::string> env_text = child_environment(env);
  std::vector<char*> envp;
  for (const std::string& e : env_text) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  // posix_spawn rather than fork: the bridge is threaded (the MQTT client's
  // network thread), and a forked child of a threaded process may only call
  // async-signal-safe functions before it execs. posix_spawn does the
  // redirections, the closefrom and the signal settings below inside the C
  // library, runs no pthread_atfork handlers of the linked libraries, copies
  // no address space, and reports a program that cannot be started by its
  // result.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, report[1], kChildReportFd);
  // Nothing else of the bridge's may live on in the program: above all not
  // the broker's socket, which would keep the connection, and hide the last
  // will, after the bridge itself has died.
  posix_spawn_file_actions_addclosefrom_np(&actions, kChildReportFd + 1);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in[0]);
  close(out[1]);
  close(report[1]);
  if (rc != 0) {
    *error = (cwd.empty() ? std::string() : "in " + cwd + ": ") + argv[0] + ": " + strerror(rc);
    close(in[1]);
    close(out[0]);
    close(report[0]);
    return false;
  }
  pid_ = pid;
  in_fd_ = in[1];
  out_fd_ = out[0];
  report_fd_ = report[0];
  pid_fd_ = open_pidfd(pid);
  fcntl(out_fd_, F_SETFL, fcntl(out_fd_, F_GETFL) | O_NONBLOCK);
  fcntl(report_fd_, F_SETFL, fcntl(report_fd_, F_GETFL) | O_NONBLOCK);
  size_t done = 0;
  while (done < first_input.size()) {
    const ssize_t n = write(in_fd_, first_input.data() + done, first_input.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool DriverProcess::read_lines(std::vector<std::string>* lines) {
  return read_into(&out_fd_, &partial_, lines);
}

bool DriverProcess::read_reports(std::vector<std::string>* lines) {
  return read_into(&report_fd_, &report_partial_, lines);
}

bool DriverProcess::write_code(int code) {
  if (in_fd_ < 0) return false;
  const std::string text = std::to_string(code) + "\n";
  ssize_t n;
  do {
    n = write(in_fd_, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(text.size());
}

bool DriverProcess::reap(int* status) {
  if (pid_ <= 0) return false;
  int raw = 0;
  const pid_t r = waitpid(pid_, &raw, WNOHANG);
  if (r != pid_) return false;
  *status = decode_status(raw);
  pid_ = -1;
  close_pipes();
  return true;
}

int DriverProcess::stop(int grace_ms, bool* killed) {
  *killed = false;
  if (pid_ <= 0) return 0;
  // Its input ends too: the program's handlers hand the line back either way.
  kill(pid_, SIGTERM);
  const long long until = steady_ms() + grace_ms;
  int status = 0;
  while (!reap(&status)) {
    const long long left = until - steady_ms();
    if (left <= 0) {
      kill(pid_, SIGKILL);
      *killed = true;
      int raw = 0;
      waitpid(pid_, &raw, 0);
      status = decode_status(raw);
      pid_ = -1;
      close_pipes();
      break;
    }
    // The pidfd wakes this at once; without one, look again in 10 ms.
    struct pollfd exited = {pid_fd_, POLLIN, 0};
    poll(&exited, pid_fd_ >= 0 ? 1 : 0,
         static_cast<int>(pid_fd_ >= 0 ? left : std::min(left, 10LL)));
  }
  return status;
}

}  // namespace bridge
