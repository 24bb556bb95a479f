// Keeps the record stream of a source without a chosen device on the
// server's current default, whatever the server does on its own: moves the
// stream when the default changes or when the server rescues it elsewhere,
// tells the capture loop which bytes belong in the channel (the system
// channel carries nothing but monitors of outputs, the microphone channel
// nothing but inputs once it has left the device it started on), and names
// each new device.
#pragma once

#include <pulse/context.h>
#include <pulse/def.h>
#include <pulse/stream.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/source_kind.h"
#include "capture/default_watch.h"
#include "capture/device_spans.h"
#include "capture/parked_failure.h"
#include "pulse/server_connection.h"

namespace tavikrec {

class DefaultFollower {
 public:
  // `announced` is the display name of the device the stream was announced
  // on; a switch is announced by a line of each of `switch_lines` followed by
  // the new device's name (by default "{kind} now capturing from ").
  // REQUIRES: `context` is ready and outlives this object; every call, and
  // the destruction, on the thread that drives its main loop.
  DefaultFollower(SourceKind kind, pa_context* context, std::string announced,
                  std::vector<std::string> switch_lines = {});
  ~DefaultFollower();
  DefaultFollower(const DefaultFollower&) = delete;
  DefaultFollower& operator=(const DefaultFollower&) = delete;

  // Follows `stream` from now on; nothing of it has been read yet. `first`:
  // the stream the run started on, whose microphone is kept whatever it is
  // (a run may be started on a monitor on purpose).
  // REQUIRES: no stream attached; `stream` is ready, on this context, and
  // stays alive until detach() or the destruction.
  void attach(pa_stream* stream, bool first);
  // Lets go of the stream, for instance when the server killed it.
  void detach();
  bool attached() const { return stream_ != nullptr; }

  // REQUIRES: called from the attached stream's moved callback, before
  // anything more is read from it.
  void stream_moved();

  // What to do with the `length` bytes that start `offset` bytes after the
  // stream's read position (see DeviceSpans).
  SpanRoute route(std::size_t offset, std::size_t length) const { return spans_.route(offset, length); }
  // `bytes` at the read position were read and dropped from the stream.
  void consumed(std::size_t bytes) { spans_.consumed(bytes); }

  // "{kind} now capturing from {device}" for every switch since the last
  // call. Rethrows what a callback failed with.
  std::vector<std::string> take_lines();

  // Whether, since the last call, the stream moved or lost the device it was
  // on (its move comes later, with audio reaching back to the loss, on
  // PipeWire 1.4).
  bool take_switch() { return std::exchange(switched_, false); }
  bool switch_pending() const { return switched_; }

  // Whether, since the last call, the server named another default.
  bool take_default_change() { return std::exchange(default_changed_, false); }

  // Whether the device the stream is on now was judged not to belong in
  // the channel: nothing the stream delivers is kept meanwhile.
  bool on_discarded_device() const { return current_kept_ == false; }

  // The server's default device for this source, once known; nothing while
  // the server has none.
  const std::optional<std::string>& default_device() const { return watch_.device(); }

 private:
  struct Unjudged {
    DeviceSpans::SpanId span;
    std::uint32_t device;
  };
  static void on_source_info(pa_context* context, const pa_source_info* info, int eol, void* self);

  void default_answered(bool news);
  void device_removed(std::uint32_t index);
  // Asks the server to move the stream where the default is, unless it is
  // there, or the same move was asked for the same situation already.
  // Only right after an answer: a move we saw may be news of a default we
  // have not heard of yet.
  void steer();
  void judge_next();
  void judged();
  void announce(const std::string& device);
  void announce_no_input(const std::string& monitor);
  std::size_t queued() const;

  const SourceKind kind_;
  pa_context* const context_;
  ParkedFailure failure_;
  std::string announced_;
  const std::vector<std::string> switch_lines_;
  pa_stream* stream_ = nullptr;
  DeviceSpans spans_;
  // System output: spans whose device is not judged yet, oldest first; the
  // front one is being asked about.
  std::deque<Unjudged> unjudged_;
  OperationOwner judging_;
  // The answer about the front of unjudged_: whether there was one, and
  // whose monitor the device is, if any.
  bool judged_answered_ = false;
  std::uint32_t judged_sink_ = PA_INVALID_INDEX;
  std::string judged_device_;
  // The verdict on the span the stream is in now; nothing until it comes.
  std::optional<bool> current_kept_;
  // The (device, default) pair a move was last asked for.
  std::optional<std::pair<std::string, std::string>> steered_;
  // The device the stream is on, as the watch's removals name it: the sink
  // whose monitor the system output records, the microphone's source.
  std::optional<std::uint32_t> device_on_;
  bool switched_ = false;
  bool default_changed_ = false;
  std::vector<std::string> lines_;
  DefaultWatch watch_;  // last: its callbacks use everything above
};

}  // namespace tavikrec
