#include "support/playback.h"

#include <signal.h>

#include <csignal>
#include <string_view>

namespace tavikrec::testing {
namespace {

ChildOptions pacat_options(std::map<std::string, std::optional<std::string>> environment) {
  ChildOptions options;
  options.stdout_mode = StreamMode::Closed;
  options.environment = std::move(environment);
  return options;
}

std::vector<std::string> pacat_arguments(const std::string& sink) {
  // A short target latency so that the sound starts and stops promptly; the
  // default buffers two seconds ahead.
  return {"--playback",    "--device=" + sink, "--format=s16le",   "--rate=16000",
          "--channels=1", "--raw",            "--latency-msec=50", "--client-name=tavikrec test playback"};
}

}  // namespace

Playback::Playback(const std::string& pacat, const std::string& sink, std::vector<std::int16_t> samples, bool loop,
                   std::map<std::string, std::optional<std::string>> environment)
    : samples_(std::move(samples)),
      loop_(loop),
      child_(pacat, pacat_arguments(sink), pacat_options(std::move(environment))),
      feeder_([this] { feed(); }) {}

Playback::~Playback() {
  // Killing pacat also releases a feeder blocked in a write (EPIPE).
  child_.send_signal(SIGKILL);
  feeder_.join();
}

void Playback::feed() {
  // A write to a pacat that has gone would raise SIGPIPE and end the whole
  // test process; blocked here, it stays pending on this thread (discarded
  // when the thread ends) and the write fails with EPIPE instead.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

  std::string_view bytes(reinterpret_cast<const char*>(samples_.data()), samples_.size() * sizeof(std::int16_t));
  do {
    if (!child_.write_stdin(bytes)) return;
  } while (loop_ && !bytes.empty());
  child_.close_stdin();
}

bool Playback::wait_finished(std::chrono::milliseconds timeout) {
  auto status = child_.wait(timeout);
  return status && *status == ExitStatus::Code(0);
}

}  // namespace tavikrec::testing
