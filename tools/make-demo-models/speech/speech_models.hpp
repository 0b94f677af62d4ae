// The demo speech models: a model repository with three graph-only models in the shape of the
// large-v3 speech models and a Whisper-shaped tokenizer, so the transcription pipeline runs end
// to end on any machine without a download. Used by `make-demo-models speech` and by tests and
// benchmarks, which write the same folders in process.
//
// What the models compute:
//   MelSpectrogram  float32 "audio" [480000] -> float16 "melspectrogram_features" [1, 128, 1, 3000]:
//                   a real log-mel spectrogram (reflect padding by 200, periodic Hann frames of
//                   400 samples every 160, the DFT as one matrix product, power, 128 Slaney-style
//                   mel filters, log10 of the energy floored at 1e-10 and at the window's largest
//                   value - 8, then (x + 4) / 4).
//   AudioEncoder    "melspectrogram_features" -> float16 "encoder_output_embeds" [1, 64, 1, 1500]:
//                   each pair of frames through one fixed matrix and tanh.
//   TextDecoder     the decoder contract (224 cache positions, cache rows E = 2, vocabulary 51866):
//                   logits [1, 1, 51866] that give the scripted next token a logit of 20 and every
//                   other token 0. Before the task token: "<|en|>" after "<|startoftranscript|>",
//                   "<|transcribe|>" after a language token, "<|endoftext|>" otherwise. From the
//                   task token on the answer is the script at (cache position - the task token's
//                   position): "<|0.00|>", the first half of the words of TEXT, the timestamp after
//                   them twice, the other words, "<|30.00|>", then "<|endoftext|>". The task
//                   token's position is read back from key cache row 0 (1 where the task token was
//                   written), so prompt tokens before it change nothing. Word w (the tokenizer's
//                   words, punctuation-only words joined to a neighbour) lasts from w x 0.5 s to
//                   (w + 1) x 0.5 s; "alignment_heads_weights" [1, 1500] of the step that
//                   predicts a token is 1 on the frames of the token's word (for "<|30.00|>" the
//                   frames after the last word, none for other special tokens and marks), 0.5 on
//                   the frame after them, 0 elsewhere, so the alignment of word timestamps
//                   recovers those times.
//
// Every run with the same options writes the same bytes. Thread-safe on distinct output folders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fs/file_system.hpp"
#include "speech/decoding/whisper_tokenizer.hpp"

namespace demomodels {

inline constexpr const char* kDefaultSpeechFolder = "openai_whisper-large-v3-v20240930_626MB";
inline constexpr const char* kDefaultSpeechText = " The quick brown fox jumps over the lazy dog.";
// The repository name and version in "config.json".
inline constexpr const char* kSpeechRepoName = "velmoria-demo-speech-models";
inline constexpr const char* kSpeechRepoVersion = "1.0";

inline constexpr std::int64_t kSpeechSampleRate = 16000;
inline constexpr std::int64_t kWindowSamples = 480000;
inline constexpr std::int64_t kFftSize = 400;
inline constexpr std::int64_t kHopLength = 160;
inline constexpr std::int64_t kFrequencyBins = kFftSize / 2 + 1;  // 201
inline constexpr std::int64_t kMelBins = 128;
inline constexpr std::int64_t kMelFrames = kWindowSamples / kHopLength;  // 3000
inline constexpr std::int64_t kEncoderFrames = kMelFrames / 2;          // 1500
inline constexpr std::int64_t kEncoderEmbedSize = 64;
inline constexpr std::int64_t kDecoderCacheEmbedDim = 2;
inline constexpr std::int64_t kDecoderCacheLength = 224;
inline constexpr std::int64_t kVocabularySize = 51866;
inline constexpr float kScriptedLogit = 20;
inline constexpr double kWordSeconds = 0.5;
inline constexpr std::int64_t kWordFrames = 25;  // 0.5 s at 0.02 s per encoder frame
// Most words and script tokens a TEXT may give: the words must end before 30 s, and the
// script must leave room for a prompt in the 224 cache positions.
inline constexpr std::size_t kMaxWords = 59;
inline constexpr std::size_t kMaxScriptTokens = 180;

// Bad command-line arguments or an unusable TEXT or NAME; what() is one line.
class SpeechDemoArgumentError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct SpeechDemoOptions {
  std::filesystem::path out;                    // DIR
  std::string folder = kDefaultSpeechFolder;    // NAME
  std::string text = kDefaultSpeechText;        // TEXT
  int tokenizerMerges = 50'000;                 // BPE merges of the tokenizer (tests use fewer)
};

// Reads "--out DIR [--folder NAME] [--text TEXT]" (in any order, each at most once). Throws
// SpeechDemoArgumentError for a missing --out, an unknown or repeated option, a missing value,
// an empty DIR or TEXT, or a NAME that is not one plain folder name.
SpeechDemoOptions parseSpeechArguments(std::span<const std::string_view> args);

// One word of the script: its text tokens and its time in the window. Punctuation-only words
// of the tokenizer travel with a word: marks before the first word lead it, every other one
// trails the word before it; their alignment covers no frame but the word's first (leading)
// or the one after its end (trailing), as the word-timing merge of punctuation expects.
struct ScriptedWord {
  std::vector<int> tokens;
  std::size_t leadingMarks = 0;   // tokens of opening marks at the front of `tokens`
  std::size_t trailingMarks = 0;  // tokens of closing marks at the back of `tokens`
  double start = 0;
  double end = 0;
};

// The decoder's script for TEXT.
struct SpeechScript {
  // The answers from the task token on: tokens[s] is the token predicted at s positions after
  // the task token ("<|0.00|>" first, "<|endoftext|>" last).
  std::vector<int> tokens;
  // Per answer, the encoder frames [first, end) that its alignment weights cover.
  std::vector<std::pair<std::int64_t, std::int64_t>> frames;
  std::vector<ScriptedWord> words;
  std::size_t firstSegmentWords = 0;  // words in the first segment
  double firstSegmentEnd = 0;         // seconds: the end of the first segment, the start of the second
  double secondSegmentEnd = 30;       // seconds: the closing timestamp
};

// The script of `text` encoded with `tokenizer`. Throws SpeechDemoArgumentError when the text
// has fewer than two words, more than kMaxWords, special tokens, or more than kMaxScriptTokens
// tokens in the script.
SpeechScript speechScript(const vostrane::WhisperTokenizer& tokenizer, std::string_view text);

// The 128 Slaney-normalised mel filters over the 201 frequency bins of a 400-point DFT at
// 16 kHz (0 to 8 kHz), row-major [201, 128].
std::vector<double> melFilterBank();

// Writes, replacing existing files (atomically, one by one):
//   out/config.json                                  model support: one row for every device
//                                                    (identifier ""), recommending `folder`
//   out/folder/MelSpectrogram.mlmodelc/{model.json, weights.bin}
//   out/folder/AudioEncoder.mlmodelc/{model.json, weights.bin}
//   out/folder/TextDecoder.mlmodelc/{model.json, weights.bin}
//   out/folder/tokenizer.json, tokenizer_config.json (layout large-v3)
// The tokenizer is read back from out/folder to encode the text, so `fileSystem` must write to
// the real disk. Throws SpeechDemoArgumentError (see speechScript; the tokenizer files are then
// already written, nothing else is), platform::fs::FileError, tokenizer_fixture::FixtureError,
// noxtal::tokenizers::TokenizerError.
void writeSpeechModels(platform::fs::FileSystem& fileSystem, const SpeechDemoOptions& options);

}  // namespace demomodels
