// The control on the null-modem bench: COM1 <-> COM2 are the two ends of one
// cable. Every wait is bounded by a deadline, so a fault fails instead of hanging.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>

#include "control/module1.h"
#include "control/serial_control.h"
#include "port/port_layer.h"
#include "support/counting_pump.h"
#include "support/fake_host_site.h"

namespace vemblaric {
namespace {

using testing::FakeHostSite;
using testing::Text;

constexpr ULONGLONG kDeadlineMs = 60000;

Bstr MakeBstr(const std::wstring& text) {
  return Bstr(text.c_str(), static_cast<UINT>(text.size()));
}

std::wstring Buffer(SerialControl& control) {
  BSTR b = nullptr;
  EXPECT_EQ(control.get_Buffer(&b), S_OK);
  return Text(Bstr::Adopt(b).get());
}

bool Status(SerialControl& control) {
  VARIANT_BOOL s = 0;
  EXPECT_EQ(control.get_Status(&s), S_OK);
  return s != 0;
}

// Polls with Read_Com until `count` characters have come, gathering the
// Buffer of every read that brought text.
std::wstring ReadAll(SerialControl& control, size_t count) {
  std::wstring got;
  const ULONGLONG end = ::GetTickCount64() + kDeadlineMs;
  while (got.size() < count && ::GetTickCount64() < end) {
    EXPECT_EQ(control.Read_Com(), S_OK);
    if (Module1().lngStatus > 0) got += Buffer(control);
    EXPECT_GE(Module1().lngStatus, 0);
  }
  return got;
}

// Letters from `a` or `A`, starting `offset` letters in.
std::wstring Pattern(wchar_t a, size_t offset, size_t count) {
  std::wstring text;
  for (size_t i = 0; i < count; ++i) text += static_cast<wchar_t>(a + (offset + i) % 26);
  return text;
}

class BenchTest : public ::testing::Test {
 protected:
  BenchTest() { Module1() = Module1State(); }
  ~BenchTest() override { Module1() = Module1State(); }
};

TEST_F(BenchTest, TwoControlsExchangeTextsBothWaysAndDataSentFiresOncePerWrite) {
  FakeHostSite hostA, hostB;
  SerialControl a(hostA), b(hostB);
  ASSERT_EQ(a.put_Port(1), S_OK);
  ASSERT_EQ(b.put_Port(2), S_OK);
  ASSERT_EQ(a.Open_Com(), S_OK);
  ASSERT_TRUE(Status(a)) << "COM1 did not open; is the bench running?";
  ASSERT_EQ(b.Open_Com(), S_OK);
  ASSERT_TRUE(Status(b)) << "COM2 did not open";

  // Texts of at least the read size: a read then waits for nothing but them.
  const std::wstring there = Pattern(L'a', 0, 100), back = Pattern(L'A', 3, 70);
  const std::wstring again = L"0123456789" + Pattern(L'a', 10, 60);

  ASSERT_EQ(a.Write_Com(MakeBstr(there).get()), S_OK);
  EXPECT_TRUE(Status(a));
  EXPECT_EQ(ReadAll(b, there.size()), there);
  EXPECT_TRUE(Status(b));

  ASSERT_EQ(b.Write_Com(MakeBstr(back).get()), S_OK);
  EXPECT_EQ(ReadAll(a, back.size()), back);
  ASSERT_EQ(a.Write_Com(MakeBstr(again).get()), S_OK);
  EXPECT_EQ(ReadAll(b, again.size()), again);

  // DataSent only: without a sink no loop ran to raise DataArrived.
  ASSERT_EQ(hostA.raised.size(), 2u);
  EXPECT_EQ(hostA.raised[0].event, kDataSent);
  EXPECT_EQ(hostA.raised[0].text, there);
  EXPECT_EQ(hostA.raised[1].event, kDataSent);
  EXPECT_EQ(hostA.raised[1].text, again);
  ASSERT_EQ(hostB.raised.size(), 1u);
  EXPECT_EQ(hostB.raised[0].event, kDataSent);
  EXPECT_EQ(hostB.raised[0].text, back);

  EXPECT_EQ(a.Close_Com(), S_OK);
  EXPECT_EQ(b.Close_Com(), S_OK);
  EXPECT_FALSE(a.Ports().CommPorts(1).blnPortOpen);
  EXPECT_FALSE(b.Ports().CommPorts(2).blnPortOpen);
}

// 256 KiB of numbered eight-byte records, so a gap, a repeat or a swap shows.
std::string StreamData() {
  std::string data;
  char record[16];
  for (unsigned i = 0; data.size() < 256 * 1024; ++i) {
    std::snprintf(record, sizeof record, "%07u\n", i);
    data += record;
  }
  data.resize(256 * 1024);
  return data;
}

TEST_F(BenchTest, AStreamFromThePeerArrivesWholeAndInOrderThroughDataArrived) {
  const std::string data = StreamData();
  HANDLE portOpen = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(portOpen, nullptr);

  // The peer end writes chunks of varying size once the control's port is
  // open (opening purges what came before).
  std::string peerFailure;
  std::thread peer([&] {
    if (::WaitForSingleObject(portOpen, static_cast<DWORD>(kDeadlineMs)) != WAIT_OBJECT_0) {
      peerFailure = "the control never opened its port";
      return;
    }
    testing::CountingPump pump;
    PortLayer port(SystemKernel32(), pump);
    Bstr name = MakeBstr(L"COM1"), settings = MakeBstr(L"baud=57600 parity=N data=8 stop=1");
    if (port.CommOpen(1, name.get(), settings.get()) != 0) {
      peerFailure = "COM1 did not open";
      return;
    }
    const size_t sizes[] = {1, 7, 64, 500, 1023, 1024, 1500, 4096, 3, 2000};
    size_t at = 0;
    for (size_t i = 0; at < data.size(); ++i) {
      const size_t n = std::min(sizes[i % (sizeof sizes / sizeof sizes[0])], data.size() - at);
      std::wstring chunk(data.begin() + static_cast<std::ptrdiff_t>(at),
                         data.begin() + static_cast<std::ptrdiff_t>(at + n));
      BSTR text = MakeBstr(chunk).release();
      const long written = port.CommWrite(1, text);
      ::SysFreeString(text);
      if (written != static_cast<long>(n)) {
        peerFailure = "short write at " + std::to_string(at);
        return;
      }
      at += n;
    }
  });

  FakeHostSite host;
  SerialControl control(host);
  ASSERT_EQ(control.put_Port(2), S_OK);
  host.sinks = true;
  host.pumpLimit = 1000000;
  std::wstring received;
  int arrivals = 0;
  bool timedOut = false;
  const ULONGLONG end = ::GetTickCount64() + kDeadlineMs;
  host.onPump = [&](int n) {
    if (n == 1) ::SetEvent(portOpen);
    if (::GetTickCount64() > end) {
      timedOut = true;
      control.StopLoop();
    }
    return false;
  };
  host.onEvent = [&](ControlEvent event, BSTR& bufferstr) {
    ASSERT_EQ(event, kDataArrived);
    ++arrivals;
    received += Text(bufferstr);
    if (received.size() >= data.size()) EXPECT_EQ(control.Close_Com(), S_OK);
  };

  EXPECT_EQ(control.Open_Com(), S_OK);
  ::SetEvent(portOpen);  // in case the open failed, so the peer does not wait in vain
  peer.join();
  ::CloseHandle(portOpen);

  EXPECT_EQ(peerFailure, "");
  EXPECT_FALSE(timedOut) << received.size() << " of " << data.size() << " characters came";
  ASSERT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == std::wstring(data.begin(), data.end())) << "out of order or altered";
  EXPECT_GT(arrivals, 1);
  EXPECT_FALSE(control.Ports().CommPorts(2).blnPortOpen) << "closed by the handler";
}

}  // namespace
}  // namespace vemblaric
