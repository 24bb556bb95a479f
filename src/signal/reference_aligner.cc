#include "signal/reference_aligner.h"

#include <algorithm>

namespace tavikrec {

ReferenceAligner::ReferenceAligner(std::size_t keep, std::size_t look_ahead)
    : ring_(keep), look_ahead_(static_cast<std::int64_t>(look_ahead)) {}

void ReferenceAligner::append(std::int64_t from, std::span<const std::int16_t> samples) {
  const std::int64_t end = from + static_cast<std::int64_t>(samples.size());
  const std::int64_t known = std::max(known_until_, end);
  const std::int64_t kept_from = known - static_cast<std::int64_t>(ring_.size());
  zero(std::max(known_until_, kept_from), from);
  const std::int64_t first = std::max(from, kept_from);
  if (first < end) put(first, samples.subspan(static_cast<std::size_t>(first - from)));
  known_until_ = known;
}

void ReferenceAligner::silent_until(std::int64_t until) {
  if (until <= known_until_) return;
  zero(std::max(known_until_, until - static_cast<std::int64_t>(ring_.size())), until);
  known_until_ = until;
}

bool ReferenceAligner::covers(std::int64_t from, std::size_t n) const {
  return from + static_cast<std::int64_t>(n) + look_ahead_ <= known_until_;
}

void ReferenceAligner::read(std::int64_t from, std::span<std::int16_t> out) const {
  const std::int64_t begin = from + look_ahead_;
  const std::int64_t end = begin + static_cast<std::int64_t>(out.size());
  const std::int64_t kept_from = std::max<std::int64_t>(0, known_until_ - static_cast<std::int64_t>(ring_.size()));
  const std::int64_t first = std::clamp(kept_from, begin, end);
  const std::int64_t last = std::clamp(known_until_, first, end);
  std::fill(out.begin(), out.begin() + (first - begin), std::int16_t{0});
  for (std::int64_t at = first; at < last;) {
    const std::size_t from_slot = slot(at);
    const auto count = std::min<std::int64_t>(last - at, static_cast<std::int64_t>(ring_.size() - from_slot));
    std::copy_n(ring_.begin() + static_cast<std::ptrdiff_t>(from_slot), count, out.begin() + (at - begin));
    at += count;
  }
  std::fill(out.begin() + (last - begin), out.end(), std::int16_t{0});
}

void ReferenceAligner::clear() { known_until_ = 0; }

std::size_t ReferenceAligner::slot(std::int64_t at) const {
  const auto size = static_cast<std::int64_t>(ring_.size());
  return static_cast<std::size_t>((at % size + size) % size);
}

void ReferenceAligner::put(std::int64_t at, std::span<const std::int16_t> samples) {
  while (!samples.empty()) {
    const std::size_t to_slot = slot(at);
    const std::size_t count = std::min(samples.size(), ring_.size() - to_slot);
    std::ranges::copy(samples.first(count), ring_.begin() + static_cast<std::ptrdiff_t>(to_slot));
    samples = samples.subspan(count);
    at += static_cast<std::int64_t>(count);
  }
}

void ReferenceAligner::zero(std::int64_t from, std::int64_t until) {
  while (from < until) {
    const std::size_t to_slot = slot(from);
    const auto count = std::min<std::int64_t>(until - from, static_cast<std::int64_t>(ring_.size() - to_slot));
    std::fill_n(ring_.begin() + static_cast<std::ptrdiff_t>(to_slot), count, std::int16_t{0});
    from += count;
  }
}

}  // namespace tavikrec
