// SerialPort on ports that ser2net serves, by the same names as the control:
// settings reach the server's port, bytes and events pass as on a local port,
// and a connection that fails or goes away reads as a device would.
#include <gtest/gtest.h>

#include "network_fixture.h"
#include "serial_port/port_host.h"
#include "ser2net_bench.h"
#include "transport/network_calls.h"

namespace vemblaric::testing {
namespace {

class SerialPortOverNetwork : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    ASSERT_TRUE(Ser2netAddresses(rfc2217, raw)) << "no ser2net ports; is the bench running?";
  }
  void TearDown() override {
    ::CoUninitialize();
    EXPECT_EQ(transport::OpenNetworkHandles(), 0u);
  }

  std::string rfc2217, raw;
};

ComPtr<ISerialPort> Port(const std::string& name) { return NewSerialPort(WideText(name).c_str()); }

TEST_F(SerialPortOverNetwork, SettingsReachTheServersPortOverTelnetOnly) {
  ComPtr<ISerialPort> port = Port(rfc2217);
  ASSERT_HRESULT_SUCCEEDED(port->put_BaudRate(19200));
  ASSERT_HRESULT_SUCCEEDED(port->put_StopBits(serialStopBitsTwo));
  ASSERT_HRESULT_SUCCEEDED(port->Open()) << LastErrorDescription();
  std::string seen = ServedSettings("com32");
  for (const char* word : {"19200", "cstopb", "-crtscts"}) EXPECT_TRUE(Has(seen, word)) << word << " in\n" << seen;
  // Changed while open, at once.
  ASSERT_HRESULT_SUCCEEDED(port->put_BaudRate(57600));
  ASSERT_HRESULT_SUCCEEDED(port->put_Handshake(serialHandshakeRtsCts));
  seen = ServedSettings("com32");
  for (const char* word : {"57600", "crtscts"}) EXPECT_TRUE(Has(seen, word)) << word << " in\n" << seen;
  VARIANT_BOOL cts = VARIANT_TRUE;
  EXPECT_HRESULT_SUCCEEDED(port->get_CtsHolding(&cts)) << LastErrorDescription();
  EXPECT_EQ(cts, VARIANT_FALSE) << "a pty has no lines: the server reports them clear";
  EXPECT_HRESULT_SUCCEEDED(port->Close());

  // Raw TCP keeps the settings here and has no modem lines to report.
  ComPtr<ISerialPort> bare = Port(raw);
  ASSERT_HRESULT_SUCCEEDED(bare->put_BaudRate(19200));
  ASSERT_HRESULT_SUCCEEDED(bare->Open()) << LastErrorDescription();
  EXPECT_FALSE(Has(ServedSettings("com34"), "19200"));
  EXPECT_EQ(bare->get_CtsHolding(&cts), HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
}

TEST_F(SerialPortOverNetwork, EveryByteValueAndDataReceivedAsOnALocalPort) {
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<char>(i);
  const struct {
    std::string address;
    const wchar_t* device;
  } cases[] = {{rfc2217, L"COM31"}, {raw, L"COM33"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    ComPtr<ISerialPort> device = NewSerialPort(c.device), net = Port(c.address);
    ASSERT_HRESULT_SUCCEEDED(device->Open()) << LastErrorDescription();
    ASSERT_HRESULT_SUCCEEDED(net->Open()) << LastErrorDescription();
    // Towards the device first: once it has arrived, the server has the port open.
    ASSERT_HRESULT_SUCCEEDED(net->WriteBytes(*ByteArray(all).get()));
    EXPECT_EQ(ReadBytesExactly(device.get(), 256), all);
    ASSERT_HRESULT_SUCCEEDED(device->WriteBytes(*ByteArray(all).get()));
    EXPECT_EQ(ReadBytesExactly(net.get(), 256), all);

    // What waited is discarded; what comes after arrives as an event.
    ASSERT_HRESULT_SUCCEEDED(device->Write(Bstr(L"stale").get()));
    LONG queued = 0;
    const ULONGLONG end = ::GetTickCount64() + 10000;
    while (queued < 5 && ::GetTickCount64() < end) net->get_BytesToRead(&queued);
    ASSERT_EQ(queued, 5);
    ASSERT_HRESULT_SUCCEEDED(net->DiscardInBuffer());
    PortEvents events;
    EventConnection connection(net.get(), &events);
    std::wstring got;
    events.handler = [&](DISPID id, LONG) {
      if (id == kDataReceived) got += Text(net.get(), &ISerialPort::ReadExisting);
    };
    ASSERT_HRESULT_SUCCEEDED(device->Write(Bstr(L"fresh").get()));
    EXPECT_TRUE(PumpUntil([&] { return got == L"fresh"; })) << "got " << got.size() << " characters";
  }
}

TEST_F(SerialPortOverNetwork, AConnectionThatFailsReadsAsADeviceThatFails) {
  const struct {
    const wchar_t* name;
    HRESULT status;
  } refused[] = {
      {L"rfc2217://127.0.0.1:1", HRESULT_FROM_WIN32(WSAECONNREFUSED)},
      {L"socket://no-such-host.invalid:2217", HRESULT_FROM_WIN32(WSAHOST_NOT_FOUND)},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(::testing::Message() << c.name);
    ComPtr<ISerialPort> port = NewSerialPort(c.name);
    EXPECT_EQ(port->Open(), c.status);
    EXPECT_EQ(LastErrorDescription().rfind(std::wstring(L"Open on ") + c.name + L": CreateFile failed: ", 0), 0u)
        << LastErrorDescription();
  }

  // A server that goes away under an open port: the host calls nothing and
  // is told, the port closed.
  std::atomic<bool> drop{false};
  ScriptedServer server([&](SOCKET) {
    while (!drop) ::Sleep(5);
  });
  ComPtr<ISerialPort> port = NewSerialPort(WideText(server.Address("socket")).c_str());
  ASSERT_HRESULT_SUCCEEDED(port->Open()) << LastErrorDescription();
  PortEvents events;
  EventConnection connection(port.get(), &events);
  drop = true;
  ASSERT_TRUE(PumpUntil([&] { return events.Count(kErrorReceived) > 0; }));
  EXPECT_EQ(events.received.back().argument, static_cast<LONG>(CE_IOE));
  VARIANT_BOOL open = VARIANT_TRUE;
  ASSERT_HRESULT_SUCCEEDED(port->get_IsOpen(&open));
  EXPECT_EQ(open, VARIANT_FALSE);
}

// Ends or starts the bench's ser2net again (ser2net.sh); false when the
// change was not seen within 10 s.
bool Ser2net(const char* command) {
  std::wstring line = L"Z:\\usr\\bin\\bash " + WideText(VEMBLARIC_SER2NET_SCRIPT) + L" " +
                      WideText(command) + L" " + WideText(kBench);
  STARTUPINFOW start{};
  start.cb = sizeof start;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &info))
    return false;
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  // Wine does not report a Linux program's end: the marker file tells.
  const bool ending = std::string(command) == "end";
  const std::string ended = BenchFile("ser2net.ended");
  for (int i = 0; i < 1000; ++i) {
    if ((::GetFileAttributesA(ended.c_str()) != INVALID_FILE_ATTRIBUTES) == ending) return true;
    ::Sleep(10);
  }
  return false;
}

// AutoReconnect over rfc2217://: the server goes down under an open port and
// comes back; the port opens again by itself, and its settings reach the
// server's port again.
TEST_F(SerialPortOverNetwork, AnAutoReconnectingPortIsBackWhenItsServerIs) {
  ComPtr<ISerialPort> device = NewSerialPort(L"COM31"), port = Port(rfc2217);
  ASSERT_HRESULT_SUCCEEDED(port->put_BaudRate(19200));
  ASSERT_HRESULT_SUCCEEDED(port->put_StopBits(serialStopBitsTwo));
  ASSERT_HRESULT_SUCCEEDED(port->put_AutoReconnect(VARIANT_TRUE));
  ASSERT_HRESULT_SUCCEEDED(device->Open()) << LastErrorDescription();
  ASSERT_HRESULT_SUCCEEDED(port->Open()) << LastErrorDescription();
  PortEvents events;
  EventConnection connection(port.get(), &events);
  ASSERT_TRUE(Ser2net("end"));
  ASSERT_TRUE(PumpUntil([&] { return events.Count(kErrorReceived) > 0; }));
  ASSERT_TRUE(Ser2net("restart"));
  const ULONGLONG back = ::GetTickCount64();
  // The tries back off: 0.5, 1, 2 and 4 s apart.
  ASSERT_TRUE(PumpUntil([&] { return events.Count(kReconnected) > 0; }, 15000));
  std::printf("a server down and back, as a SerialPort host with AutoReconnect sees it: "
              "Reconnected %llu ms after the server listened again\n",
              static_cast<unsigned long long>(::GetTickCount64() - back));
  ASSERT_HRESULT_SUCCEEDED(port->Write(Bstr(L"again").get()));
  EXPECT_EQ(ReadBytesExactly(device.get(), 5), "again");
  const std::string seen = ServedSettings("com32");
  for (const char* word : {"19200", "cstopb"}) EXPECT_TRUE(Has(seen, word)) << word << " in\n" << seen;
  EXPECT_EQ(events.Count(kErrorReceived), 1u);
}

}  // namespace
}  // namespace vemblaric::testing
