#include "support/tokenizer_fixture/tokenizer_fixture.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "platform/fs/file_system.hpp"
#include "platform/json/json.hpp"
#include "speech/model/constants.hpp"
#include "support/tokenizer_fixture/bpe_trainer.hpp"

namespace tokenizer_fixture {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLicenceFolder = "/usr/share/common-licenses";

int layoutBegin(Layout layout) {
  switch (layout) {
    case Layout::english:
      return 50'256;
    case Layout::multilingual:
    case Layout::largeV3:
      return 50'257;
    case Layout::plain:
      break;
  }
  return -1;
}

std::string jsonString(std::string_view text) { return platform::json::Json(std::string(text)).dump(); }

std::string timestamp(int index) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "<|%d.%02d|>", (index * 2) / 100, (index * 2) % 100);
  return buffer;
}

Files build(const Options& options) {
  const int begin = specialTokenBegin(options);
  const TrainedBpe bpe = trainByteLevelBpe(licenceTexts(), options.merges);

  std::string vocab;
  vocab.reserve(static_cast<std::size_t>(begin) * 24);
  for (int id = 0; id < begin; ++id) {
    const std::string token = id < static_cast<int>(bpe.symbols.size())
                                  ? bpe.symbols[static_cast<std::size_t>(id)]
                                  : "<filler " + std::to_string(id) + ">";
    vocab += id == 0 ? "\n" : ",\n";
    vocab += "      " + jsonString(token) + ": " + std::to_string(id);
  }
  std::string merges;
  for (std::size_t i = 0; i < bpe.merges.size(); ++i) {
    merges += i == 0 ? "\n" : ",\n";
    merges += "      " + jsonString(bpe.symbols[static_cast<std::size_t>(bpe.merges[i].first)] + " " +
                              bpe.symbols[static_cast<std::size_t>(bpe.merges[i].second)]);
  }
  std::string added;
  const std::vector<std::string> special = specialTokens(options.layout);
  for (std::size_t i = 0; i < special.size(); ++i) {
    added += i == 0 ? "\n" : ",\n";
    added += "    {\"id\": " + std::to_string(begin + static_cast<int>(i)) + ", \"content\": " + jsonString(special[i]) +
             ", \"single_word\": false, \"lstrip\": false, \"rstrip\": false, \"normalized\": false, "
             "\"special\": true}";
  }

  Files files;
  files.tokenizerJson =
      "{\n"
      "  \"version\": \"1.0\",\n"
      "  \"truncation\": null,\n"
      "  \"padding\": null,\n"
      "  \"added_tokens\": [" + added + (added.empty() ? "" : "\n  ") + "],\n"
      "  \"normalizer\": null,\n"
      "  \"pre_tokenizer\": {\"type\": \"ByteLevel\", \"add_prefix_space\": false, \"trim_offsets\": true, "
      "\"use_regex\": true},\n"
      "  \"post_processor\": null,\n"
      "  \"decoder\": {\"type\": \"ByteLevel\", \"add_prefix_space\": true, \"trim_offsets\": true, "
      "\"use_regex\": true},\n"
      "  \"model\": {\n"
      "    \"type\": \"BPE\",\n"
      "    \"dropout\": null,\n"
      "    \"unk_token\": null,\n"
      "    \"continuing_subword_prefix\": \"\",\n"
      "    \"end_of_word_suffix\": \"\",\n"
      "    \"fuse_unk\": false,\n"
      "    \"byte_fallback\": false,\n"
      "    \"vocab\": {" + vocab + "\n    },\n"
      "    \"merges\": [" + merges + (merges.empty() ? "" : "\n    ") + "]\n"
      "  }\n"
      "}\n";
  files.tokenizerConfigJson =
      "{\n"
      "  \"tokenizer_class\": \"WhisperTokenizer\",\n"
      "  \"unk_token\": \"<|endoftext|>\",\n"
      "  \"bos_token\": \"<|endoftext|>\",\n"
      "  \"eos_token\": \"<|endoftext|>\",\n"
      "  \"add_prefix_space\": false\n"
      "}\n";
  return files;
}

}  // namespace

std::string_view layoutName(Layout layout) {
  switch (layout) {
    case Layout::english:
      return "english";
    case Layout::multilingual:
      return "multilingual";
    case Layout::largeV3:
      return "large-v3";
    case Layout::plain:
      return "plain";
  }
  return "";
}

std::optional<Layout> layoutFromName(std::string_view name) {
  for (const Layout layout : {Layout::english, Layout::multilingual, Layout::largeV3, Layout::plain}) {
    if (layoutName(layout) == name) return layout;
  }
  return std::nullopt;
}

int specialTokenBegin(const Options& options) {
  if (options.merges < 0) throw FixtureError("The number of merges must not be negative");
  if (options.layout == Layout::plain) return 256 + options.merges;
  const int begin = layoutBegin(options.layout);
  if (options.merges > begin - 256) {
    throw FixtureError("The " + std::string(layoutName(options.layout)) + " layout holds at most " +
                       std::to_string(begin - 256) + " merges");
  }
  return begin;
}

std::vector<std::string> specialTokens(Layout layout) {
  std::vector<std::string> tokens;
  if (layout == Layout::plain) return tokens;
  tokens = {"<|endoftext|>", "<|startoftranscript|>", "<|en|>"};
  for (const std::string& code : vostrane::Constants::languageCodes()) {
    if (code == "en" || (code == "yue" && layout != Layout::largeV3)) continue;
    tokens.push_back("<|" + code + "|>");
  }
  for (const char* token :
       {"<|translate|>", "<|transcribe|>", "<|startoflm|>", "<|startofprev|>", "<|nospeech|>", "<|notimestamps|>"}) {
    tokens.emplace_back(token);
  }
  for (int i = 0; i <= 1500; ++i) tokens.push_back(timestamp(i));
  return tokens;
}

const std::string& licenceTexts() {
  static const std::string texts = [] {
    std::vector<fs::path> files;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(kLicenceFolder, error)) {
      if (entry.is_symlink(error) || !entry.is_regular_file(error)) continue;
      files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::string all;
    for (const fs::path& file : files) {
      if (!all.empty()) all += '\n';
      all += platform::fs::readFile(file);
    }
    return all;
  }();
  if (texts.empty()) throw FixtureError(std::string("No licence texts in ") + kLicenceFolder);
  return texts;
}

const Files& makeTokenizerFiles(const Options& options) {
  static std::mutex mutex;
  static std::map<std::pair<Layout, int>, std::unique_ptr<Files>> made;
  specialTokenBegin(options);  // checks the options before the lock is taken
  const std::lock_guard lock(mutex);
  std::unique_ptr<Files>& slot = made[{options.layout, options.merges}];
  if (!slot) slot = std::make_unique<Files>(build(options));
  return *slot;
}

void writeTokenizerFolder(const fs::path& folder, const Options& options) {
  const Files& files = makeTokenizerFiles(options);
  platform::fs::FileSystem& disk = platform::fs::RealFileSystem::shared();
  disk.createDirectories(folder);
  disk.writeFile(folder / "tokenizer.json", files.tokenizerJson);
  disk.writeFile(folder / "tokenizer_config.json", files.tokenizerConfigJson);
}

}  // namespace tokenizer_fixture
