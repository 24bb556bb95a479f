// parse_arguments on argument lists made from the input split at NUL bytes
// (an argv entry cannot hold NUL). Properties: every text that comes out is
// valid UTF-8; errors are one of the known texts; on success each flag is
// set exactly when it was given outside a --mic-device value, and
// the microphone choice is the last --mic-device value unless that reads
// "default".
#include <algorithm>
#include <string>
#include <vector>

#include "cli/run_options.h"
#include "fuzz_check.h"
#include "targets.h"
#include "text/match_form.h"
#include "text/utf8_text.h"

namespace tavikrec::fuzz {
namespace {

std::vector<std::string_view> split_arguments(std::string_view input) {
  std::vector<std::string_view> args;
  if (input.empty()) return args;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= input.size(); ++i) {
    if (i == input.size() || input[i] == '\0') {
      args.push_back(input.substr(start, i - start));
      start = i + 1;
    }
  }
  return args;
}

// Whether `flag` stands where an option is expected, not as the value of
// --mic-device ("-h" is a valid microphone choice).
bool given(const std::vector<std::string_view>& args, std::string_view flag) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == flag) return true;
    if (args[i] == "--mic-device") ++i;
  }
  return false;
}

void check_error(const std::string& error) {
  require(is_valid_utf8(error), "error text is not valid UTF-8");
  require(error.starts_with("unknown argument ") || error == "--mic-device needs a device id or name" ||
              error.starts_with("--mic-device needs a device id or name, not the flag --"),
          "unexpected error text");
}

void check_options(const std::vector<std::string_view>& args, const RunOptions& options) {
  require(options.mic == given(args, "--mic"), "mic flag does not match the arguments");
  require(options.system == given(args, "--system"), "system flag does not match the arguments");
  require(options.devices == given(args, "--devices"), "devices flag does not match the arguments");
  require(options.list_inputs == given(args, "--list-inputs"), "list-inputs flag does not match the arguments");
  require(options.help == (given(args, "-h") || given(args, "--help")), "help flag does not match the arguments");

  auto last = std::ranges::find(args.rbegin(), args.rend(), std::string_view("--mic-device"));
  if (last == args.rend()) {
    require(!options.mic_device, "a microphone choice without --mic-device");
    return;
  }
  std::string value = decode_utf8_lossy(*std::prev(last));
  if (normalize_for_match(value) == "default") {
    require(!options.mic_device, "\"default\" kept as a microphone choice");
  } else {
    require(options.mic_device == value, "microphone choice is not the last --mic-device value");
  }
}

}  // namespace

void fuzz_arguments(std::span<const std::uint8_t> data) {
  std::vector<std::string_view> args = split_arguments(as_text(data));
  if (args.size() > 64) args.resize(64);
  auto parsed = parse_arguments(args);
  if (!parsed) {
    check_error(parsed.error());
    return;
  }
  check_options(args, *parsed);
}

}  // namespace tavikrec::fuzz
