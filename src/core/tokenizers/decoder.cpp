#include "core/tokenizers/decoder.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>

#include "core/extensions.hpp"
#include "core/tokenizers/byte_level.hpp"
#include "core/tokenizers/replace_pattern.hpp"
#include "core/tokenizers/text_splitting.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "platform/text/regex.hpp"
#include "platform/text/text.hpp"

namespace noxtal::tokenizers {
namespace {

namespace text = platform::text;

using Tokens = std::vector<std::string>;

class DecoderSequence final : public Decoder {
 public:
  explicit DecoderSequence(const Config& config) {
    const Config::Array* list = config["decoders"].arrayValue();
    if (list == nullptr) throw TokenizerError::invalidConfiguration("No decoders in Sequence");
    for (const Config& element : *list) {
      if (auto member = makeDecoder(element)) decoders_.push_back(std::move(member));
    }
  }
  Tokens decode(std::span<const std::string> tokens) const override {
    Tokens out(tokens.begin(), tokens.end());
    for (const auto& member : decoders_) out = member->decode(out);
    return out;
  }

 private:
  std::vector<std::shared_ptr<const Decoder>> decoders_;
};

class WordPieceDecoder final : public Decoder {
 public:
  explicit WordPieceDecoder(const Config& config) : cleanup_(config["cleanup"].boolean().value_or(false)) {
    const BinaryDistinctString* prefix = config["prefix"].stringValue();
    if (prefix == nullptr)
      throw TokenizerError::invalidConfiguration("Missing `prefix` configuration for WordPieceDecoder.");
    prefix_ = prefix->string();
  }

  Tokens decode(std::span<const std::string> tokens) const override {
    Tokens out;
    out.reserve(tokens.size());
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      std::string token = tokens[i];
      if (i > 0) {
        if (token.starts_with(prefix_)) {
          token.erase(0, prefix_.size());
        } else {
          token.insert(token.begin(), ' ');
        }
      }
      out.push_back(cleanup_ ? clean(token) : std::move(token));
    }
    return out;
  }

 private:
  static std::string clean(std::string_view token) {
    static const text::Regex re("\\s(\\.|\\?|\\!|\\,|'\\s|n't|'m|'s|'ve|'re)");
    return replacingOccurrences(replaceAllMatches(re, token, "$1"), " do not", " don't");
  }

  std::string prefix_;
  bool cleanup_;
};

class ByteLevelDecoder final : public Decoder {
 public:
  explicit ByteLevelDecoder(std::unordered_set<std::string> addedTokens) : addedTokens_(std::move(addedTokens)) {}

  Tokens decode(std::span<const std::string> tokens) const override {
    Tokens out;
    std::string run;
    bool pending = false;
    const auto flush = [&] {
      if (pending) out.push_back(byteLevelDecode(run));
      run.clear();
      pending = false;
    };
    for (const std::string& token : tokens) {
      if (addedTokens_.contains(token)) {
        flush();
        out.push_back(token);
      } else {
        run += token;
        pending = true;
      }
    }
    flush();
    return out;
  }

 private:
  std::unordered_set<std::string> addedTokens_;
};

class ReplaceDecoder final : public Decoder {
 public:
  explicit ReplaceDecoder(const Config& config) : pattern_(readReplacePattern(config)) {}
  Tokens decode(std::span<const std::string> tokens) const override {
    if (!pattern_) return Tokens(tokens.begin(), tokens.end());
    Tokens out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens) out.push_back(pattern_->replace(token));
    return out;
  }

 private:
  std::optional<StringReplacePattern> pattern_;
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "<0xHH>" with two hexadecimal digits; no sign is accepted.
std::optional<char> byteOfToken(std::string_view token) {
  if (token.size() != 6 || !token.starts_with("<0x") || token.back() != '>') return std::nullopt;
  const int high = hexValue(token[3]);
  const int low = hexValue(token[4]);
  if (high < 0 || low < 0) return std::nullopt;
  return static_cast<char>(high * 16 + low);
}

class ByteFallbackDecoder final : public Decoder {
 public:
  explicit ByteFallbackDecoder(const Config&) {}
  Tokens decode(std::span<const std::string> tokens) const override {
    Tokens out;
    std::string bytes;
    for (const std::string& token : tokens) {
      if (const auto byte = byteOfToken(token)) {
        bytes.push_back(*byte);
        continue;
      }
      if (!bytes.empty()) out.push_back(text::repairUtf8(bytes));
      bytes.clear();
      out.push_back(token);
    }
    if (!bytes.empty()) out.push_back(text::repairUtf8(bytes));
    return out;
  }
};

class FuseDecoder final : public Decoder {
 public:
  explicit FuseDecoder(const Config&) {}
  Tokens decode(std::span<const std::string> tokens) const override {
    std::string joined;
    for (const std::string& token : tokens) joined += token;
    return {joined};
  }
};

// Up to `upto` leading characters equal to `character` removed (compared as canonically
// equivalent grapheme clusters, like trimmingFromEnd); a `character` of other than one
// cluster removes nothing.
std::string trimmingFromStart(std::string_view s, std::string_view character, int upto) {
  if (upto <= 0 || character.empty()) return std::string(s);
  const auto nfc = [](std::string_view t) { return text::normalize(t, text::NormalizationForm::nfc); };
  const std::string target = nfc(character);
  const std::vector<std::size_t> bounds = text::graphemeBoundaries(s);
  std::size_t start = 0;
  for (std::size_t k = 1; k < bounds.size() && static_cast<int>(k) <= upto; ++k) {
    if (nfc(s.substr(bounds[k - 1], bounds[k] - bounds[k - 1])) != target) break;
    start = bounds[k];
  }
  return std::string(s.substr(start));
}

int clampedCount(std::int64_t n) {
  return static_cast<int>(
      std::clamp<std::int64_t>(n, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

class StripDecoder final : public Decoder {
 public:
  explicit StripDecoder(const Config& config) {
    const BinaryDistinctString* content = config["content"].stringValue();
    if (content == nullptr) fail("content");
    const auto start = config["start"].integerValue();
    if (!start) fail("start");
    const auto stop = config["stop"].integerValue();
    if (!stop) fail("stop");
    content_ = content->string();
    start_ = clampedCount(*start);
    stop_ = clampedCount(*stop);
  }

  Tokens decode(std::span<const std::string> tokens) const override {
    Tokens out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens) {
      out.push_back(trimmingFromEnd(trimmingFromStart(token, content_, start_), content_, stop_));
    }
    return out;
  }

 private:
  [[noreturn]] static void fail(const char* key) {
    throw TokenizerError::invalidConfiguration(std::string("Incorrect StripDecoder configuration: can't parse `") +
                                               key + "`.");
  }

  std::string content_;
  int start_ = 0;
  int stop_ = 0;
};

class MetaspaceDecoder final : public Decoder {
 public:
  explicit MetaspaceDecoder(const Config& config)
      : addPrefixSpace_(config["addPrefixSpace"].boolean().value_or(false)) {
    const BinaryDistinctString* replacement = config["replacement"].stringValue();
    replacement_ = replacement != nullptr ? replacement->string() : "_";
  }

  Tokens decode(std::span<const std::string> tokens) const override {
    Tokens out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens) out.push_back(replacingOccurrences(token, replacement_, " "));
    if (addPrefixSpace_ && !out.empty() && out.front().starts_with(' ')) out.front().erase(0, 1);
    return out;
  }

 private:
  bool addPrefixSpace_;
  std::string replacement_;
};

template <class T>
std::shared_ptr<const Decoder> build(const Config& config, const std::unordered_set<std::string>*) {
  return std::make_shared<const T>(config);
}

std::shared_ptr<const Decoder> byteLevel(const Config&, const std::unordered_set<std::string>* addedTokens) {
  return std::make_shared<const ByteLevelDecoder>(addedTokens != nullptr ? *addedTokens
                                                                         : std::unordered_set<std::string>{});
}

}  // namespace

std::shared_ptr<const Decoder> makeDecoder(const Config& config, const std::unordered_set<std::string>* addedTokens) {
  const BinaryDistinctString* typeText = config["type"].stringValue();
  if (typeText == nullptr) return nullptr;
  using Maker = std::shared_ptr<const Decoder> (*)(const Config&, const std::unordered_set<std::string>*);
  static const std::unordered_map<std::string, Maker> makers = {
      {"Sequence", &build<DecoderSequence>},
      {"WordPiece", &build<WordPieceDecoder>},
      {"ByteLevel", &byteLevel},
      {"Replace", &build<ReplaceDecoder>},
      {"ByteFallback", &build<ByteFallbackDecoder>},
      {"Fuse", &build<FuseDecoder>},
      {"Strip", &build<StripDecoder>},
      {"Metaspace", &build<MetaspaceDecoder>},
  };
  const std::string type = typeText->string();
  const auto found = makers.find(type);
  if (found == makers.end()) throw TokenizerError::invalidConfiguration("Unsupported Decoder type: " + type);
  return found->second(config, addedTokens);
}

}  // namespace noxtal::tokenizers
