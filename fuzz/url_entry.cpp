#include <string>
#include <string_view>

#include "fuzz/fuzz_entries.hpp"
#include "platform/log/check.hpp"
#include "platform/net/url.hpp"

namespace fuzzentries {

namespace {

bool sameParts(const platform::net::Url& a, const platform::net::Url& b) {
  return a.scheme() == b.scheme() && a.userInfo() == b.userInfo() && a.host() == b.host() && a.port() == b.port() &&
         a.path() == b.path() && a.query() == b.query() && a.fragment() == b.fragment();
}

}  // namespace

void url(std::span<const std::uint8_t> input) {
  using platform::net::Url;
  const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());

  // Percent-coding of arbitrary bytes is lossless.
  platform::log::requireThat(platform::net::percentDecode(platform::net::percentEncodePathSegment(text)) == text,
                             "a percent-encoded segment does not decode to itself");
  platform::log::requireThat(platform::net::percentDecode(platform::net::percentEncodePath(text)) == text,
                             "a percent-encoded path does not decode to itself");

  const std::optional<Url> parsed = Url::parse(text);
  if (!parsed) return;
  const std::optional<std::string> composed = parsed->compose();
  platform::log::requireThat(composed.has_value(), "a parsed URL cannot be composed");
  const std::optional<Url> reparsed = Url::parse(*composed);
  platform::log::requireThat(reparsed.has_value(), "a composed URL does not parse");
  platform::log::requireThat(sameParts(*parsed, *reparsed), "a composed URL parses into other parts");

  // A segment appended to a URL with an authority comes back as its last path component.
  if (parsed->host() && !text.empty()) {
    const Url appended = parsed->appendingPathComponent(text);
    platform::log::requireThat(appended.lastPathComponent() == text,
                               "an appended path component is not the last path component");
    const std::optional<Url> appendedParsed = Url::parse(appended.string());
    platform::log::requireThat(appendedParsed.has_value(), "a URL with an appended component does not parse");
  }
  (void)parsed->appendingPath(text).string();
}

}  // namespace fuzzentries
