// Finding ports: the order of names, and what the bench's prefix lists.
#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>
#include <initguid.h>
#include <devguid.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "com/owners.h"
#include "serial_port/port_names.h"

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

// A root device of the ports class, registered in the prefix for a test's
// length and removed on every path; an empty property is left unset.
class PortsClassDevice {
 public:
  PortsClassDevice(const std::wstring& port_name, const std::wstring& friendly_name,
                   const std::wstring& hardware_ids)
      : set_(::SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr)) {
    device_.cbSize = sizeof device_;
    if (set_ == INVALID_HANDLE_VALUE ||
        !::SetupDiCreateDeviceInfoW(set_, L"Ports", &GUID_DEVCLASS_PORTS, nullptr, nullptr,
                                    DICD_GENERATE_ID, &device_) ||
        !::SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr)) {
      return;
    }
    registered_ = true;
    if (!SetText(SPDRP_FRIENDLYNAME, friendly_name) || !SetText(SPDRP_HARDWAREID, hardware_ids))
      return;
    const HKEY created =
        ::SetupDiCreateDevRegKeyW(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (created == INVALID_HANDLE_VALUE) return;
    RegKey key;
    *key.put() = created;
    const DWORD bytes = static_cast<DWORD>((port_name.size() + 1) * sizeof(wchar_t));
    ready_ = ::RegSetValueExW(key.get(), L"PortName", 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(port_name.c_str()),
                              bytes) == ERROR_SUCCESS;
  }
  ~PortsClassDevice() {
    if (registered_) ::SetupDiRemoveDevice(set_, &device_);
    if (set_ != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(set_);
  }
  PortsClassDevice(const PortsClassDevice&) = delete;
  PortsClassDevice& operator=(const PortsClassDevice&) = delete;
  bool ready() const { return ready_; }

 private:
  bool SetText(DWORD property, const std::wstring& text) {
    if (text.empty()) return true;
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return ::SetupDiSetDeviceRegistryPropertyW(set_, &device_, property,
                                               reinterpret_cast<const BYTE*>(text.c_str()), bytes);
  }

  HDEVINFO set_;
  SP_DEVINFO_DATA device_{};
  bool registered_ = false;
  bool ready_ = false;
};

// A hardware id list as the system keeps one: each id ends in a null, and an
// empty one (the null c_str() adds) ends the list.
std::wstring IdList(std::initializer_list<const wchar_t*> ids) {
  std::wstring list;
  for (const wchar_t* id : ids) list.append(id).push_back(L'\0');
  return list;
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
       IdList({L"VEMBLARIC\\TEST", L"VEMBLARIC\\OTHER"}), true,
       L"Test Port (COM240) (VEMBLARIC\\TEST)"},
      {L"COM241", L"COM241", L"Only A Name", L"", true, L"Only A Name"},
      {L"COM242", L"COM242", L"", IdList({L"VEMBLARIC\\ID"}), true, L"VEMBLARIC\\ID"},
      // A printer port is of the class too, and no serial port.
      {L"LPT7", L"LPT7", L"Printer Port (LPT7)", L"", false, L"Printer Port (LPT7)"},
  };
  std::vector<std::unique_ptr<PortsClassDevice>> devices;
  for (const DeviceCase& c : cases) {
    devices.push_back(
        std::make_unique<PortsClassDevice>(c.stored_name, c.friendly_name, c.hardware_ids));
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

}  // namespace
}  // namespace vemblaric::serial_port
