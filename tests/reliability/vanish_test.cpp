// A device that vanishes under a running receive loop: the bench's COM3<->COM4
// pair is ended while the control reads COM3. The host gets Open_Com back
// soon, with Status False and the failed call in the error line, its messages
// were handled meanwhile, and the other pair works on. The pair is started
// again before the program ends (and by the fixture that follows it).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "reliability.h"
#include "support/com_test.h"
#include "support/nullmodem.h"
#include "serial_port/port_host.h"

namespace vemblaric {
namespace {

using testing::ComApartment;
using testing::Ptr;
using testing::Sink;
using testing::Str;

const std::string kBench = VEMBLARIC_BENCH_DIR;  // the bench's state, a Linux path
const std::string kPairScript = VEMBLARIC_PAIR_SCRIPT;

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// A file of the bench as this Wine process names it.
std::wstring BenchFile(const std::string& name) {
  std::wstring path = L"Z:" + Wide(kBench + "/" + name);
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

bool Pair(const char* command) {
  return testing::RunUnix(L"Z:\\usr\\bin\\bash " + Wide(kPairScript) + L" " + Wide(command) +
                          L" " + Wide(kBench) + L" 34");
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Both ends of a pair open and one line crosses it.
bool PairWorks(short a, short b) {
  testing::RealPort one, other;
  const long first = one.Open(a), second = other.Open(b);
  if (first != 0 || second != 0) {
    Bstr line;
    (first != 0 ? one : other).port.CommGetError(*line.put());
    std::printf("COM%d<->COM%d: opening gives %ld and %ld: %ls\n", a, b, first, second,
                line.str().c_str());
    return false;
  }
  return one.Write(a, L"ping") == 4 && other.ReadExactly(b, 4, 5000) == L"ping";
}

class VanishingDevice : public ComApartment {
 protected:
  void TearDown() override {
    // Started again for the programs that follow, whatever happened here.
    if (Exists(BenchFile("pair34.ended"))) {
      Pair("restart");
      EXPECT_TRUE(testing::WaitUntil(
          [] { return !Exists(BenchFile("pair34.ended")) && Exists(BenchFile("com3")); }, 10000));
    }
    ComApartment::TearDown();
  }
};

TEST_F(VanishingDevice, OpenComReturnsSoonWithTheFailureAndTheHostKeptRunning) {
  ASSERT_TRUE(PairWorks(3, 4)) << "the bench's COM3<->COM4 pair is not there";
  auto peer = std::make_unique<testing::RealPort>();
  ASSERT_EQ(peer->Open(4), 0);
  Ptr<_SerialControl> control = NewControl();
  ASSERT_HRESULT_SUCCEEDED(control->put_Port(3));
  ASSERT_HRESULT_SUCCEEDED(control->put_Baud(57600));

  testing::HostWindow host;
  DWORD ended = 0, handledAfterEnd = 0, rescued = 0;
  bool peerSent = false;
  Sink sink(DIID___SerialControl);
  sink.handler = [&](DISPID event, BSTR*) {
    if (event != 1 || ended) return;
    // The device goes away under the loop, between two of its passes.
    ASSERT_TRUE(Pair("end"));
    ASSERT_TRUE(testing::WaitUntil([] { return Exists(BenchFile("pair34.ended")); }, 10000));
    ended = ::GetTickCount();
    host.Post(WM_APP);
  };
  host.handler = [&](UINT message) {
    if (message == WM_APP && ended) handledAfterEnd = ::GetTickCount();
    if (message != WM_TIMER) return;
    if (!peerSent && control.get()) {
      peerSent = true;  // once the loop runs: Open_Com purges what came before
      peer->Write(4, std::wstring(64, L'v'));
    }
    // A loop that outlives the device by far is ended here, so the test fails
    // instead of hanging.
    if (ended && !rescued && ::GetTickCount() - ended > 10000) {
      rescued = ::GetTickCount();
      control->Close_Com();
    }
  };
  host.Tick(10);
  testing::Connection connection(control.get(), DIID___SerialControl, &sink);

  ASSERT_HRESULT_SUCCEEDED(control->Open_Com());
  const DWORD returned = ::GetTickCount();
  host.StopTicking();

  ASSERT_NE(ended, 0u) << "no DataArrived: the loop never read the peer's bytes";
  EXPECT_EQ(rescued, 0u) << "the loop went on after the device had gone";
  EXPECT_LT(returned - ended, 2000u) << "Open_Com returned " << returned - ended
                                     << " ms after the device went away";
  EXPECT_NE(handledAfterEnd, 0u) << "the host's message posted meanwhile was not handled";
  VARIANT_BOOL status = VARIANT_TRUE;
  control->get_Status(&status);
  EXPECT_EQ(status, VARIANT_FALSE);
  BSTR line = nullptr;
  long code = 0;
  control->CommGetError(&line, &code);
  const std::wstring error = Str(line);
  ::SysFreeString(line);
  std::printf("a vanished device, as the host sees it: Open_Com returned %lu ms after the end; "
              "%ls\n", static_cast<unsigned long>(returned - ended), error.c_str());
  EXPECT_EQ(error.rfind(L"Error (", 0), 0u) << error;
  EXPECT_NE(error.find(L"CommRead ("), std::wstring::npos) << "names the failed call: " << error;

  EXPECT_TRUE(PairWorks(1, 2)) << "the other pair works on";
  control->Close_Com();
  control.reset();
  peer.reset();
  ASSERT_TRUE(Pair("restart"));
  ASSERT_TRUE(testing::WaitUntil(
      [] { return !Exists(BenchFile("pair34.ended")) && Exists(BenchFile("com3")); }, 10000));
}

// The same for SerialPort, in a process of its own (see below): the host calls
// nothing, and learns of the loss from ErrorReceived with the I/O error flag,
// the port closed.
TEST_F(VanishingDevice, ASerialPortClosesAndSaysSoWithoutBeingCalled) {
  if (!std::getenv("VEMBLARIC_PORT_VANISH")) GTEST_SKIP() << "run by its own test entry";
  ASSERT_TRUE(PairWorks(3, 4)) << "the bench's COM3<->COM4 pair is not there";
  ComPtr<ISerialPort> port = testing::NewSerialPort(L"COM3");
  ComPtr<ISerialPort> peer = testing::NewSerialPort(L"COM4");
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  ASSERT_HRESULT_SUCCEEDED(peer->Open());
  testing::PortEvents events;
  testing::EventConnection connection(port.get(), &events);
  DWORD ended = 0, told = 0;
  events.handler = [&](DISPID id, LONG argument) {
    if (id == testing::kErrorReceived && argument == CE_IOE) told = ::GetTickCount();
    if (id != testing::kDataReceived || ended) return;
    Bstr text;
    port->ReadExisting(text.put());
    ASSERT_TRUE(Pair("end"));
    ASSERT_TRUE(testing::WaitUntil([] { return Exists(BenchFile("pair34.ended")); }, 10000));
    ended = ::GetTickCount();
  };
  ASSERT_HRESULT_SUCCEEDED(peer->Write(Bstr(L"v").get()));
  ASSERT_TRUE(testing::PumpUntil([&] { return told != 0; }, 15000))
      << (ended ? "no ErrorReceived after the device went away" : "no DataReceived");
  std::printf("a vanished device, as a SerialPort host sees it: ErrorReceived %lu ms after the end\n",
              static_cast<unsigned long>(told - ended));
  EXPECT_LT(told - ended, 2000u);
  VARIANT_BOOL open = VARIANT_TRUE;
  ASSERT_HRESULT_SUCCEEDED(port->get_IsOpen(&open));
  EXPECT_EQ(open, VARIANT_FALSE);
  EXPECT_EQ(port->Write(Bstr(L"x").get()), static_cast<HRESULT>(0x8000000EL));
  EXPECT_NE(testing::LastErrorDescription().find(L"closed when its device failed"), std::wstring::npos)
      << testing::LastErrorDescription();
  EXPECT_TRUE(PairWorks(1, 2)) << "the other pair works on";
  port.reset();
  peer.reset();
  ASSERT_TRUE(Pair("restart"));
  ASSERT_TRUE(testing::WaitUntil(
      [] { return !Exists(BenchFile("pair34.ended")) && Exists(BenchFile("com3")); }, 10000));
}

// The device map's value of a port, as Windows keeps it: it goes when the
// device is unplugged and comes back with it. Wine writes the map once, at
// its start, so the test does what Windows would.
class DeviceMapValue {
 public:
  explicit DeviceMapValue(const std::wstring& port) : port_(port) {
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE, &key_);
    wchar_t name[256], data[64];
    for (DWORD i = 0; key_; ++i) {
      DWORD nameLength = 256, bytes = sizeof data - sizeof(wchar_t), type = 0;
      if (::RegEnumValueW(key_, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data),
                          &bytes) != ERROR_SUCCESS)
        break;
      data[bytes / sizeof(wchar_t)] = L'\0';
      if (type == REG_SZ && port_ == data) value_ = name;
    }
  }
  ~DeviceMapValue() {
    Restore();
    if (key_) ::RegCloseKey(key_);
  }
  bool found() const { return !value_.empty(); }
  bool Remove() {
    removed_ = ::RegDeleteValueW(key_, value_.c_str()) == ERROR_SUCCESS;
    return removed_;
  }
  bool Restore() {
    if (!removed_) return true;
    removed_ = ::RegSetValueExW(key_, value_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port_.c_str()),
                                static_cast<DWORD>((port_.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS;
    return !removed_;
  }

 private:
  std::wstring port_, value_;
  HKEY key_ = nullptr;
  bool removed_ = false;
};

// The settings of the pty behind a bench port, as `stty -a` gives them.
std::string Stty(const std::string& port) {
  // Not "com3.stty": a DOS device name with any extension is the device.
  const std::string out = kBench + "/stty-" + port + ".out";
  const std::wstring outFile = BenchFile("stty-" + port + ".out");
  ::DeleteFileW(outFile.c_str());
  if (!testing::RunUnix(L"Z:\\bin\\sh " + Wide(VEMBLARIC_STTY_SCRIPT) + L" " + Wide(kBench + "/" + port) +
                        L" " + Wide(out)))
    return "(stty did not start)";
  if (!testing::WaitUntil([&] { return Exists(outFile); }, 10000)) return "(no stty output)";
  std::string text(4096, '\0');
  DWORD got = 0;
  const HANDLE file = ::CreateFileW(outFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "(stty output unreadable)";
  ::ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &got, nullptr);
  ::CloseHandle(file);
  text.resize(got);
  return text;
}

// AutoReconnect on the bench: COM3's pair ends and its device-map value goes,
// as an unplug; both come back. The host pumps and calls nothing: it hears
// PortsChanged both times, ErrorReceived(I/O error) then Reconnected, and the
// exchange goes on at the settings made before the loss.
TEST_F(VanishingDevice, AnAutoReconnectingSerialPortIsBackWithItsSettings) {
  if (!std::getenv("VEMBLARIC_PORT_RECONNECT")) GTEST_SKIP() << "run by its own test entry";
  ASSERT_TRUE(PairWorks(3, 4)) << "the bench's COM3<->COM4 pair is not there";
  DeviceMapValue mapped(L"COM3");
  ASSERT_TRUE(mapped.found()) << "COM3 is not in the device map";
  ComPtr<ISerialPort> port = testing::NewSerialPort(L"COM3");
  ComPtr<ISerialPort> peer = testing::NewSerialPort(L"COM4");
  for (ISerialPort* p : {port.get(), peer.get()}) {
    ASSERT_HRESULT_SUCCEEDED(p->put_BaudRate(19200));
    ASSERT_HRESULT_SUCCEEDED(p->put_StopBits(serialStopBitsTwo));
    ASSERT_HRESULT_SUCCEEDED(p->put_ReadTimeout(5000));
  }
  ASSERT_HRESULT_SUCCEEDED(port->put_NewLine(Bstr(L"\r\n").get()));
  ASSERT_HRESULT_SUCCEEDED(peer->put_NewLine(Bstr(L"\r\n").get()));
  ASSERT_HRESULT_SUCCEEDED(port->put_AutoReconnect(VARIANT_TRUE));
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  ASSERT_HRESULT_SUCCEEDED(peer->Open());
  testing::PortEvents events;
  testing::EventConnection connection(port.get(), &events);
  std::vector<std::pair<DISPID, DWORD>> seen;
  events.handler = [&](DISPID id, LONG) {
    if (id != testing::kDataReceived) seen.emplace_back(id, ::GetTickCount());
  };
  auto count = [&](DISPID id) {
    return std::count_if(seen.begin(), seen.end(), [id](const auto& e) { return e.first == id; });
  };
  auto at = [&](DISPID id, size_t nth) {
    for (const auto& e : seen)
      if (e.first == id && nth-- == 0) return e.second;
    return DWORD{0};
  };

  ASSERT_TRUE(mapped.Remove());
  ASSERT_TRUE(Pair("end"));
  ASSERT_TRUE(testing::WaitUntil([] { return Exists(BenchFile("pair34.ended")); }, 10000));
  const DWORD gone = ::GetTickCount();
  ASSERT_TRUE(testing::PumpUntil(
      [&] { return count(testing::kErrorReceived) && count(testing::kPortsChanged); }, 10000))
      << "ErrorReceived " << count(testing::kErrorReceived) << ", PortsChanged " << count(testing::kPortsChanged);
  EXPECT_EQ(port->WriteLine(Bstr(L"lost").get()), static_cast<HRESULT>(0x8000000EL));
  EXPECT_NE(testing::LastErrorDescription().find(L"waits for it to return"), std::wstring::npos)
      << testing::LastErrorDescription();

  ASSERT_TRUE(Pair("restart"));
  ASSERT_TRUE(testing::WaitUntil(
      [] { return !Exists(BenchFile("pair34.ended")) && Exists(BenchFile("com3")); }, 10000));
  const DWORD back = ::GetTickCount();
  ASSERT_TRUE(mapped.Restore());
  const DWORD remapped = ::GetTickCount();
  ASSERT_TRUE(testing::PumpUntil([&] { return count(testing::kReconnected) > 0; }, 10000));
  // The peer's end went too; it opens again by hand.
  peer->Close();
  ASSERT_HRESULT_SUCCEEDED(peer->Open());
  ASSERT_HRESULT_SUCCEEDED(port->WriteLine(Bstr(L"after").get()));
  EXPECT_EQ(testing::Text(peer.get(), &ISerialPort::ReadLine), L"after");
  ASSERT_HRESULT_SUCCEEDED(peer->WriteLine(Bstr(L"answer").get()));
  EXPECT_EQ(testing::Text(port.get(), &ISerialPort::ReadLine), L"answer");
  const DWORD resumed = ::GetTickCount();
  ASSERT_TRUE(testing::PumpUntil([&] { return count(testing::kPortsChanged) >= 2; }, 10000))
      << "PortsChanged " << count(testing::kPortsChanged);
  const std::string stty = Stty("com3");
  EXPECT_NE(stty.find("speed 19200 baud"), std::string::npos) << stty;
  EXPECT_NE(stty.find(" cstopb"), std::string::npos) << stty;

  EXPECT_EQ(count(testing::kErrorReceived), 1);
  EXPECT_EQ(count(testing::kReconnected), 1);
  EXPECT_LT(at(testing::kErrorReceived, 0), at(testing::kReconnected, 0));
  EXPECT_EQ(count(testing::kPortsChanged), 2) << "one for the unplug, one for the return";
  std::printf("a device unplugged and back, as a SerialPort host with AutoReconnect sees it: "
              "ErrorReceived %lu ms and PortsChanged %lu ms after the loss; Reconnected %lu ms "
              "and the exchange done %lu ms after the pty was back; PortsChanged %lu ms after its "
              "device-map value was\n",
              static_cast<unsigned long>(at(testing::kErrorReceived, 0) - gone),
              static_cast<unsigned long>(at(testing::kPortsChanged, 0) - gone),
              static_cast<unsigned long>(at(testing::kReconnected, 0) - back),
              static_cast<unsigned long>(resumed - back),
              static_cast<unsigned long>(at(testing::kPortsChanged, 1) - remapped));
}

// Run by the cleanup after the program above, in a process of its own: under
// Wine a process that had the old device open cannot configure the new one
// (SetupComm answers "Invalid function"), while a new process can.
TEST(VanishedDevice, IsBackForTheProgramsThatFollow) {
  if (!std::getenv("VEMBLARIC_PAIR_BACK")) GTEST_SKIP() << "run by the cleanup after this program";
  EXPECT_TRUE(PairWorks(3, 4));
  EXPECT_TRUE(PairWorks(1, 2));
}

}  // namespace
}  // namespace vemblaric
