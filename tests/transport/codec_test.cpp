// The pure parts of the network transport: port names, and the Telnet
// session that separates a server's data from its protocol bytes however the
// network cuts them into packets.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "transport/network_name.h"
#include "transport/telnet_session.h"

namespace vemblaric::transport {
namespace {

struct NameCase {
  const char* text;
  NameKind kind;
  Scheme scheme;
  const char* host;
  const char* port;
  unsigned long timeoutMs;
};

TEST(NetworkName, ParsesSchemesHostsPortsAndTheConnectTimeout) {
  const NameCase cases[] = {
      {"rfc2217://127.0.0.1:2217", NameKind::kNetwork, Scheme::kRfc2217, "127.0.0.1", "2217", kDefaultConnectTimeoutMs},
      {"RFC2217://device-host:7000", NameKind::kNetwork, Scheme::kRfc2217, "device-host", "7000", kDefaultConnectTimeoutMs},
      {"socket://[::1]:4001", NameKind::kNetwork, Scheme::kRaw, "::1", "4001", kDefaultConnectTimeoutMs},
      {"socket://host:4001/?timeout=2000", NameKind::kNetwork, Scheme::kRaw, "host", "4001", 2000},
      {"rfc2217://[fe80::1%3]:23?timeout=1", NameKind::kNetwork, Scheme::kRfc2217, "fe80::1%3", "23", 1},
      {"rfc2217://h:007", NameKind::kNetwork, Scheme::kRfc2217, "h", "7", kDefaultConnectTimeoutMs},
      {"COM1", NameKind::kDevice, Scheme::kRaw, "", "", 0},
      {"\\\\.\\COM21", NameKind::kDevice, Scheme::kRaw, "", "", 0},
      {"socket:/host:1", NameKind::kDevice, Scheme::kRaw, "", "", 0},
      {"rfc2217://host", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
      {"rfc2217://:2217", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
      {"rfc2217://host:0", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
      {"rfc2217://host:65536", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
      {"rfc2217://host:22x", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
      {"socket://::1:4001", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
      {"socket://[::1]4001", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
      {"socket://[]:4001", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
      {"socket://host:1?timeout=", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
      {"socket://host:1?timeout=0", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
      {"socket://host:1?timeout=600001", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
      {"socket://host:1?speed=9600", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
      {"socket://a b:1", NameKind::kMalformed, Scheme::kRaw, "", "", 0},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.text);
    NetworkName name;
    ASSERT_EQ(ParseNetworkName(c.text, name), c.kind);
    if (c.kind != NameKind::kNetwork) continue;
    EXPECT_EQ(name.scheme, c.scheme);
    EXPECT_EQ(name.host, c.host);
    EXPECT_EQ(name.port, c.port);
    EXPECT_EQ(name.timeoutMs, c.timeoutMs);
  }
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

using namespace telnet;
constexpr int kMs = comport::kServerCode;

// What a session made of one server stream.
struct Outcome {
  std::string data, replies;
  ComPortOption comPort = ComPortOption::kAsked;
  uint8_t lineFaults = 0, modem = 0;
  bool suspended = false;
  unsigned baudAnswers = 0;
  std::string baudValue;
  bool operator==(const Outcome& o) const {
    return data == o.data && replies == o.replies && comPort == o.comPort &&
           lineFaults == o.lineFaults && modem == o.modem && suspended == o.suspended &&
           baudAnswers == o.baudAnswers && baudValue == o.baudValue;
  }
};

// A session made of `packets`, having first looked ahead at the first
// `ahead` bytes of the stream, as a port with its data cap reached does.
Outcome Feed(const std::vector<std::string>& packets, size_t ahead = 0) {
  TelnetSession session;
  session.Greeting();
  Outcome out;
  std::string stream;
  for (const std::string& p : packets) stream += p;
  session.LookAhead(stream.data(), std::min(ahead, stream.size()), out.replies);
  for (const std::string& p : packets) session.Receive(p.data(), p.size(), out.data, out.replies);
  out.comPort = session.comPort();
  out.lineFaults = session.TakeLineFaults();
  out.modem = session.modemState();
  out.suspended = session.suspended();
  out.baudAnswers = session.answer(comport::kSetBaudRate).count;
  out.baudValue = session.answer(comport::kSetBaudRate).value;
  return out;
}

struct StreamCase {
  const char* what;
  std::string stream;
  Outcome expected;
};

TEST(TelnetSession, SeparatesDataFromProtocolAtEveryCutOfThePacket) {
  Outcome accepted;
  accepted.comPort = ComPortOption::kAccepted;
  accepted.replies = Bytes({kIac, kDont, 1});  // the server's offer to echo is declined
  Outcome refused;
  refused.comPort = ComPortOption::kRefused;
  refused.data = "raw";
  Outcome interleaved;
  interleaved.data = Bytes({'a', 'b', 'c', 'd', 0xFF, 'e', 0xFF});
  interleaved.lineFaults = comport::kOverrun | comport::kParityError | comport::kFramingError;
  interleaved.modem = 0xB0;
  interleaved.suspended = true;
  Outcome answered;
  answered.data = "xy";
  answered.baudAnswers = 2;
  answered.baudValue = Bytes({0, 0, 0xFF, 0});
  Outcome unknown;
  unknown.data = "ok";
  unknown.replies = Bytes({kIac, kWont, 24, kIac, kDont, 31});

  const StreamCase cases[] = {
      {"the negotiation a serial server sends",
       Bytes({kIac, kWill, 3, kIac, kDo, 3, kIac, kWill, 1, kIac, kDont, 1, kIac, kDo, 0, kIac,
              kWill, 0, kIac, kDo, 44, kIac, kDo, 3, kIac, kSb, 44, kMs + 7, 0, kIac, kSe}),
       accepted},
      {"a server without the serial-port option",
       Bytes({kIac, kDont, 44, kIac, kDo, 0, 'r', 'a', 'w'}), refused},
      {"notifications between data bytes",
       Bytes({'a', 'b', kIac, kSb, 44, kMs + 6, 0x0E | 0x60, kIac, kSe, 'c', kIac, kSb, 44,
              kMs + 7, 0xB0, kIac, kSe, 'd', kIac, kIac, kIac, kSb, 44, kMs + 8, kIac, kSe, 'e',
              kIac, kIac}),
       interleaved},
      {"answers whose values hold 255, and commands that carry nothing",
       Bytes({kIac, kSb, 44, kMs + 1, 0, 0, 0, 1, kIac, kSe, 'x', kIac, 241, kIac, kSb, 44,
              kMs + 1, 0, 0, kIac, kIac, 0, kIac, kSe, 'y'}),
       answered},
      {"options the client does not know",
       Bytes({kIac, kDo, 24, 'o', kIac, kWill, 31, 'k'}), unknown},
  };
  for (const StreamCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Feed({c.stream}), c.expected);
    for (size_t cut = 1; cut < c.stream.size(); ++cut) {
      SCOPED_TRACE("cut at " + std::to_string(cut));
      EXPECT_EQ(Feed({c.stream.substr(0, cut), c.stream.substr(cut)}), c.expected);
      EXPECT_EQ(Feed({c.stream}, cut), c.expected) << "looked ahead at the first bytes";
    }
    std::vector<std::string> single;
    for (char b : c.stream) single.emplace_back(1, b);
    EXPECT_EQ(Feed(single), c.expected) << "one byte per packet";
  }
}

TEST(TelnetSession, ResumeEndsASuspensionAndFaultsAreReportedOnce) {
  TelnetSession session;
  std::string data, replies;
  const std::string stream = Bytes({kIac, kSb, 44, kMs + 8, kIac, kSe, kIac, kSb, 44, kMs + 6,
                                    0x10, kIac, kSe, kIac, kSb, 44, kMs + 9, kIac, kSe});
  session.Receive(stream.data(), stream.size(), data, replies);
  EXPECT_FALSE(session.suspended());
  EXPECT_EQ(session.TakeLineFaults(), comport::kBreakDetected);
  EXPECT_EQ(session.TakeLineFaults(), 0);
}

TEST(TelnetSession, ASubnegotiationLongerThanAnyRealOneFailsTheSession) {
  const size_t longest = TelnetSession::kLongestSubnegotiation;
  const struct {
    size_t length;  // of the subnegotiation, option byte included
    bool ended, failed;
  } cases[] = {{longest, true, false}, {longest + 1, true, true}, {64 << 10, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    std::string stream = Bytes({kIac, kSb, 44, kMs}) + std::string(c.length - 2, 's');
    if (c.ended) stream += Bytes({kIac, kSe});
    stream += "data";
    TelnetSession session;
    std::string data, replies;
    session.Receive(stream.data(), stream.size(), data, replies);
    EXPECT_EQ(session.failed(), c.failed);
    EXPECT_EQ(data, c.failed ? "" : "data");
    EXPECT_LE(session.BytesHeld(), 4 * longest);
  }
}

TEST(TelnetSession, EncodesCommandsAndDataWithEvery255Doubled) {
  TelnetSession session;
  EXPECT_EQ(session.Greeting(), Bytes({kIac, kWill, 0, kIac, kWill, 3, kIac, kWill, 44, kIac, kDo,
                                       0, kIac, kDo, 3}));
  const struct {
    std::string got, expected;
  } cases[] = {
      {TelnetSession::EscapeData("\xFF" "a\xFF\xFF", 4), Bytes({kIac, kIac, 'a', kIac, kIac, kIac, kIac})},
      {TelnetSession::BaudRateCommand(0x0000FF00u),
       Bytes({kIac, kSb, 44, 1, 0, 0, kIac, kIac, 0, kIac, kSe})},
      {TelnetSession::BaudRateCommand(115200), Bytes({kIac, kSb, 44, 1, 0, 1, 0xC2, 0, kIac, kSe})},
      {TelnetSession::ComPortCommand(comport::kPurgeData, comport::kPurgeBoth),
       Bytes({kIac, kSb, 44, 12, 3, kIac, kSe})},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

}  // namespace
}  // namespace vemblaric::transport
