// expectError<E>(call, case, message): `call` must throw E (a project error on the error base)
// with that case and message; anything else fails the test where it is called.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace testsupport {

template <class E, class F>
void expectError(F&& call, typename E::Case errorCase, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no error, expected " << message;
  } catch (const E& e) {
    EXPECT_EQ(e.errorCase(), errorCase);
    EXPECT_EQ(e.message(), message);
  }
}

}  // namespace testsupport
