// Runs every case file of tests/data/ipc against the service side of a connection: a raw peer
// greets, sends the case's bytes, and checks the answers (in any order) and whether the
// connection is kept (a later call is still answered) or closed (the stream ends and the
// connection is invalidated).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "echo_service.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/ipc/connection.hpp"
#include "test_support.hpp"

namespace {

using ipctest::Json;
using platform::ipc::Connection;

std::vector<std::filesystem::path> caseFiles() {
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(PROJECT_TEST_DATA_DIR) / "ipc")) {
    if (e.path().extension() == ".json") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string fromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// True when `message` fits the expectation: same kind and id, and the code, domain,
// description and result the expectation names.
bool matches(const Json& expected, const Json& message) {
  if (message.value("kind", "") != expected.at("kind")) return false;
  if (message.value("id", Json()) != expected.at("id")) return false;
  if (expected.contains("result") && message.value("result", Json()) != expected["result"]) return false;
  const Json error = message.value("error", Json::object());
  for (const char* key : {"code", "domain", "description"}) {
    if (expected.contains(key) && error.value(key, Json()) != expected[key]) return false;
  }
  return true;
}

class CaseFile : public ::testing::TestWithParam<std::filesystem::path> {};

TEST_P(CaseFile, AnsweredAndKeptOrClosedAsTheFormatSays) {
  const Json testCase = platform::json::parse(platform::fs::readFile(GetParam()));
  SCOPED_TRACE(testCase.value("description", ""));
  auto [serviceEnd, peerEnd] = ipctest::socketPair();
  auto connection = Connection::adopt(std::move(serviceEnd));
  echo::configureServiceSide(connection);
  ipctest::Counter invalidations;
  connection->setInvalidationHandler([&] { invalidations.bump(); });
  connection->resume();

  ipctest::RawPeer peer(std::move(peerEnd));
  peer.send(platform::ipc::helloMessage(std::string("EchoClient")));
  auto hello = peer.read();
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["kind"], "hello");
  EXPECT_EQ((*hello)["version"], 1);
  EXPECT_EQ((*hello)["exports"], "EchoService");

  for (const auto& item : testCase.at("send")) {
    if (item.contains("json")) peer.send(item["json"]);
    if (item.contains("text")) peer.sendText(item["text"].get<std::string>());
    if (item.contains("hex")) peer.sendBytes(fromHex(item["hex"].get<std::string>()));
  }
  if (testCase.value("endStream", false)) peer.endStream();

  std::vector<Json> expected(testCase.at("expect").begin(), testCase.at("expect").end());
  while (!expected.empty()) {
    auto message = peer.read();
    ASSERT_TRUE(message) << "missing: " << expected.front().dump();
    auto it = std::find_if(expected.begin(), expected.end(), [&](const Json& e) { return matches(e, *message); });
    ASSERT_NE(it, expected.end()) << "unexpected: " << message->dump();
    expected.erase(it);
  }

  if (testCase.at("connection") == "kept") {
    peer.send(platform::ipc::callMessage(999, "echo", Json{{"still", "here"}}));
    auto answer = peer.read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->dump(), platform::ipc::replyMessage(999, Json{{"still", "here"}}).dump());
    EXPECT_EQ(invalidations.value(), 0);
    connection->invalidate();
  } else {
    std::vector<Json> rest;
    EXPECT_TRUE(peer.waitForEnd(&rest));
    EXPECT_TRUE(rest.empty()) << rest.front().dump();
    EXPECT_TRUE(invalidations.waitFor(1));
  }
  EXPECT_TRUE(invalidations.waitFor(1));
  EXPECT_EQ(invalidations.value(), 1);
}

INSTANTIATE_TEST_SUITE_P(Ipc, CaseFile, ::testing::ValuesIn(caseFiles()), [](const auto& info) {
  std::string name = info.param.stem().string();
  std::replace_if(
      name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
  return name;
});

}  // namespace
