#include "platform/crypto/sha256.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <vector>

#include "platform/fs/unique_fd.hpp"

namespace platform::crypto {

namespace {

template <class Pointer>
EVP_MD_CTX* ctx(const Pointer& p) {
  return static_cast<EVP_MD_CTX*>(p.get());
}

}  // namespace

FileHashError::FileHashError(Kind kind, std::filesystem::path path, std::error_code code)
    : std::runtime_error((kind == Kind::open ? "cannot open " : "cannot read ") + path.string() + ": " +
                         code.message()),
      kind_(kind),
      path_(std::move(path)),
      code_(code) {}

void Sha256::ContextDeleter::operator()(void* context) const { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context)); }

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_) throw CryptoError("EVP_MD_CTX_new failed");
  if (EVP_DigestInit_ex(ctx(context_), EVP_sha256(), nullptr) != 1) {
    throw CryptoError("EVP_DigestInit_ex(SHA-256) failed");
  }
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::byte> data) {
  assert(!finished_);
  if (data.empty()) return;
  if (EVP_DigestUpdate(ctx(context_), data.data(), data.size()) != 1) {
    throw CryptoError("EVP_DigestUpdate failed");
  }
}

void Sha256::update(std::string_view data) { update(std::as_bytes(std::span(data.data(), data.size()))); }

Sha256Digest Sha256::finish() {
  assert(!finished_);
  finished_ = true;
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx(context_), digest.data(), &length) != 1 || length != digest.size()) {
    throw CryptoError("EVP_DigestFinal_ex failed");
  }
  return digest;
}

std::string Sha256::finishHex() {
  const Sha256Digest digest = finish();
  return toHex(digest);
}

std::string toHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0f]);
  }
  return out;
}

std::string sha256Hex(std::string_view data) {
  Sha256 digest;
  digest.update(data);
  return digest.finishHex();
}

std::string sha256File(const std::filesystem::path& path) {
  int raw;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) throw FileHashError(FileHashError::Kind::open, path, std::error_code(errno, std::generic_category()));
  const fs::UniqueFd fd(raw);  // a failure to close a read-only file changes nothing
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  Sha256 digest;
  std::vector<std::byte> buffer(kFileReadChunk);
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileHashError(FileHashError::Kind::read, path, std::error_code(errno, std::generic_category()));
    }
    if (n == 0) break;
    digest.update(std::span(buffer.data(), static_cast<std::size_t>(n)));
  }
  return digest.finishHex();
}

}  // namespace platform::crypto
