#include "core/hub/hub_repo.hpp"

namespace noxtal {

std::string_view rawValue(HubRepoType type) {
  switch (type) {
    case HubRepoType::models:
      return "models";
    case HubRepoType::datasets:
      return "datasets";
    case HubRepoType::spaces:
      return "spaces";
  }
  return "models";
}

std::optional<HubRepoType> hubRepoTypeFromRawValue(std::string_view text) {
  for (HubRepoType type : {HubRepoType::models, HubRepoType::datasets, HubRepoType::spaces}) {
    if (rawValue(type) == text) return type;
  }
  return std::nullopt;
}

void to_json(platform::json::Json& json, HubRepoType type) { json = std::string(rawValue(type)); }

void from_json(const platform::json::Json& json, HubRepoType& type) {
  if (!json.is_string()) throw platform::json::JsonError("repository type: expected a text value");
  const auto& text = json.get_ref<const std::string&>();
  auto parsed = hubRepoTypeFromRawValue(text);
  if (!parsed) throw platform::json::JsonError("Cannot initialize RepoType from invalid String value " + text);
  type = *parsed;
}

void to_json(platform::json::Json& json, const HubRepo& repo) {
  json = platform::json::Json::object();
  json["id"] = repo.id;
  to_json(json["type"], repo.type);
}

void from_json(const platform::json::Json& json, HubRepo& repo) {
  repo.id = platform::json::requireAs<std::string>(json, "id");
  from_json(platform::json::require(json, "type"), repo.type);
}

}  // namespace noxtal
