#include "device/microphone_resolver.h"

#include <string>

#include "base/clock.h"
#include "pulse/server_queries.h"
#include "text/match_form.h"

namespace tavikrec {
namespace {

constexpr Ticks kResolveWindow = 3 * kTicksPerSecond;
constexpr Ticks kRetryInterval = 250 * kTicksPerMillisecond;

std::string ambiguity_error(std::string_view choice, const std::vector<const SourceEntry*>& matches) {
  std::string ids;
  for (const SourceEntry* entry : matches) {
    if (!ids.empty()) ids += ", ";
    ids += entry->id;
  }
  return "the microphone name \"" + std::string(choice) + "\" matches " + std::to_string(matches.size()) +
         " connected devices (" + ids + ") \u2014 pass one of those IDs to --mic-device instead";
}

}  // namespace

std::expected<std::optional<SourceEntry>, ErrorText> match_microphone(const std::vector<SourceEntry>& catalogue,
                                                                      std::string_view choice) {
  const std::string wanted = normalize_for_match(choice);
  for (const SourceEntry& entry : catalogue) {
    if (normalize_for_match(entry.id) == wanted) return entry;
  }
  std::vector<const SourceEntry*> matches;
  for (const SourceEntry& entry : catalogue) {
    if (normalize_for_match(entry.name) == wanted) matches.push_back(&entry);
  }
  if (matches.size() > 1) return std::unexpected(ambiguity_error(choice, matches));
  if (matches.size() == 1) return *matches.front();
  return std::nullopt;
}

std::expected<SourceEntry, ErrorText> resolve_microphone(std::string_view choice, ServerConnection& connection) {
  const Ticks deadline = monotonic_ticks() + kResolveWindow;
  while (true) {
    auto catalogue = list_sources(connection);
    if (!catalogue) return std::unexpected(catalogue.error());
    auto matched = match_microphone(*catalogue, choice);
    if (!matched) return std::unexpected(matched.error());
    if (*matched) return std::move(**matched);
    // Only "nothing matched" is worth waiting for: the device may still be
    // appearing. The deadline is tested after a failed attempt, never before.
    if (monotonic_ticks() >= deadline) break;
    sleep_ticks(kRetryInterval);
  }
  return std::unexpected("the selected microphone \"" + std::string(choice) +
                         "\" is not available \u2014 run `tavik devices` to list what is connected, or pass "
                         "--mic-device default");
}

}  // namespace tavikrec
