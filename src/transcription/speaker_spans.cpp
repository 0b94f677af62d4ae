#include "transcription/speaker_spans.hpp"

#include <algorithm>
#include <cmath>

#include "diarization/pyannote_model_loader.hpp"

namespace velmoria {

std::vector<DiarizedSpan> makeDiarizedSpans(const dellomar::DiarizationResult& result) {
  std::vector<DiarizedSpan> spans;
  for (const dellomar::SpeakerSegment& segment : result.segments) {
    const std::optional<int> id = segment.speaker.speakerId();
    if (!id) continue;
    spans.push_back({*id, double(segment.startTime), double(segment.endTime)});
  }
  return spans;
}

std::map<std::int64_t, double> computeSpeakerSpeechDurations(const std::vector<DiarizedSpan>& spans) {
  std::map<std::int64_t, double> durations;
  for (const DiarizedSpan& span : spans) {
    const double length = span.end - span.start;
    durations[span.speakerID] += length > 0 ? length : 0.0;
  }
  return durations;
}

std::string SpeakerEmbeddingSpace::current() {
  const noxtal::ModelInfo info =
      dellomar::embedderModelInfo(std::nullopt, std::nullopt, platform::ml::ComputeUnits::cpuAndNeuralEngine);
  return info.version().value_or("unknown") + "/" + info.variant().value_or("unknown");
}

std::map<int, std::vector<float>> finiteCentroidEmbeddings(const std::map<int, std::vector<float>>& centroids) {
  std::map<int, std::vector<float>> kept;
  for (const auto& [id, vector] : centroids) {
    if (vector.empty()) continue;
    if (!std::all_of(vector.begin(), vector.end(), [](float v) { return std::isfinite(v); })) continue;
    kept.emplace(id, vector);
  }
  return kept;
}

std::vector<TranscriptSegment> makeTranscriptSegments(
    const std::vector<std::vector<dellomar::SpeakerSegment>>& speakerSegments) {
  std::vector<TranscriptSegment> segments;
  for (const auto& list : speakerSegments) {
    for (const dellomar::SpeakerSegment& segment : list) segments.push_back(makeTranscriptSegment(segment));
  }
  return segments;
}

TranscriptSegment makeTranscriptSegment(const dellomar::SpeakerSegment& segment) {
  TranscriptSegment out;
  out.id = platform::sync::Uuid::random();
  if (const auto id = segment.speaker.speakerId()) out.speakerID = *id;
  out.speakerLabel = segment.speaker.description();
  out.startTime = segment.startTime;
  out.endTime = segment.endTime;
  out.text = segment.text();
  out.confidence = segment.transcription ? segment.transcription->avgLogprob : 0.0f;
  out.noSpeechProbability = segment.transcription ? segment.transcription->noSpeechProb : 0.0f;
  if (!segment.speakerWords.empty()) {
    out.words = std::vector<TranscriptWord>{};
    out.words->reserve(segment.speakerWords.size());
    for (const dellomar::SpeakerWordTiming& word : segment.speakerWords) {
      TranscriptWord w{word.wordTiming.word, word.wordTiming.start, word.wordTiming.end, word.wordTiming.probability,
                       std::nullopt};
      if (const auto id = word.speaker.speakerId()) w.speakerID = *id;
      out.words->push_back(std::move(w));
    }
  }
  return out;
}

}  // namespace velmoria
