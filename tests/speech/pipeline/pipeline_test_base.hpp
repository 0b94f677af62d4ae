// The common set-up of the transcribe-task tests: scripted components in a temporary folder, a
// task over them, and audio whose window starts carry the scripted decoder's window keys.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "speech/pipeline/pipeline_fixture.hpp"
#include "speech/pipeline/transcribe_task.hpp"
#include "support/temporary_folder.hpp"

namespace vostrane {

class PipelineTest : public ::testing::Test {
 protected:
  PipelineTest() {
    spec_.vocabularySize = pipeline_fixture::kVocabulary;
    spec_.peak = 20;  // far above the rest: nothing falls back unless a test asks for it
    spec_.strict = true;
  }

  // Loads the components for the current spec_ (call after changing it).
  void load(int windowSamples = 480'000) {
    components_ = pipeline_fixture::loadComponents(folder_.path() / std::to_string(loads_++), spec_, windowSamples);
  }

  template <class Task = TranscribeTask>
  std::unique_ptr<Task> makeTask(std::shared_ptr<FeatureExtracting> extractor = nullptr,
                                 std::shared_ptr<AudioEncoding> encoder = nullptr,
                                 std::shared_ptr<SegmentSeeking> seeker = nullptr) {
    if (!components_.textDecoder) load();
    return std::make_unique<Task>(TranscriptionTimings{}, progress_, nullptr,
                                  encoder ? encoder : components_.audioEncoder,
                                  extractor ? extractor : components_.featureExtractor,
                                  seeker ? seeker : components_.segmentSeeker, components_.textDecoder,
                                  pipeline_fixture::tokenizer());
  }

  // `seconds` of silence holding key k + 1 at sample keyStarts[k].
  static std::vector<float> audio(double seconds, const std::vector<int>& keyStarts = {}) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * 16000), 0.0F);
    for (std::size_t k = 0; k < keyStarts.size(); ++k) samples.at(static_cast<std::size_t>(keyStarts[k])) = float(k + 1);
    return samples;
  }

  static std::vector<int> concat(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
  static int time(double seconds) { return pipeline_fixture::kTime + static_cast<int>(seconds * 50 + 0.5); }

  // A window that says `first` from 0 to `middle` s and `second` from there to `end` s.
  static std::vector<int> twoSegments(const char* first, double middle, const char* second, double end) {
    std::vector<int> body{time(0)};
    body = concat(body, pipeline_fixture::textIds(first));
    body.push_back(time(middle));
    body.push_back(time(middle));
    body = concat(body, pipeline_fixture::textIds(second));
    body.push_back(time(end));
    return pipeline_fixture::script(body);
  }

  testsupport::TemporaryFolder folder_{"pipeline_test"};
  testsupport::ScriptedDecoderSpec spec_;
  pipeline_fixture::Components components_;
  std::shared_ptr<noxtal::Progress> progress_ = noxtal::Progress::make(0);
  int loads_ = 0;
};

}  // namespace vostrane
