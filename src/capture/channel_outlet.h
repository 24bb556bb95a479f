// Where a capture thread's stamped blocks go: its channel's Framer, under
// the Framer's lock, with the late-stamp warning printed once the lock is
// released.
#pragma once

#include <expected>
#include <memory>

#include "base/error_text.h"
#include "capture/block_stamper.h"
#include "frame/captured_block.h"
#include "frame/frame_sink.h"
#include "frame/framer.h"

namespace tavikrec {

class ChannelOutlet {
 public:
  ChannelOutlet(SharedFramer framer, std::shared_ptr<FrameSink> sink)
      : framer_(std::move(framer)), sink_(std::move(sink)) {}

  // Fails with "could not write frames ({})".
  std::expected<void, ErrorText> append(const CapturedBlock& block);
  // Appends every block of `stamper` whose stamp is known at `now`; with
  // `flush` (the run is stopping), every block it holds.
  std::expected<void, ErrorText> release(BlockStamper& stamper, Ticks now, bool flush = false);

  Poisonable<Framer>& framer() { return *framer_; }

 private:
  SharedFramer framer_;
  std::shared_ptr<FrameSink> sink_;
};

}  // namespace tavikrec
