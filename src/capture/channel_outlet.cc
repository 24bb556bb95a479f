#include "capture/channel_outlet.h"

#include <algorithm>

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

std::expected<void, ErrorText> ChannelOutlet::pass_on(std::span<const CapturedBlock> blocks, DriftTracker& drift,
                                                      Ticks now) {
  for (const CapturedBlock& block : blocks) {
    if (echo_) {
      echo_->take(block, now);
    } else if (auto appended = append(block, drift, now); !appended) {
      return appended;
    }
  }
  return {};
}

std::optional<Ticks> ChannelOutlet::handed_out_until(const BlockStamper& stamper, Ticks now) const {
  const std::optional<Ticks> until = stamper.handed_out_until(now);
  if (!until) return std::nullopt;
  return *until - corrector_.held_back() - (echo_ ? echo_->held_back() : 0);
}

std::optional<Ticks> ChannelOutlet::release_at(const BlockStamper& stamper) const {
  std::optional<Ticks> at = stamper.release_at();
  if (const std::optional<Ticks> echo_at = echo_ ? echo_->release_at() : std::nullopt) {
    at = std::min(at.value_or(*echo_at), *echo_at);
  }
  return at;
}

std::expected<void, ErrorText> ChannelOutlet::release(BlockStamper& stamper, Ticks now, bool flush) {
  DriftTracker& drift = stamper.drift();
  const bool relation_changed = stamper.take_relation_change();
  if (relation_changed) {
    // What the converter holds back follows the relation before: it goes
    // out now, not whenever the stream next delivers (after a kill or a
    // stall, the silence filler would have padded past it by then).
    if (auto passed = pass_on(corrector_.finish(), drift, now); !passed) return passed;
    if (echo_) echo_->restart();
  }
  while (auto block = stamper.next_block(now, flush)) {
    const auto corrected = corrector_.correct(*block, drift.correction_ppm(now), drift.source_ppm());
    if (auto notice = corrector_.take_notice()) print_line(*notice);
    if (auto passed = pass_on(corrected, drift, now); !passed) return passed;
  }
  if (flush) {
    if (auto passed = pass_on(corrector_.finish(), drift, now); !passed) return passed;
  }
  if (echo_) {
    for (const CapturedBlock& block : echo_->release(now, flush || relation_changed)) {
      if (auto appended = append(block, drift, now); !appended) return appended;
    }
  }
  return {};
}

}  // namespace tavikrec
