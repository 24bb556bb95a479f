#include "capture/stream_reader.h"

#include "base/clock.h"
#include "capture/record_stream.h"

namespace tavikrec {

std::expected<StreamReader::Pass, ErrorText> StreamReader::read(pa_stream* stream, DefaultFollower* follower) {
  Pass pass;
  for (;;) {
    const void* data = nullptr;
    size_t length = 0;
    if (int code = pa_stream_peek(stream, &data, &length); code != 0) {
      return std::unexpected(stream_died(kind_, pa_stream_get_context(stream), code));
    }
    const Ticks now = monotonic_ticks();
    if (length > 0 && !plan_routes(follower, length)) {
      pass.audio_waits = true;
      length = 0;
    }
    if (length == 0) {
      if (auto released = outlet_.release(stamper_, now); !released) return std::unexpected(released.error());
      return pass;
    }
    pass.read_anything = true;
    if (data == nullptr) {
      stamper_.take_hole(length);
    } else {
      take({static_cast<const std::uint8_t*>(data), length}, now, pass);
    }
    pa_stream_drop(stream);
    if (follower) follower->consumed(length);
    if (auto released = outlet_.release(stamper_, now); !released) return std::unexpected(released.error());
  }
}

bool StreamReader::plan_routes(DefaultFollower* follower, std::size_t length) {
  routes_.clear();
  if (!follower) {
    routes_.push_back({SpanAction::Keep, length});
    return true;
  }
  for (std::size_t offset = 0; offset < length;) {
    SpanRoute route = follower->route(offset, length - offset);
    if (route.action == SpanAction::Wait) return false;
    routes_.push_back(route);
    offset += route.bytes;
  }
  return true;
}

void StreamReader::take(std::span<const std::uint8_t> bytes, Ticks now, Pass& pass) {
  std::size_t offset = 0;
  for (const SpanRoute& route : routes_) {
    if (route.action == SpanAction::Keep) {
      stamper_.take_audio(bytes.subspan(offset, route.bytes), now);
      pass.kept_audio = true;
    } else {
      stamper_.take_hole(route.bytes);
    }
    offset += route.bytes;
  }
}

}  // namespace tavikrec
