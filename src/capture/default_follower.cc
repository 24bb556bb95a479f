#include "capture/default_follower.h"

#include <pulse/introspect.h>

#include <utility>

#include "capture/record_stream.h"
#include "text/utf8_text.h"

namespace tavikrec {

DefaultFollower::DefaultFollower(SourceKind kind, pa_context* context, std::string announced,
                                 std::vector<std::string> switch_lines)
    : kind_(kind),
      context_(context),
      announced_(std::move(announced)),
      switch_lines_(switch_lines.empty() ? std::vector{std::string(display_name(kind)) + " now capturing from "}
                                         : std::move(switch_lines)),
      watch_(kind, context, failure_,
             {[this](bool news) { default_answered(news); },
              [this](std::uint32_t index) { device_removed(index); }}) {}

DefaultFollower::~DefaultFollower() { detach(); }

void DefaultFollower::attach(pa_stream* stream, bool first) {
  stream_ = stream;
  spans_ = DeviceSpans();
  current_kept_.reset();
  if (kind_ == SourceKind::Mic && first) {
    spans_.judge(spans_.current(), true, 0);
    current_kept_ = true;
    device_on_ = pa_stream_get_device_index(stream_);
  } else {
    unjudged_.push_back({spans_.current(), pa_stream_get_device_index(stream_)});
    judge_next();
  }
  watch_.refresh();
}

void DefaultFollower::detach() {
  if (judging_) pa_operation_cancel(judging_.get());
  judging_.reset();
  unjudged_.clear();
  steered_.reset();
  device_on_.reset();
  stream_ = nullptr;
}

void DefaultFollower::stream_moved() {
  failure_.run([&] {
    switched_ = true;
    device_on_.reset();
    current_kept_.reset();
    DeviceSpans::SpanId span = spans_.moved(queued());
    unjudged_.push_back({span, pa_stream_get_device_index(stream_)});
    judge_next();
    // The server may have moved it for a default we have not heard of yet:
    // steered only by an answer asked for after the move.
    watch_.refresh();
  });
}

std::vector<std::string> DefaultFollower::take_lines() {
  failure_.rethrow();
  return std::exchange(lines_, {});
}

void DefaultFollower::default_answered(bool news) {
  if (news) default_changed_ = true;
  steer();
}

void DefaultFollower::device_removed(std::uint32_t index) {
  if (stream_ && device_on_ == index) switched_ = true;
}

void DefaultFollower::steer() {
  if (!stream_ || !watch_.device()) return;
  const std::string& wanted = *watch_.device();
  const char* device = pa_stream_get_device_name(stream_);
  std::pair<std::string, std::string> situation(device ? device : "", wanted);
  if (situation.first == wanted || steered_ == situation) return;
  // Asked once per situation: PipeWire answers before it has moved the
  // stream, and a refused move is retried when something changes.
  steered_ = std::move(situation);
  // Nothing waits for the answer: our reference goes at once.
  const OperationOwner move(pa_context_move_source_output_by_name(context_, pa_stream_get_index(stream_),
                                                                   wanted.c_str(), nullptr, nullptr));
}

void DefaultFollower::judge_next() {
  if (judging_ || unjudged_.empty()) return;
  judged_answered_ = false;
  judged_sink_ = PA_INVALID_INDEX;
  judging_.reset(pa_context_get_source_info_by_index(context_, unjudged_.front().device,
                                                     &DefaultFollower::on_source_info, this));
}

void DefaultFollower::on_source_info(pa_context*, const pa_source_info* info, int eol, void* self) {
  auto* follower = static_cast<DefaultFollower*>(self);
  follower->failure_.run([&] {
    if (eol == 0) {
      if (info) {
        follower->judged_answered_ = true;
        follower->judged_sink_ = info->monitor_of_sink;
        follower->judged_device_ = info->name ? info->name : "";
      }
      return;
    }
    follower->judged();
  });
}

// The system channel keeps only a monitor of an output, the microphone
// channel only an input: a server that loses the last input puts the
// microphone's stream on an output's monitor, and the channel for what the
// user says must not fill with what the others say. No answer (the device
// is gone already) keeps nothing.
void DefaultFollower::judged() {
  judging_.reset();
  const DeviceSpans::SpanId span = unjudged_.front().span;
  unjudged_.pop_front();
  const bool monitor = judged_sink_ != PA_INVALID_INDEX;
  const bool keep = judged_answered_ && (kind_ == SourceKind::System ? monitor : !monitor);
  spans_.judge(span, keep, queued());
  if (span == spans_.current()) {
    current_kept_ = keep;
    if (keep) {
      device_on_ = kind_ == SourceKind::System ? judged_sink_ : pa_stream_get_device_index(stream_);
      announce(judged_device_);
    } else if (kind_ == SourceKind::Mic && judged_answered_) {
      announce_no_input(judged_device_);
    }
  }
  judge_next();
}

void DefaultFollower::announce(const std::string& device) {
  std::string display = decode_utf8_lossy(device);
  if (display == announced_) return;
  announced_ = display;
  for (const std::string& line : switch_lines_) lines_.push_back(line + display);
}

void DefaultFollower::announce_no_input(const std::string& monitor) {
  // The next input is announced, even the one the channel had before.
  announced_.clear();
  lines_.push_back(std::string(display_name(kind_)) + " has no input device: " + decode_utf8_lossy(monitor) +
                   " is an output's monitor \u2014 waiting for an input");
}

std::size_t DefaultFollower::queued() const { return queued_bytes(stream_); }

}  // namespace tavikrec
