#include "capture/capture_thread.h"

#include <pulse/error.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/diagnostics.h"
#include "base/error_text.h"
#include "base/fatal_report.h"
#include "capture/block_stamper.h"
#include "capture/default_follower.h"
#include "capture/delivery_watch.h"
#include "capture/record_stream.h"
#include "capture/timing_report.h"
#include "device/microphone_resolver.h"
#include "frame/captured_block.h"
#include "pulse/server_connection.h"
#include "text/utf8_text.h"

namespace tavikrec {
namespace {

// How long a record stream may take to run and send its first timing reply.
constexpr Ticks kStreamReadyLimit = 10 * kTicksPerSecond;
// libpulse's own timing updates thin out to one per 1.5 s; the stream clock
// wants one at least every second. A request falls due a second after the
// last one, and any wake-up in the 100 ms before that sends it early, so a
// stream that flows never needs a wake-up of its own for it.
constexpr Ticks kTimingRequestInterval = kTicksPerSecond;
constexpr Ticks kTimingRequestSlack = 100 * kTicksPerMillisecond;
// The longest sleep. DeliveryWatch takes a pause of a whole second between
// two cycles for a loop that did not run (a suspended machine).
constexpr Ticks kLongestSleep = 250 * kTicksPerMillisecond;
// While the system output delivers nothing, how often the silence filler
// hears so, which keeps a silent system channel moving.
constexpr Ticks kQuietPeriod = kFragmentDuration;
// At the stop, how many non-blocking passes may bring in what the server
// has already sent.
constexpr int kFinalPasses = 4;
// How long the silence filler waits for the first audio of a device the
// stream has switched to: PipeWire 1.4 hands over up to 180 ms of it in a
// burst.
constexpr Ticks kSwitchHold = 500 * kTicksPerMillisecond;

const char* default_device(SourceKind kind) { return kind == SourceKind::Mic ? "@DEFAULT_SOURCE@" : "@DEFAULT_MONITOR@"; }

// A failure, or success: the run stopped (or will) without one.
using Outcome = std::expected<void, ErrorText>;

class CaptureSession {
 public:
  explicit CaptureSession(CaptureRequest& request)
      : request_(request),
        kind_name_(display_name(request.kind)),
        device_(default_device(request.kind)),
        stamper_(/*monitor=*/request.kind == SourceKind::System) {}

  // Everything a capture thread does before its resources are released.
  Outcome run() {
    auto connection = connect_to_server();
    if (!connection) return std::unexpected(connection.error());
    connection_ = std::move(*connection);
    // From here on the supervisor can wake the loop for the stop.
    const MainloopWaker::Attachment attached = request_.waker->attach_to(connection_->mainloop());

    if (request_.kind == SourceKind::Mic && request_.mic_device) {
      auto entry = resolve_microphone(*request_.mic_device, *connection_);
      if (!entry) return std::unexpected(entry.error());
      device_ = entry->id;
      watch_stalls_ = true;
    }
    if (Outcome opened = open_stream(device_); !opened) return opened;
    if (Outcome started = wait_for_start(); !started || stopping()) return started;
    announce();
    if (following()) {
      follower_.emplace(request_.kind, connection_->context(), device_display_name_);
      follower_->attach(stream_.get());
    }
    return capture_loop();
  }

 private:
  bool stopping() const { return request_.stop->load(); }
  // Without a chosen microphone the stream follows the server's default.
  bool following() const { return !watch_stalls_; }
  // A stream is read once it runs; a following source may have none for a
  // while, or one that is still starting.
  bool reading() const { return stream_ && (!follower_ || follower_->attached()); }

  Outcome open_stream(const std::string& device) {
    auto stream = open_record_stream(connection_->context(), request_.kind, device, !following());
    if (!stream) return std::unexpected(stream.error());
    stream_ = std::move(*stream);
    pa_stream_set_latency_update_callback(stream_.get(), &CaptureSession::timing_arrived, this);
    pa_stream_set_suspended_callback(stream_.get(), &CaptureSession::source_changed, this);
    pa_stream_set_moved_callback(stream_.get(), &CaptureSession::source_moved, this);
    pa_stream_set_state_callback(stream_.get(), &CaptureSession::state_changed, this);
    return {};
  }

  // Waits until the stream runs and its first timing reply has come, or the
  // run stops (success with the stop flag set: no start signal is sent then).
  Outcome wait_for_start() {
    const Ticks deadline = monotonic_ticks() + kStreamReadyLimit;
    for (;;) {
      if (stopping()) return {};
      if (monotonic_ticks() > deadline) {
        return open_failure(request_.kind, device_, "timed out waiting for the stream to start");
      }
      if (pa_mainloop_iterate(connection_->mainloop(), 1, nullptr) < 0) {
        return std::unexpected(ErrorText(kConnectionDied));
      }
      switch (pa_stream_get_state(stream_.get())) {
        case PA_STREAM_READY:
          if (pa_stream_get_timing_info(stream_.get())) return {};
          break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
          return open_failure(request_.kind, device_, pulse_error_text(pa_context_errno(connection_->context())));
        default:
          break;
      }
    }
  }

  void announce() {
    const char* reported = pa_stream_get_device_name(stream_.get());
    device_display_name_ = reported ? decode_utf8_lossy(reported) : default_device(request_.kind);
    print_line(kind_name_ + " capturing from " + device_display_name_);
    request_.start.send();
  }

  // Each cycle reads what libpulse has received, then sleeps in the main
  // loop until it has more, the stop is requested, or the loop's next own
  // deadline comes.
  Outcome capture_loop() {
    const Ticks start = monotonic_ticks();
    watch_ = DeliveryWatch(start);
    last_timing_request_ = start;
    for (;;) {
      if (stopping()) return read_what_is_in_hand();
      const Ticks now = monotonic_ticks();
      watch_.begin_cycle(now);
      if (follower_) tend_followed_stream();
      bool got_audio = false;
      if (Outcome read = read_available(got_audio); !read) return read;
      // While the stamps settle, every fragment asks for a timing reply.
      if (now - last_timing_request_ >= kTimingRequestInterval - kTimingRequestSlack ||
          (got_audio && !stamper_.settled(now))) {
        request_timing(now);
      }
      if (watch_stalls_ && watch_.stalled(monotonic_ticks())) {
        return std::unexpected(
            "the selected microphone (" + device_display_name_ + ") stopped delivering audio for " +
            std::to_string(DeliveryWatch::kStallLimit / kTicksPerSecond) +
            "s \u2014 reconnect it and start again, or pass `--mic-device default` to follow the system default");
      }
      if (!got_audio && !audio_waits_) {
        if (Outcome noted = report_quiet(); !noted) return noted;
      }
      if (!wait_for_work(next_wake(now))) {
        return std::unexpected(kind_name_ + " capture stream died (connection lost)");
      }
    }
  }

  void request_timing(Ticks now) {
    if (reading()) {
      // Nothing waits for the answer (it comes through timing_arrived): the
      // owner drops our reference at once.
      const OperationOwner timing_request(pa_stream_update_timing_info(stream_.get(), nullptr, nullptr));
    }
    last_timing_request_ = now;
  }

  Ticks next_wake(Ticks now) const {
    Ticks wake = std::min(now + kLongestSleep, last_timing_request_ + kTimingRequestInterval);
    if (watch_stalls_) wake = std::min(wake, watch_.stall_deadline());
    if (auto release = stamper_.release_at()) wake = std::min(wake, *release);
    if (request_.silence_bell) {
      // Not while audio flows: only once a fragment is overdue.
      wake = std::min(wake, std::max(now + kQuietPeriod, last_audio_ + BlockStamper::kDeliveryAllowance));
    }
    return wake;
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
      bool received = false;
      if (Outcome read = receive_and_read(received); !read) return read;
      if (!received) break;
    }
    return release_blocks(monotonic_ticks(), /*flush=*/true);
  }

  // One pass of the main loop that does not wait, then reads what it
  // brought in. `received`: whether it had anything to dispatch.
  Outcome receive_and_read(bool& received) {
    received = pa_mainloop_iterate(connection_->mainloop(), 0, nullptr) > 0;
    bool got_audio = false;
    return read_available(got_audio);
  }

  // Reads fragments until the stream has none left, and appends every block
  // whose stamp is known.
  Outcome read_available(bool& got_audio) {
    audio_waits_ = false;
    if (!reading()) return release_blocks(monotonic_ticks());
    for (;;) {
      const void* data = nullptr;
      size_t length = 0;
      if (int code = pa_stream_peek(stream_.get(), &data, &length); code != 0) {
        // When the server goes away, the iteration that notices it still
        // succeeds and the peek fails with a bare "Bad state": name the
        // real cause instead.
        bool connection_lost = pa_context_get_state(connection_->context()) != PA_CONTEXT_READY;
        return std::unexpected(kind_name_ + " capture stream died (" +
                               (connection_lost ? "connection lost" : pulse_error_text(code)) + ")");
      }
      const Ticks now = monotonic_ticks();
      if (length == 0) return release_blocks(now);
      // Bytes of a device not judged yet stay queued until it is; the
      // stream is not quiet meanwhile.
      if (!plan_routes(length)) {
        audio_waits_ = true;
        return release_blocks(now);
      }
      watch_.data_arrived(now);
      if (data == nullptr) {
        stamper_.take_hole(length);
      } else {
        take({static_cast<const std::uint8_t*>(data), length}, now, got_audio);
      }
      pa_stream_drop(stream_.get());
      if (follower_) follower_->consumed(length);
      if (Outcome released = release_blocks(now); !released) return released;
    }
  }

  // Splits the next `length` bytes into ranges of one fate each. False
  // while some of them wait for their device to be judged.
  bool plan_routes(std::size_t length) {
    routes_.clear();
    if (!follower_) {
      routes_.push_back({SpanAction::Keep, length});
      return true;
    }
    for (std::size_t offset = 0; offset < length;) {
      SpanRoute route = follower_->route(offset, length - offset);
      if (route.action == SpanAction::Wait) return false;
      routes_.push_back(route);
      offset += route.bytes;
    }
    return true;
  }

  // Hands the kept ranges of a fragment read at `now` to the stamper; a
  // discarded range counts as a hole, so that the gap shows in the stamp of
  // what comes next.
  void take(std::span<const std::uint8_t> bytes, Ticks now, bool& got_audio) {
    std::size_t offset = 0;
    for (const SpanRoute& route : routes_) {
      if (route.action == SpanAction::Keep) {
        stamper_.take_audio(bytes.subspan(offset, route.bytes), now);
        got_audio = true;
        last_audio_ = now;
      } else {
        stamper_.take_hole(route.bytes);
      }
      offset += route.bytes;
    }
  }

  // Prints the switches the follower saw; lets go of a stream the server
  // killed (its device went and there was nowhere to move it), and opens a
  // new one once the server names a default again.
  void tend_followed_stream() {
    for (const std::string& line : follower_->take_lines()) print_line(line);
    if (follower_->take_switch()) request_.framer->lock()->device_switched(monotonic_ticks() + kSwitchHold);
    if (follower_->attached()) {
      if (!std::exchange(stream_killed_, false)) return;
      follower_->detach();
      stream_.reset();
      stamper_.reset(0);
    }
    if (stream_) {
      start_reopened_stream();
    } else if (auto device = follower_->device_to_reopen()) {
      // Refused at once: the next news from the server tries again.
      if (!open_stream(*device)) stream_.reset();
    }
  }

  void start_reopened_stream() {
    switch (pa_stream_get_state(stream_.get())) {
      case PA_STREAM_READY:
        if (pa_stream_get_timing_info(stream_.get())) follower_->attach(stream_.get());
        break;
      case PA_STREAM_FAILED:
      case PA_STREAM_TERMINATED:
        stream_.reset();
        break;
      default:
        break;
    }
  }

  Outcome release_blocks(Ticks now, bool flush = false) {
    while (auto block = stamper_.next_block(now, flush)) {
      if (Outcome appended = append(*block); !appended) return appended;
    }
    return {};
  }

  Outcome append(const CapturedBlock& block) {
    std::expected<Appended, ErrorText> appended;
    {
      auto framer = request_.framer->lock();
      appended = framer->append_block(block, *request_.sink);
    }
    if (!appended) return std::unexpected(frame_write_failure(appended.error()));
    if (appended->late_stamp_warning) print_line(*appended->late_stamp_warning);
    return {};
  }

  // The stream had nothing: tells the system channel's Framer how far the
  // stream has surely delivered, and wakes the silence filler when that
  // leaves silence to pad. libpulse takes one read from the socket per
  // wake-up, so a thread that woke late may have received only a timing
  // reply or part of a packet while audio still waits in the socket: that
  // is late audio, not silence. The note waits for a pass that finds
  // nothing more to receive; what such a pass brings in is read at once.
  Outcome report_quiet() {
    if (!request_.silence_bell) return {};
    bool received = false;
    if (Outcome read = receive_and_read(received); !read || received) return read;
    const Ticks now = monotonic_ticks();
    std::optional<Ticks> delivered = stamper_.delivered_until(now);
    if (!delivered) return {};
    bool silence_to_pad = request_.framer->lock()->note_delivered(*delivered, now);
    if (silence_to_pad) request_.silence_bell->ring();
    return {};
  }

  // libpulse callbacks, on this thread during dispatch.
  static void timing_arrived(pa_stream* /*stream*/, void* session) {
    static_cast<CaptureSession*>(session)->take_timing();
  }
  static void source_changed(pa_stream* /*stream*/, void* session) {
    static_cast<CaptureSession*>(session)->reset_clock();
  }
  static void source_moved(pa_stream* /*stream*/, void* session) {
    auto* self = static_cast<CaptureSession*>(session);
    self->reset_clock();
    if (self->follower_ && self->follower_->attached()) self->follower_->stream_moved();
  }
  // libpulse says why a stream failed just before it says that it failed.
  static void state_changed(pa_stream* stream, void* session) {
    if (pa_stream_get_state(stream) != PA_STREAM_FAILED) return;
    static_cast<CaptureSession*>(session)->stream_killed_ =
        pa_context_errno(pa_stream_get_context(stream)) == PA_ERR_KILLED;
  }

  void take_timing() {
    const pa_timing_info* info = pa_stream_get_timing_info(stream_.get());
    if (!info) return;
    // The wall clock first: a delay between the two reads then only makes
    // the reply look older, a looser bound, never a tighter one.
    const Ticks wall_now = wall_clock_ticks();
    if (auto report = timing_report(*info, monotonic_ticks(), wall_now)) stamper_.take_timing(*report);
  }

  // Suspended, resumed or moved to another source: what the stream holds
  // was captured before; what comes next follows a new clock.
  void reset_clock() {
    stamper_.reset(queued_bytes(stream_.get()));
  }

  CaptureRequest& request_;
  const std::string kind_name_;
  std::string device_;  // the device the stream is opened on
  std::string device_display_name_;
  bool watch_stalls_ = false;  // only a chosen microphone has a stall limit
  DeliveryWatch watch_{0};
  Ticks last_timing_request_ = 0;
  Ticks last_audio_ = 0;
  // Outlives the stream and the connection: libpulse calls into it.
  BlockStamper stamper_;
  std::vector<SpanRoute> routes_;  // of the fragment in hand, reused
  // The stream holds audio of a device not judged yet. Not counted as audio
  // read: that would ask for timing at every pass, and every request skips
  // the next poll, so the verdict would never be read.
  bool audio_waits_ = false;
  bool stream_killed_ = false;
  // Destroyed in reverse order: the follower, then the stream, then the
  // connection.
  std::optional<ServerConnection> connection_;
  RecordStream stream_;
  std::optional<DefaultFollower> follower_;
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
