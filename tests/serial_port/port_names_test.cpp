// Finding ports: the order of names, what the bench's prefix lists, and
// devices registered in it: their facts, and ports opened by them.
#include <gtest/gtest.h>

#include <windows.h>
#include <initguid.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "com/owners.h"
#include "port_host.h"
#include "serial_port/port_names.h"
#include "support/nullmodem.h"
#include "support/ports_class_device.h"

namespace vemblaric::serial_port {
namespace {

std::wstring Joined(const std::vector<std::wstring>& names) {
  std::wstring all;
  for (const std::wstring& name : names) all += name + L" ";
  return all;
}

struct OrderCase {
  const char* what;
  std::vector<std::wstring> given;
  std::vector<std::wstring> ordered;
};

TEST(OrderPortNames, ComparesNumbersAsNumbersUpperCasesAndKeepsEachNameOnce) {
  const OrderCase cases[] = {
      {"COM10 after COM9",
       {L"COM10", L"COM9", L"COM2", L"COM1"},
       {L"COM1", L"COM2", L"COM9", L"COM10"}},
      {"two-digit ports after COM4",
       {L"COM22", L"COM4", L"COM100", L"COM21", L"COM3"},
       {L"COM3", L"COM4", L"COM21", L"COM22", L"COM100"}},
      {"spellings of one port are one", {L"com2", L"COM10", L"Com2", L"COM2"}, {L"COM2", L"COM10"}},
      {"other device-map names by the same rule",
       {L"cnca10", L"COM1", L"CNCA2"},
       {L"CNCA2", L"CNCA10", L"COM1"}},
      {"a number longer than any integer",
       {L"COM99999999999999999999", L"COM100"},
       {L"COM100", L"COM99999999999999999999"}},
      {"names that differ in leading zeros stay two",
       {L"COM1", L"COM01", L"COM1"},
       {L"COM01", L"COM1"}},
      {"nothing", {}, {}},
  };
  for (const OrderCase& c : cases) {
    EXPECT_EQ(OrderPortNames(c.given), c.ordered)
        << c.what << ": " << Joined(OrderPortNames(c.given));
  }
}

// tools/bench.sh maps these in the build's prefix.
const std::wstring kBenchPorts[] = {L"COM1", L"COM2", L"COM3", L"COM4", L"COM21", L"COM22"};

TEST(ListPortNames, HoldsEachBenchPortOnceInNaturalOrderAndOnlyUpperCaseNames) {
  const std::vector<std::wstring> names = ListPortNames();
  std::vector<std::ptrdiff_t> positions;
  for (const std::wstring& port : kBenchPorts) {
    EXPECT_EQ(std::count(names.begin(), names.end(), port), 1) << port << " in " << Joined(names);
    positions.push_back(std::find(names.begin(), names.end(), port) - names.begin());
  }
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end())) << Joined(names);
  for (const std::wstring& name : names) {
    EXPECT_EQ(name.find_first_of(L"abcdefghijklmnopqrstuvwxyz"), std::wstring::npos) << name;
  }
}

TEST(DescribePort, AnswersTheSameForEverySpellingAndNothingForAPortWithoutADevice) {
  // Under Wine the bench's ports are dosdevices links, with no device of the
  // ports class behind them; nobody has COM250.
  for (const std::wstring number : {L"1", L"2", L"21", L"250"}) {
    const std::wstring answer = DescribePort(L"COM" + number);
    EXPECT_EQ(answer, L"") << number;
    EXPECT_EQ(DescribePort(L"com" + number), answer) << number;
    EXPECT_EQ(DescribePort(L"\\\\.\\COM" + number), answer) << number;
  }
  EXPECT_EQ(DescribePort(L""), L"");
}

struct DeviceCase {
  std::wstring stored_name;  // as the device's key holds it
  std::wstring name;         // as hosts spell it
  std::wstring friendly_name;
  std::wstring hardware_ids;
  bool listed;
  std::wstring description;
};

TEST(PortsClass, ItsComDevicesAreListedAndDescribedByFriendlyNameAndFirstHardwareId) {
  // Numbers that neither the device map nor the DOS devices know, so a
  // listed one came from the ports class.
  const DeviceCase cases[] = {
      {L"com240", L"COM240", L"Test Port (COM240)",
       testing::IdList({L"VEMBLARIC\\TEST", L"VEMBLARIC\\OTHER"}), true,
       L"Test Port (COM240) (VEMBLARIC\\TEST)"},
      {L"COM241", L"COM241", L"Only A Name", L"", true, L"Only A Name"},
      {L"COM242", L"COM242", L"", testing::IdList({L"VEMBLARIC\\ID"}), true, L"VEMBLARIC\\ID"},
      // A printer port is of the class too, and no serial port.
      {L"LPT7", L"LPT7", L"Printer Port (LPT7)", L"", false, L"Printer Port (LPT7)"},
  };
  std::vector<std::unique_ptr<testing::PortsClassDevice>> devices;
  for (const DeviceCase& c : cases) {
    devices.push_back(std::make_unique<testing::PortsClassDevice>(
        testing::DeviceRecord{c.stored_name, L"", c.friendly_name, c.hardware_ids, L"", L""}));
    ASSERT_TRUE(devices.back()->ready()) << "registering " << c.name << ": " << ::GetLastError();
  }

  const std::vector<std::wstring> names = ListPortNames();
  for (const DeviceCase& c : cases) {
    EXPECT_EQ(std::count(names.begin(), names.end(), c.name), c.listed ? 1 : 0)
        << c.name << " in " << Joined(names);
    for (const std::wstring& spelling : {c.stored_name, c.name, L"\\\\.\\" + c.name}) {
      EXPECT_EQ(DescribePort(spelling), c.description) << spelling;
    }
  }
}


// Devices of the kinds people plug in, registered on the bench's ports so
// that opening one by what it is opens a real port. COM1 and COM2 have no
// record. (Wine links no device to a parent, so the composite device's
// serial number, which only its parent has, stays "".)
struct FactsCase {
  testing::DeviceRecord record;
  const wchar_t* description;
  const wchar_t* vendor;
  const wchar_t* product;
  const wchar_t* serial;
  long interface_number;
};

const FactsCase kDevices[] = {
    {{L"COM3", L"FTDIBUS\\VID_0403+PID_6001+A600ARJHA\\0000", L"USB Serial Port (COM3)",
      testing::IdList({L"FTDIBUS\\COMPORT&VID_0403&PID_6001"}), L"FTDI", L"Port_#0003.Hub_#0001"},
     L"USB Serial Port", L"0403", L"6001", L"A600ARJH", 0},
    {{L"COM4", L"USB\\VID_0403&PID_6001\\B700XYZ", L"Test Board (com4)",
      testing::IdList({L"USB\\VID_0403&PID_6001&REV_0600", L"USB\\VID_0403&PID_6001"}), L"Vemblaric Labs",
      L""},
     L"Test Board", L"0403", L"6001", L"B700XYZ", -1},
    {{L"COM21", L"USB\\VID_2341&PID_8036&MI_02\\6&2B5A5E25&0&0002", L"Leonardo (COM21)",
      testing::IdList({L"USB\\VID_2341&PID_8036&REV_0100&MI_02"}), L"Arduino LLC", L""},
     L"Leonardo", L"2341", L"8036", L"", 2},
    {{L"COM22", L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1C2D3E4F&0&0_0",
      L"Standard Serial over Bluetooth link (COM22)",
      testing::IdList({L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002"}), L"Microsoft",
      L""},
     L"Standard Serial over Bluetooth link", L"", L"", L"", -1},
};

class RegisteredDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    for (const FactsCase& c : kDevices) {
      devices_.push_back(std::make_unique<testing::PortsClassDevice>(c.record));
      ASSERT_TRUE(devices_.back()->ready()) << "registering " << c.record.instanceId << ": " << ::GetLastError();
    }
  }
  void TearDown() override {
    devices_.clear();
    ::CoUninitialize();
  }

 private:
  std::vector<std::unique_ptr<testing::PortsClassDevice>> devices_;
};

// A member of an automation object called by name, as a script calls it.
HRESULT CallByName(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* result,
                   VARIANT* argument = nullptr) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = name[0] ? object->GetIDsOfNames(IID_NULL, names, 1, 0, &id) : S_OK;
  if (FAILED(hr)) return hr;
  DISPPARAMS params = {argument, nullptr, argument ? 1u : 0u, 0};
  EXCEPINFO failure{};
  hr = object->Invoke(id, IID_NULL, 0, flags, &params, result, &failure, nullptr);
  ::SysFreeString(failure.bstrSource);
  ::SysFreeString(failure.bstrDescription);
  ::SysFreeString(failure.bstrHelpFile);
  return hr == DISP_E_EXCEPTION ? failure.scode : hr;
}

std::wstring Text(IDispatch* object, const wchar_t* name) {
  VARIANT v;
  ::VariantInit(&v);
  EXPECT_HRESULT_SUCCEEDED(CallByName(object, name, DISPATCH_PROPERTYGET, &v)) << name;
  VARIANT text;
  ::VariantInit(&text);
  ::VariantChangeType(&text, &v, 0, VT_BSTR);
  std::wstring out = text.vt == VT_BSTR ? std::wstring(text.bstrVal, ::SysStringLen(text.bstrVal)) : L"?";
  ::VariantClear(&text);
  ::VariantClear(&v);
  return out;
}

// What a script's For Each and Item(i) see, through IDispatch only.
std::vector<ComPtr<IDispatch>> WalkedByForEach(IDispatch* infos) {
  std::vector<ComPtr<IDispatch>> walked;
  VARIANT v;
  ::VariantInit(&v);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  if (FAILED(infos->Invoke(DISPID_NEWENUM, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                           &v, nullptr, nullptr)) ||
      v.vt != VT_UNKNOWN)
    return walked;
  ComPtr<IEnumVARIANT> each;
  v.punkVal->QueryInterface(IID_IEnumVARIANT, each.put_void());
  ::VariantClear(&v);
  for (VARIANT item; each && each->Next(1, &item, nullptr) == S_OK;) {
    walked.emplace_back(item.vt == VT_DISPATCH ? item.pdispVal : nullptr);
    if (item.vt != VT_DISPATCH) ::VariantClear(&item);
  }
  return walked;
}

TEST_F(RegisteredDevices, GetPortsListsEveryPortOnceInOrderWithWhatItsRecordSays) {
  ComPtr<ISerialPort> port = testing::NewSerialPort();
  VARIANT v;
  ::VariantInit(&v);
  ASSERT_HRESULT_SUCCEEDED(CallByName(port.get(), L"GetPorts", DISPATCH_METHOD, &v));
  ASSERT_EQ(v.vt, VT_DISPATCH);
  ComPtr<IDispatch> infos(v.pdispVal);
  const std::vector<ComPtr<IDispatch>> walked = WalkedByForEach(infos.get());

  const std::vector<std::wstring> names = ListPortNames();
  ASSERT_EQ(Text(infos.get(), L"Count"), std::to_wstring(names.size()));
  ASSERT_EQ(walked.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_TRUE(walked[i]);
    EXPECT_EQ(Text(walked[i].get(), L"PortName"), names[i]);
    VARIANT index;
    index.vt = VT_I4;
    index.lVal = static_cast<LONG>(i + 1);
    VARIANT item;
    ::VariantInit(&item);
    ASSERT_HRESULT_SUCCEEDED(CallByName(infos.get(), L"", DISPATCH_METHOD | DISPATCH_PROPERTYGET, &item, &index));
    ASSERT_EQ(item.vt, VT_DISPATCH);
    EXPECT_EQ(Text(item.pdispVal, L"PortName"), names[i]) << "Item(" << i + 1 << ")";
    ::VariantClear(&item);
  }
  for (LONG outside : {0L, static_cast<LONG>(names.size() + 1)}) {
    VARIANT index;
    index.vt = VT_I4;
    index.lVal = outside;
    VARIANT item;
    ::VariantInit(&item);
    EXPECT_EQ(CallByName(infos.get(), L"Item", DISPATCH_METHOD, &item, &index), DISP_E_BADINDEX) << outside;
  }

  const auto info_of = [&](const std::wstring& name) -> IDispatch* {
    for (const ComPtr<IDispatch>& info : walked)
      if (Text(info.get(), L"PortName") == name) return info.get();
    return nullptr;
  };
  for (const FactsCase& c : kDevices) {
    IDispatch* info = info_of(c.record.portName);
    ASSERT_TRUE(info) << c.record.portName;
    const std::wstring first_hardware_id = c.record.hardwareIds.c_str();
    const std::pair<const wchar_t*, std::wstring> members[] = {
        {L"Description", c.description},         {L"Manufacturer", c.record.manufacturer},
        {L"HardwareId", first_hardware_id},      {L"InstanceId", c.record.instanceId},
        {L"VendorId", c.vendor},                 {L"ProductId", c.product},
        {L"SerialNumber", c.serial},             {L"InterfaceNumber", std::to_wstring(c.interface_number)},
        {L"Location", c.record.location},
    };
    for (const auto& [member, expected] : members)
      EXPECT_EQ(Text(info, member), expected) << c.record.portName << " " << member;
  }
  for (const wchar_t* bare : {L"COM1", L"COM2"}) {
    IDispatch* info = info_of(bare);
    ASSERT_TRUE(info) << bare;
    for (const wchar_t* member : {L"Description", L"Manufacturer", L"HardwareId", L"InstanceId", L"VendorId",
                                  L"ProductId", L"SerialNumber", L"Location"})
      EXPECT_EQ(Text(info, member), L"") << bare << " " << member;
    EXPECT_EQ(Text(info, L"InterfaceNumber"), L"-1") << bare;
  }
}

struct OpenCase {
  const wchar_t* name;
  HRESULT expected;
  const wchar_t* port;  // the port opened; on a failure, what its description holds
  const wchar_t* peer;
};

TEST_F(RegisteredDevices, OpenReachesTheDeviceANameDescribesWhereverItIsOrSaysWhyNot) {
  const OpenCase cases[] = {
      {L"usb://0403:6001/A600ARJH", S_OK, L"COM3", L"COM4"},
      {L"USB://0403:6001/b700xyz", S_OK, L"COM4", L"COM3"},
      {L"usb://2341:8036/", HRESULT_FROM_WIN32(ERROR_INVALID_NAME), L"Open on usb://2341:8036/: the name is none of", nullptr},
      {L"match://test BOARD", S_OK, L"COM4", L"COM3"},
      {L"match://ftdibus\\", S_OK, L"COM3", L"COM4"},
      {L"usb://0403:6001", E_INVALIDARG,
       L"Open on usb://0403:6001: 2 devices match (COM3, COM4); add the serial number.", nullptr},
      {L"match://usb\\vid_", E_INVALIDARG, L"2 devices match (COM4, COM21); give more of the text.", nullptr},
      {L"usb://0403:6001/A600ARJH/1", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
       L"COM2, COM3 (USB Serial Port, usb://0403:6001/A600ARJH/0), COM4 (Test Board, usb://0403:6001/B700XYZ), ",
       nullptr},
      {L"match://nothing like it", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
       L"COM21 (Leonardo, usb://2341:8036), COM22 (Standard Serial over Bluetooth link)", nullptr},
  };
  for (const OpenCase& c : cases) {
    ComPtr<ISerialPort> port = testing::NewSerialPort(c.name);
    const HRESULT hr = port->Open();
    const std::wstring failure = testing::LastErrorDescription();
    EXPECT_EQ(hr, c.expected) << c.name << ": " << failure;
    Bstr resolved;
    ASSERT_HRESULT_SUCCEEDED(port->get_ResolvedPortName(resolved.put()));
    if (FAILED(hr)) {
      EXPECT_NE(failure.find(c.port), std::wstring::npos) << c.name << ": " << failure;
      EXPECT_EQ(resolved.str(), L"") << c.name;
      continue;
    }
    EXPECT_EQ(resolved.str(), c.port) << c.name;
    // The peer of the resolved port hears it: the name reached that port.
    ComPtr<ISerialPort> peer = testing::NewSerialPort(c.peer);
    ASSERT_HRESULT_SUCCEEDED(peer->Open());
    ASSERT_HRESULT_SUCCEEDED(port->WriteLine(Bstr(c.name).get()));
    Bstr heard;
    EXPECT_HRESULT_SUCCEEDED(peer->ReadLine(heard.put()));
    EXPECT_EQ(heard.str(), c.name);
    peer->Close();
    port->Close();
    ASSERT_HRESULT_SUCCEEDED(port->get_ResolvedPortName(resolved.put()));
    EXPECT_EQ(resolved.str(), L"") << c.name << " after Close";
  }
}

TEST_F(RegisteredDevices, TheControlsCommOpenTakesTheSameNames) {
  testing::RealPort control, peer;
  const Bstr settings(L"baud=19200 parity=N data=8 stop=1");
  const struct {
    const wchar_t* name;
    long answer;
  } cases[] = {
      {L"usb://0403:6001", ERROR_INVALID_PARAMETER},
      {L"match://no such device", ERROR_FILE_NOT_FOUND},
      {L"usb://0403", ERROR_INVALID_NAME},
      {L"usb://0403:6001/A600ARJH", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(control.port.CommOpen(1, Bstr(c.name).get(), settings.get()), c.answer) << c.name;
  }
  ASSERT_EQ(peer.Open(4, L"baud=19200 parity=N data=8 stop=1"), 0);
  EXPECT_EQ(control.Write(1, L"by usb://"), 9);
  EXPECT_EQ(peer.ReadExactly(4, 9), L"by usb://");
  EXPECT_EQ(control.port.CommClose(1), 0);
  EXPECT_EQ(peer.port.CommClose(4), 0);
}

}  // namespace
}  // namespace vemblaric::serial_port
