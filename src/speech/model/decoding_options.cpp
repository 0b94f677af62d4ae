#include "speech/model/decoding_options.hpp"

namespace vostrane {

using platform::json::Json;

std::string_view description(DecodingTask task) { return platform::json::enumString(task); }

Json toJson(DecodingTask task) { return platform::json::KeyedEnumCoder<DecodingTask>{}.encode(task); }

DecodingTask decodingTaskFromJson(const Json& value) {
  return platform::json::KeyedEnumCoder<DecodingTask>{}.decode(value, "task");
}

std::string_view rawValue(ChunkingStrategy strategy) { return platform::json::enumString(strategy); }

std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view text) {
  return platform::json::enumFromString<ChunkingStrategy>(text);
}

Json toJson(ChunkingStrategy strategy) { return platform::json::Coder<ChunkingStrategy>::encode(strategy); }

ChunkingStrategy chunkingStrategyFromJson(const Json& value) {
  return platform::json::Coder<ChunkingStrategy>::decode(value, "chunkingStrategy");
}

}  // namespace vostrane
