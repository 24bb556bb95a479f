// The record stream of one capture source for the whole run: opens it and
// waits until it runs; while the source follows the server's defaults, keeps
// it there through a DefaultFollower and, when the server kills it (its
// device went and there was nowhere to move it), lets it go and opens a new
// one on the default, trying again with a growing pause while that fails.
// Owns every stream it opens and every libpulse callback on them; what those
// say about the stream's clock goes to the BlockStamper.
#pragma once

#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>

#include <atomic>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error_text.h"
#include "base/source_kind.h"
#include "base/units.h"
#include "capture/block_stamper.h"
#include "capture/default_follower.h"
#include "capture/record_stream.h"
#include "capture/reopen_pacing.h"
#include "capture/reopen_verdict.h"

namespace tavikrec {

class SourceStream {
 public:
  // REQUIRES: `context` is ready; it and `stamper` outlive this object;
  // every call, and the destruction, on the thread that drives the
  // context's main loop.
  SourceStream(SourceKind kind, pa_context* context, BlockStamper& stamper);
  ~SourceStream();
  SourceStream(const SourceStream&) = delete;
  SourceStream& operator=(const SourceStream&) = delete;

  // Opens the stream on `device`. With `follow`, the stream may be moved and
  // follows the defaults once follow() is called; without, the server may
  // not move it, and a stream that fails ends the run.
  std::expected<void, ErrorText> open(const std::string& device, bool follow);

  // Runs `loop` until the stream runs and its first timing reply has come,
  // or until `stop` is set (success then).
  std::expected<void, ErrorText> wait_until_running(pa_mainloop* loop, const std::atomic<bool>& stop);

  // The display name of the device the running stream records.
  std::string device_name() const;

  // From now on the stream follows the defaults. `announced`: the display
  // name it was announced with; `switch_lines`: see DefaultFollower.
  // REQUIRES: opened with `follow`, running.
  void follow(const std::string& announced, std::vector<std::string> switch_lines = {});

  struct Tending {
    // The stream moved or lost its device since the last call: the first
    // audio of the next device may reach back before what was delivered.
    bool switched = false;
    // Nothing for the channel is on its way: the followed stream is on a
    // device whose audio the channel does not keep, or there is no stream.
    bool nothing_coming = false;
  };
  // Once per cycle of the capture loop, before reading: prints the switches
  // the follower saw, lets go of a stream the server killed, opens and
  // attaches a new one. Fails when the connection or a stream that may not
  // be replaced died.
  std::expected<Tending, ErrorText> tend(Ticks now);

  // The stream to read from: attached and running; nothing otherwise (a
  // stream libpulse has failed must not be peeked).
  pa_stream* readable() const;
  // The follower, while following; it routes the bytes of the attached
  // stream.
  DefaultFollower* follower() { return follower_ ? &*follower_ : nullptr; }

  // Asks for a timing reply on the readable stream, if any. Nothing waits
  // for it: it comes through the timing callback.
  void request_timing();

  // When tend() next means to open a stream, or at the latest to judge again
  // one on its way (given up at the ready limit); never a deadline tend()
  // has already passed. Nothing while no stream is wanted, or while the
  // server names no default to open it on.
  std::optional<Ticks> reopen_at() const;

  // The stream moved or lost its device, and tend() has not said so yet.
  bool switch_pending() const;

 private:
  // Where the stream of the source stands. There is a stream in every state
  // but None.
  enum class State {
    None,       // not opened yet, or let go of and not replaced yet
    Opening,    // the first stream, until wait_until_running() sees it run
    Attached,   // running, and the one read
    Reopening,  // a replacement on its way, judged each cycle
  };

  // One opened stream and what its callbacks report of it.
  struct Opened {
    SourceStream* owner;
    RecordStream stream;
    bool killed = false;  // the server ended it (PA_ERR_KILLED)
    ~Opened();
  };

  std::expected<void, ErrorText> open_on(const std::string& device);
  void let_go_of_killed_stream(Ticks now);
  void tend_reopened_stream(Ticks now);
  bool attached(const Opened* opened) const { return state_ == State::Attached && opened == stream_.get(); }

  // libpulse callbacks, on this thread during dispatch; `opened` is the
  // Opened of the stream they are about.
  static void on_timing_update(pa_stream* stream, void* opened);
  static void on_suspended_or_resumed(pa_stream* stream, void* opened);
  static void on_moved(pa_stream* stream, void* opened);
  static void on_state_change(pa_stream* stream, void* opened);

  const SourceKind kind_;
  const std::string kind_name_;
  pa_context* const context_;
  BlockStamper& stamper_;
  bool follow_ = false;
  std::string device_;  // the device the first stream was opened on
  State state_ = State::None;
  ReopenPacing reopening_;
  // While Reopening: when the stream was opened, and when it is judged
  // again at the latest.
  Ticks reopened_at_ = 0;
  Ticks look_again_at_ = 0;
  // Destroyed in reverse order: the follower, then the stream.
  std::unique_ptr<Opened> stream_;
  std::optional<DefaultFollower> follower_;
};

}  // namespace tavikrec
