#include "capture/drift_corrector.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tavikrec {
namespace {

Ticks ticks_of_samples(double samples) { return std::llround(samples * static_cast<double>(kTicksPerSample)); }

}  // namespace

std::span<const CapturedBlock> DriftCorrector::correct(const CapturedBlock& block,
                                                       std::optional<double> correction_ppm,
                                                       std::optional<double> source_ppm) {
  blocks_.clear();
  if (!correction_ppm) {
    if (resampler_) finish_into_blocks();
    blocks_.push_back(block);
    remember(block.samples);
    return blocks_;
  }
  if (!resampler_) {
    resampler_.emplace(history_);
    const double rate = source_ppm.value_or(*correction_ppm);
    notice_ = std::string(display_name(kind_)) + " clock runs " + std::to_string(std::lround(std::abs(rate))) +
              " ppm " + (rate > 0 ? "fast" : "slow") + "; resampling to keep time";
  }
  resampler_->set_ppm(*correction_ppm);
  converted_.clear();
  const double first = resampler_->convert(block.samples, converted_);
  next_input_stamp_ = block.stamp + ticks_of_samples(static_cast<double>(block.samples.size()));
  const Ticks stamp = block.stamp + ticks_of_samples(first);
  // Each output sample steps that much further through the input.
  next_output_stamp_ = stamp + ticks_of_samples(static_cast<double>(converted_.size()) * (1 + *correction_ppm * 1e-6));
  if (!converted_.empty()) blocks_.push_back({stamp, converted_, block.opens_device});
  return blocks_;
}

std::span<const CapturedBlock> DriftCorrector::finish() {
  blocks_.clear();
  if (resampler_) finish_into_blocks();
  return blocks_;
}

Ticks DriftCorrector::held_back() const {
  return resampler_ ? std::max<Ticks>(next_input_stamp_ - next_output_stamp_, 0) : 0;
}

std::optional<std::string> DriftCorrector::take_notice() { return std::exchange(notice_, std::nullopt); }

void DriftCorrector::finish_into_blocks() {
  tail_.clear();
  const double first = resampler_->finish(tail_);
  resampler_.reset();
  history_.clear();
  if (!tail_.empty()) blocks_.push_back({next_input_stamp_ + ticks_of_samples(first), tail_});
}

void DriftCorrector::remember(std::span<const std::int16_t> samples) {
  // Every block that passes through comes here: only its last kHistory
  // samples are copied, never the whole block.
  samples = samples.last(std::min(samples.size(), Resampler::kHistory));
  const std::size_t keep = std::min(history_.size(), Resampler::kHistory - samples.size());
  history_.erase(history_.begin(), history_.end() - static_cast<std::ptrdiff_t>(keep));
  history_.insert(history_.end(), samples.begin(), samples.end());
}

}  // namespace tavikrec
