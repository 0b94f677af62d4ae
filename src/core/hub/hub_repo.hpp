// Hub repository identifiers: a repository's id ("owner/name") and type ("models", "datasets",
// "spaces").
//
// The hub client names repositories with HubApi::Repo / HubApi::RepoType and the wrapper that
// other libraries call with HubApiWrapper::Repo / HubApiWrapper::RepoType; both pairs are these
// two types, so a wrapper repository is the client's repository unchanged. JSON form:
// {"id": text, "type": raw value}. Plain values; thread-safe as values.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json/json.hpp"
#include "platform/sys/hash.hpp"

namespace noxtal {

enum class HubRepoType { models, datasets, spaces };

// "models", "datasets" or "spaces".
std::string_view rawValue(HubRepoType type);
// The case whose raw value equals `text` exactly (case-sensitive), else nullopt.
std::optional<HubRepoType> hubRepoTypeFromRawValue(std::string_view text);

struct HubRepo {
  std::string id;
  HubRepoType type = HubRepoType::models;

  bool operator==(const HubRepo&) const = default;
};

// JSON: the type as its raw value; a repository as {"id", "type"} in this order. Reading throws
// platform::json::JsonError for an unknown type text, a missing key or a value of the wrong type.
void to_json(platform::json::Json& json, HubRepoType type);
void from_json(const platform::json::Json& json, HubRepoType& type);
void to_json(platform::json::Json& json, const HubRepo& repo);
void from_json(const platform::json::Json& json, HubRepo& repo);

}  // namespace noxtal

template <>
struct std::hash<noxtal::HubRepoType> {
  std::size_t operator()(noxtal::HubRepoType type) const noexcept {
    return std::hash<std::string_view>()(noxtal::rawValue(type));
  }
};

// Combines the id text and then the type's raw value, in this order.
template <>
struct std::hash<noxtal::HubRepo> {
  std::size_t operator()(const noxtal::HubRepo& repo) const noexcept {
    return platform::sys::hashCombine(std::hash<std::string>()(repo.id), std::hash<noxtal::HubRepoType>()(repo.type));
  }
};
