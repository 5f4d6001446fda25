// The control in an ANSI code page whose characters can take more than a
// byte: a write is whole when every byte of the text's conversion went out,
// and DataArrived never splits a character. Run twice, under a Japanese locale
// (code page 932) and a Unicode-only one (65001), on COM3 <-> COM4 of the bench.
#include <gtest/gtest.h>

#include <windows.h>

#include "control/module1.h"
#include "control/serial_control.h"
#include "support/code_pages.h"
#include "support/fake_host_site.h"
#include "support/nullmodem.h"

namespace vemblaric {
namespace {

using testing::FakeHostSite;

TEST(MultiByteCodePage, AWholeWriteIsJudgedByItsByteLength) {
  const testing::CodePageTexts* cp = testing::ThisCodePage();
  ASSERT_NE(cp, nullptr) << testing::kCodePageHelp;
  const long bytes = static_cast<long>(cp->sampleBytes);
  FakeHostSite hostA, hostB;
  SerialControl a(hostA), b(hostB);
  ASSERT_EQ(a.put_Port(3), S_OK);
  ASSERT_EQ(b.put_Port(4), S_OK);
  ASSERT_EQ(a.Open_Com(), S_OK);
  ASSERT_EQ(b.Open_Com(), S_OK);

  const std::wstring text = L"\u65e5\u672c\u8a9e abc";  // 7 characters
  Bstr data(text.c_str(), static_cast<UINT>(text.size()));
  ASSERT_EQ(a.Write_Com(data.get()), S_OK);
  EXPECT_EQ(Module1()->lngWriteLength, bytes);
  EXPECT_EQ(Module1()->lngStatus, bytes);
  ASSERT_EQ(hostA.raised.size(), 1u) << "DataSent for the whole write";
  EXPECT_EQ(hostA.raised[0].text, text);
  VARIANT_BOOL status = 0;
  ASSERT_EQ(a.get_Status(&status), S_OK);
  EXPECT_EQ(status, VARIANT_TRUE);

  // Fewer bytes than the read size: the read waits its second for more.
  std::wstring got;
  const ULONGLONG end = ::GetTickCount64() + 20000;
  while (got.size() < text.size() && ::GetTickCount64() < end) {
    ASSERT_EQ(b.Read_Com(), S_OK);
    if (Module1()->lngStatus > 0) {
      BSTR buffer = nullptr;
      ASSERT_EQ(b.get_Buffer(&buffer), S_OK);
      got += testing::Text(Bstr::Adopt(buffer).get());
    }
  }
  EXPECT_EQ(got, text);
  EXPECT_EQ(a.Close_Com(), S_OK);
  EXPECT_EQ(b.Close_Com(), S_OK);
}

// The peer writes the text in two pieces, the second once the loop has read
// the first, so the control's reads split it exactly there. Each piece holds
// at least a read's 64 bytes, so no read waits out its second.
TEST(MultiByteCodePage, DataArrivedGivesTheTextWholeWhereverItWasSplit) {
  const testing::CodePageTexts* cp = testing::ThisCodePage();
  ASSERT_NE(cp, nullptr) << testing::kCodePageHelp;
  const std::wstring padding(64, L'.'), mixed = cp->mixed;
  const std::wstring text = padding + mixed + padding;
  const std::string bytes = ToAnsi(text.c_str(), static_cast<UINT>(text.size()));
  const size_t mixedBytes = bytes.size() - 2 * padding.size();
  testing::RealPort peer;
  ASSERT_EQ(peer.Open(3), 0);
  FakeHostSite host;
  SerialControl control(host);
  ASSERT_EQ(control.put_Port(4), S_OK);
  host.sinks = true;
  host.pumpLimit = 200;  // a pass takes two; a few passes suffice
  auto queued = [&] {
    DWORD errors = 0;
    COMSTAT stat{};
    const HANDLE h = reinterpret_cast<HANDLE>(
        static_cast<INT_PTR>(control.Ports().CommPorts(4).hPort));
    return ::ClearCommError(h, &errors, &stat) ? stat.cbInQue : 0;
  };
  auto send = [&](const std::string& piece) {
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(peer.Handle(3), piece.data(), static_cast<DWORD>(piece.size()),
                            &written, nullptr));
    const ULONGLONG end = ::GetTickCount64() + 10000;
    while (queued() < piece.size() && ::GetTickCount64() < end) ::Sleep(1);
  };

  for (size_t split = padding.size(); split <= padding.size() + mixedBytes; ++split) {
    SCOPED_TRACE(split);
    int sent = 0;
    std::wstring received;
    host.pumps = 0;
    host.overran = false;
    host.onPump = [&](int) {
      if (!control.Ports().CommPorts(4).blnPortOpen) return false;
      if (sent == 0 || (sent == 1 && queued() == 0)) {
        send(sent == 0 ? bytes.substr(0, split) : bytes.substr(split));
        ++sent;
      }
      return false;
    };
    host.onEvent = [&](ControlEvent event, BSTR& bufferstr) {
      EXPECT_EQ(event, kDataArrived);
      received += testing::Text(bufferstr);
      if (received.size() >= text.size()) EXPECT_EQ(control.Close_Com(), S_OK);
    };
    EXPECT_EQ(control.Open_Com(), S_OK);
    EXPECT_FALSE(host.overran) << "only " << received.size() << " characters came";
    EXPECT_EQ(sent, 2);
    EXPECT_EQ(received, text);
    control.Close_Com();
  }
}

}  // namespace
}  // namespace vemblaric
