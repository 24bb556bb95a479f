#include "capture/capture_thread.h"

#include <pulse/error.h>
#include <pulse/proplist.h>

#include <cstdint>
#include <utility>

#include "base/clock.h"
#include "base/diagnostics.h"
#include "base/error_text.h"
#include "base/fatal_report.h"
#include "capture/delivery_watch.h"
#include "capture/record_stream.h"
#include "capture/sample_assembler.h"
#include "device/microphone_resolver.h"
#include "frame/captured_block.h"
#include "pulse/server_connection.h"
#include "text/utf8_text.h"

namespace tavikrec {
namespace {

// How long a record stream may take to run and report its latency.
constexpr Ticks kStreamReadyLimit = 10 * kTicksPerSecond;
constexpr Ticks kTimingRequestInterval = kTicksPerSecond;
constexpr Ticks kPollInterval = 5 * kTicksPerMillisecond;

const char* default_device(SourceKind kind) { return kind == SourceKind::Mic ? "@DEFAULT_SOURCE@" : "@DEFAULT_MONITOR@"; }

std::unexpected<ErrorText> open_failure(SourceKind kind, const std::string& device, const std::string& reason) {
  return std::unexpected("could not open " + std::string(display_name(kind)) + " capture from " + device + " (" +
                         reason + ") \u2014 check sound settings");
}

// Stream latency in signed ticks; a monitor stream may report it negative.
std::optional<Ticks> stream_latency(pa_stream* stream) {
  pa_usec_t usec = 0;
  int negative = 0;
  if (pa_stream_get_latency(stream, &usec, &negative) != 0) return std::nullopt;
  Ticks ticks = static_cast<Ticks>(usec) * kTicksPerMicrosecond;
  return negative ? -ticks : ticks;
}

// A failure, or success: the run stopped (or will) without one.
using Outcome = std::expected<void, ErrorText>;

class CaptureSession {
 public:
  explicit CaptureSession(CaptureRequest& request)
      : request_(request), kind_name_(display_name(request.kind)), device_(default_device(request.kind)) {}

  // Everything a capture thread does before its resources are released.
  Outcome run() {
    auto connection = connect_to_server();
    if (!connection) return std::unexpected(connection.error());
    connection_ = std::move(*connection);

    if (request_.kind == SourceKind::Mic && request_.mic_device) {
      auto entry = resolve_microphone(*request_.mic_device, *connection_);
      if (!entry) return std::unexpected(entry.error());
      device_ = entry->id;
      watch_stalls_ = true;
    }
    if (Outcome opened = open_stream(); !opened) return opened;
    if (Outcome started = wait_for_start(); !started || stopping()) return started;
    announce();
    return capture_loop();
  }

 private:
  bool stopping() const { return request_.stop->load(); }

  Outcome open_stream() {
    const pa_sample_spec format{PA_SAMPLE_S16LE, kSampleRate, kChannelsPerStream};
    // PipeWire's session manager links a record stream on the monitor
    // device name to the default *microphone* unless the stream says it
    // captures a sink; PulseAudio ignores the property.
    std::unique_ptr<pa_proplist, decltype(&pa_proplist_free)> properties(nullptr, &pa_proplist_free);
    if (request_.kind == SourceKind::System) {
      properties.reset(pa_proplist_new());
      pa_proplist_sets(properties.get(), "stream.capture.sink", "true");
    }
    stream_.reset(pa_stream_new_with_proplist(connection_->context(), kind_name_.c_str(), &format, nullptr,
                                              properties.get()));
    if (!stream_) return std::unexpected("could not allocate the " + kind_name_ + " stream");

    pa_buffer_attr attr{};
    attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(kFragmentBytes);
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                                PA_STREAM_ADJUST_LATENCY | (watch_stalls_ ? PA_STREAM_DONT_MOVE : 0));
    if (int code = pa_stream_connect_record(stream_.get(), device_.c_str(), &attr, flags); code != 0) {
      return open_failure(request_.kind, device_, pulse_error_text(code));
    }
    return {};
  }

  // Waits until the stream runs and its latency is known, or the run stops
  // (success with the stop flag set: no start signal is sent then).
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
          if (auto latency = stream_latency(stream_.get())) {
            latency_ = *latency;
            return {};
          }
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

  Outcome capture_loop() {
    Ticks last_timing_request = monotonic_ticks();
    DeliveryWatch watch(last_timing_request);
    for (;;) {
      if (stopping()) return {};
      const Ticks now = monotonic_ticks();
      watch.begin_cycle(now);
      if (now - last_timing_request >= kTimingRequestInterval) {
        // Nothing waits for the answer: the owner drops our reference at once.
        const OperationOwner timing_request(pa_stream_update_timing_info(stream_.get(), nullptr, nullptr));
        last_timing_request = now;
      }
      if (pa_mainloop_iterate(connection_->mainloop(), 0, nullptr) < 0) {
        return std::unexpected(kind_name_ + " capture stream died (connection lost)");
      }
      if (Outcome read = read_available(watch); !read) return read;
      if (watch_stalls_ && watch.stalled(monotonic_ticks())) {
        return std::unexpected(
            "the selected microphone (" + device_display_name_ + ") stopped delivering audio for " +
            std::to_string(DeliveryWatch::kStallLimit / kTicksPerSecond) +
            "s \u2014 reconnect it and start again, or pass `--mic-device default` to follow the system default");
      }
      sleep_ticks(kPollInterval);
    }
  }

  // Reads fragments until the stream has none left.
  Outcome read_available(DeliveryWatch& watch) {
    for (;;) {
      if (auto latency = stream_latency(stream_.get())) latency_ = *latency;
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
      if (length == 0) return {};
      const Ticks now = monotonic_ticks();
      watch.data_arrived(now);
      if (data == nullptr) {
        // A hole: nothing to append; the next block's stamp tells the
        // Framer how much silence is missing.
        pa_stream_drop(stream_.get());
        continue;
      }
      auto samples = assembler_.assemble({static_cast<const std::uint8_t*>(data), length});
      pa_stream_drop(stream_.get());
      if (Outcome appended = append({now - latency_, samples}); !appended) return appended;
    }
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

  CaptureRequest& request_;
  const std::string kind_name_;
  std::string device_;  // the device the stream is opened on
  std::string device_display_name_;
  bool watch_stalls_ = false;  // only a chosen microphone has a stall limit
  Ticks latency_ = 0;
  SampleAssembler assembler_;
  // Destroyed in reverse order: the stream goes before its connection.
  std::optional<ServerConnection> connection_;
  RecordStream stream_;
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
  report_fatal(outcome, *stop);
}

}  // namespace tavikrec
