// The control on the null-modem bench: COM1 <-> COM2 are the two ends of one
// cable. Every wait is bounded by a deadline, so a fault fails instead of hanging.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>

#include "control/module1.h"
#include "control/serial_control.h"
#include "port/port_layer.h"
#include "support/counting_pump.h"
#include "support/nullmodem.h"
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
    if (Module1()->lngStatus > 0) got += Buffer(control);
    EXPECT_GE(Module1()->lngStatus, 0);
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
  BenchTest() { *Module1() = Module1State(); }
  ~BenchTest() override { *Module1() = Module1State(); }
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

// Numbered 40-byte lines tagged by stream, so a gap, a repeat or a swap shows.
std::wstring Lines(wchar_t tag, unsigned first, unsigned count) {
  std::wstring out;
  wchar_t line[48];
  for (unsigned i = first; i < first + count; ++i) {
    std::swprintf(line, 48, L"%lc%07u abcdefghijklmnopqrstuvwxyz0123\n", tag, i);
    out += line;
  }
  return out;
}

// The far end of one cable: once `start` is set, writes `first` seven lines at
// a time; then, if there is a `second`, waits for `between` and writes it.
class Peer {
 public:
  Peer(short id, std::wstring first, HANDLE start, std::wstring second, HANDLE between)
      : thread_([=] {
          testing::RealPort end;
          if (end.Open(id) != 0) failure = "the peer's port did not open";
          else if (Send(end, id, first, start)) Send(end, id, second, between);
        }) {}
  ~Peer() { thread_.join(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  std::string failure;

 private:
  bool Send(testing::RealPort& end, short id, const std::wstring& data, HANDLE when) {
    if (data.empty()) return true;
    if (::WaitForSingleObject(when, static_cast<DWORD>(kDeadlineMs)) != WAIT_OBJECT_0) {
      failure = "never told to send";
      return false;
    }
    for (size_t at = 0; at < data.size(); at += 7 * 40) {
      const std::wstring chunk = data.substr(at, 7 * 40);
      if (end.Write(id, chunk) != static_cast<long>(chunk.size())) {
        failure = "short write at " + std::to_string(at);
        return false;
      }
    }
    return true;
  }

  std::thread thread_;
};

// Two devices on one form: A on COM1 runs the loop, B on COM3 joins it (from
// A's pump, as a timer would, or from A's handler, as a button would). Each
// control closes from its own handler once its whole stream has come; the
// stream of the one that closes second goes on after the first has closed.
TEST_F(BenchTest, TwoControlsOnOneThreadEachGetTheirOwnStreamWholeThroughOneLoop) {
  struct Case {
    const char* name;
    bool openBFromHandler;
    bool bClosesFirst;
  };
  const Case cases[] = {
      {"B opened from A's pump, B closes first", false, true},
      {"B opened from A's handler, B closes first", true, true},
      {"B opened from A's pump, A closes first", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE openA = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE openB = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE firstClosed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(openA && openB && firstClosed);
    const std::wstring firstA = Lines(L'A', 0, 400), firstB = Lines(L'B', 0, 400);
    const std::wstring laterA = c.bClosesFirst ? Lines(L'A', 400, 400) : L"";
    const std::wstring laterB = c.bClosesFirst ? L"" : Lines(L'B', 400, 400);

    FakeHostSite hostA, hostB;
    SerialControl a(hostA), b(hostB);
    ASSERT_EQ(a.put_Port(1), S_OK);
    ASSERT_EQ(b.put_Port(3), S_OK);
    hostA.sinks = hostB.sinks = true;
    hostA.pumpLimit = hostB.pumpLimit = 1000000;
    std::wstring gotA, gotB;
    bool bOpened = false, timedOut = false;
    int eventsAfterClose = 0;
    const auto openB_ = [&] {
      if (bOpened) return;
      bOpened = true;
      EXPECT_EQ(b.Open_Com(), S_OK) << "B joins and returns at once";
      EXPECT_TRUE(Status(b)) << "COM3 did not open";
      ::SetEvent(openB);
    };
    const ULONGLONG end = ::GetTickCount64() + kDeadlineMs;
    hostA.onPump = [&](int) {
      ::SetEvent(openA);
      if (!c.openBFromHandler) openB_();
      if (::GetTickCount64() > end) {
        timedOut = true;
        a.StopLoop();
        b.StopLoop();
      }
      return false;
    };
    // Each handler closes its control once its whole stream has come.
    const auto arrived = [&](SerialControl& control, std::wstring& got, const std::wstring& all,
                             bool first) {
      return [&, all, first](ControlEvent event, BSTR& bufferstr) {
        ASSERT_EQ(event, kDataArrived);
        if (got.size() >= all.size()) ++eventsAfterClose;
        got += Text(bufferstr);
        if (&control == &a && c.openBFromHandler) openB_();
        if (got.size() < all.size()) return;
        EXPECT_EQ(control.Close_Com(), S_OK);
        if (first) ::SetEvent(firstClosed);
      };
    };
    const std::wstring allA = firstA + laterA, allB = firstB + laterB;
    hostA.onEvent = arrived(a, gotA, allA, !c.bClosesFirst);
    hostB.onEvent = arrived(b, gotB, allB, c.bClosesFirst);
    {
      Peer peerA(2, firstA, openA, laterA, firstClosed);
      Peer peerB(4, firstB, openB, laterB, firstClosed);
      EXPECT_EQ(a.Open_Com(), S_OK);
      EXPECT_TRUE(Status(a)) << "COM1 did not open; is the bench running?";
      // So that no peer waits in vain when something failed.
      for (HANDLE h : {openA, openB, firstClosed}) ::SetEvent(h);
      EXPECT_EQ(peerA.failure, "");
      EXPECT_EQ(peerB.failure, "");
    }
    for (HANDLE h : {openA, openB, firstClosed}) ::CloseHandle(h);
    EXPECT_FALSE(timedOut) << gotA.size() << " and " << gotB.size() << " characters came";
    EXPECT_TRUE(gotA == allA) << "A's stream altered";
    EXPECT_TRUE(gotB == allB) << "B's stream altered";
    EXPECT_EQ(eventsAfterClose, 0);
    EXPECT_FALSE(a.Ports().CommPorts(1).blnPortOpen);
    EXPECT_FALSE(b.Ports().CommPorts(3).blnPortOpen);
    EXPECT_TRUE(Module1()->listeners.empty());
  }
}

}  // namespace
}  // namespace vemblaric
