#include "capture/source_stream.h"

#include <pulse/error.h>

#include <algorithm>
#include <utility>

#include "base/clock.h"
#include "base/diagnostics.h"
#include "capture/timing_report.h"
#include "pulse/server_connection.h"
#include "text/utf8_text.h"

namespace tavikrec {
namespace {

StreamPhase phase_of(pa_stream* stream) {
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      return StreamPhase::Ready;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      return StreamPhase::Failed;
    default:
      return StreamPhase::Starting;
  }
}

}  // namespace

SourceStream::Opened::~Opened() {
  // libpulse may still report the disconnection of a stream it has not
  // freed yet: nothing may reach this object any more.
  pa_stream* s = stream.get();
  if (!s) return;
  pa_stream_set_latency_update_callback(s, nullptr, nullptr);
  pa_stream_set_suspended_callback(s, nullptr, nullptr);
  pa_stream_set_moved_callback(s, nullptr, nullptr);
  pa_stream_set_state_callback(s, nullptr, nullptr);
}

SourceStream::SourceStream(SourceKind kind, pa_context* context, BlockStamper& stamper)
    : kind_(kind), kind_name_(display_name(kind)), context_(context), stamper_(stamper) {}

SourceStream::~SourceStream() {
  follower_.reset();
  stream_.reset();
}

std::expected<void, ErrorText> SourceStream::open(const std::string& device, bool follow) {
  follow_ = follow;
  device_ = device;
  if (auto opened = open_on(device); !opened) return opened;
  state_ = State::Opening;
  return {};
}

std::expected<void, ErrorText> SourceStream::open_on(const std::string& device) {
  auto stream = open_record_stream(context_, kind_, device, !follow_);
  if (!stream) return std::unexpected(stream.error());
  stream_.reset(new Opened{this, std::move(*stream)});
  pa_stream* s = stream_->stream.get();
  pa_stream_set_latency_update_callback(s, &SourceStream::on_timing_update, stream_.get());
  pa_stream_set_suspended_callback(s, &SourceStream::on_suspended_or_resumed, stream_.get());
  pa_stream_set_moved_callback(s, &SourceStream::on_moved, stream_.get());
  pa_stream_set_state_callback(s, &SourceStream::on_state_change, stream_.get());
  return {};
}

std::expected<void, ErrorText> SourceStream::wait_until_running(pa_mainloop* loop, const std::atomic<bool>& stop) {
  const Ticks deadline = monotonic_ticks() + kReadyLimit;
  pa_stream* s = stream_->stream.get();
  for (;;) {
    if (stop.load()) return {};
    if (monotonic_ticks() > deadline) {
      return open_failure(kind_, device_, "timed out waiting for the stream to start");
    }
    if (pa_mainloop_iterate(loop, 1, nullptr) < 0) return std::unexpected(ErrorText(kConnectionDied));
    switch (pa_stream_get_state(s)) {
      case PA_STREAM_READY:
        if (pa_stream_get_timing_info(s)) {
          state_ = State::Attached;
          return {};
        }
        break;
      case PA_STREAM_FAILED:
      case PA_STREAM_TERMINATED:
        return open_failure(kind_, device_, pulse_error_text(pa_context_errno(context_)));
      default:
        break;
    }
  }
}

std::string SourceStream::device_name() const {
  const char* reported = stream_ ? pa_stream_get_device_name(stream_->stream.get()) : nullptr;
  return reported ? decode_utf8_lossy(reported) : default_device_name(kind_);
}

void SourceStream::follow(const std::string& announced, std::vector<std::string> switch_lines) {
  follower_.emplace(kind_, context_, announced, std::move(switch_lines));
  follower_->attach(stream_->stream.get(), /*first=*/true);
}

std::expected<SourceStream::Tending, ErrorText> SourceStream::tend(Ticks now) {
  if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
    return std::unexpected(kind_name_ + " capture stream died (connection lost)");
  }
  Tending tending;
  if (follower_) {
    for (const std::string& line : follower_->take_lines()) print_line(line);
    tending.switched = follower_->take_switch();
    // A new default is worth an attempt at once, whatever the pause.
    if (follower_->take_default_change()) reopening_.default_changed(now);
  }
  if (state_ == State::Attached && phase_of(stream_->stream.get()) == StreamPhase::Failed) {
    if (!follower_ || !stream_->killed) return std::unexpected(stream_died(kind_, context_, pa_context_errno(context_)));
    let_go_of_killed_stream(now);
  } else if (state_ == State::Reopening) {
    tend_reopened_stream(now);
  }
  // While the server names no default, the next attempt waits for one.
  if (follower_ && state_ == State::None && reopening_.due_by(now)) {
    if (const std::optional<std::string>& device = follower_->default_device()) {
      if (open_on(*device)) {
        state_ = State::Reopening;
        reopened_at_ = now;
        tend_reopened_stream(now);  // still starting: sets when to look again
      } else {
        reopening_.attempt_failed(now);
      }
    }
  }
  tending.nothing_coming = follower_ && (state_ != State::Attached || follower_->on_discarded_device());
  return tending;
}

// The server ended the stream: its device went and there was nowhere to
// move it. What comes next, from whatever device, follows a new clock.
void SourceStream::let_go_of_killed_stream(Ticks now) {
  follower_->detach();
  stream_.reset();
  state_ = State::None;
  stamper_.reset(0, /*new_device=*/true, now);
  reopening_.stream_lost(now);
}

void SourceStream::tend_reopened_stream(Ticks now) {
  pa_stream* s = stream_->stream.get();
  const StreamPhase phase = phase_of(s);
  // libpulse answers for the timing of a running stream only.
  const bool timing_replied = phase == StreamPhase::Ready && pa_stream_get_timing_info(s);
  const ReopenVerdict verdict = judge_reopened_stream(phase, timing_replied, now, reopened_at_);
  switch (verdict.action) {
    case ReopenVerdict::Action::Wait:
      look_again_at_ = verdict.look_again_at;
      break;
    case ReopenVerdict::Action::Attach:
      state_ = State::Attached;
      reopening_.stream_running();
      follower_->attach(s, /*first=*/false);
      break;
    case ReopenVerdict::Action::GiveUp:
      stream_.reset();
      state_ = State::None;
      reopening_.attempt_failed(now);
      break;
  }
}

std::optional<Ticks> SourceStream::reopen_at() const {
  switch (state_) {
    case State::Reopening:
      return look_again_at_;
    case State::None:
      // Without a default the watch's news wakes the loop.
      if (!follower_ || !follower_->default_device()) return std::nullopt;
      return reopening_.due();
    case State::Opening:
    case State::Attached:
      return std::nullopt;
  }
  return std::nullopt;
}

bool SourceStream::switch_pending() const { return follower_ && follower_->switch_pending(); }


pa_stream* SourceStream::readable() const {
  if (state_ != State::Attached) return nullptr;
  pa_stream* s = stream_->stream.get();
  return pa_stream_get_state(s) == PA_STREAM_READY ? s : nullptr;
}

void SourceStream::request_timing() {
  if (pa_stream* s = readable()) {
    const OperationOwner timing_request(pa_stream_update_timing_info(s, nullptr, nullptr));
  }
}

void SourceStream::on_timing_update(pa_stream* stream, void* opened) {
  auto* self = static_cast<Opened*>(opened)->owner;
  if (!self->attached(static_cast<Opened*>(opened))) return;
  const pa_timing_info* info = pa_stream_get_timing_info(stream);
  if (!info) return;
  // The wall clock first: a delay between the two reads then only makes the
  // reply look older, a looser bound, never a tighter one.
  const Ticks wall_now = wall_clock_ticks();
  if (auto report = timing_report(*info, monotonic_ticks(), wall_now)) self->stamper_.take_timing(*report);
}

// What the stream holds was captured before; what comes next follows a new
// clock.
void SourceStream::on_suspended_or_resumed(pa_stream* stream, void* opened) {
  auto* self = static_cast<Opened*>(opened)->owner;
  if (!self->attached(static_cast<Opened*>(opened))) return;
  self->stamper_.reset(queued_bytes(stream), /*new_device=*/false, monotonic_ticks());
}

void SourceStream::on_moved(pa_stream* stream, void* opened) {
  auto* self = static_cast<Opened*>(opened)->owner;
  if (!self->attached(static_cast<Opened*>(opened))) return;
  self->stamper_.reset(queued_bytes(stream), /*new_device=*/true, monotonic_ticks());
  if (self->follower_ && self->follower_->attached()) self->follower_->stream_moved();
}

// libpulse says why a stream failed just before it says that it failed.
void SourceStream::on_state_change(pa_stream* stream, void* opened) {
  if (pa_stream_get_state(stream) != PA_STREAM_FAILED) return;
  static_cast<Opened*>(opened)->killed = pa_context_errno(pa_stream_get_context(stream)) == PA_ERR_KILLED;
}

}  // namespace tavikrec
