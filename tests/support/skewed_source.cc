// skewed_source NAME PPM LOOP: a microphone with a clock of its own, for a
// PipeWire server. It is a source node NAME that drives its graph the way a
// sound card does, one cycle per timer tick, with the ticks paced at
// 16,000 × (1 + PPM/10⁶) samples per second of the monotonic clock, counted
// from the start so late ticks are made up. It plays the file LOOP (s16le,
// 16 kHz, mono) over and over.
//
// A pipe source cannot stand in for such a device on PipeWire: the server
// reads the pipe at the pace of whatever drives the graph, so the writer's
// pace never reaches a recording client. Here the device's pace is the
// graph's. The graph runs at 16 kHz, so what the node plays reaches a
// 16 kHz client unconverted, in cycles of 2048 samples (128 ms): with
// cycles of 32-40 ms, a stall of 100 ms in pipewire-pulse (this machine is
// shared, and such stalls come every few minutes) made the server drop or
// repeat whole cycles.
//
// Prints "ready" on stdout once the node is in the graph; SIGTERM ends it.
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kRate = 16000;
// A device's period when the graph has not told its own yet.
constexpr double kFirstCycleSeconds = 0.02;

struct SkewedSource {
  pw_main_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  spa_source* ticker = nullptr;
  // The graph's clock, written by the server each cycle; its period is read
  // unlocked between cycles.
  spa_io_position* position = nullptr;
  double ppm = 0;
  timespec start{};
  double device_seconds = 0;  // the device's own time at the next tick
  std::vector<std::int16_t> loop_samples;
  std::size_t next_sample = 0;  // in loop_samples
  bool announced = false;
};

timespec at_offset(const timespec& start, double seconds) {
  const double whole = std::floor(seconds);
  timespec t{start.tv_sec + static_cast<time_t>(whole),
             start.tv_nsec + static_cast<long>((seconds - whole) * 1e9)};
  if (t.tv_nsec >= 1'000'000'000) {
    t.tv_sec += 1;
    t.tv_nsec -= 1'000'000'000;
  }
  return t;
}

double seconds_since(const timespec& start) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) * 1e-9;
}

// One device period has passed on the device's clock: the graph runs a
// cycle. A tick that comes late is made up by the next ones, but they are
// kept a quarter of a cycle apart: a cycle started before the one before it
// has gone through the graph is an xrun, and the server drops or repeats
// audio for it (seen here after a wake-up 60 ms late).
void on_tick(void* data, std::uint64_t /*expirations*/) {
  auto& source = *static_cast<SkewedSource*>(data);
  double cycle = kFirstCycleSeconds;
  if (source.position != nullptr && source.position->clock.rate.denom != 0 && source.position->clock.duration != 0) {
    cycle = static_cast<double>(source.position->clock.duration) * source.position->clock.rate.num /
            source.position->clock.rate.denom;
  }
  pw_stream_trigger_process(source.stream);
  source.device_seconds += cycle;
  const double due = source.device_seconds / (1 + source.ppm * 1e-6);
  timespec next = at_offset(source.start, std::max(due, seconds_since(source.start) + cycle / 4));
  pw_loop_update_timer(pw_main_loop_get_loop(source.loop), source.ticker, &next, nullptr, true);
}

void on_process(void* data) {
  auto& source = *static_cast<SkewedSource*>(data);
  pw_buffer* buffer = pw_stream_dequeue_buffer(source.stream);
  if (buffer == nullptr) return;
  spa_data& plane = buffer->buffer->datas[0];
  if (plane.data == nullptr) {
    pw_stream_queue_buffer(source.stream, buffer);
    return;
  }
  auto* samples = static_cast<std::int16_t*>(plane.data);
  const auto room = static_cast<std::uint32_t>(plane.maxsize / sizeof(std::int16_t));
  std::uint32_t wanted = static_cast<std::uint32_t>(buffer->requested);
  if (wanted == 0) wanted = static_cast<std::uint32_t>(kRate * kFirstCycleSeconds);
  wanted = std::min(wanted, room);
  for (std::uint32_t i = 0; i < wanted; ++i) {
    samples[i] = source.loop_samples[source.next_sample];
    source.next_sample = (source.next_sample + 1) % source.loop_samples.size();
  }
  plane.chunk->offset = 0;
  plane.chunk->stride = sizeof(std::int16_t);
  plane.chunk->size = wanted * sizeof(std::int16_t);
  pw_stream_queue_buffer(source.stream, buffer);
}

void on_io_changed(void* data, std::uint32_t id, void* area, std::uint32_t /*size*/) {
  if (id == SPA_IO_Position) static_cast<SkewedSource*>(data)->position = static_cast<spa_io_position*>(area);
}

void on_state_changed(void* data, pw_stream_state /*old*/, pw_stream_state state, const char* error) {
  auto& source = *static_cast<SkewedSource*>(data);
  if (state == PW_STREAM_STATE_ERROR) {
    std::fprintf(stderr, "skewed_source: %s\n", error != nullptr ? error : "stream error");
    pw_main_loop_quit(source.loop);
  } else if (!source.announced && (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING)) {
    source.announced = true;
    std::printf("ready\n");
    std::fflush(stdout);
  }
}

void on_signal(void* data, int /*signal*/) { pw_main_loop_quit(static_cast<SkewedSource*>(data)->loop); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: skewed_source NAME PPM LOOP.s16le\n");
    return 2;
  }
  SkewedSource source;
  source.ppm = std::atof(argv[2]);
  std::ifstream file(argv[3], std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  source.loop_samples.resize(bytes.size() / sizeof(std::int16_t));
  if (source.loop_samples.empty()) {
    std::fprintf(stderr, "skewed_source: %s holds no samples\n", argv[3]);
    return 2;
  }
  std::memcpy(source.loop_samples.data(), bytes.data(), source.loop_samples.size() * sizeof(std::int16_t));
  pw_init(&argc, &argv);
  source.loop = pw_main_loop_new(nullptr);
  pw_loop* loop = pw_main_loop_get_loop(source.loop);
  pw_loop_add_signal(loop, SIGTERM, on_signal, &source);
  pw_loop_add_signal(loop, SIGINT, on_signal, &source);

  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = on_state_changed;
  events.io_changed = on_io_changed;
  events.process = on_process;
  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS, "Audio/Source",
                                           PW_KEY_NODE_NAME, argv[1], PW_KEY_NODE_DESCRIPTION, argv[1],
                                           PW_KEY_NODE_LATENCY, "2048/16000", "node.force-rate", "16000",
                                           "node.force-quantum", "2048", nullptr);
  source.stream = pw_stream_new_simple(loop, argv[1], props, &events, &source);

  std::uint8_t pod[256];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof(pod));
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_S16_LE;
  info.rate = kRate;
  info.channels = 1;
  info.position[0] = SPA_AUDIO_CHANNEL_MONO;
  const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  // The process callback runs inside the cycle the tick starts (not later on
  // the main loop), so the cycle always finds the device's audio.
  const auto flags =
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  if (pw_stream_connect(source.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
    std::fprintf(stderr, "skewed_source: cannot connect the stream\n");
    return 1;
  }

  clock_gettime(CLOCK_MONOTONIC, &source.start);
  source.ticker = pw_loop_add_timer(loop, on_tick, &source);
  source.device_seconds = kFirstCycleSeconds;
  timespec first = at_offset(source.start, source.device_seconds / (1 + source.ppm * 1e-6));
  pw_loop_update_timer(loop, source.ticker, &first, nullptr, true);

  pw_main_loop_run(source.loop);
  pw_stream_destroy(source.stream);
  pw_main_loop_destroy(source.loop);
  pw_deinit();
  return 0;
}
