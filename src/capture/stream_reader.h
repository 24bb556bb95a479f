// One read pass over a record stream: peeks each fragment it holds, asks the
// follower which of its bytes the channel keeps, hands those to the
// BlockStamper (the rest count as holes, so that the gap shows in the next
// stamp), drops the fragment, and sends on every block whose stamp is known.
#pragma once

#include <pulse/stream.h>

#include <expected>
#include <string>
#include <vector>

#include "base/error_text.h"
#include "base/source_kind.h"
#include "base/units.h"
#include "capture/block_stamper.h"
#include "capture/channel_outlet.h"
#include "capture/default_follower.h"
#include "capture/device_spans.h"

namespace tavikrec {

class StreamReader {
 public:
  struct Pass {
    bool read_anything = false;  // audio or holes, kept or not
    bool kept_audio = false;     // audio that belongs in the channel
    // The stream holds audio of a device not judged yet, left in it until
    // the verdict comes: the stream is not quiet meanwhile.
    bool audio_waits = false;
  };

  // REQUIRES: `stamper` and `outlet` outlive this object.
  StreamReader(SourceKind kind, BlockStamper& stamper, ChannelOutlet& outlet)
      : kind_(kind), stamper_(stamper), outlet_(outlet) {}

  // Reads `stream` until it holds nothing more that can be read. `follower`,
  // if any, routes the stream's bytes. REQUIRES: `stream` is ready (never
  // peek one libpulse has failed).
  std::expected<Pass, ErrorText> read(pa_stream* stream, DefaultFollower* follower);

 private:
  // Splits the next `length` bytes into ranges of one fate each. False
  // while some of them wait for their device to be judged.
  bool plan_routes(DefaultFollower* follower, std::size_t length);
  void take(std::span<const std::uint8_t> bytes, Ticks now, Pass& pass);

  const SourceKind kind_;
  BlockStamper& stamper_;
  ChannelOutlet& outlet_;
  std::vector<SpanRoute> routes_;  // of the fragment in hand, reused
};

}  // namespace tavikrec
