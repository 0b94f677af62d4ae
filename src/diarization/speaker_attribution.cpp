// Speaker attribution: lays speech segments (or pieces of them cut at pauses between words)
// over the diarization segments and gives each piece the speaker with the best frame overlap.
#include <algorithm>
#include <utility>

#include "core/logging.hpp"
#include "diarization/diarization_result.hpp"
#include "platform/sys/checked_cast.hpp"

namespace dellomar {

namespace {

using vostrane::TranscriptionSegment;
using vostrane::WordTiming;

std::int64_t frameOf(float seconds, float frameRate) {
  return platform::sys::checkedIntegerCast<std::int64_t>(seconds * frameRate).value_or(0);
}

void logMissingWords(const TranscriptionSegment& segment) {
  noxtal::Logging::info("[Dellomar] No words for segment: " + std::to_string(segment.id) +
                        ". Enable `wordTimestamps` on DecodingOptions.");
}

TranscriptionSegment pieceOf(std::vector<WordTiming> words) {
  TranscriptionSegment piece;
  piece.id = 0;
  piece.seek = 0;
  piece.start = words.front().start;
  piece.end = words.back().end;
  for (const WordTiming& word : words) piece.text += word.word;
  piece.tokenLogProbs = {std::map<int, float>{}};
  piece.temperature = 1.0f;
  piece.avgLogprob = 0.0f;
  piece.compressionRatio = 1.0f;
  piece.noSpeechProb = 0.0f;
  piece.words = std::move(words);
  return piece;
}

// The pieces of one segment cut where a pause between words exceeds `threshold`.
void cutAtPauses(const TranscriptionSegment& segment, float threshold, std::vector<TranscriptionSegment>& pieces) {
  if (!segment.words || segment.words->empty()) {
    logMissingWords(segment);
    return;
  }
  const std::vector<WordTiming>& words = *segment.words;
  std::vector<WordTiming> group{words.front()};
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (words[i].start - words[i - 1].end > threshold) {
      pieces.push_back(pieceOf(std::move(group)));
      group.clear();
    }
    group.push_back(words[i]);
  }
  pieces.push_back(pieceOf(std::move(group)));
}

// The speaker of the diarization segment that overlaps [start, end] best; absent without any
// candidate.
std::optional<SpeakerInfo> bestSpeaker(const std::vector<SpeakerSegment>& segments, float frameRate, float start,
                                       float end, bool byFrames) {
  const std::int64_t ps = frameOf(start, frameRate);
  const std::int64_t pe = frameOf(end, frameRate);
  const SpeakerSegment* best = nullptr;
  double bestScore = 0;
  for (const SpeakerSegment& segment : segments) {
    const std::int64_t first = segment.startFrame();
    const std::int64_t last = segment.endFrame();
    if (last < ps) continue;
    if (first > pe) break;
    const std::int64_t overlap = std::max<std::int64_t>(std::min(last, pe) - std::max(first, ps), 0);
    double score = static_cast<double>(overlap);
    if (!byFrames) {
      const std::int64_t span = std::max(last, pe) - std::min(first, ps);
      if (span == 0) continue;
      score = static_cast<double>(overlap) / static_cast<double>(span);
    }
    if (best == nullptr || score > bestScore) {
      best = &segment;
      bestScore = score;
    }
  }
  if (best == nullptr) return std::nullopt;
  return best->speaker;
}

}  // namespace

std::vector<std::vector<SpeakerSegment>> DiarizationResult::addSpeakerInfo(
    const std::vector<std::shared_ptr<vostrane::TranscriptionResult>>& transcription,
    const SpeakerInfoStrategy& strategy) const {
  std::vector<std::vector<TranscriptionSegment>> lists;
  lists.reserve(transcription.size());
  for (const auto& result : transcription) {
    lists.push_back(result ? result->segments() : std::vector<TranscriptionSegment>{});
  }
  return addSpeakerInfo(lists, strategy);
}

std::vector<std::vector<SpeakerSegment>> DiarizationResult::addSpeakerInfo(
    const std::vector<std::vector<TranscriptionSegment>>& segmentLists, const SpeakerInfoStrategy& strategy) const {
  const bool bySubsegment = strategy.kind() == SpeakerInfoStrategy::Case::subsegment;
  std::vector<std::vector<SpeakerSegment>> out;
  out.reserve(segmentLists.size());
  for (const std::vector<TranscriptionSegment>& segmentsOfResult : segmentLists) {
    std::vector<TranscriptionSegment> pieces;
    if (bySubsegment) {
      for (const TranscriptionSegment& segment : segmentsOfResult) {
        cutAtPauses(segment, strategy.betweenWordThreshold(), pieces);
      }
    } else {
      pieces = segmentsOfResult;
    }
    std::vector<SpeakerSegment> attributed;
    SpeakerInfo previous = SpeakerInfo::noMatch();
    for (TranscriptionSegment& piece : pieces) {
      if (!piece.words || piece.words->empty()) {
        logMissingWords(piece);
        continue;
      }
      const std::optional<SpeakerInfo> found = bestSpeaker(segments, frameRate, piece.start, piece.end, bySubsegment);
      const SpeakerInfo speaker = found ? *found : previous;
      previous = speaker;
      std::vector<SpeakerWordTiming> words;
      words.reserve(piece.words->size());
      for (const WordTiming& word : *piece.words) words.push_back({word, speaker});
      attributed.push_back(SpeakerSegment::fromTranscription(std::move(piece), std::move(words), frameRate));
    }
    out.push_back(std::move(attributed));
  }
  return out;
}

}  // namespace dellomar
