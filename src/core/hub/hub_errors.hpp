// The hub client's two error types.
//
// Hub::HubClientError is what hub requests and configuration reading throw (HTTP status
// outcomes, download and parse failures, missing files); HubApiEnvironmentError (reached as
// HubApi::EnvironmentError) is what the local cache throws (metadata files, offline snapshots,
// file writes). what() and errorDescription() give the fixed English description of each case.
// Both derive from platform::sys::ErrorWithCase (domains "Hub.HubClientError" and
// "HubApi.EnvironmentError", case names as the enumerations spell them). Plain exception
// values; thread-safe as values.
#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/net/http.hpp"
#include "platform/sys/error.hpp"

namespace noxtal {
namespace Hub {

enum class HubClientErrorCase {
  httpStatusCode,
  jsonSerialization,
  downloadError,
  fileNotFound,
  networkError,
  resourceNotFound,
  configurationMissing,
  fileSystemError,
  parseError,
  authorizationRequired,
  parse,
  unexpectedError,
};

class HubClientError : public platform::sys::ErrorWithCase<HubClientErrorCase> {
 public:
  using Case = HubClientErrorCase;

  // "HTTP error with status code: <code>"
  static HubClientError httpStatusCode(int code);
  // Described by `message` alone.
  static HubClientError jsonSerialization(std::filesystem::path fileURL, std::string message);
  // "Download failed: <message>"
  static HubClientError downloadError(std::string message);
  // "File not found: <name>"
  static HubClientError fileNotFound(std::string name);
  // "Network error: <the transport error's description>"
  static HubClientError networkError(const platform::net::TransportError& error);
  // "Resource not found: <message>"
  static HubClientError resourceNotFound(std::string message);
  // "Required configuration file missing: <message>"
  static HubClientError configurationMissing(std::string message);
  // "File system error: <the error's description>"
  static HubClientError fileSystemError(const std::exception& error);
  static HubClientError fileSystemError(std::string description);
  // "Parse error: <message>"
  static HubClientError parseError(std::string message);
  static HubClientError authorizationRequired();
  static HubClientError parse();
  static HubClientError unexpectedError();

  // errorCase() and message() come from the base; message() is the text payload (for
  // networkError and fileSystemError the wrapped error's description).
  // The status of httpStatusCode, else 0.
  int statusCode() const { return statusCode_; }
  // The file of jsonSerialization, else empty.
  const std::filesystem::path& fileURL() const { return fileURL_; }
  // The wrapped transport error of networkError.
  const std::optional<platform::net::TransportError>& transportError() const { return transportError_; }

  std::string errorDescription() const { return description(); }

 private:
  HubClientError(Case c, std::string message, std::string description);

  int statusCode_ = 0;
  std::filesystem::path fileURL_;
  std::optional<platform::net::TransportError> transportError_;
};

}  // namespace Hub

enum class HubApiEnvironmentErrorCase { invalidMetadataError, offlineModeError, fileIntegrityError, fileWriteError };

class HubApiEnvironmentError : public platform::sys::ErrorWithCase<HubApiEnvironmentErrorCase> {
 public:
  using Case = HubApiEnvironmentErrorCase;

  // "Invalid metadata: <message>"
  static HubApiEnvironmentError invalidMetadataError(std::string message);
  // "Offline mode error: <message>"
  static HubApiEnvironmentError offlineModeError(std::string message);
  // "File integrity check failed: <message>"
  static HubApiEnvironmentError fileIntegrityError(std::string message);
  // "Failed to write file: <message>"
  static HubApiEnvironmentError fileWriteError(std::string message);

  std::string errorDescription() const { return description(); }

 private:
  HubApiEnvironmentError(Case c, std::string message, std::string description);
};

}  // namespace noxtal
