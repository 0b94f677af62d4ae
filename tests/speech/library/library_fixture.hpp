// Shared pieces of the speech library's set-up tests: model folders with the three speech
// models (stub mel and encoder programs, the scripted decoder) of a chosen vocabulary size and
// embedding width, tokenizer folders, a scoped test environment (home, hub variables) and a
// collector of the library's log lines.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/logging.hpp"
#include "speech/library_log_lines.hpp"
#include "platform/ml/model_program.hpp"
#include "speech/decoding/whisper_tokenizer.hpp"
#include "support/model_folder_writer.hpp"
#include "support/scripted_decoder/scripted_decoder.hpp"
#include "support/temporary_folder.hpp"
#include "support/tokenizer_fixture/tokenizer_fixture.hpp"

namespace vostrane::librarytest {

namespace fs = std::filesystem;
using platform::json::Json;

// A program that is never asked to predict in these tests: it answers with no outputs.
class SilentProgram final : public platform::ml::ModelProgram {
 public:
  platform::ml::DictionaryFeatureProvider predict(const platform::ml::DictionaryFeatureProvider&, platform::ml::State*,
                                                  std::stop_token) const override {
    return {};
  }
};

inline void registerTestPrograms() {
  platform::ml::ModelProgramRegistry::shared().add(
      "library_test.silent", [](const Json&, const platform::ml::ModelDescription&) {
        return std::make_shared<const SilentProgram>();
      });
  testsupport::registerScriptedTextDecoder();
}

inline Json programModel(const Json& input, const Json& output) {
  return Json{{"formatVersion", 1},
              {"inputs", Json::array({input})},
              {"outputs", Json::array({output})},
              {"program", {{"name", "library_test.silent"}, {"parameters", Json::object()}}}};
}

struct ModelSet {
  int vocabularySize = 51866;
  int embedSize = 1280;
  bool mel = true;
  bool encoder = true;
  bool decoder = true;
  std::string encoderOutput = "encoder_output_embeds";  // another name hides the width
};

// Writes the models of `set` into `folder`: "MelSpectrogram", "AudioEncoder" (output
// "encoder_output_embeds" [1, embedSize, 1, 1500]) and the scripted "TextDecoder" (logits
// [1, 1, vocabularySize]).
inline void writeModels(const fs::path& folder, const ModelSet& set) {
  using testsupport::feature;
  if (set.mel) {
    testsupport::writeModelFolder(folder, "MelSpectrogram",
                                  programModel(feature("audio", "float32", {480000}),
                                               feature("melspectrogram_features", "float16", {1, 128, 1, 3000})));
  }
  if (set.encoder) {
    testsupport::writeModelFolder(
        folder, "AudioEncoder",
        programModel(feature("melspectrogram_features", "float16", {1, 128, 1, 3000}),
                     feature(set.encoderOutput, "float16", {1, set.embedSize, 1, 1500})));
  }
  if (set.decoder) {
    testsupport::ScriptedDecoderSpec setup;
    setup.vocabularySize = set.vocabularySize;
    setup.embedSize = set.embedSize;
    testsupport::writeScriptedDecoder(folder, setup);
  }
}

inline tokenizer_fixture::Layout layoutFor(int vocabularySize) {
  switch (vocabularySize) {
    case 51864: return tokenizer_fixture::Layout::english;
    case 51866: return tokenizer_fixture::Layout::largeV3;
    default: return tokenizer_fixture::Layout::multilingual;
  }
}

// A small tokenizer (few merges, so it is quick to make) of the layout of `vocabularySize`.
inline void writeTokenizer(const fs::path& folder, int vocabularySize) {
  tokenizer_fixture::writeTokenizerFolder(folder, {layoutFor(vocabularySize), 300});
}

// The tokenizer's special ids are those of the fixture layout of `vocabularySize`, and it
// encodes and decodes text.
inline void expectTokenizerOfLayout(const WhisperTokenizer& tokenizer, int vocabularySize) {
  const tokenizer_fixture::Options options{layoutFor(vocabularySize), 300};
  const int begin = tokenizer_fixture::specialTokenBegin(options);
  const auto names = tokenizer_fixture::specialTokens(options.layout);
  const auto time = std::find(names.begin(), names.end(), "<|0.00|>");
  ASSERT_NE(time, names.end());
  EXPECT_EQ(tokenizer.specialTokens().endToken, begin);
  EXPECT_EQ(tokenizer.specialTokens().timeTokenBegin, begin + static_cast<int>(time - names.begin()));
  const auto ids = tokenizer.encode("hello world");
  EXPECT_FALSE(ids.empty());
  EXPECT_EQ(tokenizer.decode(ids), "hello world");
}

// Home, documents and every hub variable point into a temporary folder for one test; the
// network monitor never sends the hub client offline. Restores the environment afterwards.
class ScopedHubEnvironment {
 public:
  ScopedHubEnvironment() {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
      ::unsetenv(name);
    }
    fs::create_directories(home());
    set("HOME", home().string());
    set("XDG_CONFIG_HOME", (home() / ".config").string());
    set("XDG_DATA_HOME", (home() / ".local/share").string());
    set("XDG_CACHE_HOME", (home() / ".cache").string());
    set("CI_DISABLE_NETWORK_MONITOR", "1");
    // No request may reach the public hub: unless a test says otherwise, a closed local port.
    set("HF_ENDPOINT", "http://127.0.0.1:1");
  }
  ~ScopedHubEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  ScopedHubEnvironment(const ScopedHubEnvironment&) = delete;
  ScopedHubEnvironment& operator=(const ScopedHubEnvironment&) = delete;

  void set(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }
  fs::path home() const { return root_.path() / "home"; }

 private:
  static constexpr const char* kNames[] = {"HOME",          "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                           "XDG_CACHE_HOME", "XDG_DOCUMENTS_DIR", "HF_ENDPOINT",
                                           "HF_TOKEN",      "HUGGING_FACE_HUB_TOKEN", "HF_TOKEN_PATH",
                                           "HF_HOME",       "CI_DISABLE_NETWORK_MONITOR"};
  testsupport::TemporaryFolder root_{"library_env"};
  std::map<std::string, std::optional<std::string>> saved_;
};

using testlog::LogLines;

}  // namespace vostrane::librarytest
