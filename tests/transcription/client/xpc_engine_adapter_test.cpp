// The engine adapter over a fake worker proxy (every reply shape and the error mapping), and
// the status receiver.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "transcription/transcriber_status_receiver.hpp"
#include "transcription/xpc_engine_adapter.hpp"

namespace {

using platform::ipc::ErrorRecord;
using platform::json::Json;
using velmoria::TranscriptionError;
using Case = velmoria::TranscriptionErrorCase;

// Answers each call with what the test put in place; counts what was sent.
class FakeProxy : public velmoria::TranscriberServiceProtocol {
 public:
  std::optional<Json> transcript;
  std::optional<ErrorRecord> error;
  std::optional<Json> lastRequest;
  std::atomic<int> sent{0};

  void processAudio(Json request, ProcessAudioReply reply) override {
    ++sent;
    lastRequest = request;
    reply(transcript, error);
  }
  void ensureModelsDownloaded(ErrorReply reply) override {
    ++sent;
    reply(error);
  }
  void unloadModels(EmptyReply reply) override {
    ++sent;
    reply();
  }
  void healthCheck(HealthReply reply) override {
    ++sent;
    reply(true);
  }
};

velmoria::TranscriptResult sampleTranscript() {
  velmoria::TranscriptResult result;
  result.transcriptionMethodId = "v2";
  result.language = "en";
  result.speakerCount = 2;
  result.speakerSpeechDurations = {{0, 1.5}, {1, 2.0}};
  result.processingDuration = 0.25;
  return result;
}

template <class F>
TranscriptionError caught(F&& f) {
  try {
    f();
  } catch (const TranscriptionError& e) {
    return e;
  }
  ADD_FAILURE() << "no TranscriptionError thrown";
  return TranscriptionError::needsDownload();
}

struct AdapterFixture : ::testing::Test {
  std::shared_ptr<FakeProxy> proxy = std::make_shared<FakeProxy>();
  bool diskAnswer = true;
  velmoria::XPCEngineAdapter adapter{[this] { return proxy; }, [this] { return diskAnswer; }};
};

TEST_F(AdapterFixture, ReplyErrorsAreMappedTheSameWayForProcessingAndDownloading) {
  const std::string generic = "The operation couldn\u2019t be completed. (Transcription.TranscriptionError error 3.)";
  const struct {
    ErrorRecord record;
    TranscriptionError expected;
  } table[] = {
      {{"NSCocoaErrorDomain", 4099, "invalid"}, TranscriptionError::workerUnavailable()},
      {{"NSCocoaErrorDomain", 4097, "interrupted"}, TranscriptionError::workerInterrupted()},
      {{"NSCocoaErrorDomain", 4864, "bad request"}, TranscriptionError::transcriptionFailed("bad request")},
      {{"platform.ipc", 4097, "same code, other domain"},
       TranscriptionError::transcriptionFailed("same code, other domain")},
      // A worker's TranscriptionError arrives as domain, code and generic text only.
      {{"Transcription.TranscriptionError", 3, generic}, TranscriptionError::transcriptionFailed(generic)},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.record.description);
    proxy->error = row.record;
    // Data beside an error is not decoded: this is not a transcript.
    proxy->transcript = Json{{"not", "a transcript"}};
    EXPECT_EQ(caught([&] { adapter.processAudio("/a.wav", "/b.wav", {}); }), row.expected);
    EXPECT_EQ(caught([&] { adapter.ensureModelsDownloaded({}); }), row.expected);
  }
}

TEST_F(AdapterFixture, ATranscriptReplyIsDecodedAndTheRequestCarriesTheArguments) {
  const auto expected = sampleTranscript();
  proxy->transcript = velmoria::encodeJson(expected);
  EXPECT_EQ(adapter.processAudio("/mic.wav", "/sys.wav", {"Velmoria", "Dellomar"}), expected);
  ASSERT_TRUE(proxy->lastRequest);
  EXPECT_EQ(velmoria::decodeProcessRequest(*proxy->lastRequest),
            (velmoria::XPCProcessRequest{"/mic.wav", "/sys.wav", {"Velmoria", "Dellomar"}}));
}

TEST_F(AdapterFixture, AReplyWithNeitherDataNorErrorOrUndecodableDataFails) {
  auto e = caught([&] { adapter.processAudio("/a", "/b", {}); });
  EXPECT_EQ(e, TranscriptionError::transcriptionFailed("XPC service returned nil data without an error"));

  proxy->transcript = Json{{"id", 12}};
  e = caught([&] { adapter.processAudio("/a", "/b", {}); });
  EXPECT_EQ(e.errorCase(), Case::transcriptionFailed);
  EXPECT_EQ(e.message().rfind("Failed to decode TranscriptResult from XPC: ", 0), 0u) << e.message();
}

TEST_F(AdapterFixture, DownloadSucceedsWithoutCallingTheStatusCallback) {
  bool called = false;
  adapter.ensureModelsDownloaded([&](const std::string&) { called = true; });
  EXPECT_FALSE(called);
  EXPECT_EQ(proxy->sent, 1);
}

TEST_F(AdapterFixture, WithoutAProxyCallsFailUnavailableAndUnloadSendsNothing) {
  auto held = proxy;
  proxy = nullptr;
  EXPECT_EQ(caught([&] { adapter.processAudio("/a", "/b", {}); }), TranscriptionError::workerUnavailable());
  EXPECT_EQ(caught([&] { adapter.ensureModelsDownloaded({}); }), TranscriptionError::workerUnavailable());
  adapter.unloadModels();
  EXPECT_EQ(held->sent, 0);
  // Neither the status nor the disk test asks the worker.
  EXPECT_EQ(adapter.status(), velmoria::ModelStatus::ready());
  EXPECT_TRUE(adapter.modelsPresent());
  diskAnswer = false;
  EXPECT_FALSE(adapter.modelsPresent());
  proxy = held;
  adapter.unloadModels();
  EXPECT_EQ(held->sent, 1);
}

TEST(MapXPCError, ThrownErrorsKeepATranscriptionErrorAndWrapTheRest) {
  const auto own = TranscriptionError::invalidInput("Audio file does not exist: /x");
  EXPECT_EQ(velmoria::mapXPCError(std::make_exception_ptr(own)), own);
  EXPECT_EQ(velmoria::mapXPCError(std::make_exception_ptr(std::runtime_error("boom"))),
            TranscriptionError::transcriptionFailed("boom"));
  EXPECT_EQ(velmoria::mapXPCError(std::make_exception_ptr(
                platform::ipc::RemoteError(ErrorRecord{"NSCocoaErrorDomain", 4097, "gone"}))),
            TranscriptionError::workerInterrupted());
}

TEST(TranscriberStatusReceiver, HandsReportsToTheInstalledHandlerAndDropsThemWithout) {
  velmoria::TranscriberStatusReceiver receiver;
  receiver.reportDownloadStatus("dropped");
  std::vector<std::string> seen;
  receiver.setHandler([&](const std::string& s) { seen.push_back(s); });
  receiver.reportDownloadStatus("Downloading speech-to-text model");
  receiver.setHandler({});
  receiver.reportDownloadStatus("dropped too");
  EXPECT_EQ(seen, std::vector<std::string>{"Downloading speech-to-text model"});
}

}  // namespace
