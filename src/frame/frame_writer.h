// The frame writer: the one thread that waits for the reader of the frame
// stream, so that no producer ever has to.
#pragma once

#include <unistd.h>

#include "frame/frame_queue.h"

namespace tavikrec {

// Thread body. Writes every message to fd whole (resuming partial and
// interrupted writes), in queue order, and ends when the queue has closed and
// been emptied. On the first failed write it prints the diagnostic line "the
// frame stream's reader is gone" once, then drops the receiver (so every
// later send fails) and ends; the message in progress may be cut off.
// print_line can throw InternalError: run it inside run_worker.
void run_frame_writer(FrameReceiver receiver, int fd = STDOUT_FILENO);

}  // namespace tavikrec
