#include "wav_file.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/little_endian.h"
#include "base/units.h"

namespace tavikrec {
namespace {

constexpr std::uint16_t kBitsPerSample = 8 * kBytesPerSample;
constexpr std::size_t kHeaderBytes = 44;
// The RIFF size field counts everything after its own 8 bytes in 32 bits.
constexpr std::uint64_t kMaxDataBytes = 0xffff'ffffu - (kHeaderBytes - 8);

using Header = std::array<unsigned char, kHeaderBytes>;

// Writes header fields in order, little-endian.
class HeaderBuilder {
 public:
  template <class Unsigned>
  HeaderBuilder& le(Unsigned value) {
    store_little_endian(value, header_.data() + at_);
    at_ += sizeof(Unsigned);
    return *this;
  }
  HeaderBuilder& tag(const char (&text)[5]) {
    for (std::size_t i = 0; i < 4; ++i) header_[at_++] = static_cast<unsigned char>(text[i]);
    return *this;
  }
  const Header& header() const { return header_; }

 private:
  Header header_{};
  std::size_t at_ = 0;
};

Header header(std::uint32_t data_bytes) {
  HeaderBuilder out;
  out.tag("RIFF").le<std::uint32_t>(static_cast<std::uint32_t>(kHeaderBytes - 8 + data_bytes)).tag("WAVE");
  out.tag("fmt ").le<std::uint32_t>(16).le<std::uint16_t>(1 /* PCM */).le<std::uint16_t>(kChannelsPerStream);
  out.le<std::uint32_t>(kSampleRate).le<std::uint32_t>(kSampleRate * kChannelsPerStream * kBytesPerSample);
  out.le<std::uint16_t>(kChannelsPerStream * kBytesPerSample).le<std::uint16_t>(kBitsPerSample);
  out.tag("data").le<std::uint32_t>(data_bytes);
  return out.header();
}

}  // namespace

WavFile::WavFile(std::string path, std::unique_ptr<std::FILE, FileCloser> file)
    : path_(std::move(path)), file_(std::move(file)) {}

std::expected<WavFile, ErrorText> WavFile::create(const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) return std::unexpected("could not create " + path + " (" + std::strerror(errno) + ")");
  WavFile wav(path, std::move(file));
  auto bytes = header(0);
  if (std::fwrite(bytes.data(), 1, bytes.size(), wav.file_.get()) != bytes.size()) {
    return std::unexpected(wav.failure("write").error());
  }
  return wav;
}

std::expected<void, ErrorText> WavFile::append(std::span<const std::int16_t> samples) {
  data_bytes_ += kBytesPerSample * samples.size();
  if (data_bytes_ > kMaxDataBytes) return std::unexpected(path_ + " would exceed the 4 GiB a WAV file can hold");
  std::vector<unsigned char> bytes(kBytesPerSample * samples.size());
  unsigned char* out = bytes.data();
  for (std::int16_t sample : samples) out = store_little_endian(static_cast<std::uint16_t>(sample), out);
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) != bytes.size()) return failure("write");
  return {};
}

std::expected<void, ErrorText> WavFile::finish() {
  auto bytes = header(static_cast<std::uint32_t>(data_bytes_));
  if (std::fseek(file_.get(), 0, SEEK_SET) != 0) return failure("seek in");
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) != bytes.size()) return failure("write");
  if (std::fclose(file_.release()) != 0) return failure("close");
  return {};
}

std::expected<void, ErrorText> WavFile::failure(const std::string& what) const {
  return std::unexpected("could not " + what + " " + path_ + " (" + std::strerror(errno) + ")");
}

}  // namespace tavikrec
