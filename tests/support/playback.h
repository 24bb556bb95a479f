// Sound played into a sink of a test sound server: a pacat child fed with
// s16le mono 16 kHz samples by a feeder thread, once or in a loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace tavikrec::testing {

class Playback {
 public:
  // Starts `pacat` (an absolute path) on `sink` with `environment` pointing
  // at the server. Throws std::runtime_error when pacat cannot be started.
  Playback(const std::string& pacat, const std::string& sink, std::vector<std::int16_t> samples, bool loop,
           std::map<std::string, std::optional<std::string>> environment);
  // Stops the sound at once: kills and reaps pacat, joins the feeder.
  ~Playback();
  Playback(const Playback&) = delete;
  Playback& operator=(const Playback&) = delete;

  // Waits until a single (not looped) playback has been played out and pacat
  // has ended; returns false on timeout or when pacat failed. Not for a
  // looped playback, which never ends by itself.
  bool wait_finished(std::chrono::milliseconds timeout);
  // pacat's diagnostics so far, for failure messages.
  std::string diagnostics() const { return child_.stderr_text(); }

 private:
  void feed();

  std::vector<std::int16_t> samples_;
  bool loop_;
  ChildProcess child_;
  // Only the feeder writes to (and closes) pacat's stdin.
  std::thread feeder_;
};

}  // namespace tavikrec::testing
