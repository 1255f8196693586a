#include "bridge/driver_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/log.h"

extern char** environ;

namespace bridge {

namespace {

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

std::string exit_reason(int status) {
  switch (status) {
    case 0:
      return "ended";
    case 1:
      return "no intercom argument";
    case 2:
      return "printed its version and ended";
    case 3:
      return "no Raspberry Pi, or no rights to its peripherals (run as root)";
    case 4:
      return "TEQsettings/timing.conf has a problem (see the program's lines on standard error)";
    case 126:
    case 127:
      return "cannot be executed";
    default:
      break;
  }
  if (status > 128 && status < 128 + 65) {
    const int signo = status - 128;
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
  if (in_fd_ >= 0) close(in_fd_);
  if (out_fd_ >= 0) close(out_fd_);
  in_fd_ = out_fd_ = -1;
  partial_.clear();
}

bool DriverProcess::start(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::string& first_input, const std::vector<std::string>& env,
                          std::string* error) {
  int in[2], out[2];
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
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // posix_spawn rather than fork: no fork handlers of the libraries run
  // (OpenSSL's hang a forked child under qemu-user), and a program that
  // cannot be started is reported by its result.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  // Nothing of the bridge's may live on in the program: above all not the
  // broker's socket, which would keep the connection, and hide the last
  // will, after the bridge itself has died.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
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
  // The bridge's environment, where `env` sets a name it has too.
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = strchr(*e, '=');
    const size_t name_len = eq ? static_cast<size_t>(eq - *e) + 1 : strlen(*e);
    bool replaced = false;
    for (const std::string& mine : env)
      replaced = replaced || mine.compare(0, name_len, *e, name_len) == 0;
    if (!replaced) envp.push_back(*e);
  }
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    *error = (cwd.empty() ? std::string() : "in " + cwd + ": ") + argv[0] + ": " + strerror(rc);
    close(in[1]);
    close(out[0]);
    return false;
  }
  pid_ = pid;
  in_fd_ = in[1];
  out_fd_ = out[0];
  fcntl(out_fd_, F_SETFL, fcntl(out_fd_, F_GETFL) | O_NONBLOCK);
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
  if (out_fd_ < 0) return false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(out_fd_, buffer, sizeof buffer);
    if (n > 0) {
      partial_.append(buffer, static_cast<size_t>(n));
      size_t start = 0, end;
      while ((end = partial_.find('\n', start)) != std::string::npos) {
        lines->push_back(partial_.substr(start, end - start));
        start = end + 1;
      }
      partial_.erase(0, start);
      // A runaway line cannot grow without bound.
      if (partial_.size() > 4096) {
        lines->push_back(partial_);
        partial_.clear();
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (!partial_.empty()) lines->push_back(partial_);
    partial_.clear();
    close(out_fd_);
    out_fd_ = -1;
    return false;
  }
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
    if (steady_ms() >= until) {
      kill(pid_, SIGKILL);
      *killed = true;
      int raw = 0;
      waitpid(pid_, &raw, 0);
      status = decode_status(raw);
      pid_ = -1;
      close_pipes();
      break;
    }
    poll(nullptr, 0, 10);
  }
  return status;
}

}  // namespace bridge
