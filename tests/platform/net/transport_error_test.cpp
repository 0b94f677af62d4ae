// The transport error seen through the project's one error base.
#include <gtest/gtest.h>

#include <string>

#include "platform/net/http.hpp"
#include "platform/sys/error.hpp"

namespace platform::net {
namespace {

TEST(TransportErrorTest, EveryCodeIsCaughtThroughTheErrorBase) {
  const struct {
    TransportErrorCode code;
    const char* caseName;
  } rows[] = {
      {TransportErrorCode::notConnectedToInternet, "notConnectedToInternet"},
      {TransportErrorCode::networkConnectionLost, "networkConnectionLost"},
      {TransportErrorCode::timedOut, "timedOut"},
      {TransportErrorCode::cannotFindHost, "cannotFindHost"},
      {TransportErrorCode::cannotConnectToHost, "cannotConnectToHost"},
      {TransportErrorCode::cancelled, "cancelled"},
      {TransportErrorCode::other, "other"},
  };
  int index = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.caseName);
    const std::string text = std::string(describe(row.code)) + " (detail)";
    try {
      throw TransportError(row.code, text);
    } catch (const sys::Error& error) {
      EXPECT_EQ(error.domain(), "platform.net.TransportError");
      EXPECT_EQ(error.code(), index);
      EXPECT_EQ(error.caseName(), row.caseName);
      EXPECT_EQ(error.message(), text);
      EXPECT_EQ(error.description(), text);
      EXPECT_EQ(std::string(error.what()), text);
      const auto& transport = dynamic_cast<const TransportError&>(error);
      EXPECT_EQ(transport.code(), row.code);
      EXPECT_EQ(transport.errorCase(), row.code);
      EXPECT_EQ(transport.localizedDescription(), text);
    } catch (...) {
      ADD_FAILURE() << "not caught through platform::sys::Error";
    }
    ++index;
  }
}

}  // namespace
}  // namespace platform::net
