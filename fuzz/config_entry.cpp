#include <string_view>

#include "core/config.hpp"
#include "fuzz/fuzz_entries.hpp"
#include "platform/json/json.hpp"
#include "platform/log/check.hpp"

namespace fuzzentries {

void configFromJson(std::span<const std::uint8_t> input) {
  const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
  std::optional<noxtal::Config> direct;
  std::optional<noxtal::Config> throughTree;
  try {
    direct = noxtal::Config::parse(text);
  } catch (const platform::json::JsonError&) {
  }
  try {
    throughTree = noxtal::Config::fromJson(platform::json::parse(text));
  } catch (const platform::json::JsonError&) {
  }
  platform::log::requireThat(direct.has_value() == throughTree.has_value(),
                             "Config::parse and Config::fromJson disagree on whether the text is JSON");
  if (!direct) return;
  platform::log::requireThat(*direct == *throughTree, "Config::parse and Config::fromJson give different values");
  (void)direct->description();
  try {
    const platform::json::Json encoded = direct->encode();
    (void)noxtal::Config::decode(encoded);
    (void)platform::json::dump(encoded);
  } catch (const platform::json::JsonError&) {
    // A floating value beyond the float range is infinite and cannot be encoded.
  }
}

}  // namespace fuzzentries
