// Runs every case file of tests/data/json: each names a record type, holds its JSON (or raw
// text) and the expected outcome, either an error text or a round trip (read, write, read
// again: both reads equal, both writes identical, and the written text as given when the file
// says).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/json/json.hpp"
#include "speech/model/decoding_options.hpp"
#include "speech/model/model_support.hpp"
#include "speech/model/transcription_result.hpp"
#include "speech/model/transcription_timings.hpp"

namespace vostrane {
namespace {

using platform::json::Json;
using platform::json::JsonError;

const std::filesystem::path kCaseFolder = std::filesystem::path(PROJECT_TEST_DATA_DIR) / "json";

struct RoundTrip {
  std::string written;    // the text written from the first read
  std::string rewritten;  // the text written from the second read
  bool readsEqual = false;
};

template <class R>
RoundTrip roundTripOf(const Json& input) {
  const R first = R::fromJson(input);
  const std::string written = platform::json::dump(first.toJson());
  const R second = R::fromJson(platform::json::parse(written));
  return {written, platform::json::dump(second.toJson()), first == second};
}

RoundTrip roundTripOfSharedResult(const Json& input) {
  const auto first = TranscriptionResult::fromJson(input);
  const std::string written = platform::json::dump(first->toJson());
  const auto second = TranscriptionResult::fromJson(platform::json::parse(written));
  return {written, platform::json::dump(second->toJson()), first->snapshot() == second->snapshot()};
}

RoundTrip roundTripOfModelSupportConfig(const Json& input) {
  const ModelSupportConfig first = ModelSupportConfig::fromJson(input);
  const std::string written = platform::json::dump(first.toJson());
  const ModelSupportConfig second = ModelSupportConfig::fromJson(platform::json::parse(written));
  const bool equal = first.repoName() == second.repoName() && first.repoVersion() == second.repoVersion() &&
                     first.deviceSupports() == second.deviceSupports() && first.knownModels() == second.knownModels();
  return {written, platform::json::dump(second.toJson()), equal};
}

const std::map<std::string, std::function<RoundTrip(const Json&)>>& recordTypes() {
  static const std::map<std::string, std::function<RoundTrip(const Json&)>> types = {
      {"WordTiming", roundTripOf<WordTiming>},
      {"TranscriptionSegment", roundTripOf<TranscriptionSegment>},
      {"TranscriptionResultStruct", roundTripOf<TranscriptionResultStruct>},
      {"TranscriptionResult", roundTripOfSharedResult},
      {"TranscriptionTimings", roundTripOf<TranscriptionTimings>},
      {"TranscriptionProgress", roundTripOf<TranscriptionProgress>},
      {"DecodingOptions", roundTripOf<DecodingOptions>},
      {"ModelSupport", roundTripOf<ModelSupport>},
      {"DeviceSupport", roundTripOf<DeviceSupport>},
      {"ModelSupportConfig", roundTripOfModelSupportConfig},
  };
  return types;
}

std::vector<std::string> caseNames() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(kCaseFolder, error)) {
    if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class RecordJsonCaseTest : public ::testing::TestWithParam<std::string> {};

TEST_P(RecordJsonCaseTest, HasTheExpectedOutcome) {
  const Json file = platform::json::parse(readFile(kCaseFolder / (GetParam() + ".json")));
  const std::string type = file.at("record").get<std::string>();
  const auto runner = recordTypes().find(type);
  ASSERT_NE(runner, recordTypes().end()) << "unknown record type " << type;
  ASSERT_NE(file.contains("json"), file.contains("text")) << "a case holds either \"json\" or \"text\"";

  const auto run = [&] {
    const Json input =
        file.contains("text") ? platform::json::parse(file.at("text").get<std::string>()) : file.at("json");
    return runner->second(input);
  };
  if (file.contains("error")) {
    const std::string expected = file.at("error").get<std::string>();
    try {
      const RoundTrip unexpected = run();
      ADD_FAILURE() << "read without error, wrote " << unexpected.written;
    } catch (const JsonError& e) {
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
    return;
  }
  RoundTrip result;
  ASSERT_NO_THROW(result = run());
  EXPECT_TRUE(result.readsEqual) << result.written;
  EXPECT_EQ(result.rewritten, result.written);
  if (file.contains("written")) {
    EXPECT_EQ(result.written, file.at("written").get<std::string>());
  }
}

INSTANTIATE_TEST_SUITE_P(CaseFiles, RecordJsonCaseTest, ::testing::ValuesIn(caseNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// The folder must not silently be empty or missing: that would run no case at all.
TEST(RecordJsonCaseFolderTest, HoldsCasesForEveryRecordType) {
  std::map<std::string, int> counts;
  for (const std::string& name : caseNames()) {
    const Json file = platform::json::parse(readFile(kCaseFolder / (name + ".json")));
    ++counts[file.at("record").get<std::string>()];
  }
  for (const auto& [type, runner] : recordTypes()) EXPECT_GT(counts[type], 0) << type;
}

}  // namespace
}  // namespace vostrane
