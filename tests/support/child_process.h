// Runs a program as a child process for black-box tests: pipes (or closed
// descriptors) on its standard streams, stdout collected as bytes and stderr
// as lines by background readers, signals, and waits with deadlines. The
// destructor kills and reaps a child that is still running, so a failing
// test never leaves one behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tavikrec::testing {

enum class StreamMode { Pipe, Closed };

struct ChildOptions {
  StreamMode stdin_mode = StreamMode::Pipe;
  StreamMode stdout_mode = StreamMode::Pipe;
  StreamMode stderr_mode = StreamMode::Pipe;
  // O_NONBLOCK on the child's ends of its stdin and stdout pipes, as some
  // parents hand them over; the flag belongs to each end's open file
  // description, so the test's own ends stay blocking.
  bool nonblocking_stdin_stdout = false;
  // Variables set (or, with an empty optional, removed) on top of this
  // process's environment.
  std::map<std::string, std::optional<std::string>> environment;
};

struct ExitStatus {
  bool exited = false;  // ended by exit(); otherwise by a signal
  int code = -1;        // exit status when exited
  int signal = 0;       // terminating signal otherwise

  bool operator==(const ExitStatus&) const = default;
  static ExitStatus Code(int code) { return {true, code, 0}; }
  static ExitStatus Signal(int signal) { return {false, -1, signal}; }
};

std::string describe(const ExitStatus& status);

// Polls `holds` until it is true; false when `timeout` passes first.
bool wait_until(const std::function<bool()>& holds, std::chrono::milliseconds timeout);

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts `program` with `args` (without the program name). Throws
  // std::runtime_error when the child cannot be started.
  ChildProcess(const std::string& program, const std::vector<std::string>& args, ChildOptions options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes to the child's stdin (a pipe); returns false when it fails.
  bool write_stdin(std::string_view bytes);
  void close_stdin();

  // Stops reading the child's stdout (the pipe fills up) or resumes.
  void pause_stdout(bool paused);
  // Stops reading and closes our end of the stdout pipe: the child's reader
  // is gone.
  void close_stdout();

  void send_signal(int signal);

  // What the child is doing, from /proc: the system call its main thread
  // sleeps in (a SYS_* number), nothing while it runs or once it has ended;
  // and whether it ignores `signal`.
  std::optional<long> sleeping_in() const;
  bool ignores(int signal) const;
  // The CPU time it has used so far (user and system), in seconds; nothing
  // once it has been reaped.
  std::optional<double> cpu_seconds() const;

  std::string stdout_bytes() const;
  // Complete stderr lines so far, without their line feeds.
  std::vector<std::string> stderr_lines() const;
  // Everything read from stderr so far, as is.
  std::string stderr_text() const;

  // Waits until a complete stderr line satisfies `match`; returns it.
  std::optional<std::string> wait_for_line(const std::function<bool(const std::string&)>& match,
                                           std::chrono::milliseconds timeout);
  std::optional<std::string> wait_for_line(std::string_view exact, std::chrono::milliseconds timeout);
  // Waits until at least `count` stdout bytes have arrived.
  bool wait_for_stdout(size_t count, std::chrono::milliseconds timeout);

  // Waits for the child to end and for its output to be read to the end.
  // Returns nothing when the deadline passes first.
  std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
  // wait(), and kills the child with SIGKILL when it has not ended in time.
  ExitStatus wait_or_kill(std::chrono::milliseconds timeout);

 private:
  void read_loop(int fd, bool is_stdout);

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  std::optional<ExitStatus> status_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string stdout_;
  std::string stderr_;
  bool stdout_paused_ = false;
  bool stdout_closing_ = false;
  bool stdout_done_ = false;
  bool stderr_done_ = false;
  std::thread stdout_reader_;
  std::thread stderr_reader_;
};

}  // namespace tavikrec::testing
