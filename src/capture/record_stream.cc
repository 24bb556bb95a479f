#include "capture/record_stream.h"

#include <pulse/proplist.h>

#include <cstdint>

#include "base/units.h"
#include "pulse/server_connection.h"

namespace tavikrec {

std::unexpected<ErrorText> open_failure(SourceKind kind, const std::string& device, const std::string& reason) {
  return std::unexpected("could not open " + std::string(display_name(kind)) + " capture from " + device + " (" +
                         reason + ") \u2014 check sound settings");
}

ErrorText stream_died(SourceKind kind, pa_context* context, int code) {
  const bool connection_lost = pa_context_get_state(context) != PA_CONTEXT_READY;
  return std::string(display_name(kind)) + " capture stream died (" +
         (connection_lost ? "connection lost" : pulse_error_text(code)) + ")";
}

const char* default_device_name(SourceKind kind) {
  return kind == SourceKind::Mic ? "@DEFAULT_SOURCE@" : "@DEFAULT_MONITOR@";
}

std::size_t queued_bytes(pa_stream* stream) {
  const std::size_t readable = pa_stream_readable_size(stream);
  return readable == static_cast<std::size_t>(-1) ? 0 : readable;
}

std::expected<RecordStream, ErrorText> open_record_stream(pa_context* context, SourceKind kind,
                                                          const std::string& device, bool dont_move) {
  const std::string name(display_name(kind));
  const pa_sample_spec format{PA_SAMPLE_S16LE, kSampleRate, kChannelsPerStream};
  // PipeWire's session manager links a record stream on the monitor
  // device name to the default *microphone* unless the stream says it
  // captures a sink; PulseAudio ignores the property.
  std::unique_ptr<pa_proplist, decltype(&pa_proplist_free)> properties(nullptr, &pa_proplist_free);
  if (kind == SourceKind::System) {
    properties.reset(pa_proplist_new());
    pa_proplist_sets(properties.get(), "stream.capture.sink", "true");
  }
  RecordStream stream(pa_stream_new_with_proplist(context, name.c_str(), &format, nullptr, properties.get()));
  if (!stream) return std::unexpected("could not allocate the " + name + " stream");

  pa_buffer_attr attr{};
  attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(kFragmentBytes);
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                              PA_STREAM_ADJUST_LATENCY | (dont_move ? PA_STREAM_DONT_MOVE : 0));
  if (int code = pa_stream_connect_record(stream.get(), device.c_str(), &attr, flags); code != 0) {
    return open_failure(kind, device, pulse_error_text(code));
  }
  return stream;
}

}  // namespace tavikrec
