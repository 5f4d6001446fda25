// Port names that reach a port on another machine: "rfc2217://host:port" (a
// Telnet server with the serial-port control option) and "socket://host:port"
// (raw bytes over TCP), each with an optional "?timeout=MS" for the connect.
// Every other name is a device name and goes to the system unchanged.
#pragma once

#include <string>

namespace vemblaric::transport {

enum class Scheme { kRfc2217, kRaw };

// How long a connect may take when the name does not say.
constexpr unsigned long kDefaultConnectTimeoutMs = 5000;
// Longer waits than this are a typing error rather than a wish.
constexpr unsigned long kLongestConnectTimeoutMs = 600000;

struct NetworkName {
  Scheme scheme = Scheme::kRaw;
  std::string host;  // a host name or an address literal, brackets removed
  std::string port;  // decimal, 1..65535
  unsigned long timeoutMs = kDefaultConnectTimeoutMs;
};

enum class NameKind {
  kDevice,     // no network scheme: the system's own name
  kNetwork,    // a well-formed network name, in `out`
  kMalformed,  // a network scheme with a host, port or query that does not parse
};

// Schemes are matched without regard to case, as the system matches device names.
NameKind ParseNetworkName(const std::string& text, NetworkName& out);

}  // namespace vemblaric::transport
