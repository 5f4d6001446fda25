// A device above COM4, reached as hosts reach it: the hidden CommOpen puts
// the full device name into a slot, and Port = slot drives it with the
// one-call members, the receive loop and its events. On the bench COM21 and
// COM22 are the two ends of one pty pair.
#include <string>

#include "support/com_test.h"
#include "support/nullmodem.h"

namespace vemblaric {
namespace {

using testing::ComApartment;
using testing::Connection;
using testing::Ptr;
using testing::Sink;
using testing::Str;

constexpr DISPID kDataArrived = 1;
constexpr DISPID kDataSent = 2;
constexpr wchar_t kSettings[] = L"baud=9600 parity=N data=8 stop=1";

struct Road {
  const wchar_t* device;
  short slot;
  bool byName;  // late bound, as a script passes plain values; else the function table
};

class HighPorts : public ComApartment {
 protected:
  void SetUp() override {
    ComApartment::SetUp();
    Bstr name(L"\\\\.\\COM22"), settings(kSettings);
    ASSERT_EQ(peer.port.CommOpen(2, name.get(), settings.get()), 0)
        << peer.port.CommError().strFunction.str();
    control = NewControl();
    ASSERT_TRUE(control);
  }
  void TearDown() override {
    control.reset();
    ComApartment::TearDown();
  }

  long CommOpen(const Road& road) {
    if (!road.byName) {
      short slot = road.slot;
      BSTR name = ::SysAllocString(road.device), settings = ::SysAllocString(kSettings);
      long result = -2;
      EXPECT_HRESULT_SUCCEEDED(control->CommOpen(&slot, &name, &settings, &result));
      ::SysFreeString(name);
      ::SysFreeString(settings);
      return result;
    }
    Ptr<IDispatch> dispatch = control.As<IDispatch>(IID_IDispatch);
    LPOLESTR member = const_cast<LPOLESTR>(L"CommOpen");
    DISPID id = 0;
    EXPECT_HRESULT_SUCCEEDED(
        dispatch->GetIDsOfNames(IID_NULL, &member, 1, LOCALE_USER_DEFAULT, &id));
    VARIANT args[3];  // right to left
    args[2].vt = VT_I2;
    args[2].iVal = road.slot;
    args[1].vt = VT_BSTR;
    args[1].bstrVal = ::SysAllocString(road.device);
    args[0].vt = VT_BSTR;
    args[0].bstrVal = ::SysAllocString(kSettings);
    DISPPARAMS params{args, nullptr, 3, 0};
    VARIANT result;
    ::VariantInit(&result);
    EXPECT_HRESULT_SUCCEEDED(dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                              &params, &result, nullptr, nullptr));
    for (VARIANT& a : args) ::VariantClear(&a);
    return result.vt == VT_I4 ? result.lVal : -2;
  }
  HRESULT WriteCom(const wchar_t* text) { return control->Write_Com(Bstr(text).get()); }
  std::wstring Buffer() {
    Bstr b;
    control->get_Buffer(b.put());
    return Str(b.get());
  }
  bool Status() {
    VARIANT_BOOL status = VARIANT_FALSE;
    control->get_Status(&status);
    return status == VARIANT_TRUE;
  }
  std::wstring ErrorLine() {
    BSTR line = nullptr;
    long code = 0;
    control->CommGetError(&line, &code);
    std::wstring s = Str(line);
    ::SysFreeString(line);
    return s;
  }

  testing::RealPort peer;
  Ptr<_SerialControl> control;
};

class HighPortRoads : public HighPorts, public ::testing::WithParamInterface<Road> {};

TEST_P(HighPortRoads, WriteReadTheLoopWithEventsAndCloseThroughTheSlot) {
  const Road road = GetParam();
  ASSERT_EQ(CommOpen(road), 0) << ErrorLine();
  ASSERT_HRESULT_SUCCEEDED(control->put_Port(road.slot));

  // No sink connected: Write_Com and Read_Com return at once, as they do for a script.
  EXPECT_HRESULT_SUCCEEDED(WriteCom(L"ping\r\n"));
  EXPECT_TRUE(Status());
  EXPECT_EQ(peer.ReadExactly(2, 6, 5000), L"ping\r\n");
  const std::wstring reply(64, L'p');
  ASSERT_EQ(peer.Write(2, reply), 64);
  for (const DWORD start = ::GetTickCount(); Buffer() != reply && ::GetTickCount() - start < 5000;)
    control->Read_Com();
  EXPECT_EQ(Buffer(), reply);

  // With a sink, Write_Com runs the loop until the handler closes the port.
  Sink sink(DIID___SerialControl);
  std::wstring arrived;
  sink.handler = [&](DISPID event, BSTR* text) {
    if (event != kDataArrived) return;
    arrived += Str(*text);
    if (arrived.size() >= 64) control->Close_Com();
  };
  Connection connection(control.get(), DIID___SerialControl, &sink);
  const std::wstring incoming(64, L'i');
  ASSERT_EQ(peer.Write(2, incoming), 64);
  EXPECT_HRESULT_SUCCEEDED(WriteCom(L"go"));
  ASSERT_FALSE(sink.received.empty());
  EXPECT_EQ(sink.received[0].event, kDataSent);
  EXPECT_EQ(sink.received[0].text, L"go");
  EXPECT_EQ(arrived, incoming);
  EXPECT_EQ(peer.ReadExactly(2, 2, 5000), L"go");

  // Close_Com closed the device itself: it opens again, here in another control.
  EXPECT_TRUE(Status()) << ErrorLine();
  Ptr<_SerialControl> other = NewControl();
  std::swap(control, other);
  EXPECT_EQ(CommOpen(road), 0) << ErrorLine();
  long closed = -2;
  short slot = road.slot;
  EXPECT_HRESULT_SUCCEEDED(control->CommClose(&slot, &closed));
  EXPECT_EQ(closed, 0);
}

INSTANTIATE_TEST_SUITE_P(Roads, HighPortRoads,
                         ::testing::Values(Road{L"\\\\.\\COM21", 1, true},
                                           Road{L"\\\\.\\COM21", 4, false}));

// Only COM1-COM9 are device names by themselves; "COM21" names a file in the
// current folder, so the open fails as it does on Windows, and the slot then
// takes the device by its full name.
TEST_F(HighPorts, TheBareNameAboveCom9IsAFileAndTheSlotStaysUsable) {
  for (const bool byName : {true, false}) {
    EXPECT_EQ(CommOpen({L"COM21", 1, byName}), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ErrorLine().rfind(L"Error (2): CommOpen (CreateFile) - ", 0), 0u) << ErrorLine();
  }
  EXPECT_EQ(CommOpen({L"\\\\.\\COM21", 1, false}), 0) << ErrorLine();
}

}  // namespace
}  // namespace vemblaric
