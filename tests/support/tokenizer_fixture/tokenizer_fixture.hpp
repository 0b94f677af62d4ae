// Tokenizer folders in the shape of the Whisper tokenizers, made from nothing but the machine's
// own files, for tests, benchmarks, tools/make-tokenizer and the demo-model generator.
//
// The vocabulary is a byte-level BPE trained on the licence texts of Debian's base-files
// package (/usr/share/common-licenses, regular files in name order), and on pseudo-words from
// a fixed-seed generator once the texts' pairs run out, to the requested number of merges. Ids
// 0 to S-1 are the 256 byte characters (in GPT-2 order, so the blank "Ġ" is 220), the merge
// results in merge order, then filler entries; from S come the special added tokens
// "<|endoftext|>", "<|startoftranscript|>", one "<|code|>" per language ("en" first, then the
// speech library's other codes in order, "yue" only in large-v3), "<|translate|>",
// "<|transcribe|>", "<|startoflm|>", "<|startofprev|>", "<|nospeech|>", "<|notimestamps|>"
// and "<|0.00|>" to "<|30.00|>". S is 50,256 for english, 50,257 for multilingual and
// large-v3; plain has no added tokens and no fillers (S = 256 + merges).
//
// The same options give the same bytes on every run. Functions are thread-safe; training
// takes a few seconds for 50,000 merges.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tokenizer_fixture {

enum class Layout { english, multilingual, largeV3, plain };

// "english", "multilingual", "large-v3", "plain".
std::string_view layoutName(Layout layout);
std::optional<Layout> layoutFromName(std::string_view name);

struct Options {
  Layout layout = Layout::multilingual;
  int merges = 50'000;
};

// Options that cannot be met (negative merges, more merges than the layout's S - 256 ids).
class FixtureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The first id of the special tokens: S of the layout (plain: 256 + merges).
int specialTokenBegin(const Options& options);
// The special tokens of the layout, in id order from specialTokenBegin.
std::vector<std::string> specialTokens(Layout layout);

// The licence texts the BPE learns from, concatenated in file-name order (a line feed between
// files). Throws FixtureError when the folder holds no licence text.
const std::string& licenceTexts();

struct Files {
  std::string tokenizerJson;        // "tokenizer.json"
  std::string tokenizerConfigJson;  // "tokenizer_config.json"
};

// The two files' bytes. Throws FixtureError. Results are kept per options for the process, so
// repeated calls are cheap.
const Files& makeTokenizerFiles(const Options& options);

// Writes "tokenizer.json" and "tokenizer_config.json" into `folder` (created when missing),
// atomically through platform::fs. Throws FixtureError, or platform::fs::FileError.
void writeTokenizerFolder(const std::filesystem::path& folder, const Options& options);

}  // namespace tokenizer_fixture
