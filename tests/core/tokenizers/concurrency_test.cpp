// Stages are shared between threads as std::shared_ptr<const ...>; the byte tables are built
// on first use. Run under ThreadSanitizer as well (the _tsan variant of this test).
#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/byte_level.hpp"
#include "core/tokenizers/decoder.hpp"
#include "core/tokenizers/normalizer.hpp"
#include "core/tokenizers/post_processor.hpp"
#include "core/tokenizers/pre_tokenizer.hpp"

namespace noxtal::tokenizers {
namespace {

constexpr int kThreads = 8;

// Must run before anything else in this process touches the tables (each test runs in a
// process of its own under CTest; this one comes first in the file for a direct run too).
TEST(TokenizerConcurrencyTest, FirstUseOfTheByteTablesFromManyThreads) {
  std::latch start(kThreads);
  std::vector<std::string> encoded(kThreads);
  std::vector<int> decodedSpace(kThreads, -1);
  std::vector<std::jthread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      if (t % 2 == 0) {
        decodedSpace[t] = byteDecoder().at("\u0120");
        encoded[t] = byteLevelEncode("a b\n");
      } else {
        encoded[t] = byteLevelEncode("a b\n");
        decodedSpace[t] = byteDecoder().at("\u0120");
      }
    });
  }
  threads.clear();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(encoded[t], "a\u0120b\u010A");
    EXPECT_EQ(decodedSpace[t], 32);
  }
}

TEST(TokenizerConcurrencyTest, SharedStagesGiveEveryThreadTheSameResult) {
  const auto normalizer = makeNormalizer(Config::parse(R"({"type": "Sequence", "normalizers": [
      {"type": "Bert"}, {"type": "Replace", "pattern": {"Regex": "(\\w)\\1"}, "content": "$1"}]})"));
  const auto preTokenizer = makePreTokenizer(Config::parse(R"({"type": "Sequence", "pretokenizers": [
      {"type": "Split", "pattern": {"Regex": "\\s+"}}, {"type": "ByteLevel", "addPrefixSpace": true}]})"));
  const auto postProcessor =
      makePostProcessor(Config::parse(R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0]})"));
  const auto decoder = makeDecoder(Config::parse(R"({"type": "Sequence", "decoders": [
      {"type": "ByteLevel"}, {"type": "WordPiece", "prefix": "##", "cleanup": true}]})"));
  ASSERT_TRUE(normalizer && preTokenizer && postProcessor && decoder);

  const std::string input = "H\u00E9llo,   WOORLD \u4E2D\u6587 it 's";
  const auto runAll = [&] {
    const std::string normalized = normalizer->normalize(input);
    const std::vector<std::string> pieces = preTokenizer->preTokenize(normalized, {PreTokenizerOption::firstSection});
    const std::vector<std::string> processed = postProcessor->postProcess(pieces, std::nullopt, true);
    std::string joined;
    for (const std::string& piece : decoder->decode(processed)) joined += piece;
    return joined;
  };
  const std::string expected = runAll();
  ASSERT_FALSE(expected.empty());

  std::latch start(kThreads);
  std::vector<std::string> results(kThreads);
  std::vector<std::jthread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < 20; ++i) {
        std::string r = runAll();
        if (r != expected) {
          results[t] = r;
          return;
        }
      }
      results[t] = expected;
    });
  }
  threads.clear();
  for (const std::string& r : results) EXPECT_EQ(r, expected);
}

}  // namespace
}  // namespace noxtal::tokenizers
