#include "diarization/diarization_config.hpp"

#include <cstdio>

#include "core/hub/hub_api.hpp"
#include "diarization/clustering_numerics.hpp"

namespace dellomar {

namespace {

std::string fixed3(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", value);
  return buffer;
}

std::string shortest(double value) {
  std::string out;
  noxtal::detail::appendFloatingText(out, value);
  return out;
}

}  // namespace

noxtal::ModelDownloadConfig defaultDellomarDownloadConfig() {
  return noxtal::ModelDownloadConfig(std::nullopt, "didezuraz/dellomar-coreml", std::nullopt, std::nullopt, false,
                                     std::string(noxtal::HubApi::defaultEndpoint), "main");
}

DellomarConfig::DellomarConfig(std::optional<noxtal::ModelDownloadConfig> modelDownloadConfig, bool download,
                               bool verbose, noxtal::Logging::LogLevel logLevel, bool load,
                               std::shared_ptr<Diarizer> diarizer)
    : diarizer(std::move(diarizer)),
      modelDownloadConfig(modelDownloadConfig ? std::move(*modelDownloadConfig) : defaultDellomarDownloadConfig()),
      verbose(verbose),
      logLevel(logLevel),
      download(download),
      load(load) {}

PyannoteConfig::PyannoteConfig(std::optional<noxtal::ModelDownloadConfig> modelDownloadConfig, bool download,
                               bool load, bool verbose, noxtal::Logging::LogLevel logLevel, bool fullRedundancy,
                               int concurrentSegmenterWorkers, std::optional<int> concurrentEmbedderWorkers,
                               std::shared_ptr<Diarizer> diarizer)
    : DellomarConfig(std::move(modelDownloadConfig), download, verbose, logLevel, load, std::move(diarizer)),
      fullRedundancy(fullRedundancy),
      concurrentSegmenterWorkers(concurrentSegmenterWorkers),
      concurrentEmbedderWorkers(concurrentEmbedderWorkers) {}

PyannoteConfig::PyannoteConfig(Flat flat)
    : PyannoteConfig(noxtal::ModelDownloadConfig(std::move(flat.downloadBase), std::move(flat.modelRepo),
                                                 std::move(flat.modelToken), std::move(flat.modelFolder),
                                                 flat.useBackgroundDownloadSession, std::move(flat.modelEndpoint),
                                                 std::move(flat.downloadRevision)),
                     flat.download, flat.load, flat.verbose, flat.logLevel, flat.fullRedundancy,
                     flat.concurrentSegmenterWorkers, flat.concurrentEmbedderWorkers, std::move(flat.diarizer)) {}

std::string PyannoteDiarizationTimings::description() const {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"input_audio_seconds", shortest(inputAudioSeconds)},
      {"num_chunks", std::to_string(numberOfChunks)},
      {"num_embeddings", std::to_string(numberOfEmbeddings)},
      {"num_speakers", std::to_string(numberOfSpeakers)},
      {"num_segmenter_workers", std::to_string(numberOfSegmenterWorkers)},
      {"num_embedder_workers", std::to_string(numberOfEmbedderWorkers)},
      {"loading_time", fixed3(modelLoading)},
      {"segmenter_time", fixed3(segmenterTime)},
      {"embedding_time", fixed3(embedderTime)},
      {"clustering_time", fixed3(clusteringTime)},
      {"total_time", fixed3(fullPipeline)},
  };
  std::string out = "DiarizationTimings({";
  bool first = true;
  for (const std::string& line : keyValueLines(pairs)) {
    if (!first) out += ", ";
    first = false;
    out += line;
  }
  out += "})";
  return out;
}

std::string PyannoteDiarizationTimings::debugDescription() const {
  const double segmenterAverage = numberOfChunks > 0 ? segmenterTime / static_cast<double>(numberOfChunks) : 0;
  const double embedderAverage = numberOfChunks > 0 ? embedderTime / static_cast<double>(numberOfChunks) : 0;
  std::string out;
  out += "---- Diarization Timings ----\nAudio Length: \t\t\t " + shortest(inputAudioSeconds);
  out += " seconds\nModel Load Time: \t\t " + fixed3(modelLoading);
  out += " ms\nTotal Time: \t\t\t " + fixed3(fullPipeline);
  out += " ms\nSegmenter:\n- Number of Chunks: \t\t " + std::to_string(numberOfChunks);
  out += "\n- Total Time: \t\t\t " + fixed3(segmenterTime);
  out += " ms\n- Number of Workers: \t\t " + std::to_string(numberOfSegmenterWorkers);
  out += "\n- Average Time per Chunk: \t " + fixed3(segmenterAverage);
  out += " ms\nEmbedder:\n- Total Time: \t\t\t " + fixed3(embedderTime);
  out += " ms\n- Number of Workers: \t\t " + std::to_string(numberOfEmbedderWorkers);
  out += "\n- Average Time per Chunk: \t " + fixed3(embedderAverage);
  out += " ms\nClustering:\n- Number of Embeddings: \t " + std::to_string(numberOfEmbeddings);
  out += "\n- Number of Speakers: \t\t " + std::to_string(numberOfSpeakers);
  out += "\n- Clustering Time: \t\t " + fixed3(clusteringTime);
  out += " ms";
  return out;
}

}  // namespace dellomar
