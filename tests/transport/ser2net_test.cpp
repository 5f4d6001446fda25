// The port layer on ports that ser2net serves on 127.0.0.1: the bench's com32
// behind a Telnet accepter with the serial-port control option and com34
// behind a raw TCP accepter, with the test playing each device on its pair's
// other end, COM31 and COM33. What the server's port was set to is read back
// with `stty`.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "network_fixture.h"
#include "ser2net_bench.h"
#include "transport/network_calls.h"

namespace vemblaric {
namespace {

using testing::OpenNamed;
using testing::RealPort;

using testing::BenchFile;
using testing::Has;
using testing::ReadFile;
using testing::ServedSettings;

const char kTelnetDevice[] = "\\\\.\\COM31";
const char kRawDevice[] = "\\\\.\\COM33";

class Ser2net : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::Ser2netAddresses(rfc2217, raw)) << "no ser2net ports; is the bench running?";
  }
  void TearDown() override { EXPECT_EQ(transport::OpenNetworkHandles(), 0u); }

  static std::wstring ErrorLine(RealPort& p) {
    Bstr line;
    p.port.CommGetError(*line.put());
    return line.str();
  }

  std::string rfc2217, raw;
};

TEST_F(Ser2net, SettingsReachTheServersPortOverTelnetAndStayLocalOverRawTcp) {
  RealPort a;
  ASSERT_EQ(OpenNamed(a, 1, rfc2217, L"baud=19200 parity=N data=8 stop=2"), 0) << ErrorLine(a);
  const struct {
    const wchar_t* settings;  // "" for the open's own
    std::vector<std::string> words;
  } steps[] = {
      {L"", {"19200", "cstopb", "-crtscts"}},
      {L"baud=57600 parity=N data=8 stop=1 octs=on", {"57600", "-cstopb", "crtscts"}},
      {L"baud=4800 octs=off", {"4800", "-cstopb", "-crtscts"}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(testing::Wide("") + step.settings);
    if (*step.settings) {
      Bstr s(step.settings);
      ASSERT_EQ(a.port.CommSet(1, s.get()), 0) << ErrorLine(a);
    }
    const std::string seen = ServedSettings("com32");
    for (const std::string& word : step.words) EXPECT_TRUE(Has(seen, word)) << word << " in\n" << seen;
  }
  EXPECT_EQ(a.port.CommClose(1), 0);

  // Raw TCP sends no settings: the port keeps them, the server's port keeps its own.
  ASSERT_EQ(OpenNamed(a, 1, raw, L"baud=19200 parity=N data=8 stop=2"), 0) << ErrorLine(a);
  DCB dcb{};
  ASSERT_TRUE(SystemKernel32().GetCommState(a.Handle(1), &dcb));
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_FALSE(Has(ServedSettings("com34"), "19200"));
  EXPECT_EQ(a.port.CommClose(1), 0);
}

std::wstring AllByteValues() {
  char bytes[256];
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<char>(i);
  return FromAnsi(bytes, 256);
}

TEST_F(Ser2net, EveryByteValuePassesBothWaysAndAFlushDiscardsWhatWaited) {
  const std::wstring all = AllByteValues();
  ASSERT_EQ(all.size(), 256u);
  const struct {
    std::string address;
    const char* device;
  } cases[] = {{rfc2217, kTelnetDevice}, {raw, kRawDevice}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    RealPort device, net;
    ASSERT_EQ(OpenNamed(device, 1, c.device), 0) << ErrorLine(device);
    ASSERT_EQ(OpenNamed(net, 1, c.address), 0) << ErrorLine(net);
    // Towards the device first: once it has arrived, the server has the port open.
    EXPECT_EQ(net.Write(1, all), 256);
    EXPECT_EQ(device.ReadExactly(1, 256), all);
    EXPECT_EQ(device.Write(1, all), 256);
    EXPECT_EQ(net.ReadExactly(1, 256), all);

    ASSERT_EQ(device.Write(1, L"stale bytes"), 11);
    ASSERT_TRUE(testing::WaitQueuedNet(net, 1, 11));
    EXPECT_EQ(net.port.CommFlush(1), 0) << ErrorLine(net);
    Bstr data;
    EXPECT_EQ(net.port.CommRead(1, *data.put(), 0), 0);
    ASSERT_EQ(device.Write(1, L"fresh"), 5);
    EXPECT_EQ(net.ReadExactly(1, 5), L"fresh");

    EXPECT_EQ(net.port.CommClose(1), 0);
    EXPECT_EQ(device.port.CommClose(1), 0);
  }
}

TEST_F(Ser2net, ModemLinesTravelOverTelnetOnlyAndRawTcpSaysItHasNone) {
  const struct {
    std::string address;
    long result;
  } cases[] = {{rfc2217, 0}, {raw, ERROR_NOT_SUPPORTED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    RealPort a;
    ASSERT_EQ(OpenNamed(a, 1, c.address), 0) << ErrorLine(a);
    VARIANT_BOOL state = VARIANT_TRUE;
    EXPECT_EQ(a.port.CommSetLine(1, 2, VARIANT_TRUE), c.result) << ErrorLine(a);
    EXPECT_EQ(a.port.CommGetLine(1, -1, state), c.result) << ErrorLine(a);
    // A pty has no lines: the server reports them all clear.
    if (c.result == 0) EXPECT_EQ(state, VARIANT_FALSE);
    EXPECT_EQ(a.port.CommClose(1), 0);
  }
}

TEST_F(Ser2net, AConnectionTheServerDropsFailsItsNextReadsAndTheNewOneWorks) {
  // A second client takes the port over (kickolduser), and ser2net ends the
  // first connection.
  const struct {
    std::string address;
    const char* device;
  } cases[] = {{rfc2217, kTelnetDevice}, {raw, kRawDevice}};
  for (const auto& c : cases) {
    const std::string& address = c.address;
    SCOPED_TRACE(address);
    RealPort device, first, second;
    ASSERT_EQ(OpenNamed(device, 1, c.device), 0) << ErrorLine(device);
    ASSERT_EQ(OpenNamed(first, 1, address), 0) << ErrorLine(first);
    ASSERT_EQ(OpenNamed(second, 1, address), 0) << ErrorLine(second);
    const DWORD start = ::GetTickCount();
    long n = 0;
    while (n >= 0 && ::GetTickCount() - start < 10000) {
      Bstr data;
      if ((n = first.port.CommRead(1, *data.put(), 0)) == 0) ::Sleep(10);
    }
    EXPECT_EQ(n, -1);
    EXPECT_EQ(first.port.CommError().strFunction.str(), L"CommRead (ClearCommError)") << ErrorLine(first);
    EXPECT_EQ(second.Write(1, L"still here"), 10) << ErrorLine(second);
    EXPECT_EQ(device.ReadExactly(1, 10), L"still here");
    EXPECT_EQ(first.port.CommClose(1), 0);
    EXPECT_EQ(second.port.CommClose(1), 0);
  }
}

}  // namespace
}  // namespace vemblaric
