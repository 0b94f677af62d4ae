// SHA-256 digests (FIPS 180-4) over OpenSSL's EVP interface: the stand-in for the platform's
// hashing framework.
//
// Used by the hub client to prove that a cached file holds the content the hub names by its
// digest, and to derive safe file names from untrusted text. A Sha256 object is owned by one
// thread at a time; the free functions are thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace platform::crypto {

using Sha256Digest = std::array<std::uint8_t, 32>;

// A failure of the digest library itself (out of memory, no SHA-256 provider).
class CryptoError : public std::runtime_error {
 public:
  explicit CryptoError(const std::string& message) : std::runtime_error(message) {}
};

// A file could not be hashed. `kind()` tells whether opening or reading failed; `code()` is the
// operating system's error.
class FileHashError : public std::runtime_error {
 public:
  enum class Kind { open, read };
  FileHashError(Kind kind, std::filesystem::path path, std::error_code code);
  Kind kind() const { return kind_; }
  const std::filesystem::path& path() const { return path_; }
  std::error_code code() const { return code_; }

 private:
  Kind kind_;
  std::filesystem::path path_;
  std::error_code code_;
};

// An incremental SHA-256 computation. update() any number of times, then finish() once.
// Throws CryptoError when the library cannot set up or run the digest. Not thread-safe.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::span<const std::byte> data);
  void update(std::string_view data);
  // Ends the computation and returns the 32-byte digest. Calling update() or finish()
  // afterwards is a programming error (asserted).
  Sha256Digest finish();
  // finish() rendered as 64 lower-case hexadecimal digits.
  std::string finishHex();

 private:
  struct ContextDeleter {
    void operator()(void* context) const;
  };
  std::unique_ptr<void, ContextDeleter> context_;
  bool finished_ = false;
};

// Lower-case hexadecimal text of `bytes`, two digits per byte, no separators.
std::string toHex(std::span<const std::uint8_t> bytes);

// Digest of `data` as 64 lower-case hexadecimal digits. Throws CryptoError.
std::string sha256Hex(std::string_view data);

// Size of each read of sha256File: 1 MiB.
inline constexpr std::size_t kFileReadChunk = 1 << 20;

// Digest of the whole content of the file at `path`, read in chunks of kFileReadChunk bytes
// into one reused buffer (memory stays at about one chunk), as 64 lower-case hexadecimal
// digits. Throws FileHashError(open) when the file cannot be opened, FileHashError(read) when a
// read fails part-way (never a digest of a prefix), CryptoError on a library failure.
std::string sha256File(const std::filesystem::path& path);

}  // namespace platform::crypto
