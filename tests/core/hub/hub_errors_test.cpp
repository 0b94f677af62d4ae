// The hub library's error types seen through the project's one error base.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/hub/hub_errors.hpp"
#include "core/hub/model_info.hpp"
#include "core/hub/noxtal_core_error.hpp"
#include "platform/sys/error.hpp"

namespace noxtal {
namespace {

using Hub::HubClientError;

struct Row {
  std::function<void()> raise;
  std::string domain;
  int code;
  std::string caseName;
  std::string message;
  std::string description;
};

TEST(HubErrorsTest, EveryCaseIsCaughtThroughTheErrorBase) {
  const platform::net::TransportError timedOut(platform::net::TransportErrorCode::timedOut, "The request timed out.");
  const std::vector<Row> rows = {
      {[] { throw HubClientError::httpStatusCode(502); }, "Hub.HubClientError", 0, "httpStatusCode", "",
       "HTTP error with status code: 502"},
      {[] { throw HubClientError::jsonSerialization("/c/config.json", "bad json"); }, "Hub.HubClientError", 1,
       "jsonSerialization", "bad json", "bad json"},
      {[] { throw HubClientError::downloadError("cut"); }, "Hub.HubClientError", 2, "downloadError", "cut",
       "Download failed: cut"},
      {[] { throw HubClientError::fileNotFound("a.bin"); }, "Hub.HubClientError", 3, "fileNotFound", "a.bin",
       "File not found: a.bin"},
      {[&] { throw HubClientError::networkError(timedOut); }, "Hub.HubClientError", 4, "networkError",
       "The request timed out.", "Network error: The request timed out."},
      {[] { throw HubClientError::resourceNotFound("r"); }, "Hub.HubClientError", 5, "resourceNotFound", "r",
       "Resource not found: r"},
      {[] { throw HubClientError::configurationMissing("config.json"); }, "Hub.HubClientError", 6,
       "configurationMissing", "config.json", "Required configuration file missing: config.json"},
      {[] { throw HubClientError::fileSystemError(std::runtime_error("disk full")); }, "Hub.HubClientError", 7,
       "fileSystemError", "disk full", "File system error: disk full"},
      {[] { throw HubClientError::parseError("p"); }, "Hub.HubClientError", 8, "parseError", "p", "Parse error: p"},
      {[] { throw HubClientError::authorizationRequired(); }, "Hub.HubClientError", 9, "authorizationRequired", "",
       "Authentication required. Please provide a valid Hugging Face token."},
      {[] { throw HubClientError::parse(); }, "Hub.HubClientError", 10, "parse", "",
       "Failed to parse server response."},
      {[] { throw HubClientError::unexpectedError(); }, "Hub.HubClientError", 11, "unexpectedError", "",
       "An unexpected error occurred."},
      {[] { throw HubApiEnvironmentError::invalidMetadataError("m"); }, "HubApi.EnvironmentError", 0,
       "invalidMetadataError", "m", "Invalid metadata: m"},
      {[] { throw HubApiEnvironmentError::offlineModeError("o"); }, "HubApi.EnvironmentError", 1, "offlineModeError",
       "o", "Offline mode error: o"},
      {[] { throw HubApiEnvironmentError::fileIntegrityError("i"); }, "HubApi.EnvironmentError", 2,
       "fileIntegrityError", "i", "File integrity check failed: i"},
      {[] { throw HubApiEnvironmentError::fileWriteError("w"); }, "HubApi.EnvironmentError", 3, "fileWriteError", "w",
       "Failed to write file: w"},
      {[] { throw NoxtalCoreError::invalidConfiguration("Model folder is not set"); }, "NoxtalCoreError", 0,
       "invalidConfiguration", "Model folder is not set", "Model folder is not set"},
      {[] { throw ModelDownloaderError::modelUnavailable("No model found for X"); }, "ModelDownloaderError", 0,
       "modelUnavailable", "No model found for X", "No model found for X"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    try {
      row.raise();
      ADD_FAILURE() << "nothing thrown";
    } catch (const platform::sys::Error& error) {
      EXPECT_EQ(error.domain(), row.domain);
      EXPECT_EQ(error.code(), row.code);
      EXPECT_EQ(error.caseName(), row.caseName);
      EXPECT_EQ(error.message(), row.message);
      EXPECT_EQ(error.description(), row.description);
      EXPECT_EQ(std::string(error.what()), row.description);
    } catch (...) {
      ADD_FAILURE() << "not caught through platform::sys::Error";
    }
  }
}

TEST(HubErrorsTest, TypedPayloadsSurviveACatchThroughTheBase) {
  try {
    throw HubClientError::networkError(
        platform::net::TransportError(platform::net::TransportErrorCode::cannotConnectToHost, "refused"));
  } catch (const platform::sys::Error& error) {
    const auto* client = dynamic_cast<const HubClientError*>(&error);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->errorCase(), HubClientError::Case::networkError);
    ASSERT_TRUE(client->transportError().has_value());
    EXPECT_EQ(client->transportError()->code(), platform::net::TransportErrorCode::cannotConnectToHost);
    EXPECT_EQ(client->transportError()->caseName(), "cannotConnectToHost");
  }
  try {
    throw HubClientError::httpStatusCode(429);
  } catch (const platform::sys::Error& error) {
    const HubClientError copy = dynamic_cast<const HubClientError&>(error);
    EXPECT_EQ(copy.statusCode(), 429);
    EXPECT_EQ(copy.errorDescription(), error.description());
  }
  const HubClientError json = HubClientError::jsonSerialization("/c/tokenizer.json", "x");
  EXPECT_EQ(json.fileURL(), "/c/tokenizer.json");
  EXPECT_EQ(HubApiEnvironmentError::fileWriteError("w").errorCase(), HubApiEnvironmentError::Case::fileWriteError);
}

}  // namespace
}  // namespace noxtal
