#include "core/extensions.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "core/natural_boundary.hpp"
#include "core/process_info.hpp"
#include "platform/sys/paths.hpp"

namespace noxtal {
namespace {

TEST(ExtensionsTest, GlobMatchingUsesFnmatchWithoutFlags) {
  const std::vector<std::string> names = {"config.json", "sub/tokenizer.json", "model.bin", ".hidden.json", "a?b",
                                          "axb"};
  EXPECT_EQ(matching(names, "*.json"), (std::vector<std::string>{"config.json", "sub/tokenizer.json", ".hidden.json"}));
  EXPECT_EQ(matching(names, "a?b"), (std::vector<std::string>{"a?b", "axb"}));
  EXPECT_EQ(matching(names, "a\\?b"), (std::vector<std::string>{"a?b"}));
  EXPECT_EQ(matching(names, "*"), names);
  EXPECT_TRUE(matching(names, "*.txt").empty());
}

TEST(ExtensionsTest, TrimmingFromEnd) {
  struct Case {
    std::string text, character;
    int upto;
    std::string expected;
  };
  const Case cases[] = {
      {"a\n\n", "\n", 1, "a\n"},
      {"a\n\n", "\n", 5, "a"},
      {"a\n\n", "\n", 0, "a\n\n"},
      {"a\n\n", "\n", -1, "a\n\n"},
      {"abc", "x", 3, "abc"},
      {"\r\n", "\n", 1, "\r\n"},                      // CR LF is one character
      {"caf\u00e9\u00e9", "\u00e9", 1, "caf\u00e9"},  // multi-byte character
      {"e\u0301", "e", 1, "e\u0301"},                 // e + combining acute is not "e"
      {"cafe\u0301", "\u00e9", 1, "caf"},             // canonically equivalent characters are equal
      {"caf\u00e9", "e\u0301", 1, "caf"},
      {"", "a", 2, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(trimmingFromEnd(c.text, c.character, c.upto), c.expected) << c.text;
}

TEST(ExtensionsTest, RoundedHalvesAwayFromZero) {
  EXPECT_FLOAT_EQ(rounded(1.25f, 1), 1.3f);
  EXPECT_FLOAT_EQ(rounded(-1.5f, 0), -2.0f);
  EXPECT_FLOAT_EQ(rounded(2.5f, 0), 3.0f);
  EXPECT_FLOAT_EQ(rounded(0.123456f, 2), 0.12f);
  EXPECT_FLOAT_EQ(rounded(1234.0f, -2), 1200.0f);
}

TEST(ExtensionsTest, ResolveAbsolutePath) {
  const std::string home = platform::sys::homeDirectory().string();
  EXPECT_EQ(resolveAbsolutePath("~/models"), (std::filesystem::path(home) / "models").string());
  EXPECT_EQ(resolveAbsolutePath("~"), home);
  EXPECT_EQ(resolveAbsolutePath("/abs/path"), "/abs/path");
  EXPECT_EQ(resolveAbsolutePath("rel/x"), (platform::sys::currentDirectory() / "rel/x").string());
  EXPECT_EQ(resolveAbsolutePath("~user/x"), (platform::sys::currentDirectory() / "~user/x").string());
}

TEST(ExtensionsTest, BatchedAndOrderedSet) {
  EXPECT_EQ(batched(std::vector<int>{1, 2, 3, 4, 5}, 2), (std::vector<std::vector<int>>{{1, 2}, {3, 4}, {5}}));
  EXPECT_EQ(batched(std::vector<int>{1, 2, 3, 4}, 2), (std::vector<std::vector<int>>{{1, 2}, {3, 4}}));
  EXPECT_TRUE(batched(std::vector<int>{}, 3).empty());
  EXPECT_EQ(orderedSet(std::vector<int>{3, 1, 3, 2, 1}), (std::vector<int>{3, 1, 2}));
  EXPECT_EQ(orderedSet(std::vector<std::string>{"b", "a", "b"}), (std::vector<std::string>{"b", "a"}));
}

// Counts whitespace-separated words and records every text it was given.
struct WordCounter {
  std::vector<std::string>* calls;
  std::vector<int> operator()(const std::string& text) const {
    calls->push_back(text);
    std::istringstream in(text);
    std::vector<int> tokens;
    std::string word;
    while (in >> word) tokens.push_back(static_cast<int>(tokens.size()));
    return tokens;
  }
};

TEST(NaturalBoundaryTest, PassesInOrder) {
  struct Case {
    std::string text;
    int minTokens;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"One. Two three", 1, "One. "},
      {"One. Two three", 2, "One. Two"},
      {"One. Two three", 3, std::nullopt},
      {"He said \"Stop.\"", 1, "He said \"Stop.\""},  // closing mark after the ender
      {"a, b", 1, "a,"},
      {"First line\nsecond", 2, "First line\n"},  // a line break ends the sentence
      {"Done!\n", 1, "Done!\n"},
      {"Ends here. And then", 3, "Ends here. And"},  // sentence too short: word pass
      {"x; y z, w", 2, "x; y z,"},                   // longest clause first
      {"", 0, std::nullopt},
      {"nospace", 1, std::nullopt},
      {"\u4F60\u597D\u3002\u518D\u89C1", 1, "\u4F60\u597D\u3002"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> calls;
    EXPECT_EQ(lastNaturalBoundary(c.text, c.minTokens, WordCounter{&calls}), c.expected)
        << c.text << " / " << c.minTokens;
  }
}

TEST(NaturalBoundaryTest, CountsOnlyTrimmedBoundaryCandidatesAndStopsAtTheFirstAccepted) {
  std::vector<std::string> calls;
  const auto result = lastNaturalBoundary("One two. Three four. Five", 2, WordCounter{&calls});
  EXPECT_EQ(result, "One two. Three four. ");
  EXPECT_EQ(calls, std::vector<std::string>{"One two. Three four."});

  calls.clear();
  EXPECT_EQ(lastNaturalBoundary("One two. Three four. Five", 3, WordCounter{&calls}), "One two. Three four. ");
  calls.clear();
  EXPECT_EQ(lastNaturalBoundary("One two. Three four. Five", 5, WordCounter{&calls}), std::nullopt);
  // The two sentence ends, no clause mark, then the text before the last space.
  EXPECT_EQ(calls, (std::vector<std::string>{"One two. Three four.", "One two.", "One two. Three four."}));
}

TEST(ProcessInfoTest, NamedValuesMapToLinuxSources) {
  EXPECT_EQ(stringFromSysctl("no.such.value"), "");
  EXPECT_EQ(stringFromSysctl(""), "");
  EXPECT_GE(std::stoi(stringFromSysctl("machdep.cpu.thread_count")), 1);
  EXPECT_GE(std::stoi(stringFromSysctl("machdep.cpu.core_count")), 1);
  EXPECT_LE(std::stoi(cores()), std::stoi(threads()));
  EXPECT_EQ(processor(), stringFromSysctl("machdep.cpu.brand_string"));
  EXPECT_EQ(vendor(), stringFromSysctl("machdep.cpu.vendor"));
  EXPECT_EQ(family(), stringFromSysctl("machdep.cpu.family"));
  EXPECT_EQ(hwModel(), stringFromSysctl("hw.model"));
  EXPECT_EQ(&hwModel(), &hwModel());  // computed once
  if (!family().empty()) {
    EXPECT_NO_THROW((void)std::stoi(family()));
  }
}

}  // namespace
}  // namespace noxtal
