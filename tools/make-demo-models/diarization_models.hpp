// The demo diarization models: deterministic graph models with the feature names, element
// types and shapes of the real segmentation model, embedder preprocessor, embedder and PLDA
// projector, written as a model repository that PyannoteModelLoader reads as a local folder.
//
// What they compute (16 kHz audio, 30 s chunks, 10 frames of 0.1 s per second):
//   segmenter   "waveform" [480000] -> float16 "sliding_window_waveform" [21, 1, 160000] (10 s
//               windows, 1 s step), "speaker_ids" [21, 100, 2], "speaker_activity" [21, 2],
//               "overlapped_speaker_activity" [21, 100]. Per frame, a Hann-windowed spectrum at
//               10 Hz spacing gives the frame's pitch: of the candidate pitches from 60 to
//               320 Hz (5 Hz apart), the one whose first kPitchHarmonics harmonics stand out most
//               from the spectrum between them (one fixed matrix product over the bins' log
//               powers, then the strongest candidate). Local speaker 0 is active on a frame whose
//               pitch lies in the low voice band (60-160 Hz) and whose energy in that band passes
//               kBandEnergyThreshold, speaker 1 likewise in the high voice band (200-320 Hz): a
//               voice is its fundamental's speaker, wherever its harmonics lie, and any voice
//               whose fundamental lies in a band is found. Each speaker then stays active through
//               gaps of up to 0.4 s (stops, unvoiced sounds, pauses between words); both at once
//               (the other voice inside such a gap) is overlap.
//   pre-embedder "waveforms" [1, 480000] -> "preprocessor_output_1" [1, 300, 2]: the same
//               per-frame activity of the two local speakers (the same pitch decision).
//   embedder    "preprocessor_output_1" + float16 "speaker_masks" [1, 42, 300] ->
//               "speaker_embeddings" [1, 42, 256]: the mask-weighted mean activity, mapped onto
//               two fixed orthonormal directions of a 256-dimensional space and length-normalised.
//               A low and a high voice give orthogonal embeddings; one voice's embeddings are
//               identical.
//   PLDA        "embeddings" [1, 42, 256] -> "plda_embeddings" [1, 42, 128]: the difference of
//               the two voice directions scaled to the across-class spread sqrt(pldaPhi()[0]) of
//               the library's PLDA model, and their sum centred and scaled by sqrt(pldaPhi()[1]);
//               so VBx keeps a low and a high voice apart.
//
// Every run writes the same bytes. Thread-safe on distinct output folders.
#pragma once

#include <filesystem>

#include "platform/fs/file_system.hpp"

namespace demomodels {

// The pitch bands of the two demo voices, in Hz (inclusive).
inline constexpr double kLowBandLowest = 60;
inline constexpr double kLowBandHighest = 160;
inline constexpr double kHighBandLowest = 200;
inline constexpr double kHighBandHighest = 320;
// The candidate pitches span both bands and the gap between them (a frame whose pitch lies in
// the gap belongs to neither speaker).
inline constexpr double kLowestPitch = kLowBandLowest;
inline constexpr double kHighestPitch = kHighBandHighest;
// The harmonics that a candidate pitch's score reads.
inline constexpr int kPitchHarmonics = 3;
// Band energy (mean square amplitude of the band's components) above which a frame whose pitch
// lies in the band is voiced: a sine of amplitude 0.01 in a band passes it.
inline constexpr double kBandEnergyThreshold = 5e-5;
// Added before the logarithm so that digital silence stays finite.
inline constexpr double kLogEpsilon = 1e-10;

// The variant folder the demo models are written under.
inline constexpr const char* kDemoVariant = "W8A16";

// Writes the repository under `root` (typically DIR/dellomar):
//   speaker_segmenter/pyannote-v3/W8A16/SpeakerSegmenter.mlmodelc/{model.json, weights.bin}
//   speaker_embedder/pyannote-v3/W8A16/SpeakerEmbedderPreprocessor.mlmodelc/...
//   speaker_embedder/pyannote-v3/W8A16/SpeakerEmbedder.mlmodelc/...
//   speaker_clusterer/pyannote-v4/W32A32/PldaProjector.mlmodelc/...
// Existing files are replaced (atomically, one by one). Throws platform::fs::FileError.
void writeDiarizationModels(platform::fs::FileSystem& fileSystem, const std::filesystem::path& root);

}  // namespace demomodels
