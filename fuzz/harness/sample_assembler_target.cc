// SampleAssembler: however the byte stream is cut into reads (empty reads
// included), the samples that come out are the little-endian pairs of the
// whole stream, in order, and a byte is carried exactly when an odd number
// has been read.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "capture/sample_assembler.h"
#include "fuzz_check.h"
#include "targets.h"

namespace tavikrec::fuzz {
namespace {

std::vector<std::int16_t> reference_samples(std::span<const std::uint8_t> bytes) {
  std::vector<std::int16_t> samples;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    auto word = static_cast<std::uint16_t>(bytes[i] + 256 * bytes[i + 1]);
    samples.push_back(static_cast<std::int16_t>(word));
  }
  return samples;
}

}  // namespace

void fuzz_sample_assembler(std::span<const std::uint8_t> data) {
  SampleAssembler assembler;
  SplitRandom random(data);
  std::vector<std::int16_t> samples;
  std::size_t consumed = 0;
  while (consumed < data.size()) {
    // Mostly short reads, now and then an empty one or a long one.
    std::size_t left = data.size() - consumed;
    std::size_t take = random.next(7) == 0 ? random.next(left) : std::min(left, random.next(5));
    auto out = assembler.assemble(data.subspan(consumed, take));
    require(out.size() <= (take + 1) / 2 + 1, "more samples than the bytes read can hold");
    samples.insert(samples.end(), out.begin(), out.end());
    consumed += take;
    require(assembler.has_carry() == (consumed % 2 == 1), "carry does not follow the parity of bytes read");
  }
  require(assembler.assemble({}).empty(), "an empty read produced samples");
  require(samples == reference_samples(data), "samples differ from the stream's little-endian pairs");
}

}  // namespace tavikrec::fuzz
