// The port layer against real devices: pty pairs seen by Wine as COM ports.
#include <gtest/gtest.h>

#include <thread>

#include "support/nullmodem.h"
#include "support/port_fixture.h"

namespace vemblaric {
namespace {

using testing::RealPort;

std::wstring AllByteValues() {
  char bytes[256];
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<char>(i);
  return FromAnsi(bytes, 256);
}

TEST(NullModem, OpensAtTheGivenSettingsWithTheLayersTimeouts) {
  RealPort a;
  ASSERT_EQ(a.Open(1), 0) << a.port.CommError().strFunction.str();
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(::GetCommState(a.Handle(1), &dcb));
  EXPECT_EQ(dcb.BaudRate, 57600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);

  COMMTIMEOUTS t{};
  ASSERT_TRUE(::GetCommTimeouts(a.Handle(1), &t));
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 1000u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);

  Bstr slower(L"baud=9600");
  EXPECT_EQ(a.port.CommSet(1, slower.get()), 0);
  ASSERT_TRUE(::GetCommState(a.Handle(1), &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  COMMTIMEOUTS after{};
  ASSERT_TRUE(::GetCommTimeouts(a.Handle(1), &after));
  EXPECT_EQ(after.ReadTotalTimeoutConstant, 1000u);
  EXPECT_EQ(after.WriteTotalTimeoutMultiplier, 1000u);
  EXPECT_EQ(a.port.CommClose(1), 0);
}

TEST(NullModem, UnknownDeviceFailsAtCreateFileAndTheSlotStaysUsable) {
  RealPort a;
  Bstr name(L"COM9"), settings(L"baud=57600 parity=N data=8 stop=1");
  EXPECT_EQ(a.port.CommOpen(1, name.get(), settings.get()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(a.port.CommError().strFunction.str(), L"CommOpen (CreateFile)");
  EXPECT_EQ(a.port.CommPorts(1).hPort, -1);
  EXPECT_EQ(a.Open(1), 0);
}

TEST(NullModem, FlushDiscardsWhatWasWaiting) {
  RealPort a, b;
  ASSERT_EQ(a.Open(1), 0);
  ASSERT_EQ(b.Open(2), 0);
  ASSERT_EQ(b.Write(2, L"stale bytes"), 11);
  ASSERT_TRUE(a.WaitQueued(1, 11));
  EXPECT_EQ(a.port.CommFlush(1), 0);
  Bstr data;
  EXPECT_EQ(a.port.CommRead(1, *data.put(), 0), 0);
  EXPECT_EQ(data.length(), 0u);
}

TEST(NullModem, EveryByteValuePassesBothWaysIntactAndInOrder) {
  RealPort a, b;
  ASSERT_EQ(a.Open(1), 0);
  ASSERT_EQ(b.Open(2), 0);
  const std::wstring all = AllByteValues();
  ASSERT_EQ(all.size(), 256u) << "a single-byte code page maps each byte to one character";

  std::wstring echoed;
  EXPECT_EQ(a.Write(1, all, &echoed), 256);
  EXPECT_EQ(echoed, all);
  const std::wstring there = b.ReadExactly(2, 256);
  EXPECT_EQ(there, all);

  EXPECT_EQ(b.Write(2, there), 256);
  EXPECT_EQ(a.ReadExactly(1, 256), all);
}

TEST(NullModem, ShortReadReturnsWhatArrivedAfterTheTimeout) {
  RealPort a, b;
  ASSERT_EQ(a.Open(1), 0);
  ASSERT_EQ(b.Open(2), 0);
  ASSERT_EQ(b.Write(2, L"0123456789"), 10);
  ASSERT_TRUE(a.WaitQueued(1, 10));
  Bstr data;
  EXPECT_EQ(a.port.CommRead(1, *data.put(), 64), 10);
  EXPECT_EQ(data.str(), L"0123456789");
}

TEST(NullModem, OneMebibyteStreamsCompleteAndInOrder) {
  constexpr size_t kTotal = 1 << 20;
  constexpr size_t kChunk = 4096;
  RealPort reader;
  ASSERT_EQ(reader.Open(2), 0);

  long written = 0;
  std::thread writer([&] {
    RealPort w;
    if (w.Open(1) != 0) return;
    std::wstring chunk(kChunk, L'\0');
    for (size_t sent = 0; sent < kTotal; sent += kChunk) {
      for (size_t i = 0; i < kChunk; ++i) chunk[i] = static_cast<wchar_t>('a' + (sent + i) % 26);
      const long n = w.Write(1, chunk);
      if (n <= 0) return;
      written += n;
    }
  });
  const std::wstring got = reader.ReadExactly(2, kTotal, 120000);
  writer.join();
  EXPECT_EQ(written, static_cast<long>(kTotal));
  ASSERT_EQ(got.size(), kTotal);
  size_t firstBad = kTotal;
  for (size_t i = 0; i < kTotal && firstBad == kTotal; ++i)
    if (got[i] != static_cast<wchar_t>('a' + i % 26)) firstBad = i;
  EXPECT_EQ(firstBad, kTotal) << "first wrong byte";
}

// A pty has no modem lines: the system's refusal is recorded under the
// operation's labels. A break needs no modem line and works.
TEST(NullModem, ModemCallsOnAPtyReportTheSystemsRefusal) {
  RealPort a;
  ASSERT_EQ(a.Open(3), 0);
  VARIANT_BOOL state = VARIANT_TRUE;
  const long got = a.port.CommGetLine(3, 0x80, state);
  EXPECT_NE(got, 0);
  EXPECT_EQ(state, VARIANT_TRUE);
  EXPECT_EQ(a.port.CommError().lngErrorCode, got);
  EXPECT_EQ(a.port.CommError().strFunction.str(), L"CommReadCD (GetCommModemStatus)");
  EXPECT_EQ(a.port.CommError().strErrorMessage.str(), testing::SystemMessage(got));

  const long dtr = a.port.CommSetLine(3, 2, VARIANT_TRUE);
  EXPECT_NE(dtr, 0);
  EXPECT_EQ(a.port.CommError().strFunction.str(), L"CommSetLine (EscapeCommFunction)");

  EXPECT_EQ(a.port.CommSetLine(3, 1, VARIANT_TRUE), 0);
  EXPECT_EQ(a.port.CommSetLine(3, 1, VARIANT_FALSE), 0);
}

}  // namespace
}  // namespace vemblaric
