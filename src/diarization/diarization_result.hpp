// DiarizationResult: what the diarization library returns for one signal (a speaker-by-frame
// matrix, the speaker segments derived from it, per-speaker centroid embeddings and the run's
// timings), and SpeakerSegment, one stretch of time attributed to a speaker: a diarization
// segment built from frames, or a speech segment with its words after attribution.
//
// The pipeline builds the result; the main class and the transcription engine read it and
// attach speakers to speech results (addSpeakerInfo). Plain values: copies are independent
// (the timing record is immutable and shared). Nothing here throws; every member is
// thread-safe on distinct values. Conversions of seconds times frame rate to frames expect
// finite products; a product outside the 64-bit range counts as frame 0.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "diarization/diarization_config.hpp"
#include "diarization/speaker_info.hpp"
#include "platform/sync/uuid.hpp"
#include "speech/model/transcription_result.hpp"

namespace dellomar {

class SpeakerSegment {
 public:
  // From frames: times = frame / frameRate (single precision); the frames are kept.
  static SpeakerSegment fromFrames(SpeakerInfo speaker, std::int64_t startFrame, std::int64_t endFrame,
                                   float frameRate, std::optional<vostrane::TranscriptionSegment> transcription = {},
                                   std::vector<SpeakerWordTiming> speakerWords = {});
  // From times; no frames kept.
  static SpeakerSegment fromTimes(SpeakerInfo speaker, float startTime, float endTime, float frameRate,
                                  std::optional<vostrane::TranscriptionSegment> transcription = {},
                                  std::vector<SpeakerWordTiming> speakerWords = {});
  // A speech segment with its attributed words: the first word's single speaker (else noMatch),
  // the smallest word start and the largest word end (0 and 0 without words).
  static SpeakerSegment fromTranscription(vostrane::TranscriptionSegment transcription,
                                          std::vector<SpeakerWordTiming> speakerWords, float diarizationFrameRate);

  platform::sync::Uuid id;  // fresh at construction
  SpeakerInfo speaker;
  float startTime = 0;  // seconds
  float endTime = 0;    // seconds
  float frameRate = 0;  // frames per second
  std::optional<std::int64_t> originalStartFrame;
  std::optional<std::int64_t> originalEndFrame;  // exclusive
  std::optional<vostrane::TranscriptionSegment> transcription;
  std::vector<SpeakerWordTiming> speakerWords;

  // originalStartFrame, else startTime x frameRate truncated toward zero.
  std::int64_t startFrame() const;
  std::int64_t endFrame() const;
  // The words' texts joined without separator.
  std::string text() const;
  // "Speaker 1 [3.25-7.80s]: hello there": the first word's start and the last word's end
  // when there are words, else the segment's times; the text trimmed of blanks.
  std::string description() const;
  // "Segment <UPPER-CASE UUID> -- " + description().
  std::string debugDescription() const;

 private:
  SpeakerSegment() = default;
};

struct NearestSpeaker {
  int speakerId;
  float distance;
};

class DiarizationResult {
 public:
  using BinaryMatrix = std::vector<std::vector<int>>;
  using CentroidMap = std::map<int, std::vector<float>>;

  // The public form: no matrix.
  DiarizationResult(int speakerCount, std::int64_t totalFrames, float frameRate, std::vector<SpeakerSegment> segments,
                    std::shared_ptr<const DiarizationTimings> timings, CentroidMap speakerCentroidEmbeddings);
  // The pipeline's form, with the matrix (row = speaker, column = frame).
  DiarizationResult(BinaryMatrix binaryMatrix, int speakerCount, std::int64_t totalFrames, float frameRate,
                    std::vector<SpeakerSegment> segments, std::shared_ptr<const DiarizationTimings> timings,
                    CentroidMap speakerCentroidEmbeddings);

  const BinaryMatrix& binaryMatrix() const { return binaryMatrix_; }
  int speakerCount = 0;
  std::int64_t totalFrames = 0;
  float frameRate = 0;
  std::vector<SpeakerSegment> segments;  // sorted by start frame
  std::shared_ptr<const DiarizationTimings> timings;  // null when absent
  CentroidMap speakerCentroidEmbeddings;

  // The timings as the pyannote record, or null when absent or of another type.
  const PyannoteDiarizationTimings* pyannoteTimings() const;

  // Rebuilds `segments` from the matrix, joining runs of one speaker whose gap is at most
  // minActiveOffset x frameRate frames (truncated). An empty matrix leaves the segments as
  // they are. Segments are sorted by start frame (stable: lower speaker first on ties).
  void updateSegments(float minActiveOffset);
  // Cosine distance of two speakers' centroids (clamped to [0, 2]; 1 for a zero vector);
  // absent without both centroids, with an empty first one or different lengths.
  std::optional<float> centroidCosineDistance(int a, int b) const;
  // The speaker whose centroid is nearest by cosine distance (ties to the lower id), among
  // centroids of the embedding's length; absent when there is none or `embedding` is empty.
  std::optional<NearestSpeaker> nearestSpeakerCentroid(std::span<const float> embedding) const;
  // One list of speaker segments per speech result, in the same order (see speaker
  // attribution). Reads each result's segments once.
  std::vector<std::vector<SpeakerSegment>> addSpeakerInfo(
      const std::vector<std::shared_ptr<vostrane::TranscriptionResult>>& transcription,
      const SpeakerInfoStrategy& strategy) const;
  // The same over plain segment lists, one per speech result.
  std::vector<std::vector<SpeakerSegment>> addSpeakerInfo(
      const std::vector<std::vector<vostrane::TranscriptionSegment>>& segmentLists,
      const SpeakerInfoStrategy& strategy) const;

 private:
  BinaryMatrix binaryMatrix_;
};

}  // namespace dellomar
