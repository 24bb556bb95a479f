// Test helpers around a pipe: a background thread collecting everything
// written to it, and a temporary redirection of standard error.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace tavikrec {

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    close_read();
    close_write();
  }
  void close_read() { close_fd(fds[0]); }
  void close_write() { close_fd(fds[1]); }
  int read_fd() const { return fds[0]; }
  int write_fd() const { return fds[1]; }

  static void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fds[2] = {-1, -1};
};

// Reads a descriptor to its end on a thread of its own.
class DrainingReader {
 public:
  explicit DrainingReader(int fd)
      : thread_([this, fd] {
          std::byte buffer[65536];
          ssize_t n;
          while ((n = ::read(fd, buffer, sizeof buffer)) > 0) bytes_.insert(bytes_.end(), buffer, buffer + n);
        }) {}
  // Waits for the end of the input.
  std::vector<std::byte> take() {
    thread_.join();
    return std::move(bytes_);
  }

 private:
  std::vector<std::byte> bytes_;
  std::thread thread_;
};

// While alive, standard error goes into a pipe; text() restores it and
// returns what was written.
class CapturedStderr {
 public:
  CapturedStderr() : saved_(::dup(STDERR_FILENO)) { ::dup2(pipe_.write_fd(), STDERR_FILENO); pipe_.close_write(); }
  ~CapturedStderr() { restore(); }
  // Fills the pipe, so that the next write to standard error blocks until
  // text() reads it; returns the number of filler bytes text() will hold first.
  std::size_t fill() {
    std::string filler(static_cast<std::size_t>(::fcntl(STDERR_FILENO, F_GETPIPE_SZ)), '.');
    EXPECT_EQ(::write(STDERR_FILENO, filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
    return filler.size();
  }
  std::string text() {
    restore();
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipe_.read_fd(), buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    Pipe::close_fd(saved_);
  }
  Pipe pipe_;
  int saved_;
};

}  // namespace tavikrec
