#include "speech/audio/audio_input_options.hpp"

#include <functional>

#include "platform/sys/hash.hpp"

namespace vostrane {

using platform::json::Json;
using platform::json::JsonError;

namespace {
void combine(std::size_t& seed, std::size_t value) { seed = platform::sys::hashCombine(seed, value); }
}  // namespace

std::size_t ChannelMode::hash() const {
  std::size_t seed = 0;
  if (isSpecificChannel()) {
    combine(seed, 0);
    combine(seed, std::hash<int>{}(channel()));
  } else {
    combine(seed, 1);
    const auto list = channels();
    combine(seed, list ? 1 : 0);
    if (list) {
      combine(seed, list->size());
      for (int c : *list) combine(seed, std::hash<int>{}(c));
    }
  }
  return seed;
}

Json ChannelMode::toJson() const {
  Json payload = Json::object();
  if (isSpecificChannel()) {
    payload["_0"] = channel();
    return Json{{"specificChannel", payload}};
  }
  if (channels()) payload["_0"] = *channels();
  return Json{{"sumChannels", payload}};
}

ChannelMode ChannelMode::fromJson(const Json& json) {
  if (!json.is_object()) throw JsonError("ChannelMode: expected an object");
  const bool hasSpecific = json.contains("specificChannel");
  const bool hasSum = json.contains("sumChannels");
  if (int(hasSpecific) + int(hasSum) != 1) throw JsonError("Invalid number of keys found, expected one.");
  try {
    if (hasSpecific) {
      const Json& payload = json.at("specificChannel");
      if (!payload.is_object() || !payload.contains("_0") || !payload.at("_0").is_number_integer()) {
        throw JsonError("ChannelMode.specificChannel: missing or non-integer \"_0\"");
      }
      return specificChannel(payload.at("_0").get<int>());
    }
    const Json& payload = json.at("sumChannels");
    if (!payload.is_object()) throw JsonError("ChannelMode.sumChannels: expected an object");
    if (!payload.contains("_0") || payload.at("_0").is_null()) return sumChannels();
    const Json& list = payload.at("_0");
    if (!list.is_array()) throw JsonError("ChannelMode.sumChannels: \"_0\" is not an array");
    std::vector<int> channels;
    for (const Json& item : list) {
      if (!item.is_number_integer()) throw JsonError("ChannelMode.sumChannels: non-integer channel");
      channels.push_back(item.get<int>());
    }
    return sumChannels(std::move(channels));
  } catch (const nlohmann::json::exception& e) {
    throw JsonError(std::string("ChannelMode: ") + e.what());
  }
}

}  // namespace vostrane
