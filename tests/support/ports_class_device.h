// A serial-port device registered in the test's prefix through the system's
// device installation functions for a test's length, removed on every path
// (one left by a test that crashed is taken over and removed in turn).
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <devguid.h>

#include <initializer_list>
#include <string>

#include "com/owners.h"

namespace vemblaric::testing {

struct DeviceRecord {
  std::wstring portName;      // the device key's PortName
  std::wstring instanceId;    // "": one the system makes up (ROOT\PORTS\nnnn)
  std::wstring friendlyName;  // an empty property is left unset
  std::wstring hardwareIds;   // a list, as IdList makes it
  std::wstring manufacturer;
  std::wstring location;
};

// A hardware id list as the system keeps one: each id ends in a null, and an
// empty one (the null c_str() adds) ends the list.
inline std::wstring IdList(std::initializer_list<const wchar_t*> ids) {
  std::wstring list;
  for (const wchar_t* id : ids) list.append(id).push_back(L'\0');
  return list;
}

class PortsClassDevice {
 public:
  explicit PortsClassDevice(const DeviceRecord& r)
      : set_(::SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr)) {
    device_.cbSize = sizeof device_;
    if (set_ == INVALID_HANDLE_VALUE || !Create(r.instanceId)) return;
    registered_ = true;
    if (!SetText(SPDRP_FRIENDLYNAME, r.friendlyName) || !SetText(SPDRP_HARDWAREID, r.hardwareIds) ||
        !SetText(SPDRP_MFG, r.manufacturer) || !SetText(SPDRP_LOCATION_INFORMATION, r.location))
      return;
    const HKEY created =
        ::SetupDiCreateDevRegKeyW(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (created == INVALID_HANDLE_VALUE) return;
    RegKey key;
    *key.put() = created;
    const DWORD bytes = static_cast<DWORD>((r.portName.size() + 1) * sizeof(wchar_t));
    ready_ = ::RegSetValueExW(key.get(), L"PortName", 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(r.portName.c_str()),
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
  bool Create(const std::wstring& instance_id) {
    const bool generated = instance_id.empty();
    if (!::SetupDiCreateDeviceInfoW(set_, generated ? L"Ports" : instance_id.c_str(),
                                    &GUID_DEVCLASS_PORTS, nullptr, nullptr,
                                    generated ? DICD_GENERATE_ID : 0, &device_)) {
      if (generated || ::GetLastError() != ERROR_DEVINST_ALREADY_EXISTS ||
          !::SetupDiOpenDeviceInfoW(set_, instance_id.c_str(), nullptr, 0, &device_))
        return false;
    }
    return ::SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr) ||
           ::GetLastError() == ERROR_DEVINST_ALREADY_EXISTS;
  }
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

}  // namespace vemblaric::testing
