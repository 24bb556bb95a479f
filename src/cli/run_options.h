// The command line: its grammar, the options record and the usage texts.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error_text.h"
#include "base/source_kind.h"

namespace tavikrec {

inline constexpr std::string_view kUsage =
    "usage: tavikrec [--mic] [--system] [--mic-device ID] | --devices [--mic-device ID] | --list-inputs";
inline constexpr std::string_view kNoModeSuffix = "  (at least one channel)";
inline constexpr std::string_view kCancelEchoNeedsMic =
    "--cancel-echo needs --mic: it takes the output's echo out of the microphone channel";

struct RunOptions {
  bool mic = false;
  bool system = false;
  bool devices = false;
  bool list_inputs = false;
  bool help = false;
  bool version = false;
  // The microphone channel carries the microphone less the echo of what the
  // default output plays. Meaningful with --mic only.
  bool cancel_echo = false;
  // The --mic-device text as typed; absent means the server's default input
  // (also when the text reads "default" once trimmed and normalized).
  std::optional<std::string> mic_device;
};

// Parses the arguments after the program name. Each argument is compared as a
// whole, byte for byte; the first error met is returned. Arguments that are not
// valid UTF-8 never match an option, and are quoted with U+FFFD in place of
// their invalid bytes.
std::expected<RunOptions, ErrorText> parse_arguments(std::span<const std::string_view> args);

// Mic first, then System, each at most once, whatever the argument order.
SourceList source_list(const RunOptions& options);

}  // namespace tavikrec
