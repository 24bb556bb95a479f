#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tavikrec::testing {
namespace {

struct Pipe {
  int read = -1;
  int write = -1;
};

Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
  return {fds[0], fds[1]};
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::vector<std::string> build_environment(const ChildOptions& options) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    size_t eq = entry.find('=');
    if (eq == std::string_view::npos) continue;
    merged[std::string(entry.substr(0, eq))] = std::string(entry.substr(eq + 1));
  }
  for (const auto& [name, value] : options.environment) {
    if (value) {
      merged[name] = *value;
    } else {
      merged.erase(name);
    }
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : merged) out.push_back(name + "=" + value);
  return out;
}

}  // namespace

std::string describe(const ExitStatus& status) {
  if (status.exited) return "exit status " + std::to_string(status.code);
  return std::string("signal ") + ::strsignal(status.signal);
}

bool wait_until(const std::function<bool()>& holds, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!holds()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args, ChildOptions options) {
  Pipe in, out, err;
  if (options.stdin_mode == StreamMode::Pipe) in = make_pipe();
  if (options.stdout_mode == StreamMode::Pipe) out = make_pipe();
  if (options.stderr_mode == StreamMode::Pipe) err = make_pipe();
  if (options.nonblocking_stdin_stdout) {
    for (int child_end : {in.read, out.write}) {
      if (child_end >= 0) ::fcntl(child_end, F_SETFL, ::fcntl(child_end, F_GETFL) | O_NONBLOCK);
    }
  }

  // Everything the child needs is prepared before fork: between fork and
  // exec only async-signal-safe calls are made.
  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings = build_environment(options);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid_ == 0) {
    // Child: wire up or close the three descriptors; every other descriptor
    // of the test process is close-on-exec.
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    if (in.read >= 0) ::dup2(in.read, 0);
    if (out.write >= 0) ::dup2(out.write, 1);
    if (err.write >= 0) ::dup2(err.write, 2);
    if (in.read < 0) ::close(0);
    if (out.write < 0) ::close(1);
    if (err.write < 0) ::close(2);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }

  close_fd(in.read);
  close_fd(out.write);
  close_fd(err.write);
  stdin_fd_ = in.write;
  stdout_fd_ = out.read;
  if (stdout_fd_ >= 0) {
    stdout_reader_ = std::thread([this] { read_loop(stdout_fd_, true); });
  } else {
    stdout_done_ = true;
  }
  if (err.read >= 0) {
    stderr_reader_ = std::thread([this, fd = err.read] {
      read_loop(fd, false);
      ::close(fd);
    });
  } else {
    stderr_done_ = true;
  }
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int raw;
    ::waitpid(pid_, &raw, 0);
  }
  close_stdin();
  close_stdout();
  if (stderr_reader_.joinable()) stderr_reader_.join();
}

void ChildProcess::read_loop(int fd, bool is_stdout) {
  char buffer[65536];
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (is_stdout) {
        changed_.wait(lock, [&] { return !stdout_paused_ || stdout_closing_; });
        if (stdout_closing_) break;
      }
    }
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, 20);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard lock(mutex_);
    (is_stdout ? stdout_ : stderr_).append(buffer, static_cast<size_t>(n));
    changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  (is_stdout ? stdout_done_ : stderr_done_) = true;
  changed_.notify_all();
}

bool ChildProcess::write_stdin(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(stdin_fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void ChildProcess::close_stdin() { close_fd(stdin_fd_); }

void ChildProcess::pause_stdout(bool paused) {
  std::lock_guard lock(mutex_);
  stdout_paused_ = paused;
  changed_.notify_all();
}

void ChildProcess::close_stdout() {
  {
    std::lock_guard lock(mutex_);
    stdout_closing_ = true;
    changed_.notify_all();
  }
  if (stdout_reader_.joinable()) stdout_reader_.join();
  close_fd(stdout_fd_);
  std::lock_guard lock(mutex_);
  stdout_done_ = true;
  changed_.notify_all();
}

void ChildProcess::send_signal(int signal) {
  if (!status_) ::kill(pid_, signal);
}

std::optional<long> ChildProcess::sleeping_in() const {
  // "running", or the call's number followed by its arguments.
  std::ifstream in("/proc/" + std::to_string(pid_) + "/syscall");
  long number = -1;
  if (!(in >> number) || number < 0) return std::nullopt;
  return number;
}

bool ChildProcess::ignores(int signal) const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("SigIgn:")) return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
  }
  return false;
}

std::optional<double> ChildProcess::cpu_seconds() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // "pid (comm) state" and ten more fields, then utime and stime in clock
  // ticks; comm may hold blanks and parentheses.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  std::string skipped;
  for (int i = 0; i < 11; ++i) fields >> skipped;
  unsigned long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) return std::nullopt;
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string ChildProcess::stdout_bytes() const {
  std::lock_guard lock(mutex_);
  return stdout_;
}

std::string ChildProcess::stderr_text() const {
  std::lock_guard lock(mutex_);
  return stderr_;
}

std::vector<std::string> ChildProcess::stderr_lines() const {
  std::string text = stderr_text();
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  return lines;
}

std::optional<std::string> ChildProcess::wait_for_line(const std::function<bool(const std::string&)>& match,
                                                       std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::unique_lock lock(mutex_);
  for (;;) {
    lock.unlock();
    for (const auto& line : stderr_lines()) {
      if (match(line)) return line;
    }
    lock.lock();
    if (stderr_done_) return std::nullopt;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      lock.unlock();
      for (const auto& line : stderr_lines()) {
        if (match(line)) return line;
      }
      return std::nullopt;
    }
  }
}

std::optional<std::string> ChildProcess::wait_for_line(std::string_view exact, std::chrono::milliseconds timeout) {
  return wait_for_line([exact](const std::string& line) { return line == exact; }, timeout);
}

bool ChildProcess::wait_for_stdout(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return stdout_.size() >= count || stdout_done_; }) &&
         stdout_.size() >= count;
}

std::optional<ExitStatus> ChildProcess::wait(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!status_) {
    int raw;
    pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? ExitStatus::Code(WEXITSTATUS(raw)) : ExitStatus::Signal(WTERMSIG(raw));
      break;
    }
    if (r < 0 && errno != EINTR) throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The child is gone; its pipes reach their end unless a grandchild holds
  // them, which the deadline covers.
  std::unique_lock lock(mutex_);
  if (!changed_.wait_until(lock, deadline + std::chrono::seconds(2), [&] { return stdout_done_ && stderr_done_; })) {
    return std::nullopt;
  }
  return status_;
}

ExitStatus ChildProcess::wait_or_kill(std::chrono::milliseconds timeout) {
  if (auto status = wait(timeout)) return *status;
  send_signal(SIGKILL);
  if (auto status = wait(std::chrono::seconds(5))) return *status;
  return status_.value_or(ExitStatus::Signal(SIGKILL));
}

}  // namespace tavikrec::testing
