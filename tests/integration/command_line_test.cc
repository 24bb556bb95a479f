// The command line, help, argument errors and the standard descriptors,
// checked against the built binary.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "support/child_process.h"

namespace tavikrec {
namespace {

using namespace std::chrono_literals;
using testing::ChildOptions;
using testing::ChildProcess;
using testing::ExitStatus;
using testing::StreamMode;

const std::string kUsage =
    "tavikrec: usage: tavikrec [--mic] [--system] [--mic-device ID] | --devices [--mic-device ID] | --list-inputs";
const std::string kNoMode = kUsage + "  (at least one channel)";

struct Outcome {
  ExitStatus status;
  std::string stdout_bytes;
  std::string stderr_text;
};

// Runs the binary (or `program`, a shell that runs it) with a server address
// that leads nowhere, so that a mode which wrongly starts talking to a sound
// server fails visibly instead of reaching the desktop's server.
Outcome run(const std::vector<std::string>& args, ChildOptions options = {},
            const std::string& program = TAVIKREC_BINARY) {
  options.environment["PULSE_SERVER"] = "unix:/nonexistent/tavikrec-test-socket";
  ChildProcess child(program, args, options);
  child.close_stdin();
  ExitStatus status = child.wait_or_kill(20s);
  return {status, child.stdout_bytes(), child.stderr_text()};
}

void expect_rejected(const std::vector<std::string>& args, const std::string& error) {
  Outcome o = run(args);
  EXPECT_EQ(o.status, ExitStatus::Code(2));
  EXPECT_EQ(o.stderr_text, "tavikrec: " + error + "\n" + kUsage + "\n");
  EXPECT_EQ(o.stdout_bytes, "");
}

TEST(CommandLine, HelpPrintsUsageOnly) {
  for (auto args : std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"-h", "--mic"}, {"--mic", "--help", "-h"}}) {
    Outcome o = run(args);
    EXPECT_EQ(o.status, ExitStatus::Code(0));
    EXPECT_EQ(o.stderr_text, kUsage + "\n");
    EXPECT_EQ(o.stdout_bytes, "");
  }
}

TEST(CommandLine, NoModeAskedFor) {
  for (auto args : std::vector<std::vector<std::string>>{{}, {"--mic-device", "X"}, {"--mic-device", "default"}}) {
    Outcome o = run(args);
    EXPECT_EQ(o.status, ExitStatus::Code(2));
    EXPECT_EQ(o.stderr_text, kNoMode + "\n");
    EXPECT_EQ(o.stdout_bytes, "");
  }
}

TEST(CommandLine, ArgumentErrors) {
  expect_rejected({"--mic", "--mic-device"}, "--mic-device needs a device id or name");
  expect_rejected({"--mic-device", "--mic"}, "--mic-device needs a device id or name, not the flag --mic");
  expect_rejected({"--mic-device", "--", "--mic"}, "--mic-device needs a device id or name, not the flag --");
  expect_rejected({"--mic", "--bogus", "-h"}, "unknown argument --bogus");
  expect_rejected({"--mic=foo"}, "unknown argument --mic=foo");
  expect_rejected({"--mic", ""}, "unknown argument ");
  expect_rejected({"--", "--mic"}, "unknown argument --");
  expect_rejected({"-mh"}, "unknown argument -mh");
}

// Echo cancellation works on the microphone channel: asked for without it,
// it is a usage error, told before any server is reached.
TEST(CommandLine, CancelEchoWithoutTheMicrophone) {
  for (auto args : std::vector<std::vector<std::string>>{{"--cancel-echo"}, {"--system", "--cancel-echo"}}) {
    Outcome o = run(args);
    EXPECT_EQ(o.status, ExitStatus::Code(2));
    const std::string message = o.stderr_text.substr(0, o.stderr_text.find('\n') + 1);
    EXPECT_TRUE(message.starts_with("tavikrec: --cancel-echo needs --mic")) << o.stderr_text;
    EXPECT_EQ(o.stderr_text.substr(message.size()), kUsage + "\n");
    EXPECT_EQ(o.stdout_bytes, "");
  }
}

TEST(CommandLine, QuotedArgumentsStayOneLine) {
  expect_rejected({"--x\ntavikrec: ready"}, "unknown argument --x\\ntavikrec: ready");
  expect_rejected({"a\rb\x1b\x7f"}, "unknown argument a\\rb\\u001b\\u007f");
  expect_rejected({"--mic\xff"}, "unknown argument --mic\xef\xbf\xbd");
}

TEST(CommandLine, ListInputsWinsOverOtherModes) {
  // The input listing is the mode that runs: it tries the (unreachable)
  // server and fails with its FATAL line, exit status 1.
  Outcome o = run({"--mic", "--list-inputs", "--devices", "--mic-device", "X"});
  EXPECT_EQ(o.status, ExitStatus::Code(1));
  EXPECT_TRUE(o.stderr_text.starts_with("tavikrec: FATAL: ")) << o.stderr_text;
  EXPECT_EQ(o.stdout_bytes, "");
}

TEST(CommandLine, ClosedStandardDescriptors) {
  ChildOptions no_stderr;
  no_stderr.stderr_mode = StreamMode::Closed;
  EXPECT_EQ(run({"--bogus"}, no_stderr).status, ExitStatus::Code(2));
  EXPECT_EQ(run({"-h"}, no_stderr).status, ExitStatus::Code(0));

  ChildOptions no_stdout;
  no_stdout.stdout_mode = StreamMode::Closed;
  Outcome o = run({"-h"}, no_stdout);
  EXPECT_EQ(o.status, ExitStatus::Code(0));
  EXPECT_EQ(o.stderr_text, kUsage + "\n");

  ChildOptions no_stdin;
  no_stdin.stdin_mode = StreamMode::Closed;
  o = run({}, no_stdin);
  EXPECT_EQ(o.status, ExitStatus::Code(2));
  EXPECT_EQ(o.stderr_text, kNoMode + "\n");
}

TEST(CommandLine, StdoutOrStderrBrokenIsAnInternalError) {
  // The version is read like a listing: one that cannot be written fails as
  // a listing's does, never with status 0 and nothing on stdout.
  Outcome full = run({"-c", "exec \"$0\" --version >/dev/full", TAVIKREC_BINARY}, {}, "/bin/sh");
  EXPECT_EQ(full.status, ExitStatus::Code(101));
  EXPECT_EQ(full.stderr_text,
            "tavikrec internal error: could not write the version to standard output (No space left on device)\n");

  // A parent that closed its end of the stderr pipe: the usage line cannot be
  // written, which ends the main thread with status 101, not with SIGPIPE.
  ChildProcess child(TAVIKREC_BINARY, {"--bogus"}, {});
  child.close_stdin();
  EXPECT_EQ(child.wait_or_kill(20s).code, 2);  // stderr still open here

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 2);
    ::execl(TAVIKREC_BINARY, TAVIKREC_BINARY, "--bogus", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  int raw = 0;
  ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
  ASSERT_TRUE(WIFEXITED(raw)) << "ended by signal " << WTERMSIG(raw);
  EXPECT_EQ(WEXITSTATUS(raw), 101);
}

}  // namespace
}  // namespace tavikrec
