// URL helpers of the HTTP stand-in: parsing of absolute URLs and relative references,
// percent-encoding of path segments, and composition back into text.
//
// Used by the HTTP transport (effective URLs), the hub client (listing and resolve addresses,
// relative redirects) and the fake hub in tests. A Url keeps its path, query and fragment in
// their encoded form exactly as given; only the helpers below encode or decode. All functions
// are pure and thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::net {

class Url {
 public:
  Url() = default;

  // Parses an absolute URL ("http://host:8080/a?b#c") or a relative reference ("/a/b?q",
  // "a/b", "//host/x"). Returns nullopt for text with characters that may not appear in a
  // URL (controls, space, non-ASCII, '"', '<', '>', '\\', '^', '`', '{', '|', '}'), an invalid
  // scheme, a bad port or a malformed percent escape.
  static std::optional<Url> parse(std::string_view text);

  const std::optional<std::string>& scheme() const { return scheme_; }
  const std::optional<std::string>& userInfo() const { return userInfo_; }
  // The host as written (brackets of an IPv6 literal included); absent for a reference without
  // an authority.
  const std::optional<std::string>& host() const { return host_; }
  const std::optional<int>& port() const { return port_; }
  // The encoded path (may be empty).
  const std::string& path() const { return path_; }
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }

  void setPath(std::string encodedPath) { path_ = std::move(encodedPath); }
  void setQuery(std::optional<std::string> encodedQuery) { query_ = std::move(encodedQuery); }
  void setFragment(std::optional<std::string> encodedFragment) { fragment_ = std::move(encodedFragment); }

  // True when the URL has a scheme.
  bool isAbsolute() const { return scheme_.has_value(); }

  // The URL as text. Returns nullopt when the parts cannot form a URL: an authority with a
  // path that is neither empty nor starts with "/", or a path starting with "//" without an
  // authority.
  std::optional<std::string> compose() const;
  // compose(), or the empty text when the parts cannot form a URL.
  std::string string() const;

  // A copy with one path segment appended; "/" and every other reserved character inside
  // `segment` are percent-encoded, so the segment stays one segment.
  Url appendingPathComponent(std::string_view segment) const;
  // A copy with a "/"-separated path appended segment by segment (each segment encoded, the
  // separators kept).
  Url appendingPath(std::string_view path) const;
  // The last non-empty path segment, percent-decoded ("" when there is none).
  std::string lastPathComponent() const;

 private:
  std::optional<std::string> scheme_;
  std::optional<std::string> userInfo_;
  std::optional<std::string> host_;
  std::optional<int> port_;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

// Percent-encodes everything except the unreserved characters (A-Z a-z 0-9 - . _ ~) and the
// sub-delimiters, ':' and '@' allowed in a path segment; "/" is encoded.
std::string percentEncodePathSegment(std::string_view segment);
// Like percentEncodePathSegment but keeps "/" as the separator.
std::string percentEncodePath(std::string_view path);
// Decodes %XX escapes; a malformed escape is kept as written.
std::string percentDecode(std::string_view text);

}  // namespace platform::net
