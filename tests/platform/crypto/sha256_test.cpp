#include "platform/crypto/sha256.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temporary_folder.hpp"

namespace platform::crypto {
namespace {

namespace fs = std::filesystem;

struct Vector {
  std::string input;
  const char* hex;
};

TEST(Sha256, KnownVectors) {
  const Vector vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(sha256Hex(v.input), v.hex) << "input length " << v.input.size();
  }
}

TEST(Sha256, PiecewiseUpdatesMatchOneShotAcrossBlockBoundaries) {
  std::string data;
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 7 + 3));
  for (std::size_t split : {0u, 1u, 55u, 63u, 64u, 65u, 128u, 299u, 300u}) {
    Sha256 digest;
    digest.update(std::string_view(data).substr(0, split));
    digest.update(std::string_view(data).substr(split));
    EXPECT_EQ(digest.finishHex(), sha256Hex(data)) << "split " << split;
  }
}

TEST(Sha256, ToHexIsLowerCaseWithoutSeparators) {
  const std::uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(toHex(bytes), "000fa0ff");
  EXPECT_EQ(toHex({}), "");
}

class Sha256FileTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = temporary_.path(); }
  testsupport::TemporaryFolder temporary_{"sha256_test"};
  fs::path write(const std::string& name, const std::string& content) {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  fs::path dir_;
};

TEST_F(Sha256FileTest, FileDigestEqualsDigestOfContentForSizesAroundTheChunk) {
  for (std::size_t size :
       {std::size_t{0}, std::size_t{1}, kFileReadChunk - 1, kFileReadChunk, 3 * kFileReadChunk + 1}) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131) >> 3);
    const fs::path p = write("f" + std::to_string(size), content);
    EXPECT_EQ(sha256File(p), sha256Hex(content)) << "size " << size;
  }
}

TEST_F(Sha256FileTest, MissingFileIsAnOpenError) {
  try {
    sha256File(dir_ / "absent");
    FAIL() << "no error";
  } catch (const FileHashError& e) {
    EXPECT_EQ(e.kind(), FileHashError::Kind::open);
    EXPECT_EQ(e.path(), dir_ / "absent");
  }
}

TEST_F(Sha256FileTest, ReadFailureIsAnErrorNotADigestOfAPrefix) {
  // A directory opens read-only but every read fails (EISDIR).
  try {
    sha256File(dir_);
    FAIL() << "no error";
  } catch (const FileHashError& e) {
    EXPECT_EQ(e.kind(), FileHashError::Kind::read);
  }
}

}  // namespace
}  // namespace platform::crypto
