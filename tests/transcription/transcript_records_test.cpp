// Transcript records: the golden wire form, round trips, decode failures, and the non-finite
// and UTF-8 rules; transcription errors and methods.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>

#include "platform/fs/file_system.hpp"
#include "platform/json/json.hpp"
#include "platform/text/text.hpp"
#include "support/log_capture.hpp"
#include "transcription/transcript_records.hpp"
#include "transcription/transcription_error.hpp"

namespace velmoria {
namespace {

using platform::json::Json;
using platform::sync::Uuid;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Uuid uuid(const char* text) { return *Uuid::parse(text); }

TranscriptResult goldenResult() {
  TranscriptResult r;
  r.id = uuid("6F1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D");
  r.createdAt = Date{786297600.25};
  r.transcriptionMethodId = "v2";
  r.language = "en";
  r.speakerCount = 2;
  TranscriptSegment first;
  first.id = uuid("00000000-0000-4000-8000-000000000001");
  first.speakerID = 0;
  first.speakerLabel = "Speaker 0";
  first.startTime = 0.5;
  first.endTime = 2.25;
  first.text = " Hello there";
  first.confidence = -0.1f;
  first.noSpeechProbability = 0.02f;
  first.words = std::vector<TranscriptWord>{{" Hello", 0.5, 1.0, 0.9f, 0}, {" there", 1.0, 2.25, 0.75f, {}}};
  TranscriptSegment second;
  second.id = uuid("00000000-0000-4000-8000-0000000000AB");
  second.speakerLabel = "No Speaker Matched";
  second.startTime = 3.0;
  second.endTime = 4.0;
  second.text = " Hm";
  r.segments = {first, second};
  r.embeddingSets = {SpeakerEmbeddingSet{EmbeddingKind::raw, "pyannote-v3/W8A16", {{0, {0.5f, -1.0f}}, {1, {0.1f}}}}};
  r.speakerSpeechDurations = {{0, 12.5}, {1, 3.25}};
  r.processingDuration = 1.5;
  return r;
}

std::string goldenText() {
  return platform::fs::readFile(std::filesystem::path(PROJECT_TEST_DATA_DIR) / "transcription" /
                                "golden_transcript.json");
}

template <class F>
CodingError codingErrorOf(F&& call) {
  try {
    call();
  } catch (const CodingError& e) {
    return e;
  }
  ADD_FAILURE() << "no CodingError";
  return CodingError::invalidValue("none");
}

TEST(TranscriptRecords, GoldenTranscriptEncodesAndDecodes) {
  const TranscriptResult result = goldenResult();
  EXPECT_EQ(platform::json::dump(encodeJson(result), 2) + "\n", goldenText());
  EXPECT_EQ(decodeTranscriptResultText(goldenText()), result);
  EXPECT_EQ(decodeTranscriptResultText(encodeText(result)), result);
}

TEST(TranscriptRecords, AbsentOptionalsAreLeftOutAndNullReadsAsAbsent) {
  const Json json = encodeJson(goldenResult());
  const Json& second = json["segments"][1];
  EXPECT_FALSE(second.contains("speakerID"));
  EXPECT_FALSE(second.contains("words"));
  EXPECT_FALSE(json["segments"][0]["words"][1].contains("speakerID"));

  Json withNulls = json;
  withNulls["segments"][1]["speakerID"] = nullptr;
  withNulls["segments"][1]["words"] = nullptr;
  withNulls["segments"][0]["extra"] = "ignored";
  EXPECT_EQ(decodeTranscriptResult(withNulls), goldenResult());
}

TEST(TranscriptRecords, ResultWithoutSpeakersHasEmptyListAndMap) {
  TranscriptResult r = goldenResult();
  r.embeddingSets.clear();
  r.speakerSpeechDurations.clear();
  const std::string text = encodeText(r);
  EXPECT_NE(text.find("\"embeddingSets\":[]"), std::string::npos);
  EXPECT_NE(text.find("\"speakerSpeechDurations\":{}"), std::string::npos);
}

TEST(TranscriptRecords, LowerCaseUuidAndIntegerLiteralsDecode) {
  Json json = encodeJson(goldenResult());
  json["id"] = "6f1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";
  json["segments"][0]["confidence"] = 1;
  const TranscriptResult decoded = decodeTranscriptResult(json);
  EXPECT_EQ(decoded.id, goldenResult().id);
  EXPECT_EQ(decoded.segments[0].confidence, 1.0f);
}

TEST(TranscriptRecords, DecodeFailuresAreDataCorrupted) {
  struct Case {
    const char* name;
    std::function<void(Json&)> change;
  };
  const std::vector<Case> cases = {
      {"missing id", [](Json& j) { j.erase("id"); }},
      {"null language", [](Json& j) { j["language"] = nullptr; }},
      {"createdAt as text", [](Json& j) { j["createdAt"] = "yesterday"; }},
      {"malformed uuid", [](Json& j) { j["id"] = "6F1B2C3D-4E5F-4A6B-8C7D"; }},
      {"segment uuid a number", [](Json& j) { j["segments"][0]["id"] = 7; }},
      {"speakerCount fractional", [](Json& j) { j["speakerCount"] = 2.5; }},
      {"segments not a list", [](Json& j) { j["segments"] = Json::object(); }},
      {"word without probability", [](Json& j) { j["segments"][0]["words"][0].erase("probability"); }},
      {"speakerID as text", [](Json& j) { j["segments"][0]["speakerID"] = "0"; }},
      {"kind other than raw", [](Json& j) { j["embeddingSets"][0]["kind"] = "normalized"; }},
      {"vectors key not a number", [](Json& j) { j["embeddingSets"][0]["vectors"]["a"] = Json::array(); }},
      {"duration key with suffix", [](Json& j) { j["speakerSpeechDurations"]["1x"] = 1.0; }},
      {"probability beyond float", [](Json& j) { j["segments"][0]["words"][0]["probability"] = 1e300; }},
      {"not an object", [](Json& j) { j = Json::array(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json json = encodeJson(goldenResult());
    c.change(json);
    const CodingError e = codingErrorOf([&] { decodeTranscriptResult(json); });
    EXPECT_EQ(e.errorCase(), CodingError::Case::dataCorrupted);
    EXPECT_EQ(e.code(), 4864);
    EXPECT_EQ(e.domain(), "NSCocoaErrorDomain");
  }
  EXPECT_EQ(codingErrorOf([] { decodeTranscriptResultText(std::string_view("{\"id\":")); }).code(), 4864);
}

TEST(TranscriptRecords, ProcessRequestNeedsItsVocabularyList) {
  EXPECT_EQ(decodeProcessRequestText(std::string_view(R"({"micPath":"/a","systemPath":"/b","customVocabulary":[]})")),
            (XPCProcessRequest{"/a", "/b", {}}));
  const auto request = XPCProcessRequest{"/a.wav", "/b.wav", {"Ada", "Lovelace"}};
  EXPECT_EQ(encodeText(request), R"({"micPath":"/a.wav","systemPath":"/b.wav","customVocabulary":["Ada","Lovelace"]})");
  EXPECT_EQ(decodeProcessRequest(encodeJson(request)), request);
  for (const char* text : {R"({"micPath":"/a","systemPath":"/b"})", R"({"micPath":"/a","systemPath":"/b",
       "customVocabulary":[1]})", R"({"micPath":null,"systemPath":"/b","customVocabulary":[]})", "not json", ""}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(codingErrorOf([&] { decodeProcessRequestText(std::string_view(text)); }).code(), 4864);
  }
}

TEST(TranscriptRecords, NonFiniteVectorOrTimeFailsTheEncoding) {
  TranscriptResult r = goldenResult();
  r.embeddingSets[0].vectors[0][1] = kNaN;
  EXPECT_EQ(codingErrorOf([&] { encodeJson(r); }).code(), 4866);
  r = goldenResult();
  r.processingDuration = std::numeric_limits<double>::infinity();
  EXPECT_EQ(codingErrorOf([&] { encodeText(r); }).errorCase(), CodingError::Case::invalidValue);
  r = goldenResult();
  r.segments[0].words->at(0).startTime = std::nan("");
  EXPECT_EQ(codingErrorOf([&] { encodeJson(r); }).code(), 4866);
}

TEST(TranscriptRecords, TextThatIsNotUtf8FailsTheEncodingByNameNotByItsBytes) {
  const std::string raw = std::string(" caf") + "\xE9";
  TranscriptResult r = goldenResult();
  r.segments[1].text = raw;
  CodingError e = codingErrorOf([&] { encodeJson(r); });
  EXPECT_EQ(e.code(), 4866);
  EXPECT_NE(std::string(e.what()).find("\"text\""), std::string::npos) << e.what();
  EXPECT_TRUE(platform::text::isValidUtf8(e.what()));
  r = goldenResult();
  r.segments[0].words->at(1).word = raw;
  EXPECT_EQ(codingErrorOf([&] { encodeText(r); }).errorCase(), CodingError::Case::invalidValue);
  e = codingErrorOf([&] { encodeJson(XPCProcessRequest{"/a.wav", "/b.wav", {"Ada", raw}}); });
  EXPECT_NE(std::string(e.what()).find("\"customVocabulary\""), std::string::npos) << e.what();
  EXPECT_EQ(codingErrorOf([&] { encodeJson(XPCProcessRequest{"/r\xFF.wav", "/b.wav", {}}); }).code(), 4866);
}

TEST(TranscriptRecords, NonFiniteScoresAreWrittenAsZeroAndLogged) {
  testsupport::LogCapture log;
  TranscriptResult r = goldenResult();
  r.segments[0].confidence = -std::numeric_limits<float>::infinity();
  r.segments[1].noSpeechProbability = kNaN;
  r.segments[0].words->at(1).probability = kNaN;
  const TranscriptResult decoded = decodeTranscriptResultText(encodeText(r));
  EXPECT_EQ(decoded.segments[0].confidence, 0.0f);
  EXPECT_EQ(decoded.segments[1].noSpeechProbability, 0.0f);
  EXPECT_EQ(decoded.segments[0].words->at(1).probability, 0.0f);
  EXPECT_EQ(decoded.segments[0].words->at(0).probability, 0.9f);
  EXPECT_TRUE(log.contains("non-finite confidence", platform::log::Level::error));
  EXPECT_TRUE(log.contains("non-finite noSpeechProbability", platform::log::Level::error));
  EXPECT_TRUE(log.contains("non-finite probability", platform::log::Level::error));
}

TEST(TranscriptRecords, EqualityComparesEveryFieldAndNaNIsNeverEqual) {
  TranscriptResult a = goldenResult();
  TranscriptResult b = goldenResult();
  EXPECT_EQ(a, b);
  b.createdAt.secondsSinceReferenceDate += 0.001;
  EXPECT_NE(a, b);
  b = goldenResult();
  b.segments[0].words->at(1).speakerID = 1;
  EXPECT_NE(a, b);
  a.segments[0].confidence = kNaN;
  b = a;
  EXPECT_NE(a, b);
}

TEST(TranscriptRecords, DatesCountFromTheReferenceDate) {
  EXPECT_EQ(Date::fromUnixSeconds(978307200.0).secondsSinceReferenceDate, 0.0);
  EXPECT_EQ(Date{10.5}.unixSeconds(), 978307210.5);
  // A date taken now lies after 2026-01-01 (788918400 s after the reference date).
  EXPECT_GT(Date::now().secondsSinceReferenceDate, 788918400.0);
}

TEST(TranscriptionErrors, CasesNumbersAndEquality) {
  EXPECT_NE(TranscriptionError::invalidInput("a"), TranscriptionError::transcriptionFailed("a"));
  EXPECT_NE(TranscriptionError::insufficientDisk(10, 1), TranscriptionError::insufficientDisk(10, 2));
  EXPECT_EQ(TranscriptionError::insufficientDisk(10, 1), TranscriptionError::insufficientDisk(10, 1));
  EXPECT_NE(TranscriptionError::downloadFailed("x"), TranscriptionError::downloadFailed("y"));
  EXPECT_EQ(TranscriptionError::workerInterrupted(), TranscriptionError::workerInterrupted());

  const std::vector<TranscriptionError> all = {
      TranscriptionError::insufficientDisk(1, 0),   TranscriptionError::downloadFailed("m"),
      TranscriptionError::modelLoadFailed("m"),     TranscriptionError::invalidInput("m"),
      TranscriptionError::transcriptionFailed("m"), TranscriptionError::diarizationFailed("m"),
      TranscriptionError::needsDownload(),          TranscriptionError::workerUnavailable(),
      TranscriptionError::workerInterrupted()};
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].code(), int(i));
    EXPECT_EQ(all[i].domain(), "Transcription.TranscriptionError");
  }
}

TEST(TranscriptionErrors, FullTextStaysLocalAndTheRecordIsGeneric) {
  const auto e = TranscriptionError::invalidInput("Audio file does not exist: /tmp/\"x\".wav");
  EXPECT_EQ(e.message(), "Audio file does not exist: /tmp/\"x\".wav");
  EXPECT_STREQ(e.what(), R"(invalidInput("Audio file does not exist: /tmp/\"x\".wav"))");
  EXPECT_STREQ(TranscriptionError::insufficientDisk(5, 3).what(), "insufficientDisk(requiredBytes: 5, availableBytes: 3)");
  EXPECT_STREQ(TranscriptionError::needsDownload().what(), "needsDownload");

  const platform::ipc::ErrorRecord record = e.errorRecord();
  EXPECT_EQ(record.domain, "Transcription.TranscriptionError");
  EXPECT_EQ(record.code, 3);
  EXPECT_EQ(record.description, "The operation couldn\u2019t be completed. (Transcription.TranscriptionError error 3.)");
  EXPECT_EQ(errorRecordOf(std::make_exception_ptr(e)), record);
  EXPECT_EQ(errorRecordOf(std::make_exception_ptr(TranscriptionError::workerInterrupted())).code, 8);

  const platform::ipc::ErrorRecord coding = errorRecordOf(std::make_exception_ptr(CodingError::dataCorrupted("bad")));
  EXPECT_EQ(coding, (platform::ipc::ErrorRecord{"NSCocoaErrorDomain", 4864, "bad"}));
}

TEST(TranscriptionMethods, CurrentIsV2) {
  EXPECT_EQ(TranscriptionMethod::current(), TranscriptionMethod::v2());
  EXPECT_EQ(TranscriptionMethod::v2().id, "v2");
  EXPECT_EQ(TranscriptionMethod::v1().id, "v1");
  EXPECT_NE(TranscriptionMethod::v1(), TranscriptionMethod::current());
}

}  // namespace
}  // namespace velmoria
