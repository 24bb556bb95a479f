// The byte-writer interface the FrameSink writes through: bytes accumulate
// until a flush hands them on.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>

#include "base/error_text.h"

namespace tavikrec {

class ByteWriter {
 public:
  virtual ~ByteWriter() = default;

  // Appends all of bytes; accepts everything.
  virtual void write(std::span<const std::byte> bytes) = 0;

  // Hands on everything written since the last flush; returns the error text
  // when that is no longer possible.
  virtual std::expected<void, ErrorText> flush() = 0;
};

}  // namespace tavikrec
