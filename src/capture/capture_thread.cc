#include "capture/capture_thread.h"

#include <pulse/mainloop.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "base/clock.h"
#include "base/diagnostics.h"
#include "base/error_text.h"
#include "base/fatal_report.h"
#include "capture/block_stamper.h"
#include "capture/channel_outlet.h"
#include "capture/stall_watch.h"
#include "capture/loop_schedule.h"
#include "capture/source_stream.h"
#include "capture/stream_reader.h"
#include "device/microphone_resolver.h"
#include "pulse/server_connection.h"

namespace tavikrec {
namespace {

// At the stop, how many non-blocking passes may bring in what the server
// has already sent.
constexpr int kFinalPasses = 4;
// How many non-blocking passes a quiet check takes at most to find nothing
// more to receive: a stream on a device the channel does not keep goes on
// receiving while it is quiet.
constexpr int kQuietPasses = 4;
// How the thread that records the output names the echo canceller's
// reference, when it starts and when the default output changes.
constexpr std::string_view kEchoReferenceLine = "echo reference: ";
constexpr std::string_view kEchoReferenceSwitchLine = "echo reference now: ";
// How long the silence filler waits for the first audio of a device the
// stream has switched to: PipeWire 1.4 hands over up to 180 ms of it in a
// burst.
constexpr Ticks kSwitchHold = 500 * kTicksPerMillisecond;

// A failure, or success: the run stopped (or will) without one.
using Outcome = std::expected<void, ErrorText>;

// One capture thread's work: connects, opens its source's stream, announces
// it, then runs the capture loop, whose parts each live in a class of their
// own: the stream's life (SourceStream), the read pass (StreamReader), the
// stamps (BlockStamper), the schedule of the loop's own deadlines
// (LoopSchedule), the channel the blocks go to (ChannelOutlet).
class CaptureSession {
 public:
  explicit CaptureSession(CaptureRequest& request)
      : request_(request),
        kind_name_(display_name(request.kind)),
        stamper_(/*monitor=*/request.kind == SourceKind::System),
        outlet_(request.kind, request.framer, request.sink),
        reader_(request.kind, stamper_, outlet_) {}

  // Everything a capture thread does before its resources are released.
  Outcome run() {
    auto connection = connect_to_server();
    if (!connection) return std::unexpected(connection.error());
    connection_ = std::move(*connection);
    // From here on the supervisor can wake the loop for the stop.
    const MainloopWaker::Attachment attached = request_.waker->attach_to(connection_->mainloop());

    std::string device = default_device_name(request_.kind);
    if (request_.kind == SourceKind::Mic && request_.mic_device) {
      auto entry = resolve_microphone(*request_.mic_device, *connection_);
      if (!entry) return std::unexpected(entry.error());
      device = entry->id;
      watch_stalls_ = true;
    }
    // Without a chosen microphone the stream follows the server's default.
    const bool follow = !watch_stalls_;
    const bool reference = request_.kind == SourceKind::System && request_.echo_reference;
    stream_.emplace(request_.kind, connection_->context(), stamper_);
    if (Outcome opened = stream_->open(device, follow); !opened) return opened;
    if (Outcome started = stream_->wait_until_running(connection_->mainloop(), *request_.stop);
        !started || stopping()) {
      return started;
    }
    device_display_name_ = stream_->device_name();
    std::vector<std::string> switch_lines;
    if (!request_.reference_only) {
      print_line(kind_name_ + " capturing from " + device_display_name_);
      switch_lines.push_back(kind_name_ + " now capturing from ");
    }
    if (reference) {
      print_line(std::string(kEchoReferenceLine) + device_display_name_);
      switch_lines.push_back(std::string(kEchoReferenceSwitchLine));
    }
    if (request_.kind == SourceKind::Mic && request_.echo_reference) {
      auto canceller = EchoCanceller::create(EchoStage::kFilterSamples);
      if (!canceller) return std::unexpected(canceller.error());
      outlet_.cancel_echo(EchoStage(request_.echo_reference, std::move(*canceller)));
    }
    request_.start.send();
    if (follow) stream_->follow(device_display_name_, std::move(switch_lines));
    return capture_loop();
  }

 private:
  bool stopping() const { return request_.stop->load(); }

  // Each cycle tends the stream, reads what libpulse has received, then
  // sleeps in the main loop until it has more, the stop is requested, or the
  // loop's next own deadline comes.
  Outcome capture_loop() {
    const Ticks start = monotonic_ticks();
    watch_ = StallWatch(start);
    LoopSchedule schedule(start, request_.kind == SourceKind::System);
    for (;;) {
      if (stopping()) return read_what_is_in_hand();
      const Ticks now = monotonic_ticks();
      watch_.begin_cycle(now);
      auto tending = stream_->tend(now);
      if (!tending) return std::unexpected(tending.error());
      hold_silence(*tending, now);
      auto pass = read();
      if (!pass) return std::unexpected(pass.error());
      if (pass->read_anything) watch_.data_arrived(now);
      if (pass->kept_audio) schedule.audio_read(now);
      // While the stamps settle, every fragment asks for a timing reply.
      if (schedule.timing_due(now, pass->kept_audio && !stamper_.settled(now))) {
        stream_->request_timing();
        schedule.timing_requested(now);
      }
      if (watch_stalls_ && watch_.stalled(monotonic_ticks())) {
        return std::unexpected(
            "the selected microphone (" + device_display_name_ + ") stopped delivering audio for " +
            std::to_string(StallWatch::kStallLimit / kTicksPerSecond) +
            "s \u2014 reconnect it and start again, or pass `--mic-device default` to follow the system default");
      }
      if (!pass->kept_audio && !pass->audio_waits && schedule.leaves_silence(now, tending->nothing_coming)) {
        if (Outcome noted = report_quiet(); !noted) return noted;
      }
      const std::optional<Ticks> stall_deadline =
          watch_stalls_ ? std::optional<Ticks>(watch_.stall_deadline()) : std::nullopt;
      if (!wait_for_work(schedule.next_wake(now, stall_deadline, outlet_.release_at(stamper_), stream_->reopen_at()))) {
        return std::unexpected(kind_name_ + " capture stream died (connection lost)");
      }
    }
  }

  // After a switch the first audio of the next device may reach back before
  // what was noted handed out: the silence filler waits for it a while. On
  // a device the channel does not keep, or with no stream, nothing is coming.
  void hold_silence(const SourceStream::Tending& tending, Ticks now) {
    if (tending.switched) {
      request_.framer->lock()->hold_silence(now + kSwitchHold);
    } else if (tending.nothing_coming) {
      request_.framer->lock()->end_silence_hold();
    }
  }

  // Reads the stream when there is one to read; otherwise only sends on
  // what the stamper may release by now.
  std::expected<StreamReader::Pass, ErrorText> read() {
    if (pa_stream* stream = stream_->readable()) return reader_.read(stream, stream_->follower());
    if (Outcome released = outlet_.release(stamper_, monotonic_ticks()); !released) {
      return std::unexpected(released.error());
    }
    return StreamReader::Pass{};
  }

  // Sleeps in the main loop until libpulse has data or work, the stop is
  // requested, or `deadline`. False when the main loop failed.
  bool wait_for_work(Ticks deadline) {
    pa_mainloop* loop = connection_->mainloop();
    const Ticks timeout_usec = std::max<Ticks>(deadline - monotonic_ticks(), 0) / kTicksPerMicrosecond;
    if (pa_mainloop_prepare(loop, static_cast<int>(timeout_usec)) < 0) return false;
    // prepare discarded any earlier wake-up: a stop requested before it is
    // seen now, and the poll then returns at once.
    if (stopping()) pa_mainloop_wakeup(loop);
    return pa_mainloop_poll(loop) >= 0 && pa_mainloop_dispatch(loop) >= 0;
  }

  // At the stop: what the server has already sent goes out too, without
  // waiting for a server that may not answer.
  Outcome read_what_is_in_hand() {
    for (int pass = 0; pass < kFinalPasses; ++pass) {
      auto received = receive_and_read();
      if (!received) return std::unexpected(received.error());
      if (!received->second) break;
    }
    return outlet_.release(stamper_, monotonic_ticks(), /*flush=*/true);
  }

  // One pass of the main loop that does not wait, then a read of what it
  // brought in; with whether the pass had anything to dispatch.
  std::expected<std::pair<StreamReader::Pass, bool>, ErrorText> receive_and_read() {
    const bool received = pa_mainloop_iterate(connection_->mainloop(), 0, nullptr) > 0;
    auto pass = read();
    if (!pass) return std::unexpected(pass.error());
    return std::pair(*pass, received);
  }

  // The stream had nothing for the channel: tells the channel's Framer how
  // far the stream has surely handed out, and wakes the silence filler when
  // that leaves silence to pad. libpulse takes one read from the
  // socket per wake-up, so a thread that woke late may have received only a
  // timing reply or part of a packet while audio still waits in the socket:
  // that is late audio, not silence. The note waits for a pass that finds
  // nothing more to receive; what the passes bring in is read at once, and
  // audio among it leaves the note for a later cycle, as does a switch they
  // brought in: its hold begins with the next cycle.
  Outcome report_quiet() {
    if (!request_.silence_bell) return {};
    for (int pass = 0; pass < kQuietPasses; ++pass) {
      auto received = receive_and_read();
      if (!received) return std::unexpected(received.error());
      if (received->first.kept_audio || received->first.audio_waits) return {};
      if (!received->second) break;
      if (pass + 1 == kQuietPasses) return {};
    }
    if (stream_->switch_pending()) return {};
    const Ticks now = monotonic_ticks();
    std::optional<Ticks> handed_out = outlet_.handed_out_until(stamper_, now);
    if (!handed_out) return {};
    if (request_.kind == SourceKind::System && request_.echo_reference) {
      request_.echo_reference->silent_until(*handed_out);
    }
    bool silence_to_pad = request_.framer->lock()->note_handed_out(*handed_out, now);
    if (silence_to_pad) request_.silence_bell->ring();
    return {};
  }

  CaptureRequest& request_;
  const std::string kind_name_;
  std::string device_display_name_;
  bool watch_stalls_ = false;  // only a chosen microphone has a stall limit
  StallWatch watch_{0};
  // Outlives the stream and the connection: libpulse calls into it.
  BlockStamper stamper_;
  ChannelOutlet outlet_;
  StreamReader reader_;
  // Destroyed in reverse order: the stream, then the connection.
  std::optional<ServerConnection> connection_;
  std::optional<SourceStream> stream_;
};

}  // namespace

void capture_thread(CaptureRequest request) {
  Outcome outcome;
  {
    CaptureSession session(request);
    outcome = session.run();
  }  // releases the stream, then the connection
  const std::shared_ptr<const std::atomic<bool>> stop = std::move(request.stop);
  request.start.reset();
  request.framer.reset();
  request.sink.reset();
  request.silence_bell.reset();
  report_fatal(outcome, *stop);
}

}  // namespace tavikrec
