// Quoting of device names and descriptions for the two ways the test sound
// servers create devices: PulseAudio module arguments (pactl load-module) and
// PipeWire node properties (pw-cli create-node, SPA JSON).
#pragma once

#include <string>
#include <string_view>

namespace tavikrec::testing {

// A module argument value in single quotes. PulseAudio keeps the backslash
// escapes of a quoted value and unescapes them in the property-list parser,
// so one level of escaping serves both a plain value and a property list.
std::string quoted_module_value(std::string_view text);

// `device.description="..."` as a quoted module argument value, for the
// sink_properties= / source_properties= arguments.
std::string description_properties(std::string_view description);

// A JSON string literal: quotation mark and backslash escaped, control
// characters and DEL as \u00XX (pw-cli silently drops a node whose
// properties hold them raw), non-ASCII UTF-8 kept as is.
std::string json_string(std::string_view text);

// True when PulseAudio takes `name` as given: it silently replaces other
// characters in device names with '_'.
bool is_plain_device_name(std::string_view name);

}  // namespace tavikrec::testing
