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
#include "protocol/console.h"

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

// To the bridge's own standard error, whole; given up when it is gone.
void pass_on(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(STDERR_FILENO, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
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

// A descriptor that closes itself: the pipes of a start that fails halfway
// go with it.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read;
  Fd write;
};

bool open_pipe(Pipe* p, std::string* error) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + strerror(errno);
    return false;
  }
  p->read.reset(ends[0]);
  p->write.reset(ends[1]);
  return true;
}

// The program's standard input, output and error, then its report pipe.
struct ChildFds {
  int in, out, err, report;
};

// Starts `argv` on `fds`; posix_spawn's result, 0 when it runs.
//
// posix_spawn rather than fork and exec: a program that cannot be started
// (missing, not executable, its directory gone) comes back as posix_spawn's
// result, said in the bridge's log as such, rather than as a child that
// exits 127 and has to be told apart from the program's own statuses. The
// redirections, the closefrom, the change of directory and the signal
// settings below are done inside the C library between its clone and the
// exec, with no code of ours to get wrong there; no address space is copied
// and no pthread_atfork handlers of the linked libraries run. That holds
// whatever else runs meanwhile: libmosquitto has no thread here (it is
// driven from the service's poll loop, see mqtt_client.h), but the record
// packer's thread may be reading a record when the program is restarted.
int spawn(const std::vector<std::string>& argv, const std::string& cwd,
          const std::vector<std::string>& env, const ChildFds& fds, pid_t* pid) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds.in, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds.out, STDOUT_FILENO);
  // Before descriptor 3 is set: the standard error's pipe may be on it.
  posix_spawn_file_actions_adddup2(&actions, fds.err, STDERR_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds.report, kChildReportFd);
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
  const int rc = posix_spawnp(pid, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return rc;
}

// All of `text`, or as much as the pipe takes before it is closed.
void write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

std::string exit_reason(int status, const std::string& last_error_line) {
  std::string why;
  // Whether the program said why on standard error.
  bool said_why = false;
  switch (status) {
    case 0:
      why = "ended";
      break;
    case kExitNoArg:
      why = "no intercom argument";
      break;
    case kExitVersion:
      why = "printed its version and ended";
      break;
    case kExitPlatform:
      why = "the board could not be opened";
      said_why = true;
      break;
    case kExitTiming:
      why = "TEQsettings/timing.conf has a problem";
      said_why = true;
      break;
    case 126:
    case 127:
      why = "cannot be executed";
      break;
    default:
      if (status > kExitSignalBase && status < kExitSignalBase + 65) {
        const int signo = status - kExitSignalBase;
        const char* name = strsignal(signo);
        why = std::string("killed by signal ") + std::to_string(signo) + " (" +
              (name ? name : "?") + ")";
      } else {
        why = "exit status " + std::to_string(status);
      }
      break;
  }
  if (!last_error_line.empty()) return why + ": " + last_error_line;
  return said_why ? why + " (see the program's lines on standard error)" : why;
}

DriverProcess::~DriverProcess() {
  if (pid_ > 0) {
    bool killed = false;
    stop(5000, &killed);
  }
  close_pipes();
}

void DriverProcess::close_pipes() {
  // What it wrote last on standard error may still be in the pipe.
  read_errors();
  finish_errors();
  for (int* fd : {&in_fd_, &out_fd_, &report_fd_, &err_fd_, &pid_fd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  partial_.clear();
  report_partial_.clear();
}

bool DriverProcess::start(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::string& first_input, const std::vector<std::string>& env,
                          std::string* error) {
  err_last_used_ = 0;
  err_last_cut_ = false;
  Pipe in, out, report, err;
  for (Pipe* p : {&in, &out, &report, &err}) {
    if (!open_pipe(p, error)) return false;
  }
  // The write end must not already be the child's descriptor 3: a dup2
  // onto itself would leave it close-on-exec.
  if (report.write.get() == kChildReportFd) {
    report.write = Fd(fcntl(report.write.get(), F_DUPFD_CLOEXEC, kChildReportFd + 1));
  }
  pid_t pid = -1;
  const int rc = spawn(argv, cwd, child_environment(env),
                       {in.read.get(), out.write.get(), err.write.get(), report.write.get()}, &pid);
  // The child's ends are the child's alone now.
  for (Fd* fd : {&in.read, &out.write, &report.write, &err.write}) fd->reset();
  if (rc != 0) {
    *error = (cwd.empty() ? std::string() : "in " + cwd + ": ") + argv[0] + ": " + strerror(rc);
    return false;
  }
  pid_ = pid;
  in_fd_ = in.write.release();
  out_fd_ = out.read.release();
  report_fd_ = report.read.release();
  err_fd_ = err.read.release();
  pid_fd_ = open_pidfd(pid);
  for (int fd : {out_fd_, report_fd_, err_fd_}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  write_all(in_fd_, first_input);
  return true;
}

bool DriverProcess::read_lines(std::vector<std::string>* lines) {
  return read_into(&out_fd_, &partial_, lines);
}

bool DriverProcess::read_reports(std::vector<std::string>* lines) {
  return read_into(&report_fd_, &report_partial_, lines);
}

void DriverProcess::read_errors() {
  for (int i = 0; i < 16 && err_fd_ >= 0; ++i) {
    const ssize_t n = read(err_fd_, err_pending_ + err_used_, sizeof err_pending_ - err_used_);
    if (n > 0) {
      take_errors(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    finish_errors();
    close(err_fd_);
    err_fd_ = -1;
  }
}

// `count` new bytes at the end of err_pending_: the complete lines go on
// to the bridge's standard error as they came, and the current line's
// first bytes are kept.
void DriverProcess::take_errors(size_t count) {
  for (size_t i = err_used_; i < err_used_ + count; ++i) {
    if (err_pending_[i] == '\n') {
      end_error_line();
    } else if (err_line_used_ < kLineRoom) {
      err_line_[err_line_used_++] = err_pending_[i];
    } else {
      err_line_cut_ = true;
    }
  }
  err_used_ += count;
  size_t end = err_used_;
  while (end > 0 && err_pending_[end - 1] != '\n') --end;
  // A line longer than the buffer goes on in pieces.
  if (end == 0 && err_used_ == sizeof err_pending_) end = err_used_;
  if (end == 0) return;
  pass_on(err_pending_, end);
  err_mid_line_ = err_pending_[end - 1] != '\n';
  err_used_ -= end;
  std::memmove(err_pending_, err_pending_ + end, err_used_);
}

void DriverProcess::end_error_line() {
  bool blank = true;
  for (size_t i = 0; i < err_line_used_ && blank; ++i) {
    blank = err_line_[i] == ' ' || err_line_[i] == '\t' || err_line_[i] == '\r';
  }
  if (!blank) {
    std::memcpy(err_last_, err_line_, err_line_used_);
    err_last_used_ = err_line_used_;
    err_last_cut_ = err_line_cut_;
  }
  err_line_used_ = 0;
  err_line_cut_ = false;
}

// The end of the standard error, or the program reaped without it: what is
// left goes on, ended by a line end so that the bridge's next line of its
// own starts a line of its own in the journal.
void DriverProcess::finish_errors() {
  if (err_used_ > 0) pass_on(err_pending_, err_used_);
  if (err_used_ > 0 || err_mid_line_) pass_on("\n", 1);
  if (err_line_used_ > 0) end_error_line();
  err_used_ = 0;
  err_mid_line_ = false;
}

std::string DriverProcess::last_error_line() const {
  std::string line(err_last_, err_last_used_);
  bool cut = err_last_cut_;
  const std::string prefix = "zul_stm_driver: ";
  if (line.compare(0, prefix.size(), prefix) == 0) line.erase(0, prefix.size());
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.pop_back();
  }
  const std::string ellipsis = "\u2026";
  if (line.size() > kLastErrorBytes) cut = true;
  if (cut) {
    size_t end = std::min(line.size(), kLastErrorBytes - ellipsis.size());
    // Not inside a character: back to the first byte of the one cut.
    while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;
    line.resize(end);
    line += ellipsis;
  }
  return line;
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
    // The pidfd wakes this at once; without one, look again in 10 ms. What
    // it says on standard error meanwhile is read: a full pipe would hold
    // it up on its way out.
    struct pollfd fds[2] = {{pid_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(pid_fd_ >= 0 ? left : std::min(left, 10LL))) > 0 &&
        fds[1].revents != 0) {
      read_errors();
    }
  }
  return status;
}

}  // namespace bridge
