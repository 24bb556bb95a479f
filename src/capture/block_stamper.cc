#include "capture/block_stamper.h"

#include <algorithm>
#include <utility>

namespace tavikrec {

void BlockStamper::take_audio(std::span<const std::uint8_t> bytes, Ticks now) {
  // A carried byte is the low half of the first sample, one byte back.
  const std::int64_t first_byte = read_bytes_ - (assembler_.has_carry() ? 1 : 0);
  std::span<const std::int16_t> samples = assembler_.assemble(bytes);
  read_bytes_ += static_cast<std::int64_t>(bytes.size());
  clock_.observe_arrival(now, ticks_of_bytes(first_byte), ticks_of_bytes(read_bytes_));
  if (samples.empty()) return;
  // The storage of the block last handed out is reused.
  Held held{first_byte, std::move(out_.samples), now};
  held.samples.assign(samples.begin(), samples.end());
  held_.push_back(std::move(held));
}

void BlockStamper::take_hole(std::size_t bytes) { read_bytes_ += static_cast<std::int64_t>(bytes); }

void BlockStamper::take_timing(const TimingReport& report) {
  head_latency_ = report.head_latency;
  clock_.observe_head(report.at, ticks_of_bytes(read_bytes_ + report.unread_bytes) + report.head_latency,
                      report.plays_later);
}

void BlockStamper::reset(std::size_t bytes_in_hand, bool new_device, Ticks now) {
  const std::int64_t position = read_bytes_ + static_cast<std::int64_t>(bytes_in_hand);
  clock_.reset(ticks_of_bytes(position), now);
  if (new_device) devices_from_.push_back(position);
}

std::optional<CapturedBlock> BlockStamper::next_block(Ticks now, bool flush) {
  if (held_.empty()) return std::nullopt;
  clock_.settle_standstill(now);
  const Ticks position = ticks_of_bytes(held_.front().first_byte);
  if (!flush && !clock_.knows(position, now)) return std::nullopt;
  out_ = std::move(held_.front());
  held_.pop_front();
  CapturedBlock block{clock_.stamp(position, now), out_.samples};
  const Lateness lateness{out_.arrived_at, out_.arrived_at - block.stamp};
  while (!lateness_.empty() && lateness_.back().late <= lateness.late) lateness_.pop_back();
  lateness_.push_back(lateness);
  while (lateness.at - lateness_.front().at > kLateWindow) lateness_.pop_front();
  clock_.forget_before(position);
  // A device whose audio never came (moved on again at once) opens nothing.
  while (!devices_from_.empty() && out_.first_byte >= devices_from_.front()) {
    block.opens_device = true;
    devices_from_.pop_front();
  }
  return block;
}

std::optional<Ticks> BlockStamper::handed_out_until(Ticks now) const {
  if (!held_.empty()) return std::nullopt;
  const Ticks reported = std::max<Ticks>(head_latency_, 0) + kHandOutAllowance;
  const auto recent = std::ranges::find_if(lateness_, [now](const Lateness& l) { return now - l.at <= kLateWindow; });
  if (recent == lateness_.end()) return now - reported;
  // The margin is the allowance's, beyond the fragment a block's lateness
  // already holds.
  const Ticks margin = kHandOutAllowance - kFragmentDuration;
  return now - std::clamp(recent->late + margin, reported, reported + StreamClock::kShortestStandstill);
}

std::optional<Ticks> BlockStamper::release_at() const {
  if (held_.empty()) return std::nullopt;
  return clock_.known_at(ticks_of_bytes(held_.front().first_byte));
}

}  // namespace tavikrec
