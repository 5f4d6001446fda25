// Opening, configuring, closing and flushing, through the scripted kernel32.
#include <cstring>

#include "support/port_fixture.h"

namespace vemblaric {
namespace {

using testing::FakePortTest;

TEST_F(FakePortTest, OpenAsksForAnExclusiveSynchronousHandleAndConfiguresIt) {
  ASSERT_EQ(Open(2, L"COM2", L"baud=57600 parity=N data=8 stop=1"), 0);

  EXPECT_EQ(fake.names(),
            (std::vector<std::string>{"CreateFileA", "SetupComm", "PurgeComm", "SetCommTimeouts",
                                      "GetCommState", "BuildCommDCBA", "SetCommState"}));
  const auto& create = fake.calls()[0];
  EXPECT_EQ(create.text, "COM2");
  EXPECT_EQ(create.arg1, 0xC0000000u);
  EXPECT_EQ(create.arg2, 0u) << "share mode";
  EXPECT_EQ(create.arg3, DWORD{OPEN_EXISTING});
  EXPECT_EQ(create.arg4, DWORD{FILE_ATTRIBUTE_NORMAL}) << "no FILE_FLAG_OVERLAPPED";
  EXPECT_FALSE(create.hasSecurity);
  EXPECT_FALSE(create.hasTemplate);

  EXPECT_EQ(fake.calls()[1].arg1, 1024u);
  EXPECT_EQ(fake.calls()[1].arg2, 1024u);
  EXPECT_EQ(fake.calls()[2].arg1, 15u);
  const COMMTIMEOUTS& t = fake.calls()[3].timeouts;
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 1000u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
  EXPECT_EQ(fake.calls()[5].text, "baud=57600 parity=N data=8 stop=1");

  const PortSlot& slot = port.CommPorts(2);
  EXPECT_TRUE(slot.blnPortOpen);
  EXPECT_EQ(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(slot.hPort)), fake.calls()[1].handle)
      << "the handle CreateFileA gave is kept and used";
  EXPECT_EQ(slot.udtDCB.BaudRate, 57600u) << "settings applied onto the state read back";
  EXPECT_EQ(slot.udtDCB.Parity, NOPARITY);
  for (const auto& c : fake.calls())
    if (c.function != "CreateFileA" && c.function != "BuildCommDCBA")
      EXPECT_EQ(c.handle, fake.calls()[1].handle) << c.function;
}

TEST_F(FakePortTest, OpenOnAnOpenSlotIsPortInUseAndTouchesNothing) {
  ASSERT_EQ(Open(1), 0);
  const PortSlot before = port.CommPorts(1);
  fake.ClearCalls();

  EXPECT_EQ(Open(1, L"COM3", L"baud=300"), -1);
  EXPECT_TRUE(fake.calls().empty());
  EXPECT_EQ(Code(), -1);
  EXPECT_EQ(Function(), L"CommOpen");
  EXPECT_EQ(Message(), L"Port in use.");
  EXPECT_EQ(port.CommPorts(1).hPort, before.hPort);
  EXPECT_EQ(std::memcmp(&port.CommPorts(1).udtDCB, &before.udtDCB, sizeof(DCB)), 0);
}

TEST_F(FakePortTest, FailedCreateLeavesTheSlotNotOpenWithHandleMinusOne) {
  fake.Fail("CreateFileA", ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(1, L"COM9"), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(port.CommPorts(1).blnPortOpen);
  EXPECT_EQ(port.CommPorts(1).hPort, -1);
  EXPECT_EQ(Open(1), 0) << "a later open proceeds normally";
  EXPECT_TRUE(port.CommPorts(1).blnPortOpen);
}

TEST_F(FakePortTest, SharingViolationIsRecordedAsTheSystemsCode) {
  fake.Fail("CreateFileA", ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Open(2, L"COM2"), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Function(), L"CommOpen (CreateFile)");
  EXPECT_EQ(Message(), testing::SystemMessage(ERROR_SHARING_VIOLATION));
}

TEST_F(FakePortTest, RejectedSettingsKeepTheSlotOpenUntilClosed) {
  // The system's own parser rejects the parity letter.
  EXPECT_EQ(Open(1, L"COM1", L"baud=57600 parity=Q"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Function(), L"CommOpen (BuildCommDCB)");
  EXPECT_TRUE(port.CommPorts(1).blnPortOpen);
  EXPECT_EQ(fake.named("CloseHandle").size(), 0u) << "an open never closes what it opened";

  EXPECT_EQ(Open(1), -1);
  EXPECT_EQ(port.CommClose(1), 0);
  EXPECT_EQ(Open(1), 0);
}

// The system would stop reading a name or settings text at its first NUL.
TEST_F(FakePortTest, ANameOrSettingsHoldingANulOpensAndChangesNothing) {
  using namespace std::string_literals;
  const struct {
    std::wstring name, settings;
  } opens[] = {{L"COM1\0junk"s, L"baud=9600"}, {L"COM1\0"s, L"baud=9600"},
               {L"\0COM1"s, L"baud=9600"}, {L"COM1", L"baud=9600\0 parity=E"s}};
  for (const auto& c : opens) {
    SCOPED_TRACE(&c - opens);
    EXPECT_EQ(Open(1, c.name, c.settings), 5);
    EXPECT_EQ(ErrorLine(), L"Error (5): CommOpen - Invalid procedure call or argument");
    EXPECT_TRUE(fake.calls().empty()) << fake.names().front();
    EXPECT_FALSE(port.CommPorts(1).blnPortOpen);
    EXPECT_EQ(port.CommPorts(1).hPort, 0);
  }

  ASSERT_EQ(Open(1, L"COM1", L"baud=9600"), 0);
  fake.ClearCalls();
  Bstr settings = testing::MakeBstr(L"baud=300\0junk"s);
  EXPECT_EQ(port.CommSet(1, settings.get()), 5);
  EXPECT_EQ(Function(), L"CommSet");
  EXPECT_TRUE(fake.calls().empty());
  EXPECT_EQ(port.CommPorts(1).udtDCB.BaudRate, 9600u);
}

TEST_F(FakePortTest, CloseTwiceClosesOnceAndForgetsTheHandle) {
  ASSERT_EQ(Open(4), 0);
  const HANDLE h = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(port.CommPorts(4).hPort));
  EXPECT_EQ(port.CommClose(4), 0);
  EXPECT_EQ(port.CommClose(4), 0);
  ASSERT_EQ(fake.named("CloseHandle").size(), 1u);
  EXPECT_EQ(fake.named("CloseHandle")[0].handle, h);
  EXPECT_FALSE(port.CommPorts(4).blnPortOpen);
  EXPECT_EQ(port.CommPorts(4).hPort, 0);
}

TEST_F(FakePortTest, NeverOpenedCloseChangesNothing) {
  fake.Fail("CreateFileA", ERROR_ACCESS_DENIED);
  Open(2);
  const std::wstring line = ErrorLine();
  fake.ClearCalls();
  EXPECT_EQ(port.CommClose(1), 0);
  EXPECT_TRUE(fake.calls().empty());
  EXPECT_EQ(ErrorLine(), line);
}

// A closed slot's old handle value may belong to another object by now.
TEST_F(FakePortTest, ClosedSlotNeverPassesItsOldHandle) {
  ASSERT_EQ(Open(1), 0);
  const HANDLE old = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(port.CommPorts(1).hPort));
  ASSERT_EQ(port.CommClose(1), 0);
  fake.ClearCalls();

  Bstr settings = testing::MakeBstr(L"baud=9600");
  EXPECT_EQ(port.CommSet(1, settings.get()), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Function(), L"CommSet (GetCommState)");
  EXPECT_EQ(port.CommFlush(1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Function(), L"CommFlush (PurgeComm)");
  std::wstring text;
  EXPECT_EQ(Read(1, &text), -1);
  EXPECT_EQ(Write(1, L"abc"), -1);
  VARIANT_BOOL state = VARIANT_FALSE;
  EXPECT_EQ(port.CommGetLine(1, 0x10, state), ERROR_INVALID_HANDLE);
  EXPECT_EQ(port.CommSetLine(1, 3, VARIANT_TRUE), ERROR_INVALID_HANDLE);
  for (const auto& c : fake.calls()) EXPECT_NE(c.handle, old) << c.function;
}

TEST_F(FakePortTest, SetRewritesTheSettingsOnly) {
  ASSERT_EQ(Open(1), 0);
  fake.ClearCalls();
  Bstr settings = testing::MakeBstr(L"baud=19200");
  EXPECT_EQ(port.CommSet(1, settings.get()), 0);
  EXPECT_EQ(fake.names(),
            (std::vector<std::string>{"GetCommState", "BuildCommDCBA", "SetCommState"}));
  EXPECT_EQ(port.CommPorts(1).udtDCB.BaudRate, 19200u);
}

TEST_F(FakePortTest, FlushPurgesEverything) {
  ASSERT_EQ(Open(3), 0);
  fake.ClearCalls();
  EXPECT_EQ(port.CommFlush(3), 0);
  ASSERT_EQ(fake.names(), std::vector<std::string>{"PurgeComm"});
  EXPECT_EQ(fake.calls()[0].arg1, DWORD{PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR});
}

TEST(PortLayerLifetime, DestroyingAnInstanceClosesWhatItHolds) {
  testing::FakeKernel32 fake;
  testing::CountingPump pump;
  {
    PortLayer port(fake.table(), pump);
    Bstr name = testing::MakeBstr(L"COM1"), settings = testing::MakeBstr(L"baud=9600");
    ASSERT_EQ(port.CommOpen(1, name.get(), settings.get()), 0);
    ASSERT_EQ(port.CommOpen(3, name.get(), settings.get()), 0);
    ASSERT_EQ(port.CommClose(3), 0);
    fake.ClearCalls();
  }
  EXPECT_EQ(fake.names(), std::vector<std::string>{"CloseHandle"});
}

}  // namespace
}  // namespace vemblaric
