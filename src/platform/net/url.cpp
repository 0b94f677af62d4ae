#include "platform/net/url.hpp"

#include <cctype>
#include <charconv>

namespace platform::net {
namespace {

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

bool isForbidden(char c) {
  auto u = static_cast<unsigned char>(c);
  if (u <= 0x20 || u >= 0x7f) return true;
  switch (c) {
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
      return true;
    default:
      return false;
  }
}

bool validEscapes(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
    i += 2;
  }
  return true;
}

bool validScheme(std::string_view s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

bool segmentChar(char c) {
  if (std::isalnum(static_cast<unsigned char>(c))) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
      return true;
    default:
      return false;
  }
}

void appendEscaped(std::string& out, unsigned char c) {
  static const char* digits = "0123456789ABCDEF";
  out.push_back('%');
  out.push_back(digits[c >> 4]);
  out.push_back(digits[c & 0xf]);
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  for (char c : text) {
    if (isForbidden(c) && c != '%') return std::nullopt;
  }
  if (!validEscapes(text)) return std::nullopt;
  Url url;
  std::string_view rest = text;
  // Fragment and query first: they may contain ':' and '/'.
  if (auto hash = rest.find('#'); hash != std::string_view::npos) {
    url.fragment_ = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  if (auto q = rest.find('?'); q != std::string_view::npos) {
    url.query_ = std::string(rest.substr(q + 1));
    rest = rest.substr(0, q);
  }
  // A scheme is the text before the first ':' when no '/' comes before it.
  auto colon = rest.find(':');
  auto slash = rest.find('/');
  if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
    std::string_view scheme = rest.substr(0, colon);
    if (!validScheme(scheme)) return std::nullopt;
    std::string lowered(scheme);
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    url.scheme_ = lowered;
    rest = rest.substr(colon + 1);
  }
  if (rest.substr(0, 2) == "//") {
    rest = rest.substr(2);
    auto end = rest.find('/');
    std::string_view authority = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
      url.userInfo_ = std::string(authority.substr(0, at));
      authority = authority.substr(at + 1);
    }
    std::string_view hostPart = authority;
    std::string_view portPart;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
      auto close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      hostPart = authority.substr(0, close + 1);
      std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after.front() != ':') return std::nullopt;
        portPart = after.substr(1);
        hasPort = true;
      }
    } else if (auto pc = authority.rfind(':'); pc != std::string_view::npos) {
      hostPart = authority.substr(0, pc);
      portPart = authority.substr(pc + 1);
      hasPort = true;
    }
    if (hasPort && !portPart.empty()) {
      int port = 0;
      auto [ptr, ec] = std::from_chars(portPart.data(), portPart.data() + portPart.size(), port);
      if (ec != std::errc() || ptr != portPart.data() + portPart.size() || port < 0 || port > 65535) {
        return std::nullopt;
      }
      url.port_ = port;
    }
    // Outside an IPv6 literal a host holds no ':', '[' or ']' (else composing it back would
    // read as another host and port).
    if (hostPart.empty() || hostPart.front() != '[') {
      if (hostPart.find_first_of(":[]") != std::string_view::npos) return std::nullopt;
    }
    std::string host(hostPart);
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    url.host_ = host;
  }
  url.path_ = std::string(rest);
  return url;
}

std::optional<std::string> Url::compose() const {
  std::string out;
  if (scheme_) out += *scheme_ + ":";
  if (host_) {
    if (!path_.empty() && path_.front() != '/') return std::nullopt;
    out += "//";
    if (userInfo_) out += *userInfo_ + "@";
    out += *host_;
    if (port_) out += ":" + std::to_string(*port_);
  } else if (path_.rfind("//", 0) == 0) {
    return std::nullopt;
  }
  out += path_;
  if (query_) out += "?" + *query_;
  if (fragment_) out += "#" + *fragment_;
  return out;
}

std::string Url::string() const { return compose().value_or(std::string()); }

Url Url::appendingPathComponent(std::string_view segment) const {
  Url copy = *this;
  if (copy.path_.empty() || copy.path_.back() != '/') copy.path_.push_back('/');
  copy.path_ += percentEncodePathSegment(segment);
  return copy;
}

Url Url::appendingPath(std::string_view path) const {
  Url copy = *this;
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  if (copy.path_.empty() || copy.path_.back() != '/') copy.path_.push_back('/');
  copy.path_ += percentEncodePath(path);
  return copy;
}

std::string Url::lastPathComponent() const {
  std::string_view p = path_;
  while (!p.empty() && p.back() == '/') p.remove_suffix(1);
  auto slash = p.rfind('/');
  return percentDecode(slash == std::string_view::npos ? p : p.substr(slash + 1));
}

std::string percentEncodePathSegment(std::string_view segment) {
  std::string out;
  out.reserve(segment.size());
  for (char c : segment) {
    if (segmentChar(c)) {
      out.push_back(c);
    } else {
      appendEscaped(out, static_cast<unsigned char>(c));
    }
  }
  return out;
}

std::string percentEncodePath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '/' || segmentChar(c)) {
      out.push_back(c);
    } else {
      appendEscaped(out, static_cast<unsigned char>(c));
    }
  }
  return out;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
      unsigned value = 0;
      std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
      out.push_back(static_cast<char>(value));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace platform::net
