#include "core/hub/cache_metadata.hpp"

#include <locale.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <span>
#include <system_error>
#include <vector>

#include "core/hub/hub_errors.hpp"
#include "platform/crypto/sha256.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/log/log.hpp"
#include "platform/text/text.hpp"

namespace noxtal {

namespace fs = std::filesystem;

namespace {

const platform::log::Logger& hubLog() {
  static const platform::log::Logger logger("com.velmoria.noxtal", "HubApi");
  return logger;
}

// Line separators: LF, VT, FF, CR, NEL, LINE SEPARATOR, PARAGRAPH SEPARATOR.
bool isNewline(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }

std::vector<std::u32string> splitLines(std::string_view utf8) {
  std::vector<std::u32string> pieces(1);
  for (char32_t c : platform::text::codePoints(utf8)) {
    if (isNewline(c)) {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(c);
    }
  }
  return pieces;
}

std::string trimmedUtf8(const std::u32string& piece) {
  auto blank = [](char32_t c) { return platform::text::isWhitespace(c) || isNewline(c); };
  std::size_t begin = 0;
  std::size_t end = piece.size();
  while (begin < end && blank(piece[begin])) ++begin;
  while (end > begin && blank(piece[end - 1])) --end;
  std::string out;
  for (std::size_t i = begin; i < end; ++i) platform::text::appendUtf8(out, piece[i]);
  return out;
}

// The whole text as a double in the C locale's number syntax, or nullopt.
std::optional<double> parseDouble(const std::string& text) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (text.empty() || cLocale == static_cast<locale_t>(0)) return std::nullopt;
  char* end = nullptr;
  const double value = strtod_l(text.c_str(), &end, cLocale);
  if (end != text.c_str() + text.size() || end == text.c_str()) return std::nullopt;
  return value;
}

std::string removeAll(std::string text, std::string_view what) {
  for (std::size_t pos; (pos = text.find(what)) != std::string::npos;) text.erase(pos, what.size());
  return text;
}

LocalDownloadFileMetadata parseRecord(const fs::path& metadataPath, const std::string& text) {
  const auto pieces = splitLines(text);
  if (pieces.size() < 3) throw HubApiEnvironmentError::invalidMetadataError("Metadata file is missing required fields");
  LocalDownloadFileMetadata record;
  record.commitHash = trimmedUtf8(pieces[0]);
  record.etag = trimmedUtf8(pieces[1]);
  const auto timestamp = parseDouble(trimmedUtf8(pieces[2]));
  if (!timestamp) throw HubApiEnvironmentError::invalidMetadataError("Invalid timestamp format");
  record.timestamp = *timestamp;
  record.filename = removeAll(metadataPath.filename().string(), ".metadata");
  return record;
}

}  // namespace

std::optional<LocalDownloadFileMetadata> readDownloadMetadata(const fs::path& metadataPath,
                                                              platform::fs::FileSystem& fileSystem) {
  if (!fileSystem.exists(metadataPath)) return std::nullopt;
  try {
    std::string text = fileSystem.readFile(metadataPath);
    if (!platform::text::isValidUtf8(text)) {
      throw platform::fs::FileError("read", metadataPath, EILSEQ);
    }
    return parseRecord(metadataPath, text);
  } catch (const HubApiEnvironmentError& e) {
    hubLog().error("Invalid metadata file " + metadataPath.string() + ": " + e.errorDescription() +
                   ". Removing it from disk and continuing.");
  } catch (const std::exception& e) {
    hubLog().error("Error reading metadata file " + metadataPath.string() + ": " + e.what() +
                   ". Removing it from disk and continuing.");
  }
  try {
    fileSystem.remove(metadataPath);
  } catch (const platform::fs::FileError& e) {
    throw HubApiEnvironmentError::invalidMetadataError("Could not remove corrupted metadata file: " +
                                                       std::generic_category().message(e.code()));
  }
  return std::nullopt;
}

std::string formatDownloadMetadata(std::string_view commitHash, std::string_view etag, double unixSeconds) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, unixSeconds, std::chars_format::fixed);
  std::string seconds = ec == std::errc() ? std::string(buffer, end) : std::to_string(unixSeconds);
  if (seconds.find('.') == std::string::npos) seconds += ".0";
  std::string text;
  text.append(commitHash).append("\n").append(etag).append("\n").append(seconds).append("\n");
  return text;
}

void writeDownloadMetadata(std::string_view commitHash, std::string_view etag, const fs::path& metadataPath,
                           platform::fs::FileSystem& fileSystem) {
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const std::string text = formatDownloadMetadata(commitHash, etag, now);
  try {
    fileSystem.createDirectories(metadataPath.parent_path());
    fileSystem.writeFile(metadataPath, text);
  } catch (const std::exception& e) {
    throw HubApiEnvironmentError::fileWriteError("Failed to write metadata to " + metadataPath.string() + ": " +
                                                 e.what());
  }
}

std::string computeFileHash(const fs::path& file, platform::fs::FileSystem& fileSystem) {
  std::unique_ptr<platform::fs::ReadableFile> input;
  try {
    input = fileSystem.openForReading(file);
  } catch (const platform::fs::FileError&) {
    throw Hub::HubClientError::fileNotFound(file.filename().string());
  }
  try {
    platform::crypto::Sha256 digest;
    std::vector<std::byte> buffer(platform::crypto::kFileReadChunk);
    while (const std::size_t n = input->read(buffer)) digest.update(std::span(buffer.data(), n));
    return digest.finishHex();
  } catch (const platform::fs::FileError& e) {
    throw Hub::HubClientError::fileSystemError(e);
  } catch (const platform::crypto::CryptoError& e) {
    throw Hub::HubClientError::fileSystemError(e);
  }
}

void prepareFile(const fs::path& path, platform::fs::FileSystem& fileSystem) {
  if (path.has_parent_path()) fileSystem.createDirectories(path.parent_path());
  // Opened, not written: a file that another download creates at the same moment is kept, never
  // replaced by an empty one.
  fileSystem.openForAppending(path)->close();
}

std::string partialFileEtagComponent(std::string_view etag) {
  bool safe = !etag.empty() && etag != "." && etag != "..";
  for (char c : etag) {
    const bool allowed =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!allowed) safe = false;
  }
  return safe ? std::string(etag) : platform::crypto::sha256Hex(etag);
}

fs::path partialFilePath(const fs::path& metadataFolder, std::string_view relativeFilename, std::string_view etag) {
  return metadataFolder / (std::string(relativeFilename) + "." + partialFileEtagComponent(etag) + ".incomplete");
}

int removePartialFiles(const fs::path& metadataFolder, std::string_view relativeFilename,
                       const std::optional<fs::path>& keep, platform::fs::FileSystem& fileSystem) {
  const fs::path sample = metadataFolder / std::string(relativeFilename);
  const fs::path folder = sample.parent_path();
  const std::string prefix = sample.filename().string() + ".";
  static constexpr std::string_view suffix = ".incomplete";
  std::vector<fs::path> entries;
  try {
    entries = fileSystem.listDirectory(folder);
  } catch (const platform::fs::FileError&) {
    return 0;
  }
  int removed = 0;
  for (const fs::path& entry : entries) {
    const std::string name = entry.filename().string();
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (middle.find('.') != std::string::npos) continue;  // another file's partial ("<name>.x.<etag>")
    if (keep && entry == *keep) continue;
    try {
      if (fileSystem.entryType(entry, false) == platform::fs::EntryType::regular && fileSystem.remove(entry)) {
        ++removed;
      }
    } catch (const platform::fs::FileError&) {
      // A stale partial file that stays only costs space.
    }
  }
  return removed;
}

}  // namespace noxtal
