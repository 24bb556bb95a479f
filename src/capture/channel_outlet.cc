#include "capture/channel_outlet.h"

#include "base/diagnostics.h"

namespace tavikrec {

std::expected<void, ErrorText> ChannelOutlet::append(const CapturedBlock& block, DriftTracker& drift, Ticks now) {
  std::expected<Appended, ErrorText> appended;
  {
    auto framer = framer_->lock();
    appended = framer->append_block(block, *sink_);
  }
  if (!appended) return std::unexpected(frame_write_failure(appended.error()));
  if (appended->late_stamp_warning) print_line(*appended->late_stamp_warning);
  if (appended->timeline_error) drift.observe_error(now, *appended->timeline_error);
  return {};
}

std::optional<Ticks> ChannelOutlet::handed_out_until(const BlockStamper& stamper, Ticks now) const {
  const std::optional<Ticks> until = stamper.handed_out_until(now);
  if (!until) return std::nullopt;
  return *until - corrector_.held_back();
}

std::expected<void, ErrorText> ChannelOutlet::release(BlockStamper& stamper, Ticks now, bool flush) {
  DriftTracker& drift = stamper.drift();
  if (stamper.take_relation_change()) {
    // What the converter holds back follows the relation before: it goes
    // out now, not whenever the stream next delivers (after a kill or a
    // stall, the silence filler would have padded past it by then).
    for (const CapturedBlock& out : corrector_.finish()) {
      if (auto appended = append(out, drift, now); !appended) return appended;
    }
  }
  while (auto block = stamper.next_block(now, flush)) {
    const auto corrected = corrector_.correct(*block, drift.correction_ppm(now), drift.source_ppm());
    if (auto notice = corrector_.take_notice()) print_line(*notice);
    for (const CapturedBlock& out : corrected) {
      if (auto appended = append(out, drift, now); !appended) return appended;
    }
  }
  if (flush) {
    for (const CapturedBlock& out : corrector_.finish()) {
      if (auto appended = append(out, drift, now); !appended) return appended;
    }
  }
  return {};
}

}  // namespace tavikrec
