#include "platform/sys/error.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {


enum class Kind { first, second, third };

class KindError : public platform::sys::ErrorWithCase<Kind> {
 public:
  static KindError third(std::string message) {
    return KindError(Kind::third, "third", message, "Third went wrong: " + message);
  }

 private:
  KindError(Kind k, const char* name, std::string message, std::string description)
      : ErrorWithCase("Sample.KindError", k, name, std::move(message), std::move(description)) {}
};

TEST(ErrorTest, CarriesCaseNamePayloadAndDescription) {
  const KindError e = KindError::third("disk full");
  EXPECT_EQ(e.errorCase(), Kind::third);
  EXPECT_EQ(e.code(), 2);
  EXPECT_EQ(e.caseName(), "third");
  EXPECT_EQ(e.domain(), "Sample.KindError");
  EXPECT_EQ(e.message(), "disk full");
  EXPECT_EQ(e.description(), "Third went wrong: disk full");
  EXPECT_STREQ(e.what(), "Third went wrong: disk full");
}

TEST(ErrorTest, CaughtThroughTheBaseKeepsEverything) {
  try {
    throw KindError::third("x");
  } catch (const platform::sys::Error& e) {
    EXPECT_EQ(e.domain(), "Sample.KindError");
    EXPECT_EQ(e.code(), 2);
    EXPECT_STREQ(e.what(), "Third went wrong: x");
  } catch (...) {
    FAIL() << "not caught through the base";
  }
  // Copies are independent values.
  KindError a = KindError::third("a");
  const KindError b = a;
  a = KindError::third("changed");
  EXPECT_EQ(b.message(), "a");
}

}  // namespace
