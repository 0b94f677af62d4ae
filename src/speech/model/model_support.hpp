// Which model folders suit a device: ModelSupport (a device row's recommended and supported
// folders), DeviceSupport (one row of hardware identifier prefixes), ModelSupportConfig (a
// model repository's "config.json", merged with the built-in table) and the built-in table
// itself. The main class asks modelSupport(for:) with the device's hardware identifier.
// Plain values; the built-in table is made once, on first use, thread-safely.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/json/record.hpp"

namespace vostrane {

struct ModelSupport {
  std::string defaultModel{};            // "default": the folder recommended for the device
  std::vector<std::string> supported{};  // folders that run on the device, in order
  std::vector<std::string> disabled{};   // known folders that do not (derived; never in JSON)

  // {"default", "supported"}. Reading sets `disabled` empty; throws JsonError.
  static constexpr auto fields() {
    using platform::json::field;
    return std::tuple{field("default", &ModelSupport::defaultModel), field("supported", &ModelSupport::supported)};
  }
  platform::json::Json toJson() const { return platform::json::encode(*this); }
  static ModelSupport fromJson(const platform::json::Json& value) {
    return platform::json::decode<ModelSupport>(value, "\"models\"");
  }

  // Over all three fields, the derived `disabled` list included.
  friend bool operator==(const ModelSupport&, const ModelSupport&) = default;
};

struct DeviceSupport {
  std::optional<std::string> chips{};      // informative list of processors
  std::vector<std::string> identifiers{};  // hardware model identifier prefixes
  ModelSupport models;

  // {"chips"? (left out when absent), "identifiers", "models"}. Throws JsonError.
  static constexpr auto fields() {
    using platform::json::field;
    return std::tuple{field("chips", &DeviceSupport::chips), field("identifiers", &DeviceSupport::identifiers),
                      field("models", &DeviceSupport::models)};
  }
  platform::json::Json toJson() const { return platform::json::encode(*this); }
  static DeviceSupport fromJson(const platform::json::Json& value) {
    return platform::json::decode<DeviceSupport>(value, "an entry of \"device_support\"");
  }

  friend bool operator==(const DeviceSupport&, const DeviceSupport&) = default;
};

class ModelSupportConfig {
 public:
  // Builds the config: when `includeFallback` is true and the built-in table's repository
  // name contains `repoName`, the rows are merged with the built-in rows; then knownModels,
  // every row's disabled list and defaultSupport are derived.
  ModelSupportConfig(std::string repoName, std::string repoVersion, std::vector<DeviceSupport> deviceSupports,
                     bool includeFallback = true);

  const std::string& repoName() const { return repoName_; }
  const std::string& repoVersion() const { return repoVersion_; }
  const std::vector<DeviceSupport>& deviceSupports() const { return deviceSupports_; }
  std::vector<DeviceSupport>& deviceSupports() { return deviceSupports_; }
  // Every supported folder of every row, repeats removed, first occurrence kept.
  const std::vector<std::string>& knownModels() const { return knownModels_; }
  std::vector<std::string>& knownModels() { return knownModels_; }
  // The row for devices that match no row: no chips, no identifiers, default
  // "openai_whisper-base", supported = knownModels.
  const DeviceSupport& defaultSupport() const { return defaultSupport_; }
  DeviceSupport& defaultSupport() { return defaultSupport_; }

  // The models of the row with the longest identifier that prefixes `deviceIdentifier` (the
  // earlier row on equal lengths), logged at debug level; defaultSupport's models (logged at
  // info level) when no identifier matches. Never fails.
  ModelSupport modelSupport(std::string_view deviceIdentifier) const;

  // {"name", "version", "device_support"}; derived fields are not written.
  platform::json::Json toJson() const;
  // Reads the three keys (other keys ignored) and builds the config with includeFallback
  // true. Throws platform::json::JsonError on a missing key or a wrong type.
  static ModelSupportConfig fromJson(const platform::json::Json& value);

 private:
  std::string repoName_{};
  std::string repoVersion_{};
  std::vector<DeviceSupport> deviceSupports_{};
  std::vector<std::string> knownModels_{};
  DeviceSupport defaultSupport_;
};

// The built-in device-support table ("vostrane-coreml-fallback", version "0.4", six rows).
// Made once on first use; thread-safe.
const ModelSupportConfig& fallbackModelSupportConfig();

// The merge of a config's rows C with fallback rows F: each row of C gets the supported list
// of the first row of F sharing an identifier appended (repeats removed, disabled emptied);
// then every row of F none of whose identifiers occurs in C is appended unchanged.
std::vector<DeviceSupport> mergeDeviceSupports(const std::vector<DeviceSupport>& configRows,
                                               const std::vector<DeviceSupport>& fallbackRows);

}  // namespace vostrane
