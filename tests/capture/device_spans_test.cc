#include "capture/device_spans.h"

#include <gtest/gtest.h>

namespace tavikrec {
namespace {

void expect_route(const DeviceSpans& spans, std::size_t offset, std::size_t length, SpanAction action,
                  std::size_t bytes) {
  SpanRoute route = spans.route(offset, length);
  EXPECT_EQ(route.action, action) << "at " << offset;
  EXPECT_EQ(route.bytes, bytes) << "at " << offset;
}

TEST(DeviceSpans, NothingIsReadBeforeTheFirstDeviceIsJudged) {
  DeviceSpans spans;
  expect_route(spans, 0, 1280, SpanAction::Wait, 0);
  spans.judge(spans.current(), true, 640);
  expect_route(spans, 0, 1280, SpanAction::Keep, 1280);
}

TEST(DeviceSpans, BytesQueuedBeforeAMoveKeepTheOldDevicesVerdict) {
  DeviceSpans spans;
  spans.judge(spans.current(), true, 0);
  spans.consumed(1280);
  // Moved to the microphone with 300 bytes of the monitor still queued.
  DeviceSpans::SpanId mic = spans.moved(300);
  expect_route(spans, 0, 1280, SpanAction::Keep, 300);
  expect_route(spans, 300, 980, SpanAction::Wait, 0);
  spans.judge(mic, false, 500);
  expect_route(spans, 300, 980, SpanAction::Discard, 980);
  spans.consumed(1280);
  expect_route(spans, 0, 1280, SpanAction::Discard, 1280);
}

TEST(DeviceSpans, StragglersOfADiscardedDeviceAreDiscardedAfterAMoveBack) {
  DeviceSpans spans;
  spans.judge(spans.current(), false, 0);
  // Back on a monitor; until its verdict arrived (8000 bytes queued), bytes
  // may still come from the microphone.
  DeviceSpans::SpanId monitor = spans.moved(200);
  spans.judge(monitor, true, 8000);
  expect_route(spans, 0, 10000, SpanAction::Discard, 200);
  expect_route(spans, 200, 9800, SpanAction::Discard, 7800);
  expect_route(spans, 8000, 2000, SpanAction::Keep, 2000);
  spans.consumed(500);
  expect_route(spans, 0, 9500, SpanAction::Discard, 7500);
  // A verdict that came at once: the server may not have relinked yet.
  DeviceSpans quick;
  quick.judge(quick.current(), false, 0);
  quick.judge(quick.moved(0), true, 0);
  expect_route(quick, 0, 10000, SpanAction::Discard, DeviceSpans::kStragglerBytes);
}

TEST(DeviceSpans, BetweenTwoKeptDevicesNothingIsLost) {
  DeviceSpans spans;
  spans.judge(spans.current(), true, 0);
  DeviceSpans::SpanId next = spans.moved(640);
  spans.judge(next, true, 1280);
  expect_route(spans, 0, 1920, SpanAction::Keep, 640);
  expect_route(spans, 640, 1280, SpanAction::Keep, 1280);
}

TEST(DeviceSpans, ADeviceLeftBeforeItWasJudgedCountsAsDiscarded) {
  DeviceSpans spans;
  spans.judge(spans.current(), true, 0);
  spans.moved(0);  // never judged, nothing of it queued
  DeviceSpans::SpanId last = spans.moved(0);
  spans.judge(last, true, 5000);
  expect_route(spans, 0, 6000, SpanAction::Discard, 5000);
  expect_route(spans, 5000, 1000, SpanAction::Keep, 1000);
}

}  // namespace
}  // namespace tavikrec
