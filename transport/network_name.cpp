#include "transport/network_name.h"

#include <cctype>

namespace vemblaric::transport {
namespace {

struct SchemeName {
  const char* prefix;
  Scheme scheme;
};
constexpr SchemeName kSchemes[] = {{"rfc2217://", Scheme::kRfc2217}, {"socket://", Scheme::kRaw}};

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i) {
    if (i >= text.size()) return false;
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// A decimal number of at most `digits` digits no larger than `largest`.
bool ParseNumber(const std::string& text, size_t digits, unsigned long largest,
                 unsigned long& value) {
  if (text.empty() || text.size() > digits) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return value <= largest;
}

bool ParseHostAndPort(const std::string& authority, NetworkName& out) {
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos || close == 1) return false;
    out.host = authority.substr(1, close - 1);
    if (close + 1 >= authority.size() || authority[close + 1] != ':') return false;
    port = authority.substr(close + 2);
  } else {
    const size_t colon = authority.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    out.host = authority.substr(0, colon);
    // An address of IPv6 needs its brackets, or its last group would be taken for the port.
    if (out.host.find(':') != std::string::npos) return false;
    port = authority.substr(colon + 1);
  }
  for (char c : out.host)
    if (std::isspace(static_cast<unsigned char>(c)) || c == '/' || c == '?' || c == '@')
      return false;
  unsigned long number = 0;
  if (!ParseNumber(port, 5, 65535, number) || number == 0) return false;
  out.port = std::to_string(number);
  return true;
}

bool ParseQuery(const std::string& query, NetworkName& out) {
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string item = query.substr(start, end - start);
    const std::string key = "timeout=";
    if (item.compare(0, key.size(), key) != 0) return false;
    if (!ParseNumber(item.substr(key.size()), 7, kLongestConnectTimeoutMs, out.timeoutMs) ||
        out.timeoutMs == 0)
      return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

NameKind ParseNetworkName(const std::string& text, NetworkName& out) {
  for (const SchemeName& s : kSchemes) {
    if (!StartsWithNoCase(text, s.prefix)) continue;
    NetworkName name;
    name.scheme = s.scheme;
    std::string rest = text.substr(std::char_traits<char>::length(s.prefix));
    const size_t question = rest.find('?');
    std::string authority = rest.substr(0, question);
    if (!authority.empty() && authority.back() == '/') authority.pop_back();
    if (!ParseHostAndPort(authority, name)) return NameKind::kMalformed;
    if (question != std::string::npos && !ParseQuery(rest.substr(question + 1), name))
      return NameKind::kMalformed;
    out = name;
    return NameKind::kNetwork;
  }
  return NameKind::kDevice;
}

}  // namespace vemblaric::transport
