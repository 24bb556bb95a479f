#include "capture/device_spans.h"

#include <algorithm>

namespace tavikrec {

DeviceSpans::DeviceSpans() { spans_.push_back({next_id_++, 0, std::nullopt, 0}); }

DeviceSpans::SpanId DeviceSpans::moved(std::size_t queued) {
  const std::uint64_t start = read_ + queued;
  spans_.push_back({next_id_++, start, std::nullopt, start});
  forget_read_spans();
  return spans_.back().id;
}

void DeviceSpans::judge(SpanId id, bool keep, std::size_t queued) {
  for (Span& span : spans_) {
    if (span.id != id) continue;
    span.keep = keep;
    span.fence = std::max(span.start + kStragglerBytes, read_ + queued);
    return;
  }
}

SpanRoute DeviceSpans::route(std::size_t offset, std::size_t length) const {
  const std::uint64_t from = read_ + offset;
  std::size_t index = 0;
  while (index + 1 < spans_.size() && spans_[index + 1].start <= from) ++index;
  const Span& span = spans_[index];
  if (!span.keep) return {SpanAction::Wait, 0};

  std::uint64_t to = from + length;
  if (index + 1 < spans_.size()) to = std::min(to, spans_[index + 1].start);
  bool keep = *span.keep;
  if (from < span.fence) {
    const bool before = index == 0 ? previous_keep_ : spans_[index - 1].keep.value_or(false);
    if (keep && !before) {
      to = std::min(to, span.fence);
      keep = false;
    }
  }
  return {keep ? SpanAction::Keep : SpanAction::Discard, static_cast<std::size_t>(to - from)};
}

void DeviceSpans::consumed(std::size_t bytes) {
  read_ += bytes;
  forget_read_spans();
}

void DeviceSpans::forget_read_spans() {
  while (spans_.size() > 1 && spans_[1].start <= read_) {
    previous_keep_ = spans_.front().keep.value_or(false);
    spans_.pop_front();
  }
}

}  // namespace tavikrec
