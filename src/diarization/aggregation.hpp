// Aggregation, the last step of a pyannote run: turns the clustered speaker embeddings of all
// sliding windows into one global frame grid (per frame, the share of covering windows in
// which each speaker was active and the estimated number of simultaneous speakers) and then
// into the binary speaker-by-frame matrix of the DiarizationResult, whose segments it builds.
//
// The window geometry comes from the segmentation model and is taken once, when a run starts,
// so an unload during the run cannot change it. Pure function; thread-safe; never throws.
#pragma once

#include <cstdint>
#include <vector>

#include "diarization/diarization_result.hpp"
#include "diarization/speaker_embedder.hpp"
#include "diarization/speaker_segmenter.hpp"
#include "diarization/vbx_clustering.hpp"

namespace dellomar {

struct WindowGeometry {
  float secondsPerWindow = 0;  // seconds of one sliding window
  float framesPerWindow = 0;   // model frames per window
  std::int64_t maxChunks = 0;  // chunks the segmenter makes for the run's samples
  bool modelLoaded = false;    // the segmenter had a model when the geometry was taken

  // Frames per second of the result; 0 without a model or a window duration.
  float frameRate() const {
    return modelLoaded && secondsPerWindow > 0 ? framesPerWindow / secondsPerWindow : 0.0f;
  }
};

// The segmenter's geometry for a run over `sampleCount` samples.
WindowGeometry windowGeometry(const SpeakerSegmenterModel& segmenter, std::int64_t sampleCount);

// Embeddings sorted by (windowIndex, speakerIndex) with cluster ids set. With exclusive
// reconciliation a frame carries at most one speaker (the largest share, lower id on ties), and
// only where some speaker's share rounds to 1 or more (halves up); without it as many speakers
// as the sum of the rounded shares, never a speaker whose share is 0. Without
// embeddings: the empty result (no centroids kept). Embeddings with a window geometry that has
// no positive window duration: the empty result and an error line. Inconsistent entries are
// logged at error level and skipped.
DiarizationResult aggregate(const std::vector<SpeakerEmbedding>& embeddings, SpeakerCentroids speakerCentroids,
                            const WindowGeometry& geometry, bool useExclusiveReconciliation);

}  // namespace dellomar
