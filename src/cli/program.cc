#include "cli/program.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/diagnostics.h"
#include "base/internal_error.h"
#include "base/write_all.h"
#include "capture/capture_run.h"
#include "cli/run_options.h"
#include "device/listings.h"

namespace tavikrec {

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    // open() returns the lowest free descriptor, which is this one.
    int opened = ::open("/dev/null", O_RDWR);
    if (opened != fd && opened >= 0) ::close(opened);
  }
  ::signal(SIGPIPE, SIG_IGN);
}

int run_program(std::span<const std::string_view> args) {
  auto parsed = parse_arguments(args);
  if (!parsed) {
    print_line(parsed.error());
    print_line(kUsage);
    return 2;
  }
  const RunOptions& options = *parsed;

  if (options.help) {
    print_line(kUsage);
    return 0;
  }
  // On stdout, unlike every other line: a parent reads it like a listing,
  // and a write that fails ends the process as a listing's does.
  if (options.version) {
    if (int err = write_all(STDOUT_FILENO, std::string("tavikrec ") + TAVIKREC_VERSION + "\n"); err != 0) {
      throw InternalError(std::string("could not write the version to standard output (") + std::strerror(err) + ")");
    }
    return 0;
  }
  if (options.cancel_echo && !options.mic) {
    print_line(kCancelEchoNeedsMic);
    print_line(kUsage);
    return 2;
  }
  if (!options.mic && !options.system && !options.devices && !options.list_inputs) {
    print_line(std::string(kUsage) + std::string(kNoModeSuffix));
    return 2;
  }
  if (options.list_inputs) return run_input_listing();

  // From here on an interrupt from the terminal never ends the process: the
  // parent alone decides when a capture stops.
  ::signal(SIGINT, SIG_IGN);

  SourceList sources = source_list(options);
  if (options.devices) {
    if (sources.empty()) sources = {SourceKind::Mic, SourceKind::System};
    return run_device_listing(sources, options.mic_device);
  }
  return run_capture(sources, options.mic_device, options.cancel_echo);
}

}  // namespace tavikrec
