// Which device produced each byte still queued on a record stream, and
// whether the channel may keep it. The server moves a stream between devices
// while bytes of the old one are still queued, or even still on their way,
// so the capture loop asks, range by range, what to do with what it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "base/units.h"

namespace tavikrec {

enum class SpanAction { Keep, Discard, Wait };

struct SpanRoute {
  SpanAction action;
  std::size_t bytes;  // how many of the asked bytes the action covers; 0 with Wait
};

// Positions count every byte the stream has handed out, holes included.
// Bytes of a device whose verdict is still unknown wait in the stream.
class DeviceSpans {
 public:
  using SpanId = std::uint64_t;

  // How far into a kept device's span, at least, bytes may still be
  // stragglers of a discarded device before it: PipeWire reports a move
  // before it has relinked the stream, and 10 to 35 ms of the old device
  // followed the report in measurements on 0.3.65 and 1.4.2. Two fragments
  // leave a margin; a move between two kept devices loses nothing.
  static constexpr std::uint64_t kStragglerBytes = 2 * kFragmentBytes;

  // A stream that has just started: nothing read, its device not judged.
  DeviceSpans();

  SpanId current() const { return spans_.back().id; }

  // The stream moved to another device while `queued` bytes were waiting to
  // be read: those came from the devices before. Returns the new span.
  SpanId moved(std::size_t queued);

  // The verdict on span `id`'s device arrived while `queued` bytes were
  // waiting. The span's bytes that reached us before this answer, and at
  // least its first kStragglerBytes, may still hold stragglers of the device
  // before it, so they are kept only when both devices are. A span already
  // read past is ignored.
  void judge(SpanId id, bool keep, std::size_t queued);

  // What to do with the `length` bytes that start `offset` bytes after the
  // read position. Never covers bytes of two spans, nor discarded
  // stragglers together with kept bytes of the span.
  SpanRoute route(std::size_t offset, std::size_t length) const;

  // `bytes` at the read position were read and dropped from the stream.
  void consumed(std::size_t bytes);

 private:
  struct Span {
    SpanId id;
    std::uint64_t start;
    std::optional<bool> keep;
    std::uint64_t fence;  // bytes before it may be stragglers of the span before
  };
  // Forgets spans wholly behind the read position.
  void forget_read_spans();

  std::deque<Span> spans_;  // in stream order; the front holds the read position
  std::uint64_t read_ = 0;
  // Verdict of the span before the front; one never judged counts as
  // discarded, so its stragglers are too.
  bool previous_keep_ = true;
  SpanId next_id_ = 0;
};

}  // namespace tavikrec
