// The network transport through the port layer against scripted servers on
// 127.0.0.1: what a server may do that ser2net does not do on request, and
// the failures of opening.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <iterator>
#include <thread>

#include "network_fixture.h"
#include "support/port_fixture.h"
#include "transport/network_calls.h"
#include "transport/telnet_session.h"

namespace vemblaric {
namespace {

using testing::OpenNamed;
using testing::RealPort;
using testing::ScriptedServer;
namespace telnet = transport::telnet;

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

std::string Same(int, const std::string& value) { return value; }

// A Telnet server's part: `greet` answers the client's first bytes, each
// serial-port command is answered by `answer` (nothing when it returns ""),
// the data of each packet by what `reply` returns (protocol bytes, sent as
// they are; by default the data echoed), and `tick` runs every 20 ms or so.
struct TelnetPart {
  std::string greet = Bytes({telnet::kIac, telnet::kDo, 44});
  std::function<std::string(int code, const std::string& value)> answer = Same;
  std::function<std::string(const std::string& data)> reply = [](const std::string& data) {
    return transport::TelnetSession::EscapeData(data.data(), data.size());
  };
  std::function<void()> tick;
  const std::atomic<bool>* leave = nullptr;
};

// Plays `part` until the client leaves or `leave` is set.
void PlayTelnet(SOCKET s, const TelnetPart& part) {
  bool greeted = false;
  std::string pending;
  for (;;) {
    const int got = testing::ReceiveSome(s, 20, pending);
    if (got < 0 || (part.leave && *part.leave)) return;
    if (part.tick) part.tick();
    if (got == 0) continue;
    if (!greeted) {
      testing::SendText(s, part.greet);
      greeted = true;
    }
    std::string data;
    size_t i = 0;
    while (i < pending.size()) {
      const auto b = static_cast<uint8_t>(pending[i]);
      if (b != telnet::kIac) {
        data += pending[i++];
        continue;
      }
      if (i + 1 >= pending.size()) break;
      const auto verb = static_cast<uint8_t>(pending[i + 1]);
      if (verb == telnet::kIac) {
        data += pending[i];
        i += 2;
      } else if (verb == telnet::kSb) {
        const size_t end = pending.find(Bytes({telnet::kIac, telnet::kSe}), i);
        if (end == std::string::npos) break;
        const int code = static_cast<uint8_t>(pending[i + 3]);
        const std::string reply = part.answer(code, pending.substr(i + 4, end - i - 4));
        if (!reply.empty())
          testing::SendText(s, transport::TelnetSession::ComPortCommand(
                                   static_cast<transport::comport::Command>(code + 100), reply));
        i = end + 2;
      } else {
        if (i + 2 >= pending.size()) break;
        i += 3;
      }
    }
    pending.erase(0, i);
    if (!data.empty()) testing::SendText(s, part.reply(data));
  }
}


// A notification as the server sends it: the command's code plus 100.
std::string FromServer(int command, const std::string& value = {}) {
  return transport::TelnetSession::ComPortCommand(
      static_cast<transport::comport::Command>(command + transport::comport::kServerCode), value);
}

// Waits, bounded, until `flag` is set.
bool WaitFor(const std::atomic<bool>& flag, DWORD ms = 10000) {
  const DWORD start = ::GetTickCount();
  while (!flag && ::GetTickCount() - start < ms) ::Sleep(1);
  return flag;
}

TEST(ScriptedServer, WithoutTheSerialPortOptionSettingsFailVisiblyAndBytesStillPass) {
  ScriptedServer server([](SOCKET s) {
    TelnetPart part;
    part.greet = Bytes({telnet::kIac, telnet::kDont, 44, telnet::kIac, telnet::kDo, 0});
    part.answer = [](int, const std::string&) { return std::string(); };
    PlayTelnet(s, part);
  });
  RealPort a;
  EXPECT_EQ(OpenNamed(a, 1, server.Address("rfc2217")), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(a.port.CommError().strFunction.str(), L"CommOpen (SetCommState)");
  EXPECT_EQ(a.port.CommError().strErrorMessage.str(), testing::SystemMessage(ERROR_NOT_SUPPORTED));
  ASSERT_TRUE(a.port.CommPorts(1).blnPortOpen);
  EXPECT_EQ(a.Write(1, L"as raw bytes"), 12);
  EXPECT_EQ(a.ReadExactly(1, 12, 10000), L"as raw bytes");
  VARIANT_BOOL state = VARIANT_FALSE;
  EXPECT_EQ(a.port.CommGetLine(1, -1, state), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(a.port.CommClose(1), 0);
  EXPECT_EQ(transport::OpenNetworkHandles(), 0u);
}

TEST(ScriptedServer, ASettingTheServerAnswersOtherwiseFailsTheOpenAtSetCommState) {
  // The server's port keeps 300 baud whatever it is asked.
  ScriptedServer server([](SOCKET s) {
    TelnetPart part;
    part.answer = [](int code, const std::string& value) {
      return code == transport::comport::kSetBaudRate ? Bytes({0, 0, 1, 0x2C}) : value;
    };
    PlayTelnet(s, part);
  });
  RealPort a;
  EXPECT_EQ(OpenNamed(a, 1, server.Address("rfc2217")), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(a.port.CommError().strFunction.str(), L"CommOpen (SetCommState)");
  Bstr slow(L"baud=300");
  EXPECT_EQ(a.port.CommSet(1, slow.get()), 0) << "what the server's port has is accepted";
  EXPECT_EQ(a.port.CommClose(1), 0);
}

TEST(ScriptedServer, AWriteWaitsWhileTheServerHasSuspendedSending) {
  constexpr DWORD kPauseMs = 300;
  std::atomic<bool> resumed{false};
  ScriptedServer server([&resumed](SOCKET s) {
    DWORD suspendedAt = 0;
    auto answer = [&](int code, const std::string& value) {
      // Suspended before the open's last setting is answered, so the client
      // knows of it when CommOpen returns.
      if (code == transport::comport::kSetControl && value == std::string(1, '\x01') && !suspendedAt) {
        testing::SendText(s, FromServer(transport::comport::kFlowControlSuspend));
        suspendedAt = ::GetTickCount();
      }
      return value;
    };
    auto tick = [&] {
      if (suspendedAt && !resumed && ::GetTickCount() - suspendedAt >= kPauseMs) {
        resumed = true;  // before the client can hear of it
        testing::SendText(s, FromServer(transport::comport::kFlowControlResume));
      }
    };
    TelnetPart part;
    part.answer = answer;
    part.tick = tick;
    PlayTelnet(s, part);
  });
  RealPort a;
  ASSERT_EQ(OpenNamed(a, 1, server.Address("rfc2217")), 0) << a.port.CommError().strFunction.str();
  EXPECT_EQ(a.Write(1, L"held"), 4);
  EXPECT_TRUE(resumed) << "the write went out while sending was suspended";
  EXPECT_EQ(a.ReadExactly(1, 4, 10000), L"held");
  EXPECT_EQ(a.port.CommClose(1), 0);
}

TEST(ScriptedServer, ASuspendedWriteLetsOtherCallsGoOnAndEndsWhenThePortCloses) {
  ScriptedServer server([](SOCKET s) {
    TelnetPart part;
    part.answer = [&](int code, const std::string& value) {
      if (code == transport::comport::kSetControl)
        testing::SendText(s, FromServer(transport::comport::kFlowControlSuspend));
      return value;
    };
    PlayTelnet(s, part);
  });
  RealPort a;
  ASSERT_EQ(OpenNamed(a, 1, server.Address("rfc2217")), 0) << a.port.CommError().strFunction.str();
  const Kernel32& k = SystemKernel32();
  const HANDLE h = a.Handle(1);
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.WriteTotalTimeoutConstant = 5000;  // bounds the test should the write hold the port
  ASSERT_TRUE(k.SetCommTimeouts(h, &t));
  std::atomic<bool> started{false}, done{false};
  BOOL wrote = TRUE;
  std::thread writer([&] {
    started = true;
    DWORD written = 0;
    wrote = k.WriteFile(h, "held", 4, &written, nullptr);
    done = true;
  });
  ASSERT_TRUE(WaitFor(started));
  for (int i = 0; i < 10 && !done; ++i) {
    DWORD errors = 0;
    COMSTAT stat{};
    EXPECT_TRUE(k.ClearCommError(h, &errors, &stat));
    ::Sleep(10);
  }
  EXPECT_FALSE(done) << "ClearCommError waited for the suspended write";
  EXPECT_EQ(a.port.CommClose(1), 0);
  EXPECT_TRUE(WaitFor(done));
  writer.join();
  EXPECT_FALSE(wrote) << "the write outlived its port";
}

// What the server notifies, and what the port then reports.
struct Notified {
  uint8_t lineState, modemState;
  DWORD errors, modemStatus;
};
constexpr Notified kNotified[] = {
    {0x02, 0x10 | 0x01, CE_OVERRUN, MS_CTS_ON},
    {0x04 | 0x01, 0x20 | 0x02, CE_RXPARITY, MS_DSR_ON},
    {0x08 | 0x60, 0x40 | 0x04, CE_FRAME, MS_RING_ON},
    {0x10, 0x80 | 0x08, CE_BREAK, MS_RLSD_ON},
    {0x1E, 0xF0, CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK,
     MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON},
    {0x60, 0x00, 0, 0},
};

TEST(ScriptedServer, NotificationsBecomeErrorFlagsOnceAndTheModemLines) {
  ScriptedServer server([](SOCKET s) {
    TelnetPart part;
    // Data byte i asks for case i: its two notifications, then one data byte.
    part.reply = [](const std::string& data) {
      std::string out;
      for (char c : data) {
        const Notified& n = kNotified[static_cast<size_t>(c - 'a')];
        out += FromServer(transport::comport::kNotifyLineState, std::string(1, n.lineState)) +
               FromServer(transport::comport::kNotifyModemState, std::string(1, n.modemState)) + "!";
      }
      return out;
    };
    PlayTelnet(s, part);
  });
  RealPort a;
  ASSERT_EQ(OpenNamed(a, 1, server.Address("rfc2217")), 0) << a.port.CommError().strFunction.str();
  const Kernel32& k = SystemKernel32();
  for (size_t i = 0; i < std::size(kNotified); ++i) {
    SCOPED_TRACE(i);
    const Notified& n = kNotified[i];
    ASSERT_EQ(a.Write(1, std::wstring(1, static_cast<wchar_t>('a' + i))), 1);
    // The data byte comes after the notifications, so once it is queued they
    // have been taken; each call reports the faults since the one before.
    DWORD errors = 0, seen = 0;
    COMSTAT stat{};
    const DWORD start = ::GetTickCount();
    do {
      ASSERT_TRUE(k.ClearCommError(a.Handle(1), &errors, &stat));
      seen |= errors;
    } while (stat.cbInQue == 0 && ::GetTickCount() - start < 10000);
    EXPECT_EQ(seen, n.errors);
    ASSERT_TRUE(k.ClearCommError(a.Handle(1), &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(a.ReadExactly(1, 1, 10000), L"!");
    DWORD status = 0;
    ASSERT_TRUE(k.GetCommModemStatus(a.Handle(1), &status));
    EXPECT_EQ(status, n.modemStatus);
    for (const DWORD line : {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON}) {
      VARIANT_BOOL on = VARIANT_FALSE;
      EXPECT_EQ(a.port.CommGetLine(1, static_cast<short>(line), on), 0);
      EXPECT_EQ(on != VARIANT_FALSE, (n.modemStatus & line) != 0) << line;
    }
  }
  EXPECT_EQ(a.port.CommClose(1), 0);
}

// Every byte value in turn, 255 among them: what a device sends, as data.
std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 256);
  return s;
}

// Reads `n` bytes from a network handle, or what came within `ms`.
std::string ReadBytes(HANDLE h, size_t n, DWORD ms = 10000) {
  std::string got;
  const DWORD start = ::GetTickCount();
  while (got.size() < n && ::GetTickCount() - start < ms) {
    char buffer[65536];
    DWORD count = 0;
    const DWORD wanted = static_cast<DWORD>(std::min(n - got.size(), sizeof buffer));
    if (!SystemKernel32().ReadFile(h, buffer, wanted, &count, nullptr)) break;
    got.append(buffer, count);
  }
  return got;
}

constexpr size_t kDataCap = 1 << 20;
// The data cap and a small constant (a chunk, the look-ahead, an unfinished
// subnegotiation).
constexpr size_t kMostHeld = kDataCap + 128 * 1024;

TEST(ScriptedServer, AnEndlessSubnegotiationFailsTheConnectionWithBoundedMemory) {
  const std::string endless = Bytes({telnet::kIac, telnet::kSb, 44, 106}) + std::string(4 << 20, 'x');
  const struct {
    const char* what;
    bool beforeOpen;
  } cases[] = {{"before the open", true}, {"after the open", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer server([&](SOCKET s) {
      TelnetPart part;
      if (c.beforeOpen) part.greet = endless;
      else part.reply = [&](const std::string&) { return endless; };
      PlayTelnet(s, part);
    });
    RealPort a;
    const long opened = OpenNamed(a, 1, server.Address("rfc2217"));
    if (c.beforeOpen) {
      EXPECT_EQ(opened, ERROR_INVALID_DATA);
      EXPECT_EQ(a.port.CommError().strFunction.str(), L"CommOpen (CreateFile)");
      EXPECT_EQ(a.port.CommError().strErrorMessage.str(), testing::SystemMessage(ERROR_INVALID_DATA));
      continue;
    }
    ASSERT_EQ(opened, 0);
    ASSERT_EQ(a.Write(1, L"go"), 2);
    Bstr data;
    long n = 0;
    size_t mostHeld = 0;
    const DWORD start = ::GetTickCount();
    while ((n = a.port.CommRead(1, *data.put(), 0)) == 0 && ::GetTickCount() - start < 10000)
      mostHeld = std::max(mostHeld, transport::NetworkBytesHeld(a.Handle(1)));
    EXPECT_EQ(n, -1);
    EXPECT_EQ(a.port.CommError().lngErrorCode, ERROR_INVALID_DATA);
    EXPECT_LE(mostHeld, kMostHeld);
    EXPECT_EQ(a.port.CommClose(1), 0);
  }
}

// The server sends a flood of data past the port's cap with its protocol
// behind it; the client reads none of it until the call is done.
TEST(ScriptedServer, ProtocolBehindUnreadDataIsStillSeen) {
  const std::string flood = Pattern(kDataCap + 16 * 1024);
  const std::string escaped = transport::TelnetSession::EscapeData(flood.data(), flood.size());
  const Kernel32& k = SystemKernel32();
  const struct {
    const char* what;
    bool suspends;
    std::function<bool(RealPort&)> call;
  } cases[] = {
      {"a suspended write goes out once resumed", true,
       [&](RealPort& a) {
         COMMTIMEOUTS t{};
         t.ReadIntervalTimeout = MAXDWORD;
         t.ReadTotalTimeoutConstant = 1000;
         t.WriteTotalTimeoutConstant = 5000;
         DWORD written = 0;
         return k.SetCommTimeouts(a.Handle(1), &t) &&
                k.WriteFile(a.Handle(1), "held", 4, &written, nullptr) && written == 4;
       }},
      {"a setting is answered", false,
       [](RealPort& a) {
         Bstr slow(L"baud=4800");
         return a.port.CommSet(1, slow.get()) == 0;
       }},
      {"a transmit purge is answered", false,
       [&](RealPort& a) { return k.PurgeComm(a.Handle(1), PURGE_TXCLEAR) != FALSE; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer server([&](SOCKET s) {
      TelnetPart part;
      part.reply = [&](const std::string& data) {
        if (data != "s" && data != "d") return data;
        std::string out;
        if (data == "s") out += FromServer(transport::comport::kFlowControlSuspend);
        out += escaped;
        if (data == "s") out += FromServer(transport::comport::kFlowControlResume);
        return out;
      };
      PlayTelnet(s, part);
    });
    RealPort a;
    ASSERT_EQ(OpenNamed(a, 1, server.Address("rfc2217")), 0) << a.port.CommError().strFunction.str();
    ASSERT_EQ(a.Write(1, c.suspends ? L"s" : L"d"), 1);
    ASSERT_TRUE(testing::WaitQueuedNet(a, 1, static_cast<DWORD>(kDataCap)));
    EXPECT_TRUE(c.call(a));
    EXPECT_LE(transport::NetworkBytesHeld(a.Handle(1)), kMostHeld);
    EXPECT_TRUE(ReadBytes(a.Handle(1), flood.size()) == flood) << "the data came through whole";
    if (c.suspends) EXPECT_EQ(ReadBytes(a.Handle(1), 4), "held");
    EXPECT_EQ(a.port.CommClose(1), 0);
  }
}

TEST(ScriptedServer, AWriteCutOffByItsDeadlineLeavesNoHalfOfADoubled255) {
  // With and without a byte before them, so that the doubled 255s start at
  // either parity of the stream wherever the deadline cuts it.
  for (const std::string prefix : {"", "x"}) {
    SCOPED_TRACE("prefix \"" + prefix + "\"");
    std::atomic<bool> hold{false}, holding{false}, ended{false};
    std::string received;
    ScriptedServer server([&](SOCKET s) {
      TelnetPart part;
      part.reply = [&](const std::string& data) {
        received += data;
        if (received.size() >= 3 && received.compare(received.size() - 3, 3, "end") == 0)
          ended = true;
        return std::string();
      };
      // While held, the server reads nothing, so the client's write fills
      // the connection and runs into its deadline.
      part.tick = [&] {
        holding = hold.load();
        const DWORD start = ::GetTickCount();
        while (hold && ::GetTickCount() - start < 10000) ::Sleep(1);
        holding = false;
      };
      PlayTelnet(s, part);
    });
    struct Release {
      std::atomic<bool>& hold;
      ~Release() { hold = false; }
    } release{hold};  // a failed check lets the server go before it is joined
    RealPort a;
    ASSERT_EQ(OpenNamed(a, 1, server.Address("rfc2217")), 0) << a.port.CommError().strFunction.str();
    const Kernel32& k = SystemKernel32();
    const HANDLE h = a.Handle(1);
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.WriteTotalTimeoutConstant = 300;
    ASSERT_TRUE(k.SetCommTimeouts(h, &t));
    hold = true;
    ASSERT_TRUE(WaitFor(holding));
    const std::string source = prefix + std::string(16 << 20, '\xFF');
    DWORD written = 0;
    ASSERT_TRUE(k.WriteFile(h, source.data(), static_cast<DWORD>(source.size()), &written, nullptr));
    ASSERT_LT(written, source.size()) << "the deadline cut the write";
    hold = false;
    t.WriteTotalTimeoutConstant = 10000;
    ASSERT_TRUE(k.SetCommTimeouts(h, &t));
    DWORD endWritten = 0;
    ASSERT_TRUE(k.WriteFile(h, "end", 3, &endWritten, nullptr));
    ASSERT_EQ(endWritten, 3u);
    ASSERT_TRUE(WaitFor(ended)) << "a lone 255 made the server take \"end\" for a command";
    EXPECT_TRUE(received == source.substr(0, written) + "end")
        << "received " << received.size() << " bytes for " << written;
    EXPECT_EQ(a.port.CommClose(1), 0);
  }
}

TEST(ScriptedServer, AnAnswerToTheLastCallsLinesIsNotTakenForThisCallsAnswer) {
  // The lines' answers arrive after the open, unread; this call's flow
  // control answer comes in a packet of its own after the other settings'.
  std::atomic<int> linesAnswered{0};
  ScriptedServer server([&](SOCKET s) {
    std::string heldFlow;
    DWORD heldAt = 0;
    TelnetPart part;
    part.answer = [&](int code, const std::string& value) {
      if (code != transport::comport::kSetControl) return value;
      if (static_cast<uint8_t>(value[0]) >= transport::comport::kDtrOn) {
        testing::SendText(s, FromServer(code, value));
        ++linesAnswered;
      } else {
        heldFlow = value;
        heldAt = ::GetTickCount();
      }
      return std::string();
    };
    part.tick = [&] {
      if (heldFlow.empty() || ::GetTickCount() - heldAt < 100) return;
      testing::SendText(s, FromServer(transport::comport::kSetControl, heldFlow));
      heldFlow.clear();
    };
    PlayTelnet(s, part);
  });
  RealPort a;
  const std::wstring settings = L"baud=9600 parity=N data=8 stop=1 dtr=on rts=on";
  ASSERT_EQ(OpenNamed(a, 1, server.Address("rfc2217"), settings), 0)
      << a.port.CommError().strFunction.str();
  const DWORD start = ::GetTickCount();
  while (linesAnswered < 2 && ::GetTickCount() - start < 10000) ::Sleep(1);
  ASSERT_EQ(linesAnswered, 2);
  Bstr again(L"baud=4800 parity=N data=8 stop=1 dtr=on rts=on");
  EXPECT_EQ(a.port.CommSet(1, again.get()), 0) << a.port.CommError().strFunction.str();
  EXPECT_EQ(a.port.CommClose(1), 0);
}

TEST(ScriptedServer, AFaultNotifiedJustBeforeTheServerLeavesIsStillReportedOnce) {
  std::atomic<bool> leave{false}, gone{false};
  ScriptedServer server([&](SOCKET s) {
    TelnetPart part;
    part.reply = [&](const std::string&) {
      testing::SendText(s, FromServer(transport::comport::kNotifyLineState,
                                      std::string(1, transport::comport::kBreakDetected)));
      leave = true;
      return std::string();
    };
    part.leave = &leave;
    PlayTelnet(s, part);
    ::shutdown(s, SD_SEND);
    gone = true;
  });
  RealPort a;
  ASSERT_EQ(OpenNamed(a, 1, server.Address("rfc2217")), 0) << a.port.CommError().strFunction.str();
  ASSERT_EQ(a.Write(1, L"x"), 1);
  ASSERT_TRUE(WaitFor(gone));
  const Kernel32& k = SystemKernel32();
  DWORD errors = 0;
  COMSTAT stat{};
  ASSERT_TRUE(k.ClearCommError(a.Handle(1), &errors, &stat));
  EXPECT_EQ(errors, static_cast<DWORD>(CE_BREAK));
  EXPECT_FALSE(k.ClearCommError(a.Handle(1), &errors, &stat));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  EXPECT_EQ(a.port.CommClose(1), 0);
}

TEST(ScriptedServer, AServerThatGoesAwayFailsTheNextReadAndWriteAtOnce) {
  for (const char* scheme : {"socket", "rfc2217"}) {
    SCOPED_TRACE(scheme);
    const std::string greet =
        std::string(scheme) == "rfc2217" ? Bytes({telnet::kIac, telnet::kDo, 44}) : "";
    std::atomic<bool> leave{false};
    ScriptedServer server([&](SOCKET s) {
      TelnetPart part;
      part.greet = greet;
      part.leave = &leave;
      PlayTelnet(s, part);
    });
    RealPort a;
    ASSERT_EQ(OpenNamed(a, 1, server.Address(scheme)), 0) << a.port.CommError().strFunction.str();
    ASSERT_EQ(a.Write(1, L"ping"), 4);
    ASSERT_EQ(a.ReadExactly(1, 4, 10000), L"ping");
    leave = true;
    const DWORD start = ::GetTickCount();
    Bstr data;
    long n = 0;
    while ((n = a.port.CommRead(1, *data.put(), 0)) == 0 && ::GetTickCount() - start < 10000)
      ::Sleep(10);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(a.port.CommError().strFunction.str(), L"CommRead (ClearCommError)");
    EXPECT_EQ(a.port.CommError().lngErrorCode, ERROR_BROKEN_PIPE);
    EXPECT_EQ(a.Write(1, L"again"), -1);
    EXPECT_EQ(a.port.CommError().strFunction.str(), L"CommWrite (WriteFile)");
    EXPECT_EQ(a.port.CommClose(1), 0);
  }
}

TEST(ScriptedServer, OpeningFailsAtCreateFileWithTheSystemsSocketError) {
  testing::Winsock winsock;
  // A port that nobody listens on: one the system just gave out and took back.
  SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::closesocket(probe);
  const std::string closed = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  const struct {
    std::string name;
    long code;
  } cases[] = {
      {"rfc2217://" + closed, WSAECONNREFUSED},
      {"socket://" + closed + "?timeout=2000", WSAECONNREFUSED},
      {"rfc2217://no-such-host.invalid:2217", WSAHOST_NOT_FOUND},
      {"socket://127.0.0.1", ERROR_INVALID_NAME},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RealPort a;
    EXPECT_EQ(OpenNamed(a, 2, c.name), c.code);
    EXPECT_EQ(a.port.CommError().strFunction.str(), L"CommOpen (CreateFile)");
    EXPECT_EQ(a.port.CommError().strErrorMessage.str(), testing::SystemMessage(c.code));
    EXPECT_FALSE(a.port.CommPorts(2).blnPortOpen);
    EXPECT_EQ(a.port.CommPorts(2).hPort, -1);
  }
  EXPECT_EQ(transport::OpenNetworkHandles(), 0u);
}

}  // namespace
}  // namespace vemblaric
