// tools/make-tokenizer and tools/tokenize run as programs: the generated folders (same bytes on
// every run, the special ids of each layout) and the line protocol of tokenize (round trips,
// both flags, exit status 1 with one line on standard error for every bad input).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/tokenizers/auto_tokenizer.hpp"
#include "support/temporary_folder.hpp"

namespace noxtal::tokenizers {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void writeText(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

struct ProgramRun {
  int status = -1;  // exit status; -1 when the program did not exit normally
  std::string out;
  std::string err;
};

class ToolsTest : public ::testing::Test {
 protected:
  ProgramRun run(const std::string& program, const std::string& arguments, const std::string& input = "") {
    // Fresh files for every run: rewriting the same ones makes the file system flush them.
    const std::string n = std::to_string(++runs_);
    const fs::path in = tmp_ / ("stdin-" + n);
    const fs::path out = tmp_ / ("stdout-" + n);
    const fs::path err = tmp_ / ("stderr-" + n);
    writeText(in, input);
    const std::string command = "'" + program + "' " + arguments + " < '" + in.string() + "' > '" + out.string() +
                                "' 2> '" + err.string() + "'";
    const int raw = std::system(command.c_str());
    ProgramRun result;
    if (raw != -1 && WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
    result.out = readText(out);
    result.err = readText(err);
    return result;
  }

  ProgramRun tokenize(const std::string& arguments, const std::string& input = "") {
    return run(TOKENIZE_PROGRAM, arguments, input);
  }

  // A failure: status 1, one line on standard error naming `reason`.
  void expectFailure(const ProgramRun& result, const std::string& reason) {
    EXPECT_EQ(result.status, 1);
    const std::vector<std::string> errorLines = lines(result.err);
    ASSERT_EQ(errorLines.size(), 1u) << result.err;
    EXPECT_NE(errorLines[0].find(reason), std::string::npos) << errorLines[0];
  }

  fs::path makeTokenizer(const std::string& name, const std::string& arguments) {
    const fs::path folder = tmp_ / name;
    const ProgramRun made = run(MAKE_TOKENIZER_PROGRAM, "'" + folder.string() + "' " + arguments);
    EXPECT_EQ(made.status, 0) << made.err;
    return folder;
  }

  testsupport::TemporaryFolder tmp_{"tokenizer-tools"};
  int runs_ = 0;
};

TEST_F(ToolsTest, MakeTokenizerWritesTheSameBytesEveryRun) {
  const fs::path first = makeTokenizer("first", "--layout large-v3 --merges 3000");
  const fs::path second = makeTokenizer("second", "--layout large-v3 --merges 3000");
  for (const char* file : {"tokenizer.json", "tokenizer_config.json"}) {
    EXPECT_EQ(readText(first / file), readText(second / file)) << file;
  }
  EXPECT_EQ(readText(first / "tokenizer_config.json"),
            "{\n  \"tokenizer_class\": \"WhisperTokenizer\",\n  \"unk_token\": \"<|endoftext|>\",\n"
            "  \"bos_token\": \"<|endoftext|>\",\n  \"eos_token\": \"<|endoftext|>\",\n"
            "  \"add_prefix_space\": false\n}\n");
}

TEST_F(ToolsTest, MakeTokenizerLayoutsHaveTheListedSpecialIds) {
  struct Layout {
    const char* name;
    int endOfText;
    int vocabulary;
    bool yue;
  };
  for (const Layout& layout : {Layout{"english", 50'256, 51'864, false}, Layout{"multilingual", 50'257, 51'865, false},
                               Layout{"large-v3", 50'257, 51'866, true}}) {
    SCOPED_TRACE(layout.name);
    const TokenizerWrapper tokenizer = AutoTokenizerWrapper::fromModelFolder(
        makeTokenizer(layout.name, std::string("--merges 2000 --layout ") + layout.name));
    const int s = layout.endOfText;
    const int languages = layout.yue ? 100 : 99;
    EXPECT_EQ(tokenizer.convertTokenToId("<|endoftext|>"), s);
    EXPECT_EQ(tokenizer.convertTokenToId("<|startoftranscript|>"), s + 1);
    EXPECT_EQ(tokenizer.convertTokenToId("<|en|>"), s + 2);
    EXPECT_EQ(tokenizer.convertTokenToId("<|af|>"), s + 3);  // the first code after "en" in order
    EXPECT_EQ(tokenizer.convertTokenToId("<|translate|>"), s + 2 + languages);
    EXPECT_EQ(tokenizer.convertTokenToId("<|transcribe|>"), s + 3 + languages);
    EXPECT_EQ(tokenizer.convertTokenToId("<|startoflm|>"), s + 4 + languages);
    EXPECT_EQ(tokenizer.convertTokenToId("<|startofprev|>"), s + 5 + languages);
    EXPECT_EQ(tokenizer.convertTokenToId("<|nospeech|>"), s + 6 + languages);
    EXPECT_EQ(tokenizer.convertTokenToId("<|notimestamps|>"), s + 7 + languages);
    EXPECT_EQ(tokenizer.convertTokenToId("<|0.00|>"), s + 8 + languages);
    EXPECT_EQ(tokenizer.convertTokenToId("<|0.02|>"), s + 9 + languages);
    EXPECT_EQ(tokenizer.convertTokenToId("<|30.00|>"), layout.vocabulary - 1);
    EXPECT_EQ(tokenizer.convertIdToToken(layout.vocabulary - 1), "<|30.00|>");
    EXPECT_EQ(tokenizer.convertIdToToken(layout.vocabulary), std::nullopt);
    // Without "<|yue|>" the text is outside the vocabulary: the unknown token's id.
    EXPECT_EQ(tokenizer.convertTokenToId("<|yue|>") != s, layout.yue);
    EXPECT_EQ(tokenizer.convertTokenToId("\u0120"), 220);  // the blank's byte character, as in GPT-2
    EXPECT_EQ(tokenizer.unknownToken(), "<|endoftext|>");
    EXPECT_EQ(tokenizer.eosTokenId(), s);
    // Ids below S: the bytes, the 2,000 merge results, then fillers.
    EXPECT_NE(tokenizer.convertIdToToken(2255), std::nullopt);
    EXPECT_EQ(tokenizer.convertIdToToken(2256), "<filler 2256>");
    EXPECT_EQ(tokenizer.decode(tokenizer.encode("The licence grants you these rights.")),
              "The licence grants you these rights.");
  }
}

TEST_F(ToolsTest, MakeTokenizerPlainLayoutAndBadArguments) {
  const TokenizerWrapper plain =
      AutoTokenizerWrapper::fromModelFolder(makeTokenizer("plain", "--layout plain --merges 500"));
  EXPECT_EQ(plain.convertTokenToId("<|endoftext|>"), std::nullopt);
  EXPECT_EQ(plain.convertIdToToken(755).has_value(), true);
  EXPECT_EQ(plain.convertIdToToken(756), std::nullopt);

  expectFailure(run(MAKE_TOKENIZER_PROGRAM, "'" + (tmp_ / "x").string() + "' --layout medium"), "layout");
  expectFailure(run(MAKE_TOKENIZER_PROGRAM, "'" + (tmp_ / "x").string() + "' --layout english --merges 50001"),
                "at most 50000 merges");
  expectFailure(run(MAKE_TOKENIZER_PROGRAM, "'" + (tmp_ / "x").string() + "' --merges -3"), "--merges");
  expectFailure(run(MAKE_TOKENIZER_PROGRAM, ""), "usage");
  EXPECT_FALSE(fs::exists(tmp_ / "x"));
}

TEST_F(ToolsTest, TokenizeRoundTripsAndFlags) {
  const fs::path folder = makeTokenizer("whisper", "--layout multilingual --merges 3000");
  const std::string f = "'" + folder.string() + "'";
  const std::string texts =
      "\"The GNU General Public License\"\n\"<|startoftranscript|><|en|><|transcribe|> caf\\u00e9 \\ud83d\\ude00\"\n"
      "\"\"\n\"tabs\\tand\\nlines\"\n";
  const ProgramRun encoded = tokenize("encode " + f, texts);
  ASSERT_EQ(encoded.status, 0) << encoded.err;
  EXPECT_EQ(encoded.err, "");
  const std::vector<std::string> idLines = lines(encoded.out);
  ASSERT_EQ(idLines.size(), 4u);
  EXPECT_TRUE(idLines[1].starts_with("[50258,50259,50359,")) << idLines[1];
  EXPECT_EQ(idLines[2], "[]");

  const ProgramRun decoded = tokenize("decode " + f, encoded.out);
  ASSERT_EQ(decoded.status, 0) << decoded.err;
  EXPECT_EQ(lines(decoded.out),
            (std::vector<std::string>{"\"The GNU General Public License\"",
                                      "\"<|startoftranscript|><|en|><|transcribe|> caf\u00e9 \U0001F600\"", "\"\"",
                                      "\"tabs\\tand\\nlines\""}));
  const ProgramRun skipped = tokenize("decode " + f + " --skip-special", idLines[1] + "\n");
  EXPECT_EQ(skipped.out, "\" caf\u00e9 \U0001F600\"\n");

  const ProgramRun tokens = tokenize("tokens " + f, "\"<|en|> ab\"\n");
  ASSERT_EQ(tokens.status, 0) << tokens.err;
  EXPECT_TRUE(tokens.out.starts_with("[\"<|en|>\",\"\u0120")) << tokens.out;

  // --no-special leaves out what the post-processor adds.
  const fs::path shape = tmp_ / "sentencepiece";
  writeText(shape / "tokenizer.json", R"({"added_tokens": [{"id": 1, "content": "<s>", "special": true}],
    "post_processor": {"type": "TemplateProcessing", "pair": [],
                       "single": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}}]},
    "model": {"type": "BPE", "vocab": {"<s>": 1, "h": 2, "i": 3, "hi": 4}, "merges": ["h i"]}})");
  writeText(shape / "tokenizer_config.json", R"({"tokenizer_class": "LlamaTokenizer"})");
  EXPECT_EQ(tokenize("encode '" + shape.string() + "'", "\"hi\"\n").out, "[1,4]\n");
  EXPECT_EQ(tokenize("encode '" + shape.string() + "' --no-special", "\"hi\"\n").out, "[4]\n");
  // Ids the vocabulary lacks, within 32 bits, are dropped.
  EXPECT_EQ(tokenize("decode '" + shape.string() + "'", "[-2147483648, 4, 2147483647]\n").out, "\"hi\"\n");
}

TEST_F(ToolsTest, TokenizeFailsWithOneLineForEveryBadInput) {
  const fs::path folder = tmp_ / "small";
  writeText(folder / "tokenizer.json", R"({"model": {"type": "BPE", "vocab": {"a": 0}, "merges": []}})");
  writeText(folder / "tokenizer_config.json", R"({"tokenizer_class": "GPT2Tokenizer"})");
  const std::string f = "'" + folder.string() + "'";

  expectFailure(tokenize("encode '" + (tmp_ / "missing").string() + "'", "\"a\"\n"), "tokenizer.json");
  writeText(tmp_ / "broken" / "tokenizer.json", "{\"model\": [");
  writeText(tmp_ / "broken" / "tokenizer_config.json", "{}");
  expectFailure(tokenize("encode '" + (tmp_ / "broken").string() + "'", "\"a\"\n"), "is not JSON");
  writeText(tmp_ / "strict" / "tokenizer.json", R"({"model": {"type": "BPE", "vocab": {}, "merges": []}})");
  writeText(tmp_ / "strict" / "tokenizer_config.json", R"({"tokenizer_class": "UnheardOfTokenizer"})");
  expectFailure(tokenize("tokens '" + (tmp_ / "strict").string() + "'", "\"a\"\n"), "is not supported");

  const ProgramRun partial = tokenize("encode " + f, "\"a\"\nnot json\n\"a\"\n");
  expectFailure(partial, "line 2");
  EXPECT_EQ(partial.out, "[0]\n");
  expectFailure(tokenize("encode " + f, "5\n"), "expected a JSON string");
  expectFailure(tokenize("tokens " + f, "[\"a\"]\n"), "expected a JSON string");
  expectFailure(tokenize("encode " + f, "\"b\"\n"), "has no id");
  expectFailure(tokenize("decode " + f, "\"a\"\n"), "expected a JSON array");
  expectFailure(tokenize("decode " + f, "[0, 1.5]\n"), "not an integer");
  expectFailure(tokenize("decode " + f, "[true]\n"), "not an integer");
  expectFailure(tokenize("decode " + f, "[2147483648]\n"), "32 bits");
  expectFailure(tokenize("decode " + f, "[-2147483649]\n"), "32 bits");
  expectFailure(tokenize("decode " + f, "[18446744073709551616]\n"), "line 1");
  expectFailure(tokenize("decode " + f, "\n"), "line 1");
  expectFailure(tokenize("split " + f), "unknown command");
  expectFailure(tokenize("encode " + f + " --skip-special"), "unexpected argument");
  expectFailure(tokenize("decode " + f + " --skip-special --skip-special"), "unexpected argument");
  expectFailure(tokenize("encode"), "usage");
}

}  // namespace
}  // namespace noxtal::tokenizers
