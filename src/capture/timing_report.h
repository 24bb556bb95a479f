// What one libpulse timing reply says about a record stream, in the terms
// the stream clock uses. From libpulse 16.1 (src/pulse/stream.c, the timing
// reply handler and calc_time) and the server's reply (protocol-native.c):
//  - write_index: bytes the server has put into the stream's queue so far;
//    read_index: bytes the client has read (the server's count of sent
//    bytes less what still waits in the client's own queue, moved on by
//    every pa_stream_drop);
//  - source_usec: audio captured but not yet in the queue (the source's
//    latency, the resampler's delay, bytes on their way to the queue);
//  - sink_usec: for a monitor, the latency of the output it monitors (its
//    audio reaches the queue that long before it is played; PipeWire 0.3.65
//    reports 0 here); 0 for any other source;
//  - timestamp: the server's wall clock when it answered, when
//    synchronized_clocks says the two ends share a clock; otherwise an
//    estimate from the request's round trip;
//  - playing: the source and the stream both run.
// So at `timestamp` the source was capturing (for a monitor: playing) the
// byte write_index + source_usec - sink_usec; libpulse's own latency is that
// capture head minus read_index, seen through a smoother (not used here).
#pragma once

#include <pulse/def.h>

#include <cstdint>
#include <optional>

#include "base/units.h"

namespace tavikrec {

struct TimingReport {
  Ticks at;  // monotonic instant of the server's snapshot
  // Bytes the server had taken from the source beyond what we have read.
  std::int64_t unread_bytes;
  // source_usec - sink_usec, in ticks: how far the capture head was ahead of
  // the queued audio (behind it, for a monitor, when negative).
  Ticks head_latency;
  // The server reports a sink latency: a monitor's audio is played after
  // it was rendered.
  bool plays_later = false;
};

// The reply in `info`, handled at `monotonic_now` and `wall_now` (both in
// ticks, read together). Nothing when the indexes are not valid or the
// stream is not playing: its head may then stand still while time goes on.
// (That is no reason to start the clock anew: the monitor of an output that
// has fallen idle says "not playing" while its audio keeps flowing.)
// An out-of-step wall clock falls back to `monotonic_now`, which only makes
// the reply a looser bound.
std::optional<TimingReport> timing_report(const pa_timing_info& info, Ticks monotonic_now, Ticks wall_now);

}  // namespace tavikrec
