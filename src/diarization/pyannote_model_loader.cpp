#include "diarization/pyannote_model_loader.hpp"

#include "core/hub/model_downloader.hpp"
#include "core/logging.hpp"
#include "core/model_utilities.hpp"
#include "diarization/dellomar_error.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sys/checked_cast.hpp"

namespace dellomar {

namespace {

using platform::ml::Shape;
using platform::ml::shapeText;

[[noreturn]] void disagree(const std::string& model, const std::string& feature, const Shape& found,
                           const std::string& expected) {
  throw DellomarError::invalidModelOutput("Model " + model + " feature " + feature + " has shape " +
                                          shapeText(found) + ", expected " + expected);
}

// Dimension i when fixed (>= 0), else absent.
std::optional<std::int64_t> fixedAt(const Shape& shape, std::size_t i) {
  if (i >= shape.size() || shape[i] < 0) return std::nullopt;
  return shape[i];
}

// True when both are known and differ.
bool conflict(std::optional<std::int64_t> a, std::optional<std::int64_t> b) { return a && b && *a != *b; }

std::string dimensionText(std::optional<std::int64_t> value, const char* name) {
  return value ? std::to_string(*value) : std::string(name);
}

}  // namespace

noxtal::ModelInfo segmenterModelInfo(std::optional<std::string> version, std::optional<std::string> variant,
                                     platform::ml::ComputeUnits computeUnits,
                                     platform::sys::OperatingSystemVersion osVersion) {
  if (!variant) variant = osVersion.isAtLeast({15, 0, 0}) ? "W8A16" : "W32A32";
  return noxtal::ModelInfo(version ? std::move(version) : std::optional<std::string>("pyannote-v3"),
                           std::move(variant), "speaker_segmenter", computeUnits);
}

noxtal::ModelInfo embedderModelInfo(std::optional<std::string> version, std::optional<std::string> variant,
                                    platform::ml::ComputeUnits computeUnits,
                                    platform::sys::OperatingSystemVersion osVersion) {
  if (!variant) variant = osVersion.isAtLeast({14, 0, 0}) ? "W8A16" : "W16A16";
  return noxtal::ModelInfo(version ? std::move(version) : std::optional<std::string>("pyannote-v3"),
                           std::move(variant), "speaker_embedder", computeUnits);
}

noxtal::ModelInfo pldaModelInfo() {
  return noxtal::ModelInfo("pyannote-v4", "W32A32", "speaker_clusterer", platform::ml::ComputeUnits::cpuOnly);
}

PyannoteModelLoader::PyannoteModelLoader(std::shared_ptr<PyannoteConfig> config, noxtal::ModelInfo segmenterModelInfo,
                                         noxtal::ModelInfo embedderModelInfo, noxtal::ModelInfo pldaModelInfo)
    : config_(std::move(config)),
      segmenterModelInfo_(std::move(segmenterModelInfo)),
      embedderModelInfo_(std::move(embedderModelInfo)),
      pldaModelInfo_(std::move(pldaModelInfo)) {
  platform::log::requireThat(config_ != nullptr, "the loader needs a configuration");
}

std::optional<std::string> PyannoteModelLoader::modelFolder() const { return config_->modelDownloadConfig.modelFolder(); }

std::string PyannoteModelLoader::resolveModels(noxtal::ModelDownloader& downloader,
                                               const ProgressCallback& progressCallback, std::stop_token stopToken) {
  const noxtal::ModelDownloadConfig& download = config_->modelDownloadConfig;
  if (const std::optional<std::string>& folder = download.modelFolder()) {
    noxtal::Logging::info("[Dellomar] Using local models from: " + *folder);
    return *folder;
  }
  const std::vector<std::string> patterns = {segmenterModelInfo_.downloadPattern(),
                                             embedderModelInfo_.downloadPattern(), pldaModelInfo_.downloadPattern()};
  std::optional<std::filesystem::path> base;
  if (download.downloadBase()) base = std::filesystem::path(*download.downloadBase());
  return downloader.resolveRepo(patterns, base, config_->download, progressCallback, std::move(stopToken)).string();
}

void PyannoteModelLoader::load(const std::string& path, bool prewarm, std::stop_token stopToken) {
  const std::filesystem::path base(path);
  const std::filesystem::path segmenterFolder = segmenterModelInfo_.modelURL(base);
  const std::filesystem::path embedderFolder = embedderModelInfo_.modelURL(base);
  const std::filesystem::path pldaFolder = pldaModelInfo_.modelURL(base);
  using noxtal::ModelUtilities;

  auto segmenter = std::make_shared<SpeakerSegmenterModel>(
      ModelUtilities::detectModelURL(segmenterFolder, "SpeakerSegmenter"), segmenterModelInfo_.computeUnits(),
      config_->concurrentSegmenterWorkers, config_->fullRedundancy);
  auto embedder = std::make_shared<SpeakerEmbedderModel>(
      ModelUtilities::detectModelURL(embedderFolder, "SpeakerEmbedder"), embedderModelInfo_.computeUnits(),
      std::make_unique<SpeakerPreEmbedderModel>(
          ModelUtilities::detectModelURL(embedderFolder, "SpeakerEmbedderPreprocessor"),
          platform::ml::ComputeUnits::cpuOnly),
      std::make_unique<PLDAEmbedderModel>(ModelUtilities::detectModelURL(pldaFolder, "PldaProjector"),
                                          platform::ml::ComputeUnits::cpuOnly));
  segmenter->loadModel(prewarm);
  platform::sync::throwIfStopped(stopToken);
  embedder->loadModel(prewarm);
  if (prewarm) return;
  checkModelShapes(*segmenter, *embedder);
  auto loaded = std::make_shared<const PyannoteModels>(std::move(segmenter), std::move(embedder), config_,
                                                       segmenterModelInfo_, embedderModelInfo_, pldaModelInfo_);
  const std::lock_guard lock(mutex_);
  models_ = std::move(loaded);
}

void PyannoteModelLoader::unload() noexcept {
  std::shared_ptr<const PyannoteModels> held;
  {
    const std::lock_guard lock(mutex_);
    held = std::move(models_);
    models_.reset();
  }
  if (!held) return;
  held->segmenter->unloadModel();
  held->embedder->unloadModel();
}

std::shared_ptr<const PyannoteModels> PyannoteModelLoader::models() const {
  const std::lock_guard lock(mutex_);
  return models_;
}

void checkModelShapes(const SpeakerSegmenterModel& segmenter, const SpeakerEmbedderModel& embedder) {
  const noxtal::LoadedModel segmenterModel = segmenter.model();
  const std::string segmenterName = segmenter.modelURL().filename().string();
  const Shape sliding = DellomarMLModel::outputShape(segmenterModel.get(), "sliding_window_waveform");
  const Shape ids = DellomarMLModel::outputShape(segmenterModel.get(), "speaker_ids");
  const Shape activity = DellomarMLModel::outputShape(segmenterModel.get(), "speaker_activity");
  const Shape overlapped = DellomarMLModel::outputShape(segmenterModel.get(), "overlapped_speaker_activity");
  const auto checkRank = [&](const char* feature, const Shape& shape, std::size_t rank) {
    if (!shape.empty() && shape.size() != rank) {
      disagree(segmenterName, feature, shape, "rank " + std::to_string(rank));
    }
  };
  checkRank("sliding_window_waveform", sliding, 3);
  checkRank("speaker_ids", ids, 3);
  checkRank("speaker_activity", activity, 2);
  checkRank("overlapped_speaker_activity", overlapped, 2);

  std::optional<std::int64_t> k = fixedAt(sliding, 0);
  const std::optional<std::int64_t> w = fixedAt(sliding, 2);
  std::optional<std::int64_t> f = fixedAt(ids, 1);
  std::optional<std::int64_t> s = fixedAt(ids, 2);
  if (!k) k = fixedAt(ids, 0);
  if (conflict(fixedAt(ids, 0), k)) disagree(segmenterName, "speaker_ids", ids, "[" + dimensionText(k, "K") + ", F, S]");
  if (!s) s = fixedAt(activity, 1);
  if (conflict(fixedAt(activity, 0), k) || conflict(fixedAt(activity, 1), s)) {
    disagree(segmenterName, "speaker_activity", activity, "[" + dimensionText(k, "K") + ", " + dimensionText(s, "S") + "]");
  }
  if (!k) k = fixedAt(activity, 0);
  if (!f) f = fixedAt(overlapped, 1);
  if (conflict(fixedAt(overlapped, 0), k) || conflict(fixedAt(overlapped, 1), f)) {
    disagree(segmenterName, "overlapped_speaker_activity", overlapped,
             "[" + dimensionText(k, "K") + ", " + dimensionText(f, "F") + "]");
  }

  const noxtal::LoadedModel embedderModel = embedder.model();
  const std::string embedderName = embedder.modelURL().filename().string();
  const Shape masks = DellomarMLModel::inputShape(embedderModel.get(), "speaker_masks");
  if (!masks.empty()) {
    std::optional<std::int64_t> rows;
    if (k && s) rows = *k * *s;
    std::optional<std::int64_t> frames;
    if (f && w && *w > 0) {
      frames = platform::sys::checkedIntegerCast<std::int64_t>(
          static_cast<float>(*f) * 30.0f / (static_cast<float>(*w) / static_cast<float>(kDiarizationSampleRate)));
    }
    if (masks.size() != 3 || conflict(fixedAt(masks, 0), 1) || conflict(fixedAt(masks, 1), rows) ||
        conflict(fixedAt(masks, 2), frames)) {
      disagree(embedderName, "speaker_masks", masks,
               "[1, " + (rows ? std::to_string(*rows) : std::string("K x S")) + ", " + dimensionText(frames, "Fc") +
                   "]");
    }
  }

  const SpeakerPreEmbedderModel& pre = embedder.preprocessorModel();
  const Shape waveforms = DellomarMLModel::inputShape(pre.model().get(), "waveforms");
  if (w && fixedAt(waveforms, 1) && !(*fixedAt(waveforms, 1) > *w)) {
    disagree(pre.modelURL().filename().string(), "waveforms", waveforms,
             "[1, n] with n above the window's " + std::to_string(*w) + " samples");
  }
  if (const PLDAEmbedderModel* plda = embedder.pldaModel()) {
    // The projector takes the embedder's output as it stands.
    const Shape embeddings = DellomarMLModel::outputShape(embedderModel.get(), "speaker_embeddings");
    const Shape pldaInput = DellomarMLModel::inputShape(plda->model().get(), "embeddings");
    const std::optional<std::int64_t> width =
        embeddings.empty() ? std::nullopt : fixedAt(embeddings, embeddings.size() - 1);
    if (!pldaInput.empty() && conflict(fixedAt(pldaInput, pldaInput.size() - 1), width)) {
      disagree(plda->modelURL().filename().string(), "embeddings", pldaInput, "[1, V, " + std::to_string(*width) + "]");
    }
    const Shape projected = DellomarMLModel::outputShape(plda->model().get(), "plda_embeddings");
    if (!projected.empty() && conflict(fixedAt(projected, projected.size() - 1), 128)) {
      disagree(plda->modelURL().filename().string(), "plda_embeddings", projected, "[1, V, 128]");
    }
  }
}

}  // namespace dellomar
