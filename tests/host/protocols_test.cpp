// The two protocols end to end in one process: an app-side proxy and a worker-side exporter
// over a socket pair, with the payload shapes each method has on the wire.
#include <gtest/gtest.h>

#include <future>

#include "platform/ipc/connection.hpp"
#include "platform/ipc/test_support.hpp"
#include "platform/sync/mutex.hpp"
#include "transcription/transcriber_service_protocol.hpp"
#include "transcription/transcriber_status_reporting.hpp"

namespace {

using platform::ipc::Connection;
using platform::ipc::ErrorRecord;
using platform::json::Json;

// The worker's side: answers processAudio with the request under "echo", or fails when the
// request holds "fail"; forwards one status per download through its connection.
class EchoingService : public velmoria::TranscriberServiceProtocol {
 public:
  std::weak_ptr<Connection> connection;

  void processAudio(Json request, ProcessAudioReply reply) override {
    if (request.contains("fail")) return reply(std::nullopt, ErrorRecord{"Transcription.TranscriptionError", 3, "x"});
    if (request.contains("nothing")) return reply(std::nullopt, std::nullopt);
    reply(Json{{"echo", request}}, std::nullopt);
  }
  void ensureModelsDownloaded(ErrorReply reply) override {
    if (auto c = connection.lock()) {
      if (auto status = c->remoteObjectProxy<velmoria::TranscriberStatusReportingProxy>()) {
        status->reportDownloadStatus("Downloading speech-to-text model");
      }
    }
    reply(std::nullopt);
  }
  void unloadModels(EmptyReply reply) override { reply(); }
  void healthCheck(HealthReply reply) override { reply(true); }
};

class StatusLog : public velmoria::TranscriberStatusReporting {
 public:
  void reportDownloadStatus(const std::string& status) override { statuses.withLock([&](auto& v) { v.push_back(status); }); }
  platform::sync::Locked<std::vector<std::string>> statuses;
};

class Protocols : public ::testing::Test {
 protected:
  void SetUp() override {
    auto [a, b] = ipctest::socketPair();
    worker = Connection::adopt(std::move(a));
    worker->setExportedInterface(velmoria::transcriberServiceInterface());
    worker->setRemoteObjectInterface(velmoria::transcriberStatusReportingInterface());
    service->connection = worker;
    worker->setExportedObject(std::make_shared<velmoria::TranscriberServiceExporter>(service));
    worker->resume();

    app = Connection::adopt(std::move(b));
    app->setExportedInterface(velmoria::transcriberStatusReportingInterface());
    app->setExportedObject(std::make_shared<velmoria::TranscriberStatusReportingExporter>(receiver));
    app->setRemoteObjectInterface(velmoria::transcriberServiceInterface());
    app->resume();
    proxy = app->remoteObjectProxy<velmoria::TranscriberServiceProxy>();
    ASSERT_TRUE(proxy);
  }
  void TearDown() override {
    app->invalidate();
    worker->invalidate();
  }

  std::pair<std::optional<Json>, std::optional<ErrorRecord>> process(Json request) {
    std::promise<std::pair<std::optional<Json>, std::optional<ErrorRecord>>> p;
    proxy->processAudio(std::move(request), [&p](std::optional<Json> t, std::optional<ErrorRecord> e) {
      p.set_value({std::move(t), std::move(e)});
    });
    return p.get_future().get();
  }

  std::shared_ptr<EchoingService> service = std::make_shared<EchoingService>();
  std::shared_ptr<StatusLog> receiver = std::make_shared<StatusLog>();
  std::shared_ptr<Connection> worker, app;
  std::shared_ptr<velmoria::TranscriberServiceProxy> proxy;
};

TEST_F(Protocols, EachMethodCarriesItsPayloadAndError) {
  const Json request{{"micPath", "/a"}, {"systemPath", "/b"}, {"customVocabulary", {"x"}}};
  auto [transcript, error] = process(request);
  EXPECT_FALSE(error);
  ASSERT_TRUE(transcript);
  EXPECT_EQ(*transcript, (Json{{"echo", request}}));

  std::tie(transcript, error) = process(Json{{"fail", true}});
  EXPECT_FALSE(transcript);
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, (ErrorRecord{"Transcription.TranscriptionError", 3, "x"}));

  std::tie(transcript, error) = process(Json{{"nothing", true}});
  EXPECT_FALSE(transcript);
  EXPECT_FALSE(error);

  std::promise<std::optional<ErrorRecord>> downloaded;
  proxy->ensureModelsDownloaded([&](std::optional<ErrorRecord> e) { downloaded.set_value(e); });
  EXPECT_FALSE(downloaded.get_future().get());
  // The one-way status went out before the reply, and is delivered before it.
  EXPECT_EQ(receiver->statuses.get(), std::vector<std::string>{"Downloading speech-to-text model"});

  std::promise<void> unloaded;
  proxy->unloadModels([&] { unloaded.set_value(); });
  unloaded.get_future().get();
  std::promise<bool> health;
  proxy->healthCheck([&](bool h) { health.set_value(h); });
  EXPECT_TRUE(health.get_future().get());
}

TEST_F(Protocols, CallsOnAnInvalidConnectionAnswerWithTheConnectionsRecord) {
  app->invalidate();
  auto [transcript, error] = process(Json::object());
  EXPECT_FALSE(transcript);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 4099);
  std::promise<bool> health;
  proxy->healthCheck([&](bool h) { health.set_value(h); });
  EXPECT_FALSE(health.get_future().get());
  std::promise<void> unloaded;
  proxy->unloadModels([&] { unloaded.set_value(); });
  unloaded.get_future().get();
}

TEST_F(Protocols, AProxyExistsOnlyForTheRemoteInterfaceOfItsProtocol) {
  EXPECT_FALSE(app->remoteObjectProxy<velmoria::TranscriberStatusReportingProxy>());
  EXPECT_FALSE(worker->remoteObjectProxy<velmoria::TranscriberServiceProxy>());
  EXPECT_TRUE(worker->remoteObjectProxy<velmoria::TranscriberStatusReportingProxy>());
}

}  // namespace
