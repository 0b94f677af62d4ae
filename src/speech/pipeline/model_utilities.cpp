#include "speech/pipeline/model_utilities.hpp"

#include <algorithm>
#include <exception>
#include <set>
#include <system_error>
#include <tuple>

#include "core/hub/hub_api_wrapper.hpp"
#include "core/logging.hpp"
#include "core/tokenizers/auto_tokenizer.hpp"
#include "platform/sync/cancellation.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {

namespace fs = std::filesystem;
using noxtal::Logging;

namespace {

// The folder pattern of a variant: its description plus "/", the bare description for the
// "large" family so that every folder holding "large" matches.
std::string folderPattern(ModelVariant variant) {
  const std::string name(description(variant));
  return name.find("large") != std::string::npos ? name : name + "/";
}

// The table position of the first variant whose description occurs in `entry` (past the end
// when none does; such entries were dropped before sorting).
std::size_t sortKey(const std::string& entry) {
  for (std::size_t i = 0; i < kAllModelVariants.size(); ++i) {
    if (entry.find(description(kAllModelVariants[i])) != std::string::npos) return i;
  }
  return kAllModelVariants.size();
}

}  // namespace

ModelSupport ModelUtilities::modelSupport(std::string_view deviceName, const ModelSupportConfig* config) {
  return (config != nullptr ? *config : fallbackModelSupportConfig()).modelSupport(deviceName);
}

std::vector<std::string> ModelUtilities::formatModelFiles(const std::vector<std::string>& modelFiles) {
  std::vector<std::string> patterns;
  for (ModelVariant variant : kAllModelVariants) patterns.push_back(folderPattern(variant));

  std::set<std::string> kept;
  for (const std::string& path : modelFiles) {
    const std::string entry = path.substr(0, path.find('/')) + "/";
    const bool known = std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
      return entry.find(pattern) != std::string::npos;
    });
    if (known) kept.insert(entry);
  }
  std::vector<std::string> result(kept.begin(), kept.end());
  std::stable_sort(result.begin(), result.end(), [](const std::string& a, const std::string& b) {
    return std::tuple(sortKey(a), std::string_view(a)) < std::tuple(sortKey(b), std::string_view(b));
  });
  return result;
}

ModelVariant ModelUtilities::detectVariant(int logitsDim, int encoderDim) {
  switch (logitsDim) {
    case 51864:
      switch (encoderDim) {
        case 384: return ModelVariant::tinyEn;
        case 768: return ModelVariant::smallEn;
        case 1024: return ModelVariant::mediumEn;
        default: return ModelVariant::baseEn;
      }
    case 51865:
      switch (encoderDim) {
        case 384: return ModelVariant::tiny;
        case 768: return ModelVariant::small;
        case 1024: return ModelVariant::medium;
        case 1280: return ModelVariant::largev2;
        default: return ModelVariant::base;
      }
    case 51866:
      return ModelVariant::largev3;
    default:
      Logging::error("Unrecognized vocabulary size: " + std::to_string(logitsDim) + ", defaulting to base variant");
      return ModelVariant::base;
  }
}

std::string ModelUtilities::tokenizerRepoName(ModelVariant variant) {
  return "openai/whisper-" + std::string(description(variant));
}

bool ModelUtilities::hasTokenizer(const fs::path& folder) {
  const fs::path file = folder / "tokenizer.json";
  std::error_code error;
  const bool found = fs::is_regular_file(file, error);
  Logging::debug("Checking for local tokenizer at " + file.string() + " - " + (found ? "found" : "not found"));
  return found;
}

std::optional<fs::path> ModelUtilities::findLocalTokenizer(const fs::path& localRepoLocation,
                                                           const std::optional<fs::path>& tokenizerFolder,
                                                           const std::vector<fs::path>& additionalSearchPaths) {
  std::vector<fs::path> candidates{localRepoLocation};
  if (tokenizerFolder) candidates.push_back(*tokenizerFolder);
  candidates.insert(candidates.end(), additionalSearchPaths.begin(), additionalSearchPaths.end());
  for (const fs::path& candidate : candidates) {
    if (hasTokenizer(candidate)) {
      Logging::debug("Found local tokenizer at " + candidate.string());
      return candidate;
    }
  }
  Logging::debug("No tokenizer found in any local search paths");
  return std::nullopt;
}

std::shared_ptr<const WhisperTokenizer> ModelUtilities::loadTokenizer(ModelVariant variant,
                                                                      const std::optional<fs::path>& tokenizerFolder,
                                                                      const std::vector<fs::path>& additionalSearchPaths,
                                                                      bool useBackgroundSession,
                                                                      std::stop_token stopToken) {
  using noxtal::tokenizers::AutoTokenizerWrapper;
  const std::string repoId = tokenizerRepoName(variant);
  const noxtal::HubApiWrapper hub(tokenizerFolder, std::nullopt, std::nullopt, useBackgroundSession);
  const fs::path location = hub.localRepoLocation(noxtal::HubApiWrapper::Repo{repoId, noxtal::HubRepoType::models});

  if (const auto local = findLocalTokenizer(location, tokenizerFolder, additionalSearchPaths)) {
    Logging::debug("Loading tokenizer from " + local->string());
    try {
      return std::make_shared<const WhisperTokenizerWrapper>(
          AutoTokenizerWrapper::fromModelFolder(*local, hub, true, stopToken), *local);
    } catch (const platform::sync::CancellationError&) {
      throw;
    } catch (const std::exception& e) {
      Logging::debug(std::string("Error loading local tokenizer: ") + e.what());
    }
  }

  Logging::debug("Downloading tokenizer from Hub at " + location.string());
  try {
    return std::make_shared<const WhisperTokenizerWrapper>(
        AutoTokenizerWrapper::fromPretrained(repoId, hub, true, stopToken), location);
  } catch (const platform::sync::CancellationError&) {
    throw;
  } catch (const std::exception& e) {
    std::string searched = location.string();
    if (tokenizerFolder) searched += ", " + tokenizerFolder->string();
    for (const fs::path& path : additionalSearchPaths) searched += ", " + path.string();
    throw WhisperError::tokenizerUnavailable("Tokenizer for " + repoId + " not found in " + searched +
                                             " and not available from the hub: " + e.what());
  }
}

}  // namespace vostrane
