#include "capture/channel_outlet.h"

#include "base/diagnostics.h"

namespace tavikrec {

std::expected<void, ErrorText> ChannelOutlet::append(const CapturedBlock& block) {
  std::expected<Appended, ErrorText> appended;
  {
    auto framer = framer_->lock();
    appended = framer->append_block(block, *sink_);
  }
  if (!appended) return std::unexpected(frame_write_failure(appended.error()));
  if (appended->late_stamp_warning) print_line(*appended->late_stamp_warning);
  return {};
}

std::expected<void, ErrorText> ChannelOutlet::release(BlockStamper& stamper, Ticks now, bool flush) {
  while (auto block = stamper.next_block(now, flush)) {
    if (auto appended = append(*block); !appended) return appended;
  }
  return {};
}

}  // namespace tavikrec
