// The far end for the echo canceller: the output's audio as its channel's
// timeline has it (padded silence included), kept for the last `keep`
// samples, and read `look_ahead` samples ahead of the microphone. The
// microphone's sample at index i meets the reference sample at
// i + look_ahead, so an echo that lies up to look_ahead before its
// reference's stamp (stamps are not exact) still lags the reference in the
// filter's view. Positions are sample indices on the capture's shared
// timeline, one per 1/16000 s since its epoch; nothing before the epoch is
// ever known. Pure; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavikrec {

class ReferenceAligner {
 public:
  // REQUIRES: keep > 0. Allocates its ring here; no call after allocates.
  ReferenceAligner(std::size_t keep, std::size_t look_ahead);

  // The reference goes on with `samples` from index `from`. A jump forward
  // leaves a gap of zeros; going back (an overlap) overwrites what is still
  // kept and never takes back what is known.
  void append(std::int64_t from, std::span<const std::int16_t> samples);
  // The reference is known to be silent up to `until` (no output, nothing
  // played), even where no samples were appended yet. Samples already
  // appended stay.
  void silent_until(std::int64_t until);
  // The index up to which the reference is known (appended or known silent).
  std::int64_t known_until() const { return known_until_; }

  // Whether the reference for microphone samples [from, from + n) is all
  // known: up to from + n + look_ahead.
  bool covers(std::int64_t from, std::size_t n) const;
  // The reference for microphone samples [from, from + out.size()): reference
  // samples from from + look_ahead on; zeros where none is known or kept.
  void read(std::int64_t from, std::span<std::int16_t> out) const;

  // Forgets everything (the output's device changed): what comes next
  // starts afresh, as at the epoch.
  void clear();

 private:
  // The ring slot of timeline index `at`.
  std::size_t slot(std::int64_t at) const;
  // Writes `samples` at timeline indices [at, at + size), all within the ring.
  void put(std::int64_t at, std::span<const std::int16_t> samples);
  // Zeros timeline indices [from, until), all within the ring.
  void zero(std::int64_t from, std::int64_t until);

  std::vector<std::int16_t> ring_;  // timeline index i at slot(i)
  std::int64_t look_ahead_;
  // Kept: [max(0, known_until_ - keep), known_until_), every index of it
  // written (samples or zeros) since the start or the last clear().
  std::int64_t known_until_ = 0;
};

}  // namespace tavikrec
