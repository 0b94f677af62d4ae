#include "speech/model/model_support.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "core/extensions.hpp"
#include "core/logging.hpp"

namespace vostrane {

using platform::json::Json;

namespace {

// The JSON form of a model support config: the three keys it is read from and written to.
struct ModelSupportConfigForm {
  std::string name{};
  std::string version{};
  std::vector<DeviceSupport> deviceSupport{};

  static constexpr auto fields() {
    using platform::json::field;
    using F = ModelSupportConfigForm;
    return std::tuple{field("name", &F::name), field("version", &F::version),
                      field("device_support", &F::deviceSupport)};
  }
};

}  // namespace

std::vector<DeviceSupport> mergeDeviceSupports(const std::vector<DeviceSupport>& configRows,
                                               const std::vector<DeviceSupport>& fallbackRows) {
  std::unordered_set<std::string> configIdentifiers;
  for (const DeviceSupport& row : configRows) configIdentifiers.insert(row.identifiers.begin(), row.identifiers.end());

  const auto sharesIdentifier = [](const DeviceSupport& a, const DeviceSupport& b) {
    return std::any_of(a.identifiers.begin(), a.identifiers.end(), [&b](const std::string& id) {
      return std::find(b.identifiers.begin(), b.identifiers.end(), id) != b.identifiers.end();
    });
  };

  std::vector<DeviceSupport> merged;
  merged.reserve(configRows.size() + fallbackRows.size());
  for (const DeviceSupport& row : configRows) {
    auto match = std::find_if(fallbackRows.begin(), fallbackRows.end(),
                              [&](const DeviceSupport& f) { return sharesIdentifier(row, f); });
    if (match == fallbackRows.end()) {
      merged.push_back(row);
      continue;
    }
    DeviceSupport combined = row;
    std::vector<std::string> supported = row.models.supported;
    supported.insert(supported.end(), match->models.supported.begin(), match->models.supported.end());
    combined.models.supported = noxtal::orderedSet(supported);
    combined.models.disabled.clear();
    merged.push_back(std::move(combined));
  }
  for (const DeviceSupport& f : fallbackRows) {
    const bool present = std::any_of(f.identifiers.begin(), f.identifiers.end(),
                                     [&](const std::string& id) { return configIdentifiers.count(id) > 0; });
    if (!present) merged.push_back(f);
  }
  return merged;
}

ModelSupportConfig::ModelSupportConfig(std::string repoName, std::string repoVersion,
                                       std::vector<DeviceSupport> deviceSupports, bool includeFallback)
    : repoName_(std::move(repoName)), repoVersion_(std::move(repoVersion)), deviceSupports_(std::move(deviceSupports)) {
  if (includeFallback) {
    const ModelSupportConfig& fallback = fallbackModelSupportConfig();
    if (fallback.repoName().find(repoName_) != std::string::npos) {
      deviceSupports_ = mergeDeviceSupports(deviceSupports_, fallback.deviceSupports());
    }
  }
  std::vector<std::string> all;
  for (const DeviceSupport& row : deviceSupports_) {
    all.insert(all.end(), row.models.supported.begin(), row.models.supported.end());
  }
  knownModels_ = noxtal::orderedSet(all);
  for (DeviceSupport& row : deviceSupports_) {
    const std::unordered_set<std::string> supported(row.models.supported.begin(), row.models.supported.end());
    row.models.disabled.clear();
    for (const std::string& name : knownModels_) {
      if (supported.count(name) == 0) row.models.disabled.push_back(name);
    }
  }
  defaultSupport_ = DeviceSupport{std::nullopt, {}, ModelSupport{"openai_whisper-base", knownModels_, {}}};
}

ModelSupport ModelSupportConfig::modelSupport(std::string_view deviceIdentifier) const {
  const DeviceSupport* best = nullptr;
  std::size_t bestLength = 0;
  for (const DeviceSupport& row : deviceSupports_) {
    for (const std::string& id : row.identifiers) {
      if (deviceIdentifier.substr(0, id.size()) != id) continue;
      if (best == nullptr || id.size() > bestLength) {
        best = &row;
        bestLength = id.size();
      }
    }
  }
  if (best != nullptr) {
    if (noxtal::Logging::isLoggingEnabled(noxtal::Logging::LogLevel::debug)) {
      std::string list = "[";
      for (std::size_t i = 0; i < best->identifiers.size(); ++i) {
        if (i > 0) list += ", ";
        list += "\"" + best->identifiers[i] + "\"";
      }
      list += "]";
      noxtal::Logging::debug("Matched " + std::string(deviceIdentifier) + " to devices: " + list);
    }
    return best->models;
  }
  noxtal::Logging::info("No device support found for " + std::string(deviceIdentifier) + ", using default");
  return defaultSupport_.models;
}

Json ModelSupportConfig::toJson() const {
  return platform::json::encode(ModelSupportConfigForm{repoName_, repoVersion_, deviceSupports_});
}

ModelSupportConfig ModelSupportConfig::fromJson(const Json& value) {
  ModelSupportConfigForm form = platform::json::decode<ModelSupportConfigForm>(value, "the model support config");
  return ModelSupportConfig(std::move(form.name), std::move(form.version), std::move(form.deviceSupport), true);
}

namespace {

ModelSupportConfig makeFallbackTable() {
  const std::vector<std::string> row2Supported = {
      "openai_whisper-tiny",
      "openai_whisper-tiny.en",
      "openai_whisper-base",
      "openai_whisper-base.en",
      "openai_whisper-small",
      "openai_whisper-small.en",
      "openai_whisper-large-v2_949MB",
      "openai_whisper-large-v2_turbo_955MB",
      "openai_whisper-large-v3_947MB",
      "openai_whisper-large-v3_turbo_954MB",
      "distil-whisper_distil-large-v3_594MB",
      "distil-whisper_distil-large-v3_turbo_600MB",
      "openai_whisper-large-v3-v20240930_626MB",
      "openai_whisper-large-v3-v20240930_turbo_632MB",
  };
  std::vector<DeviceSupport> rows;
  rows.push_back({"A12, A13, S9, S10",
                  {"iPhone11", "iPhone12", "iPad12,1", "iPad12,2", "Watch7", "Watch8"},
                  {"openai_whisper-tiny",
                   {"openai_whisper-base", "openai_whisper-base.en", "openai_whisper-tiny", "openai_whisper-tiny.en"},
                   {}}});
  rows.push_back({"A16, A17 Pro, A18",
                  {"iPhone15", "iPhone16", "iPhone17", "iPad15,7", "iPad15,8", "iPad16,1", "iPad16,2"},
                  {"openai_whisper-base", row2Supported, {}}});
  rows.push_back(
      {"M1",
       {"MacBookPro17,1", "MacBookPro18,1", "MacBookPro18,2", "MacBookPro18,3", "MacBookPro18,4",
        "MacBookAir10,1", "Macmini9,1",     "iMac21,1",       "iMac21,2",       "Mac13",
        "iPad13,4",       "iPad13,5",       "iPad13,6",       "iPad13,7",       "iPad13,8",
        "iPad13,9",       "iPad13,10",      "iPad13,11",      "iPad13,16",      "iPad13,17"},
       {"openai_whisper-large-v3-v20240930_626MB",
        {"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base", "openai_whisper-base.en",
         "openai_whisper-small", "openai_whisper-small.en", "openai_whisper-large-v2", "openai_whisper-large-v2_949MB",
         "openai_whisper-large-v3", "openai_whisper-large-v3_947MB", "distil-whisper_distil-large-v3",
         "distil-whisper_distil-large-v3_594MB", "openai_whisper-large-v3-v20240930_626MB"},
        {}}});
  rows.push_back({"M2, M3, M4",
                  {"Mac14", "Mac15", "Mac16", "iPad14,3", "iPad14,4", "iPad14,5", "iPad14,6", "iPad14,8", "iPad14,9",
                   "iPad14,10", "iPad14,11", "iPad15", "iPad16"},
                  {"openai_whisper-large-v3-v20240930",
                   {"openai_whisper-tiny",
                    "openai_whisper-tiny.en",
                    "openai_whisper-base",
                    "openai_whisper-base.en",
                    "openai_whisper-small",
                    "openai_whisper-small.en",
                    "openai_whisper-large-v2",
                    "openai_whisper-large-v2_949MB",
                    "openai_whisper-large-v2_turbo",
                    "openai_whisper-large-v2_turbo_955MB",
                    "openai_whisper-large-v3",
                    "openai_whisper-large-v3_947MB",
                    "openai_whisper-large-v3_turbo",
                    "openai_whisper-large-v3_turbo_954MB",
                    "distil-whisper_distil-large-v3",
                    "distil-whisper_distil-large-v3_594MB",
                    "distil-whisper_distil-large-v3_turbo",
                    "distil-whisper_distil-large-v3_turbo_600MB",
                    "openai_whisper-large-v3-v20240930",
                    "openai_whisper-large-v3-v20240930_turbo",
                    "openai_whisper-large-v3-v20240930_626MB",
                    "openai_whisper-large-v3-v20240930_turbo_632MB"},
                   {}}});
  rows.push_back({"A14",
                  {"iPhone13", "iPad13,1", "iPad13,2", "iPad13,18", "iPad13,19"},
                  {"openai_whisper-base",
                   {"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base", "openai_whisper-base.en",
                    "openai_whisper-small", "openai_whisper-small.en"},
                   {}}});
  rows.push_back({"A15", {"iPhone14", "iPad14,1", "iPad14,2"}, {"openai_whisper-base", row2Supported, {}}});
  // The table itself is never merged with itself.
  return ModelSupportConfig("vostrane-coreml-fallback", "0.4", std::move(rows), false);
}

}  // namespace

const ModelSupportConfig& fallbackModelSupportConfig() {
  static const ModelSupportConfig table = makeFallbackTable();
  return table;
}

}  // namespace vostrane
