// Configuration defaults, the timing texts and the error type.
#include <gtest/gtest.h>

#include "diarization/dellomar_error.hpp"
#include "diarization/diarization_config.hpp"

namespace dellomar {
namespace {

TEST(DiarizationConfig, DefaultDownloadConfigurationAndFlatForm) {
  const PyannoteConfig config(std::nullopt, true, false, true, noxtal::Logging::LogLevel::info, true, 3, std::nullopt,
                              nullptr);
  EXPECT_EQ(config.modelDownloadConfig.modelRepo(), "didezuraz/dellomar-coreml");
  EXPECT_EQ(config.modelDownloadConfig.revision(), "main");
  EXPECT_EQ(config.modelDownloadConfig.endpoint(), "https://huggingface.co");
  EXPECT_FALSE(config.modelDownloadConfig.modelToken());
  EXPECT_FALSE(config.modelDownloadConfig.modelFolder());
  EXPECT_FALSE(config.modelDownloadConfig.downloadBase());
  EXPECT_FALSE(config.modelDownloadConfig.useBackgroundSession());
  // The argument order download, load, verbose differs from the base class's.
  EXPECT_TRUE(config.download);
  EXPECT_FALSE(config.load);
  EXPECT_TRUE(config.verbose);
  EXPECT_TRUE(config.fullRedundancy);
  EXPECT_EQ(config.concurrentSegmenterWorkers, 3);

  const PyannoteConfig flat(PyannoteConfig::Flat{"/base", "org/repo", "tok", "/models", false, true,
                                                 "http://127.0.0.1:1", "dev", true, false,
                                                 noxtal::Logging::LogLevel::debug, false, 2, 4, nullptr});
  EXPECT_EQ(flat.modelDownloadConfig,
            noxtal::ModelDownloadConfig("/base", "org/repo", "tok", "/models", true, "http://127.0.0.1:1", "dev"));
  EXPECT_FALSE(flat.download);
  EXPECT_TRUE(flat.load);
  EXPECT_FALSE(flat.verbose);
  EXPECT_EQ(flat.concurrentEmbedderWorkers, 4);
}

TEST(DiarizationTimings, DescriptionAndReport) {
  PyannoteDiarizationTimings zero;
  EXPECT_EQ(zero.description(),
            "DiarizationTimings({input_audio_seconds: 0.0, num_chunks: 0, num_embeddings: 0, num_speakers: 0, "
            "num_segmenter_workers: 0, num_embedder_workers: 0, loading_time: 0.000, segmenter_time: 0.000, "
            "embedding_time: 0.000, clustering_time: 0.000, total_time: 0.000})");
  EXPECT_EQ(zero.debugDescription(),
            "---- Diarization Timings ----\nAudio Length: \t\t\t 0.0 seconds\nModel Load Time: \t\t 0.000 ms\n"
            "Total Time: \t\t\t 0.000 ms\nSegmenter:\n- Number of Chunks: \t\t 0\n- Total Time: \t\t\t 0.000 ms\n"
            "- Number of Workers: \t\t 0\n- Average Time per Chunk: \t 0.000 ms\nEmbedder:\n"
            "- Total Time: \t\t\t 0.000 ms\n- Number of Workers: \t\t 0\n- Average Time per Chunk: \t 0.000 ms\n"
            "Clustering:\n- Number of Embeddings: \t 0\n- Number of Speakers: \t\t 0\n- Clustering Time: \t\t 0.000 ms");

  PyannoteDiarizationTimings run;
  run.inputAudioSeconds = 60;
  run.numberOfChunks = 3;
  run.numberOfEmbeddings = 40;
  run.numberOfSpeakers = 2;
  run.numberOfSegmenterWorkers = 4;
  run.numberOfEmbedderWorkers = 5;
  run.modelLoading = 12.3456;
  run.segmenterTime = 100;
  run.embedderTime = 50;
  run.clusteringTime = 7.0005;
  run.fullPipeline = 170.25;
  const std::string report = run.debugDescription();
  EXPECT_NE(report.find("Audio Length: \t\t\t 60.0 seconds\n"), std::string::npos);
  EXPECT_NE(report.find("Model Load Time: \t\t 12.346 ms\n"), std::string::npos);
  EXPECT_NE(report.find("- Number of Chunks: \t\t 3\n- Total Time: \t\t\t 100.000 ms\n- Number of Workers: \t\t 4\n"
                        "- Average Time per Chunk: \t 33.333 ms\nEmbedder:\n- Total Time: \t\t\t 50.000 ms\n"
                        "- Number of Workers: \t\t 5\n- Average Time per Chunk: \t 16.667 ms\n"),
            std::string::npos);
  EXPECT_NE(report.find("- Number of Embeddings: \t 40\n- Number of Speakers: \t\t 2\n"), std::string::npos);
  EXPECT_NE(run.description().find("input_audio_seconds: 60.0, num_chunks: 3"), std::string::npos);
  EXPECT_NE(run.description().find("total_time: 170.250})"), std::string::npos);
  run.inputAudioSeconds = 12.5;
  EXPECT_NE(run.debugDescription().find("Audio Length: \t\t\t 12.5 seconds"), std::string::npos);
}

TEST(DellomarError, DescriptionIsTheMessageForEveryCase) {
  const DellomarError generic = DellomarError::generic("Segmentation Failed: Audio samples are nil");
  EXPECT_STREQ(generic.what(), "Segmentation Failed: Audio samples are nil");
  EXPECT_EQ(generic.errorDescription(), "Segmentation Failed: Audio samples are nil");
  EXPECT_EQ(generic.errorCase(), DellomarError::Case::generic);
  EXPECT_EQ(generic.domain(), "DellomarError");
  const DellomarError cases[] = {DellomarError::modelUnavailable("a"), DellomarError::invalidConfiguration("b"),
                                 DellomarError::invalidModelOutput("c"), DellomarError::generic("d")};
  const char* names[] = {"modelUnavailable", "invalidConfiguration", "invalidModelOutput", "generic"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(cases[i].code(), i);
    EXPECT_EQ(cases[i].caseName(), names[i]);
    EXPECT_EQ(cases[i].description(), cases[i].message());
  }
  EXPECT_FALSE(cases[0] == DellomarError::invalidModelOutput("a"));
}

}  // namespace
}  // namespace dellomar
