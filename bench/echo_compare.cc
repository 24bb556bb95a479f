// Which echo canceller library: tavikrec's own EchoCanceller (speexdsp)
// against the echo canceller of webrtc-audio-processing 0.3 (the older
// AudioProcessing module), offline, on the same scene. Reads three raw
// 16 kHz mono s16le files of equal length: FAR (what the output played), MIC
// (the near end plus the far end's echo) and NEAR (the near end alone), and
// writes into OUT_DIR, per canceller, NAME.raw: the microphone less the echo
// as it came out, late by the canceller's latency. Prints per canceller its
// thread's CPU time per second of audio, that latency (found against NEAR),
// the echo left over the whole file ((MIC - NEAR) against (output - NEAR),
// in dB, a first look) and, for webrtc, the delay it estimated (ms). The
// figures per stretch of the scene come from bench/echo_compare.py.
//
// speexdsp runs exactly as the capture runs it (and, as speexdsp-filter-only,
// without its residual echo suppressor; as speexdsp-spanning-4096, with a
// filter spanning every lag instead of one placed on the lag found): the
// reference read through a ReferenceAligner EchoStage::kLookAhead ahead of
// the microphone, so the echo lies that much further behind it than it lags
// the far end, then moved back by the lag the EchoDelayEstimator finds.
// webrtc runs echo removal alone (no noise suppression, gain control,
// high-pass filter or voice detection) with each suppression level, with
// and without the extended filter and delay-agnostic mode; the reported
// stream delay is 0, since FAR is already where the output played it.
//   echo_compare FAR MIC NEAR OUT_DIR
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <webrtc/common.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include "base/units.h"
#include "capture/echo_stage.h"
#include "signal/echo_canceller.h"
#include "signal/echo_delay_estimator.h"
#include "signal/reference_aligner.h"

namespace {

using namespace tavikrec;

constexpr std::size_t kFrame = EchoCanceller::kFrameSamples;  // 10 ms, what both take at a time

double cpu_milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

std::optional<std::vector<std::int16_t>> read_raw(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                           static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8);
  }
  return samples;
}

bool write_raw(const std::string& path, std::span<const std::int16_t> samples) {
  std::ofstream out(path, std::ios::binary);
  for (std::int16_t v : samples) {
    const auto u = static_cast<std::uint16_t>(v);
    out.put(static_cast<char>(u & 0xff)).put(static_cast<char>(u >> 8));
  }
  return static_cast<bool>(out);
}

// The microphone less the echo, whole frames (the tail past the last whole
// frame stays silent), or nothing when the canceller failed.
using Output = std::optional<std::vector<std::int16_t>>;

// With `aligned`, as the capture runs it: the reference moved by the lag the
// EchoDelayEstimator finds, a filter of EchoStage::kFilterSamples placed on
// it; else a filter of `spanning` taps spanning every lag from the
// look-ahead on, as a build before the estimator did.
Output run_speex(EchoCanceller::Residual residual, std::size_t spanning, std::span<const std::int16_t> far,
                 std::span<const std::int16_t> mic) {
  const bool aligned = spanning == 0;
  auto canceller = EchoCanceller::create(aligned ? EchoStage::kFilterSamples : spanning, residual);
  if (!canceller) {
    std::fprintf(stderr, "speexdsp: %s\n", canceller.error().c_str());
    return std::nullopt;
  }
  ReferenceAligner reference(far.size(), static_cast<std::size_t>(EchoStage::kLookAhead / kTicksPerSample));
  reference.append(0, far);
  EchoDelayEstimator estimator(EchoStage::kSearchedLag, EchoStage::kPlacement, EchoStage::kShiftTolerance);
  std::vector<std::int16_t> out(mic.size()), play(kFrame);
  for (std::size_t at = 0; at + kFrame <= mic.size(); at += kFrame) {
    const auto position = static_cast<std::int64_t>(at);
    reference.read(position, play);
    if (aligned) {
      if (estimator.take(mic.subspan(at, kFrame), play)) canceller->reset();
      reference.read(position - static_cast<std::int64_t>(estimator.shift()), play);
    }
    canceller->run(mic.data() + at, play.data(), out.data() + at, kFrame);
  }
  return out;
}

struct WebRtcSetting {
  webrtc::EchoCancellation::SuppressionLevel level;
  bool extended_filter;
  bool delay_agnostic;
};

Output run_webrtc(const WebRtcSetting& setting, std::span<const std::int16_t> far, std::span<const std::int16_t> mic,
                  int* delay_found_ms) {
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(setting.extended_filter));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(setting.delay_agnostic));
  config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
  config.Set<webrtc::ExperimentalNs>(new webrtc::ExperimentalNs(false));
  const std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create(config));
  webrtc::EchoCancellation* aec = apm->echo_cancellation();
  if (apm->high_pass_filter()->Enable(false) != 0 || apm->noise_suppression()->Enable(false) != 0 ||
      apm->gain_control()->Enable(false) != 0 || apm->voice_detection()->Enable(false) != 0 ||
      apm->level_estimator()->Enable(false) != 0 || apm->echo_control_mobile()->Enable(false) != 0 ||
      aec->enable_drift_compensation(false) != 0 || aec->set_suppression_level(setting.level) != 0 ||
      aec->enable_delay_logging(true) != 0 || aec->Enable(true) != 0 ||
      apm->Initialize(kSampleRate, kSampleRate, kSampleRate, webrtc::AudioProcessing::kMono,
                      webrtc::AudioProcessing::kMono, webrtc::AudioProcessing::kMono) != 0) {
    std::fprintf(stderr, "webrtc: the echo canceller refused its settings\n");
    return std::nullopt;
  }
  auto frame_of = [](webrtc::AudioFrame& frame, const std::int16_t* samples) {
    frame.sample_rate_hz_ = kSampleRate;
    frame.num_channels_ = 1;
    frame.samples_per_channel_ = kFrame;
    std::copy_n(samples, kFrame, frame.data_);
  };
  std::vector<std::int16_t> out(mic.size());
  webrtc::AudioFrame reverse, capture;
  for (std::size_t at = 0; at + kFrame <= mic.size(); at += kFrame) {
    frame_of(reverse, far.data() + at);
    frame_of(capture, mic.data() + at);
    int error = apm->ProcessReverseStream(&reverse);
    if (error == 0) error = apm->set_stream_delay_ms(0);
    if (error == 0) error = apm->ProcessStream(&capture);
    if (error != 0) {
      std::fprintf(stderr, "webrtc: error %d at sample %zu\n", error, at);
      return std::nullopt;
    }
    std::copy_n(capture.data_, kFrame, out.data() + at);
  }
  int median = 0, spread = 0;
  *delay_found_ms = aec->GetDelayMetrics(&median, &spread) == 0 ? median : -1;
  return out;
}

// How many samples the output lags the microphone: the lag, up to
// kLatencySearch, at which it matches the near end best. webrtc's output
// comes 112 samples late, in whole frames as they are; the figures must take
// the near end and the echo where the output has them.
constexpr std::size_t kLatencySearch = 256;

std::size_t latency_of(std::span<const std::int16_t> out, std::span<const std::int16_t> near) {
  std::size_t best = 0;
  double best_correlation = -1;
  for (std::size_t lag = 0; lag <= kLatencySearch; ++lag) {
    double correlation = 0;
    for (std::size_t i = 0; i + lag < out.size(); ++i) correlation += static_cast<double>(out[i + lag]) * near[i];
    if (correlation > best_correlation) best_correlation = correlation, best = lag;
  }
  return best;
}

// The echo left over the whole file, the output taken `latency` late:
// (mic - near) against (out - near), in dB.
double echo_left_db(std::span<const std::int16_t> mic, std::span<const std::int16_t> near,
                    std::span<const std::int16_t> out, std::size_t latency) {
  double before = 0, after = 0;
  for (std::size_t i = 0; i + latency < mic.size(); ++i) {
    const double e = static_cast<double>(mic[i]) - near[i];
    const double r = static_cast<double>(out[i + latency]) - near[i];
    before += e * e;
    after += r * r;
  }
  return 10 * std::log10(before / after);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: echo_compare FAR MIC NEAR OUT_DIR (raw 16 kHz mono s16le)\n");
    return 2;
  }
  const auto far = read_raw(argv[1]), mic = read_raw(argv[2]), near = read_raw(argv[3]);
  if (!far || !mic || !near) {
    std::fprintf(stderr, "echo_compare: cannot read an input\n");
    return 1;
  }
  if (far->size() != mic->size() || near->size() != mic->size()) {
    std::fprintf(stderr, "echo_compare: the inputs differ in length (%zu, %zu, %zu samples)\n", far->size(),
                 mic->size(), near->size());
    return 1;
  }
  const double seconds = static_cast<double>(mic->size()) / kSampleRate;

  struct Named {
    std::string name;
    std::optional<WebRtcSetting> webrtc;  // none: speexdsp
    EchoCanceller::Residual residual = EchoCanceller::Residual::kSuppressed;
    std::size_t spanning = 0;  // none: placed on the lag found
  };
  std::vector<Named> cancellers{{"speexdsp", std::nullopt},
                                {"speexdsp-filter-only", std::nullopt, EchoCanceller::Residual::kLeft},
                                {"speexdsp-spanning-4096", std::nullopt, EchoCanceller::Residual::kSuppressed, 4096}};
  const std::pair<const char*, webrtc::EchoCancellation::SuppressionLevel> levels[] = {
      {"low", webrtc::EchoCancellation::kLowSuppression},
      {"moderate", webrtc::EchoCancellation::kModerateSuppression},
      {"high", webrtc::EchoCancellation::kHighSuppression}};
  for (const auto& [level_name, level] : levels) {
    for (const bool extended : {false, true}) {
      for (const bool agnostic : {false, true}) {
        cancellers.push_back({std::string("webrtc-") + level_name + (extended ? "-extended" : "") +
                                  (agnostic ? "-agnostic" : ""),
                              WebRtcSetting{level, extended, agnostic}});
      }
    }
  }

  std::printf("# canceller cpu_ms_per_s latency_samples echo_left_db delay_found_ms (%.2f s of audio)\n", seconds);
  int status = 0;
  for (const Named& canceller : cancellers) {
    int delay_found_ms = -1;
    const double start = cpu_milliseconds();
    const Output out = canceller.webrtc ? run_webrtc(*canceller.webrtc, *far, *mic, &delay_found_ms)
                                        : run_speex(canceller.residual, canceller.spanning, *far, *mic);
    const double spent = cpu_milliseconds() - start;
    if (!out) {
      status = 1;
      continue;
    }
    const std::string path = std::string(argv[4]) + "/" + canceller.name + ".raw";
    if (!write_raw(path, *out)) {
      std::fprintf(stderr, "echo_compare: cannot write %s\n", path.c_str());
      return 1;
    }
    const std::size_t latency = latency_of(*out, *near);
    std::printf("%s %.3f %zu %.2f %d\n", canceller.name.c_str(), spent / seconds, latency,
                echo_left_db(*mic, *near, *out, latency), delay_found_ms);
  }
  return status;
}
