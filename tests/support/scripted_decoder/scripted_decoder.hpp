// Test support: a scripted text-decoder model. The program "scripted_text_decoder" follows a
// token script per audio window, so decoding-loop tests know exactly which token each step
// predicts and where each step's cache slice must land.
//
// Window key: element 0 of "encoder_output_embeds", rounded. At cache length p the program
// predicts element p + 1 of the window's sequence (the whole sequence the model "wants",
// prompt included), endToken past its end: logits are `base` everywhere, `peak` at that token,
// then extraLogits[p] overrides single tokens. Key updates hold p + 1 in every row, value updates
// -(p + 1). With alignment on, "alignment_heads_weights" is a zero row with a one at
// alignmentFrame[p] (all zeros without an entry). failAtStep fails the prediction at that cache
// length; delayMs sleeps before answering and honours the stop token; strict fails, naming the
// input, unless "kv_cache_update_mask" is one-hot at p and "decoder_key_padding_mask" is 0 up to
// p and -10000 after. A window key without a sequence fails the prediction.
//
// predict() keeps no state and may run concurrently.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <vector>

namespace testsupport {

struct ScriptedDecoderSpec {
  int embedDim = 4;             // E, dimension 1 of the caches
  int maxSequenceLength = 224;  // M, dimension 3 of the caches
  int windowSize = 8;           // W, dimension 3 of the encoder output
  int embedSize = 6;            // D, dimension 1 of the encoder output
  int vocabularySize = 51866;   // V, dimension 2 of the logits
  int endToken = 50257;
  std::map<int, std::vector<int>> sequences{};
  float peak = 10;
  float base = 0;
  std::map<int, std::map<int, float>> extraLogits{};
  std::map<int, int> alignmentFrame{};
  std::optional<int> failAtStep{};
  int delayMs = 0;
  bool strict = false;
  bool alignment = true;  // false: no "alignment_heads_weights" output
};

// Registers the program under "scripted_text_decoder" (again harmlessly). Thread-safe.
void registerScriptedTextDecoder();

// Writes <folder>/TextDecoder.mlmodelc/model.json for `setup` and returns the model folder.
std::filesystem::path writeScriptedDecoder(const std::filesystem::path& folder, const ScriptedDecoderSpec& setup);

}  // namespace testsupport
