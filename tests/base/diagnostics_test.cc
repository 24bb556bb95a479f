#include "base/diagnostics.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>

#include "base/internal_error.h"

namespace tavikrec {
namespace {

TEST(EscapeControlCharacters, KeepsOrdinaryTextByteForByte) {
  std::string text = "could not open mic capture from x (y) \xe2\x80\x94 check \\ \"sound\" settings \xc3\xa9";
  EXPECT_EQ(escape_control_characters(text), text);
}

TEST(EscapeControlCharacters, EscapesEveryControlCharacter) {
  EXPECT_EQ(escape_control_characters("a\nb"), "a\\nb");
  EXPECT_EQ(escape_control_characters("\r\t"), "\\r\\t");
  EXPECT_EQ(escape_control_characters(std::string("\0\x1b\x1f\x7f", 4)), "\\u0000\\u001b\\u001f\\u007f");
  // A forged status line stays inside the one line it was inserted into.
  EXPECT_EQ(escape_control_characters("x\ntavikrec: ready"), "x\\ntavikrec: ready");
}

// Captures what print_line writes to file descriptor 2.
class StderrCapture {
 public:
  StderrCapture() {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    read_ = fds[0];
    saved_ = ::dup(2);
    ::dup2(fds[1], 2);
    ::close(fds[1]);
  }
  ~StderrCapture() { restore(); }
  std::string finish() {
    restore();
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(read_, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    ::close(read_);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }
  int read_ = -1;
  int saved_ = -1;
};

TEST(PrintLine, WritesPrefixedEscapedLine) {
  StderrCapture capture;
  print_line("ready");
  print_line(fatal_message("bad\rname"));
  EXPECT_EQ(capture.finish(), "tavikrec: ready\ntavikrec: FATAL: bad\\rname\n");
}

TEST(PrintLine, FailedWriteIsAnInternalError) {
  int saved = ::dup(2);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);  // nobody reads: the write fails with EPIPE (SIGPIPE ignored below)
  ::dup2(fds[1], 2);
  ::close(fds[1]);
  auto old = ::signal(SIGPIPE, SIG_IGN);
  EXPECT_THROW(print_line("lost"), InternalError);
  ::signal(SIGPIPE, old);
  ::dup2(saved, 2);
  ::close(saved);
}

}  // namespace
}  // namespace tavikrec
