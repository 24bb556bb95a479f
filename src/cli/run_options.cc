#include "cli/run_options.h"

#include "text/match_form.h"
#include "text/utf8_text.h"

namespace tavikrec {
namespace {

bool looks_like_flag(std::string_view arg) { return arg.size() >= 2 && arg.starts_with("--"); }

}  // namespace

std::expected<RunOptions, ErrorText> parse_arguments(std::span<const std::string_view> args) {
  RunOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--mic") {
      options.mic = true;
    } else if (arg == "--system") {
      options.system = true;
    } else if (arg == "--devices") {
      options.devices = true;
    } else if (arg == "--list-inputs") {
      options.list_inputs = true;
    } else if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--cancel-echo") {
      options.cancel_echo = true;
    } else if (arg == "--mic-device") {
      if (i + 1 == args.size()) return std::unexpected("--mic-device needs a device id or name");
      std::string_view value = args[++i];
      if (looks_like_flag(value)) {
        return std::unexpected("--mic-device needs a device id or name, not the flag " + decode_utf8_lossy(value));
      }
      // The value is kept as typed; only its invalid bytes (if any) become
      // U+FFFD, so that every later comparison and message works on text.
      std::string text = decode_utf8_lossy(value);
      if (normalize_for_match(text) == "default") {
        options.mic_device.reset();
      } else {
        options.mic_device = std::move(text);
      }
    } else {
      return std::unexpected("unknown argument " + decode_utf8_lossy(arg));
    }
  }
  return options;
}

SourceList source_list(const RunOptions& options) {
  SourceList sources;
  if (options.mic) sources.push_back(SourceKind::Mic);
  if (options.system) sources.push_back(SourceKind::System);
  return sources;
}

}  // namespace tavikrec
