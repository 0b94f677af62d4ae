// The speech library's model utilities: the model support of a device, the tidy list of model
// folders in a repository listing, the variant of a loaded model set, the hub repository of a
// variant's tokenizer and the loading of that tokenizer (local folders first, then the hub).
//
// The main class Vostrane uses them while it finds, lists and loads speech models. None keeps
// state; only the tokenizer functions touch the file system or the network. All are static and
// may run on any thread at once (concurrent tokenizer loads share only the files the hub client
// writes).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "speech/decoding/whisper_tokenizer.hpp"
#include "speech/model/model_support.hpp"
#include "speech/model/model_variant.hpp"

namespace vostrane {

struct ModelUtilities {
  ModelUtilities() = delete;

  // The model support of `deviceName` in `config`, or in fallbackModelSupportConfig() when
  // `config` is null. Never fails.
  static ModelSupport modelSupport(std::string_view deviceName, const ModelSupportConfig* config = nullptr);

  // The model folders named by repository paths ("/"-separated, relative to the root): each
  // path's first component plus "/", kept when it holds a variant's folder pattern (the
  // description plus "/", or the bare description for the three "large" variants), repeats
  // removed, sorted by the table position of the first variant whose description it holds,
  // then by code units. Unknown folders are left out; an empty input gives an empty result.
  static std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles);

  // The variant of a vocabulary size and an encoder embedding width: 51864 English-only
  // (384 tinyEn, 768 smallEn, 1024 mediumEn, else baseEn), 51865 multilingual (384 tiny,
  // 768 small, 1024 medium, 1280 largev2, else base), 51866 largev3; any other size gives base
  // after the error line "Unrecognized vocabulary size: <size>, defaulting to base variant".
  static ModelVariant detectVariant(int logitsDim, int encoderDim);

  // "openai/whisper-" + the variant's description.
  static std::string tokenizerRepoName(ModelVariant variant);
  static std::string tokenizerNameForVariant(ModelVariant variant) { return tokenizerRepoName(variant); }

  // True when `folder` holds a file "tokenizer.json" (debug line "Checking for local tokenizer
  // at <file> - found" / "- not found").
  static bool hasTokenizer(const std::filesystem::path& folder);

  // The first of `localRepoLocation`, `tokenizerFolder` (when present) and
  // `additionalSearchPaths` (in order) that holds a tokenizer, or absent.
  static std::optional<std::filesystem::path> findLocalTokenizer(
      const std::filesystem::path& localRepoLocation, const std::optional<std::filesystem::path>& tokenizerFolder,
      const std::vector<std::filesystem::path>& additionalSearchPaths);
  static std::optional<std::filesystem::path> localTokenizerFolder(
      const std::filesystem::path& hubLocation, const std::optional<std::filesystem::path>& tokenizerFolder,
      const std::vector<std::filesystem::path>& additionalSearchPaths) {
    return findLocalTokenizer(hubLocation, tokenizerFolder, additionalSearchPaths);
  }

  // The tokenizer of `variant`: read from the first local folder that holds one (the
  // repository's location in the hub cache under `tokenizerFolder`, absent meaning the hub
  // client's default base; then `tokenizerFolder`; then `additionalSearchPaths`), else, or when
  // that folder cannot be read (debug line, no error), fetched from the hub into that location
  // (no token and no endpoint of its own, so the hub client's environment decides; the given
  // background flag). The caller owns the result (shared, immutable).
  //
  // Throws WhisperError::tokenizerUnavailable naming the folders searched and the hub's message
  // when the hub cannot give it either; platform::sync::CancellationError unchanged when
  // `stopToken` asks to stop.
  static std::shared_ptr<const WhisperTokenizer> loadTokenizer(
      ModelVariant variant, const std::optional<std::filesystem::path>& tokenizerFolder,
      const std::vector<std::filesystem::path>& additionalSearchPaths = {}, bool useBackgroundSession = false,
      std::stop_token stopToken = {});
};

}  // namespace vostrane
