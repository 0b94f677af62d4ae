// The two audio-side time records of transcribing a file by its path: the whole-file load step
// (load, then record how long it took) and the time record of the incremental path (loading
// and transcribing the streamed chunks together). Both overwrite the caller's
// TranscriptionTimings::audioLoading, the main class's current timings, and log the time and
// the process's memory use at debug level.
//
// Thread-safety: the functions write only `timings`, which the caller must own for the call.
#pragma once

#include <chrono>
#include <stop_token>
#include <string>
#include <vector>

#include "speech/audio/audio_input_options.hpp"
#include "speech/model/transcription_timings.hpp"

namespace vostrane {

// Loads the whole file at `audioPath` (16 kHz mono, the options' channel mode, no start or end
// time). Whether it succeeds or fails, the elapsed seconds go into timings.audioLoading and are
// logged ("Audio loading and convert time: " and the memory line "Audio Loading and Convert")
// before the samples are returned or the error leaves. A file that is missing, unreadable, empty
// or not audio throws WhisperError::loadAudioFailed whose message names `audioPath`;
// platform::sync::CancellationError when `stopToken` is stopped.
std::vector<float> measureAudioLoading(TranscriptionTimings& timings, const std::string& audioPath,
                                       const AudioInputOptions& audioInputOptions, std::stop_token stopToken = {});

// Stores the seconds since `since` in timings.audioLoading and logs them ("Audio streaming and
// transcription time: " and the memory line "Audio Streaming"). Never throws.
void recordAudioStreamingTime(TranscriptionTimings& timings, std::chrono::system_clock::time_point since);

}  // namespace vostrane
