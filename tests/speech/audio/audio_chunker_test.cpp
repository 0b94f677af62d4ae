#include "speech/audio/audio_chunker.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

using Span = std::pair<std::int64_t, std::int64_t>;

// An energy detector that counts its calls.
class CountingVAD : public EnergyVAD {
 public:
  CountingVAD() : EnergyVAD(16000, 1600, 0, 0.02f) {}
  std::vector<bool> voiceActivity(std::span<const float> waveform) const override {
    ++calls;
    return EnergyVAD::voiceActivity(waveform);
  }
  mutable std::atomic<int> calls{0};
};

// Voiced everywhere (0.5) except in the given silent sample ranges.
std::vector<float> speech(std::int64_t count, const std::vector<Span>& silences) {
  std::vector<float> samples(static_cast<std::size_t>(count), 0.5f);
  for (const auto& [from, to] : silences) {
    for (std::int64_t i = from; i < to; ++i) samples[static_cast<std::size_t>(i)] = 0.0f;
  }
  // Distinct values so a misplaced copy shows.
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i] != 0.0f) samples[i] += static_cast<float>(i % 97) * 1e-4f;
  }
  return samples;
}

std::vector<Span> spans(const std::vector<AudioChunk>& chunks) {
  std::vector<Span> out;
  for (const auto& c : chunks)
    out.emplace_back(c.seekOffsetIndex, c.seekOffsetIndex + std::int64_t(c.audioSamples.size()));
  return out;
}

// Every chunk is at most maxLength long and holds the audio at its offset; the chunks cover each
// expected clip exactly, contiguously, in order.
void expectCovers(const std::vector<AudioChunk>& chunks, const std::vector<float>& audio, std::int64_t maxLength,
                  const std::vector<Span>& clips) {
  std::size_t k = 0;
  for (const auto& [s, e] : clips) {
    std::int64_t cursor = s;
    while (cursor < e) {
      ASSERT_LT(k, chunks.size()) << "clip (" << s << ", " << e << ") not covered past " << cursor;
      const auto& chunk = chunks[k++];
      ASSERT_EQ(chunk.seekOffsetIndex, cursor);
      ASSERT_FALSE(chunk.audioSamples.empty());
      ASSERT_LE(std::int64_t(chunk.audioSamples.size()), maxLength);
      ASSERT_TRUE(std::equal(chunk.audioSamples.begin(), chunk.audioSamples.end(), audio.begin() + cursor));
      cursor += std::int64_t(chunk.audioSamples.size());
    }
    ASSERT_EQ(cursor, e);
  }
  EXPECT_EQ(k, chunks.size());
}

TEST(AudioChunkerTest, AudioNoLongerThanOneWindowIsOneChunkWithoutDetector) {
  auto vad = std::make_shared<CountingVAD>();
  VADAudioChunker chunker(16000, vad);
  const auto audio = speech(480'000, {});
  const auto chunks = chunker.chunkAll(audio, 480'000, std::nullopt);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].seekOffsetIndex, 0);
  EXPECT_EQ(chunks[0].audioSamples, audio);
  EXPECT_EQ(vad->calls.load(), 0);
}

TEST(AudioChunkerTest, CutsInTheMiddleOfTheLongestSilence) {
  // Silence 400,000..416,000 in the second half [240,000, 480,000) of the first window: frames
  // 100..109 of the search, middle frame 105 -> cut at 408,000. The second window has no
  // silence and is cut at its end; the rest of the audio is the last chunk.
  VADAudioChunker chunker(16000, nullptr);
  const auto audio = speech(1'000'000, {{400'000, 416'000}});
  EXPECT_EQ(chunker.splitOnMiddleOfLongestSilence(audio, 0, 480'000), 408'000);
  EXPECT_EQ(chunker.splitOnMiddleOfLongestSilence(audio, 408'000, 888'000), 888'000);
  const auto chunks = chunker.chunkAll(audio, 480'000, std::nullopt);
  EXPECT_EQ(spans(chunks), (std::vector<Span>{{0, 408'000}, {408'000, 888'000}, {888'000, 1'000'000}}));
  expectCovers(chunks, audio, 480'000, {{0, 1'000'000}});
}

TEST(AudioChunkerTest, SplitRejectsIndicesOutsideTheAudio) {
  VADAudioChunker chunker;
  const auto audio = speech(1000, {});
  EXPECT_THROW(chunker.splitOnMiddleOfLongestSilence(audio, -1, 10), std::invalid_argument);
  EXPECT_THROW(chunker.splitOnMiddleOfLongestSilence(audio, 10, 5), std::invalid_argument);
  EXPECT_THROW(chunker.splitOnMiddleOfLongestSilence(audio, 0, 1001), std::invalid_argument);
  EXPECT_THROW(chunker.chunkAll(audio, 0, std::nullopt), std::invalid_argument);
  EXPECT_THROW(VADAudioChunker(-1), std::invalid_argument);
}

TEST(AudioChunkerTest, ChunksAreContiguousAndCoverEveryClip) {
  struct Case {
    const char* name;
    std::int64_t count;
    std::vector<Span> silences;
    std::int64_t maxLength;
    std::int64_t padding;
    std::vector<float> clipTimestamps;
    std::vector<Span> expectedClips;
  };
  // Pseudo-random short pauses over 2,345,679 samples.
  std::vector<Span> pauses;
  for (std::int64_t at = 37'000; at < 2'300'000; at += 61'000 + (at * 7) % 53'000)
    pauses.push_back({at, at + 3'200 + at % 9'000});
  const std::vector<Case> cases = {
      // The last cut (478,400) falls inside the final second: the remainder is its own chunk.
      {"tail in last second", 490'000, {{476'800, 480'000}}, 480'000, 16'000, {}, {{0, 490'000}}},
      {"pauses", 2'345'679, pauses, 480'000, 16'000, {}, {{0, 2'345'679}}},
      {"no silence", 1'500'001, {}, 480'000, 16'000, {}, {{0, 1'500'001}}},
      {"one clip start", 160'000, {}, 48'000, 16'000, {1.0f}, {{16'000, 160'000}}},
      {"short clip", 160'000, {}, 48'000, 16'000, {0.0f, 0.5f}, {{0, 8'000}}},
      // Negative start and an end past the audio are clamped; a reversed clip is skipped.
      {"clamped clips",
       160'000,
       {},
       48'000,
       16'000,
       {-1.0f, 2.0f, 5.0f, 100.0f, 8.0f, 6.0f},
       {{0, 32'000}, {80'000, 160'000}}},
      {"clip entirely past the end", 160'000, {}, 48'000, 16'000, {20.0f, 30.0f}, {}},
      {"padding above chunk length", 160'000, {{50'000, 60'000}}, 48'000, 100'000, {}, {{0, 160'000}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VADAudioChunker chunker(c.padding);
    const auto audio = speech(c.count, c.silences);
    std::optional<DecodingOptions> options;
    if (!c.clipTimestamps.empty()) {
      options.emplace();
      options->clipTimestamps = c.clipTimestamps;
    }
    expectCovers(chunker.chunkAll(audio, c.maxLength, options), audio, c.maxLength, c.expectedClips);
  }
}

TEST(AudioChunkerTest, TailAfterTheLastCutIsKept) {
  VADAudioChunker chunker;
  const auto audio = speech(490'000, {{476'800, 480'000}});
  EXPECT_EQ(spans(chunker.chunkAll(audio, 480'000, std::nullopt)),
            (std::vector<Span>{{0, 478'400}, {478'400, 490'000}}));
}

std::shared_ptr<TranscriptionResult> resultWith(float start, float end, int seek) {
  TranscriptionSegment segment;
  segment.seek = seek;
  segment.start = start;
  segment.end = end;
  segment.words = std::vector<WordTiming>{{"a", {1}, start, end, 0.9f}};
  return std::make_shared<TranscriptionResult>("a", std::vector<TranscriptionSegment>{segment}, "en",
                                               TranscriptionTimings{});
}

TEST(AudioChunkerTest, ResultsMoveOntoTheWholeTimelineAndFailuresAreSkipped) {
  VADAudioChunker chunker;
  auto first = resultWith(0.5f, 1.0f, 0);
  auto second = resultWith(1.0f, 1.5f, 100);
  auto late = resultWith(0.0f, 0.25f, 7);
  const std::int64_t largeOffset = (std::int64_t{1} << 24) + 3;  // beyond exact float integers
  const std::vector<ChunkTranscriptionOutcome> outcomes = {
      std::vector<std::shared_ptr<TranscriptionResult>>{first},
      std::make_exception_ptr(WhisperError::transcriptionFailed("boom")),
      std::vector<std::shared_ptr<TranscriptionResult>>{},
      std::vector<std::shared_ptr<TranscriptionResult>>{second, late},
  };
  const std::vector<AudioChunk> chunks = {AudioChunk(0, {}), AudioChunk(10, {}), AudioChunk(20, {}),
                                          AudioChunk(32'000, {})};
  const auto updated = chunker.updateSeekOffsetsForResults(outcomes, chunks);
  ASSERT_EQ(updated.size(), 3u);
  EXPECT_EQ(updated[0], first);
  EXPECT_EQ(updated[1], second);
  EXPECT_EQ(updated[2], late);
  EXPECT_EQ(first->seekTime(), 0.0f);
  const auto moved = second->segments();
  EXPECT_EQ(moved[0].seek, 32'100);
  EXPECT_FLOAT_EQ(moved[0].start, 3.0f);
  EXPECT_FLOAT_EQ(moved[0].end, 3.5f);
  EXPECT_FLOAT_EQ((*moved[0].words)[0].start, 3.0f);
  EXPECT_FLOAT_EQ((*moved[0].words)[0].end, 3.5f);
  EXPECT_EQ(second->seekTime(), 2.0f);
  EXPECT_EQ(late->segments()[0].seek, 32'007);

  auto far = resultWith(0.0f, 1.0f, 1);
  chunker.updateSeekOffsetsForResults({std::vector<std::shared_ptr<TranscriptionResult>>{far}},
                                      {AudioChunk(largeOffset, {})});
  EXPECT_EQ(far->segments()[0].seek, largeOffset + 1);

  EXPECT_THROW(chunker.updateSeekOffsetsForResults(outcomes, {AudioChunk(0, {})}), std::invalid_argument);
}

}  // namespace
}  // namespace vostrane
