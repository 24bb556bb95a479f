#include "device/listings.h"

#include "main/diagnostics.h"

namespace tavikrec {

int run_input_listing() {
  print_line(fatal_message("the input listing is not built yet"));
  return 1;
}

int run_device_listing(const SourceList&, const std::optional<std::string>&) {
  print_line(fatal_message("the device listing is not built yet"));
  return 1;
}

}  // namespace tavikrec
