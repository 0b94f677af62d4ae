// VostraneConfig: how a caller configures the speech library's main class Vostrane: which model
// and where it comes from (hub repository, token, endpoint, download base, or a local model
// folder), where tokenizers live, the compute units, how audio files are read, optional
// replacements for each pipeline component, logging, and what construction does (prewarm,
// load, download).
//
// It holds settings only: nothing is derived, defaulted or checked here. Vostrane::create reads
// it once and copies what it needs, so changing a configuration afterwards does not affect an
// instance built from it. An absent optional (or a null component) means "use the default"
// that the comment beside each setting names. A plain value; not thread-safe by itself.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/logging.hpp"
#include "speech/audio/audio_encoder.hpp"
#include "speech/audio/audio_input_options.hpp"
#include "speech/audio/audio_processing.hpp"
#include "speech/audio/feature_extractor.hpp"
#include "speech/audio/voice_activity_detector.hpp"
#include "speech/decoding/logits_filters.hpp"
#include "speech/decoding/segment_seeker.hpp"
#include "speech/decoding/text_decoding.hpp"
#include "speech/model/model_variant.hpp"

namespace vostrane {

struct VostraneConfig {
  // The model folder to download when no model folder is given (a folder-name fragment such
  // as "openai_whisper-large-v3-v20240930_626MB"); absent: the default model of this device's
  // row in the repository's model-support file.
  std::optional<std::string> model;
  // Base folder of the hub client for the download and the model-support look-up, and the
  // tokenizer folder when tokenizerFolder is absent; absent: the hub client's default base.
  std::optional<std::filesystem::path> downloadBase;
  // Hub repository of the speech models; absent: "didezuraz/vostrane-coreml".
  std::optional<std::string> modelRepo;
  // Hub access token; absent: the hub client's own token sources.
  std::optional<std::string> modelToken;
  // Hub endpoint; absent: Constants::defaultRemoteEndpoint.
  std::optional<std::string> modelEndpoint;
  // A folder that already holds the compiled models: used as is, nothing is downloaded.
  std::optional<std::string> modelFolder;
  // Where tokenizers are searched and downloaded; absent: downloadBase.
  std::optional<std::filesystem::path> tokenizerFolder;
  // Compute units; absent: mel cpuAndGPU, encoder and decoder cpuAndNeuralEngine.
  std::optional<ModelComputeOptions> computeOptions;
  // How audio files are read; absent: the sum of all channels, whole files.
  std::optional<AudioInputOptions> audioInputConfig;
  // Replacements of the pipeline components; null: a new default component (the model-backed
  // ones without a model).
  std::shared_ptr<AudioProcessing> audioProcessor;
  std::shared_ptr<FeatureExtracting> featureExtractor;
  std::shared_ptr<AudioEncoding> audioEncoder;
  std::shared_ptr<TextDecoding> textDecoder;
  // When present, assigned to the text decoder's logitsFilters (a supplied decoder's too).
  std::optional<std::vector<std::shared_ptr<const LogitsFiltering>>> logitsFilters;
  std::shared_ptr<SegmentSeeking> segmentSeeker;
  // The detector of the chunked transcription path; null: that path makes its own.
  std::shared_ptr<VoiceActivityDetector> voiceActivityDetector;
  // false sets the process-wide log level to none, whatever logLevel says.
  bool verbose = true;
  noxtal::Logging::LogLevel logLevel = noxtal::Logging::LogLevel::info;
  // true: prewarm the models at construction.
  std::optional<bool> prewarm;
  // true: load at construction; false: never; absent: exactly when modelFolder is present.
  std::optional<bool> load;
  // Without modelFolder: true downloads the model, false leaves the instance without a folder.
  bool download = true;
  // Passed to the hub client for the model and the tokenizer download.
  bool useBackgroundDownloadSession = false;
};

}  // namespace vostrane
