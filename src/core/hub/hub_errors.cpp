#include "core/hub/hub_errors.hpp"

#include <cstddef>
#include <iterator>
#include <utility>

namespace noxtal {
namespace {

// The English text is the localisation key and, without translations, the localised text.
std::string localized(std::string_view english, std::string_view argument = {}) {
  std::string text(english);
  text += argument;
  return text;
}

// Case names in declaration order, indexed by the case.
constexpr const char* kHubClientErrorCaseNames[] = {
    "httpStatusCode",
    "jsonSerialization",
    "downloadError",
    "fileNotFound",
    "networkError",
    "resourceNotFound",
    "configurationMissing",
    "fileSystemError",
    "parseError",
    "authorizationRequired",
    "parse",
    "unexpectedError",
};
static_assert(std::size(kHubClientErrorCaseNames) ==
              static_cast<std::size_t>(Hub::HubClientErrorCase::unexpectedError) + 1);

constexpr const char* kEnvironmentErrorCaseNames[] = {
    "invalidMetadataError",
    "offlineModeError",
    "fileIntegrityError",
    "fileWriteError",
};
static_assert(std::size(kEnvironmentErrorCaseNames) ==
              static_cast<std::size_t>(HubApiEnvironmentErrorCase::fileWriteError) + 1);

}  // namespace

namespace Hub {

HubClientError::HubClientError(Case c, std::string message, std::string description)
    : ErrorWithCase("Hub.HubClientError", c, kHubClientErrorCaseNames[static_cast<std::size_t>(c)], std::move(message),
                    std::move(description)) {}

HubClientError HubClientError::httpStatusCode(int code) {
  HubClientError error(Case::httpStatusCode, {}, localized("HTTP error with status code: ", std::to_string(code)));
  error.statusCode_ = code;
  return error;
}

HubClientError HubClientError::jsonSerialization(std::filesystem::path fileURL, std::string message) {
  std::string description = message;
  HubClientError error(Case::jsonSerialization, std::move(message), std::move(description));
  error.fileURL_ = std::move(fileURL);
  return error;
}

HubClientError HubClientError::downloadError(std::string message) {
  std::string description = localized("Download failed: ", message);
  return HubClientError(Case::downloadError, std::move(message), std::move(description));
}

HubClientError HubClientError::fileNotFound(std::string name) {
  std::string description = localized("File not found: ", name);
  return HubClientError(Case::fileNotFound, std::move(name), std::move(description));
}

HubClientError HubClientError::networkError(const platform::net::TransportError& transport) {
  std::string message = transport.localizedDescription();
  HubClientError error(Case::networkError, message, localized("Network error: ", message));
  error.transportError_ = transport;
  return error;
}

HubClientError HubClientError::resourceNotFound(std::string message) {
  std::string description = localized("Resource not found: ", message);
  return HubClientError(Case::resourceNotFound, std::move(message), std::move(description));
}

HubClientError HubClientError::configurationMissing(std::string message) {
  std::string description = localized("Required configuration file missing: ", message);
  return HubClientError(Case::configurationMissing, std::move(message), std::move(description));
}

HubClientError HubClientError::fileSystemError(const std::exception& cause) {
  return fileSystemError(std::string(cause.what()));
}

HubClientError HubClientError::fileSystemError(std::string description) {
  std::string text = localized("File system error: ", description);
  return HubClientError(Case::fileSystemError, std::move(description), std::move(text));
}

HubClientError HubClientError::parseError(std::string message) {
  std::string description = localized("Parse error: ", message);
  return HubClientError(Case::parseError, std::move(message), std::move(description));
}

HubClientError HubClientError::authorizationRequired() {
  return HubClientError(Case::authorizationRequired, {},
                        localized("Authentication required. Please provide a valid Hugging Face token."));
}

HubClientError HubClientError::parse() {
  return HubClientError(Case::parse, {}, localized("Failed to parse server response."));
}

HubClientError HubClientError::unexpectedError() {
  return HubClientError(Case::unexpectedError, {}, localized("An unexpected error occurred."));
}

}  // namespace Hub

HubApiEnvironmentError::HubApiEnvironmentError(Case c, std::string message, std::string description)
    : ErrorWithCase("HubApi.EnvironmentError", c, kEnvironmentErrorCaseNames[static_cast<std::size_t>(c)],
                    std::move(message), std::move(description)) {}

HubApiEnvironmentError HubApiEnvironmentError::invalidMetadataError(std::string message) {
  std::string d = localized("Invalid metadata: ", message);
  return HubApiEnvironmentError(Case::invalidMetadataError, std::move(message), std::move(d));
}

HubApiEnvironmentError HubApiEnvironmentError::offlineModeError(std::string message) {
  std::string d = localized("Offline mode error: ", message);
  return HubApiEnvironmentError(Case::offlineModeError, std::move(message), std::move(d));
}

HubApiEnvironmentError HubApiEnvironmentError::fileIntegrityError(std::string message) {
  std::string d = localized("File integrity check failed: ", message);
  return HubApiEnvironmentError(Case::fileIntegrityError, std::move(message), std::move(d));
}

HubApiEnvironmentError HubApiEnvironmentError::fileWriteError(std::string message) {
  std::string d = localized("Failed to write file: ", message);
  return HubApiEnvironmentError(Case::fileWriteError, std::move(message), std::move(d));
}

}  // namespace noxtal
