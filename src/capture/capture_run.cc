#include "capture/capture_run.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/diagnostics.h"
#include "base/doorbell.h"
#include "base/fatal_report.h"
#include "base/internal_error.h"
#include "capture/capture_thread.h"
#include "capture/echo_reference.h"
#include "capture/echo_stage.h"
#include "capture/mainloop_waker.h"
#include "capture/start_channel.h"
#include "frame/frame_queue.h"
#include "frame/frame_sink.h"
#include "frame/frame_writer.h"
#include "frame/framer.h"
#include "frame/silence_filler.h"

namespace tavikrec {
namespace {

// How long the run waits for each source's start signal; whole seconds, as
// the message names it.
constexpr Ticks kStartSignalLimit = 15 * kTicksPerSecond;
// How long a failed capture thread's own report gets to land first.
constexpr Ticks kLateReportGrace = kTicksPerSecond;

// Reads standard input to its end and discards it. A read error ends it the
// same way as the end of input; so does a descriptor that is not open. A
// parent may hand it over non-blocking: nothing to read yet is no end, so
// that waits until there is.
void read_stdin_to_end() {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd readable{STDIN_FILENO, POLLIN, 0};
      if (::poll(&readable, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return;
  }
}

template <class Body>
std::thread start_worker(Body body) {
  return std::thread([body = std::move(body)]() mutable { run_worker(body); });
}

// Threads and shared objects of one run, as the supervisor holds them.
struct Run {
  std::thread writer;
  std::shared_ptr<FrameSink> sink;
  std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
  std::vector<PaddedChannel> channels;  // source-list order, then the echo reference's
  std::vector<std::thread> captures;  // source-list order
  std::vector<std::shared_ptr<MainloopWaker>> wakers;
  std::thread filler;
  std::shared_ptr<Doorbell> silence_bell;

  // Threads still joinable here are left running: after a failed start, or
  // when an internal error leaves the supervisor, the process ends at once
  // and nothing waits for them.
  ~Run() {
    if (writer.joinable()) writer.detach();
    for (auto& capture : captures) {
      if (capture.joinable()) capture.detach();
    }
    if (filler.joinable()) filler.detach();
  }
};

// After a failed start nothing is waited for; the process ends now, without
// static destructors running under the threads that are still alive.
[[noreturn]] void end_failed_start() { end_process_now(1); }

// Where the frames of a channel that only feeds the echo canceller's
// reference go: nowhere.
class DiscardingWriter final : public ByteWriter {
 public:
  void write(std::span<const std::byte>) override {}
  std::expected<void, ErrorText> flush() override { return {}; }
};

}  // namespace

int run_capture(const SourceList& sources, const std::optional<std::string>& mic_device, bool cancel_echo) {
  Run run;
  const Ticks epoch = monotonic_ticks();
  auto [frame_sender, frame_receiver] = make_frame_queue();
  run.writer = start_worker([receiver = std::move(frame_receiver)]() mutable { run_frame_writer(std::move(receiver)); });
  run.sink = std::make_shared<FrameSink>(epoch, std::move(frame_sender));
  auto [start_sender, start_receiver] = make_start_channel();

  // Without the system channel, the echo canceller's reference is recorded
  // all the same, by a thread whose frames go nowhere.
  SourceList threads = sources;
  const bool reference_only = cancel_echo && std::ranges::find(sources, SourceKind::System) == sources.end();
  if (reference_only) threads.push_back(SourceKind::System);
  auto reference = cancel_echo ? std::make_shared<EchoReference>(epoch, EchoStage::kLookAhead) : nullptr;

  run.silence_bell = std::make_shared<Doorbell>();
  for (SourceKind kind : threads) {
    const bool only_reference = reference_only && kind == SourceKind::System;
    auto anchor = kind == SourceKind::System ? std::optional<Ticks>(epoch) : std::nullopt;
    SharedFramer framer = make_shared_framer(channel_tag(kind), anchor);
    if (reference && kind == SourceKind::System) framer->lock()->set_tap(reference);
    auto sink = only_reference ? std::make_shared<FrameSink>(epoch, std::make_unique<DiscardingWriter>()) : run.sink;
    run.channels.push_back({framer, sink});
    run.wakers.push_back(std::make_shared<MainloopWaker>());
    CaptureRequest request{kind,   mic_device,   framer,       sink, run.stop, start_sender, run.wakers.back(),
                           run.silence_bell, reference, only_reference};
    run.captures.push_back(start_worker([request = std::move(request)]() mutable { capture_thread(std::move(request)); }));
  }
  start_sender.reset();
  run.filler = start_worker([channels = run.channels, stop = run.stop, bell = run.silence_bell]() mutable {
    run_silence_filler(std::move(channels), std::move(stop), std::move(bell));
  });

  for (size_t i = 0; i < threads.size(); ++i) {
    switch (start_receiver.wait(kStartSignalLimit)) {
      case StartReceiver::Outcome::Signal:
        break;
      case StartReceiver::Outcome::Timeout:
        print_line("FATAL: capture did not start within " + std::to_string(kStartSignalLimit / kTicksPerSecond) +
                   " s \u2014 is another app using the device?");
        end_failed_start();
      case StartReceiver::Outcome::Disconnected:
        // Every capture thread has ended; one that failed has normally ended
        // the process already. Give a late fatal report time to land.
        sleep_ticks(kLateReportGrace);
        end_failed_start();
    }
  }
  print_line("ready");

  read_stdin_to_end();

  run.stop->store(true);
  // The workers sleep until they have work: wake them to see the stop.
  for (const auto& waker : run.wakers) waker->wake();
  run.silence_bell->ring();
  for (auto& capture : run.captures) capture.join();
  if (run.filler.joinable()) run.filler.join();
  for (const PaddedChannel& channel : run.channels) {
    auto locked = channel.framer->lock();
    (void)locked->drain(*channel.sink);  // a frame writer that is gone loses these; nothing to add
  }
  run.channels.clear();
  run.sink.reset();  // the last reference: closes the frame queue
  run.writer.join();
  print_line("stopped");
  return 0;
}

}  // namespace tavikrec
