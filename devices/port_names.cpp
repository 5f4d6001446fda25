#include "devices/port_names.h"

#include <windows.h>
#include <setupapi.h>
// The ports class's identifier is defined in this file, the one that uses it.
#include <initguid.h>
#include <devguid.h>
#include <cfgmgr32.h>

#include <algorithm>
#include <set>
#include <cstddef>
#include <string_view>
#include <utility>

#include "com/owners.h"
#include "devices/device_id.h"

namespace vemblaric::devices {
namespace {

// Where serial drivers list the ports they run; each value's data is a name.
constexpr wchar_t kDeviceMapKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
// The communication-port device interface, which a port driver outside the
// ports class also registers (ntddser.h's GUID_DEVINTERFACE_COMPORT; that
// header needs the kernel's types).
constexpr GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
// The value of a ports-class device's key that holds its name.
constexpr wchar_t kPortNameValue[] = L"PortName";
// The device namespace, which hosts put before COM10 and above.
constexpr std::wstring_view kDeviceNamespace = L"\\\\.\\";

// A value or property that keeps growing between a read and the next is
// given up after this many reads: the list is a snapshot, not a promise.
constexpr int kReadTries = 4;
// The DOS device list of a machine with many drivers runs to tens of
// thousands of characters; a list that claims more than this is not read.
constexpr size_t kMaxDosDeviceChars = size_t{1} << 22;

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Device names are ASCII; a locale's own upper-casing would make the order
// and the matching depend on the user's language.
std::wstring UpperCased(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

// "COM" and a number: the DOS device list also holds drives, pipes and every
// other device, and a ports-class device may be a printer port (LPT1).
bool IsComName(const std::wstring& upper) {
  return upper.size() > 3 && upper.compare(0, 3, L"COM") == 0 &&
         std::all_of(upper.begin() + 3, upper.end(), IsDigit);
}

// Runs of digits compare as numbers, everything else character by character.
// Names equal that way (COM1, COM01) fall back to plain order, so that equal
// names, and only they, end up side by side.
bool NaturalLess(const std::wstring& a, const std::wstring& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (!IsDigit(a[i]) || !IsDigit(b[j])) {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
      continue;
    }
    size_t a_end = i;
    size_t b_end = j;
    while (a_end < a.size() && IsDigit(a[a_end])) ++a_end;
    while (b_end < b.size() && IsDigit(b[b_end])) ++b_end;
    while (i + 1 < a_end && a[i] == L'0') ++i;
    while (j + 1 < b_end && b[j] == L'0') ++j;
    // Without leading zeros, the longer number is the larger.
    if (a_end - i != b_end - j) return a_end - i < b_end - j;
    const int order = a.compare(i, a_end - i, b, j, b_end - j);
    if (order != 0) return order < 0;
    i = a_end;
    j = b_end;
  }
  if (i == a.size() && j == b.size()) return a < b;
  return i == a.size();
}

// The text of registry data, up to its first null: stored strings need not
// end in one, and some carry more than one.
std::wstring TextOf(const std::vector<wchar_t>& data, size_t bytes) {
  const auto begin = data.begin();
  const auto end =
      begin + static_cast<std::ptrdiff_t>(std::min(bytes / sizeof(wchar_t), data.size()));
  return std::wstring(begin, std::find(begin, end, L'\0'));
}

// Each read below leaves the buffer's last character out of what it may
// write, so a text that fills the rest still ends in a null.
DWORD WritableBytes(const std::vector<wchar_t>& data) {
  return static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
}

void Grow(std::vector<wchar_t>& data, DWORD required_bytes) {
  data.resize(std::max<size_t>(data.size() * 2, required_bytes / sizeof(wchar_t) + 2));
}

// A string value of `key`, or "" where it has none.
std::wstring ReadText(HKEY key, const wchar_t* value_name) {
  std::vector<wchar_t> data(64);
  for (int tries = 0; tries < kReadTries; ++tries) {
    DWORD type = 0;
    DWORD bytes = WritableBytes(data);
    const LONG status = ::RegQueryValueExW(key, value_name, nullptr, &type,
                                           reinterpret_cast<BYTE*>(data.data()), &bytes);
    if (status == ERROR_MORE_DATA) {
      Grow(data, bytes);
      continue;
    }
    if (status != ERROR_SUCCESS || type != REG_SZ) return std::wstring();
    return TextOf(data, bytes);
  }
  return std::wstring();
}

// A device's text property (the first string of a list), or "".
std::wstring DeviceText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  std::vector<wchar_t> data(128);
  for (int tries = 0; tries < kReadTries; ++tries) {
    DWORD type = 0;
    DWORD required = 0;
    const DWORD writable = WritableBytes(data);
    if (::SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type,
                                            reinterpret_cast<BYTE*>(data.data()), writable,
                                            &required)) {
      if (type != REG_SZ && type != REG_MULTI_SZ) return std::wstring();
      return TextOf(data, writable);
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::wstring();
    Grow(data, required);
  }
  return std::wstring();
}

// Owns one device information set.
class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
  ~DeviceInfoSet() {
    if (valid()) ::SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
  bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_;
};

// Calls `visit(set, device, port_name)` for each present device of `guid`
// (a setup class, or with DIGCF_DEVICEINTERFACE in `flags` a device
// interface) that has a name, upper-cased, until `visit` answers true. Where
// the system gives no set, or no key of a device, there is nothing to visit.
template <typename Visit>
void ForEachPortDevice(Visit visit, const GUID& guid = GUID_DEVCLASS_PORTS, DWORD flags = 0) {
  DeviceInfoSet set(::SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | flags));
  if (!set.valid()) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
    const HKEY opened =
        ::SetupDiOpenDevRegKey(set.get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (opened == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) || opened == nullptr) continue;
    RegKey key;
    *key.put() = opened;
    const std::wstring name = UpperCased(ReadText(key.get(), kPortNameValue));
    if (!name.empty() && visit(set.get(), device, name)) return;
  }
}

void AddDeviceMapNames(std::vector<std::wstring>& names) {
  RegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceMapKey, 0, KEY_QUERY_VALUE, key.put()) !=
      ERROR_SUCCESS) {
    return;
  }
  // A value's name is at most 16383 characters, so only its data can outgrow its buffer.
  std::vector<wchar_t> value_name(16384);
  std::vector<wchar_t> data(64);
  int tries = 0;
  for (DWORD index = 0;;) {
    DWORD name_length = static_cast<DWORD>(value_name.size());
    DWORD type = 0;
    DWORD bytes = WritableBytes(data);
    const LONG status = ::RegEnumValueW(key.get(), index, value_name.data(), &name_length, nullptr,
                                        &type, reinterpret_cast<BYTE*>(data.data()), &bytes);
    if (status == ERROR_MORE_DATA) {
      if (++tries < kReadTries) {
        Grow(data, bytes);
        continue;
      }
    } else if (status != ERROR_SUCCESS) {
      return;  // the end, or a key gone meanwhile
    } else if (type == REG_SZ) {
      std::wstring name = TextOf(data, bytes);
      if (!name.empty()) names.push_back(std::move(name));
    }
    ++index;
    tries = 0;
  }
}

void AddPortsClassNames(std::vector<std::wstring>& names) {
  ForEachPortDevice([&names](HDEVINFO, SP_DEVINFO_DATA&, const std::wstring& name) {
    if (IsComName(name)) names.push_back(name);
    return false;
  });
}

// Ports that exist only as DOS device names: those a prefix maps with
// dosdevices links, or a driver that names its device and nothing more.
void AddDosDeviceNames(std::vector<std::wstring>& names) {
  std::vector<wchar_t> list(16384);
  DWORD stored = 0;
  while ((stored = ::QueryDosDeviceW(nullptr, list.data(), static_cast<DWORD>(list.size()))) == 0) {
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || list.size() >= kMaxDosDeviceChars) return;
    list.resize(list.size() * 2);
  }
  // The whole stored length is read, empty entries skipped, rather than up to
  // the first empty entry: Wine's list can hold one before its end (after a
  // DefineDosDeviceW), and the ports can come after it.
  const auto end =
      list.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(stored, list.size()));
  for (auto entry = list.begin(); entry < end;) {
    const auto entry_end = std::find(entry, end, L'\0');
    std::wstring name = UpperCased(std::wstring(entry, entry_end));
    if (IsComName(name)) names.push_back(std::move(name));
    if (entry_end == end) break;
    entry = entry_end + 1;
  }
}


// The device's instance path, or "".
std::wstring InstanceIdOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
  std::vector<wchar_t> data(MAX_DEVICE_ID_LEN + 1);
  DWORD required = 0;
  if (!::SetupDiGetDeviceInstanceIdW(set, &device, data.data(), static_cast<DWORD>(data.size() - 1),
                                     &required))
    return std::wstring();
  return std::wstring(data.data());
}

// The parent device node's instance path and its location, where the system
// links the device to one.
struct ParentRecord {
  std::wstring instanceId;
  std::wstring location;
};

ParentRecord ParentOf(DEVINST child) {
  ParentRecord parent;
  DEVINST node = 0;
  if (::CM_Get_Parent(&node, child, 0) != CR_SUCCESS || node == 0) return parent;
  std::vector<wchar_t> data(MAX_DEVICE_ID_LEN + 1);
  if (::CM_Get_Device_IDW(node, data.data(), static_cast<ULONG>(data.size() - 1), 0) == CR_SUCCESS)
    parent.instanceId = data.data();
  ULONG bytes = static_cast<ULONG>((data.size() - 1) * sizeof(wchar_t));
  ULONG type = 0;
  std::fill(data.begin(), data.end(), L'\0');
  if (::CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_INFORMATION, &type, data.data(),
                                          &bytes, 0) == CR_SUCCESS &&
      type == REG_SZ)
    parent.location = data.data();
  return parent;
}

// A friendly name ends in the port's name ("USB Serial Port (COM7)"), which
// a host has already.
std::wstring WithoutPortName(std::wstring friendly, const std::wstring& port_name) {
  const std::wstring suffix = L"(" + port_name + L")";
  if (friendly.size() >= suffix.size() &&
      UpperCased(friendly.substr(friendly.size() - suffix.size())) == suffix) {
    friendly.erase(friendly.size() - suffix.size());
    while (!friendly.empty() && friendly.back() == L' ') friendly.pop_back();
  }
  return friendly;
}

PortFacts FactsOf(HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& port_name) {
  PortFacts facts;
  facts.portName = port_name;
  facts.instanceId = InstanceIdOf(set, device);
  facts.hardwareId = DeviceText(set, device, SPDRP_HARDWAREID);
  facts.manufacturer = DeviceText(set, device, SPDRP_MFG);
  facts.description = WithoutPortName(DeviceText(set, device, SPDRP_FRIENDLYNAME), port_name);
  if (facts.description.empty()) facts.description = DeviceText(set, device, SPDRP_DEVICEDESC);

  DeviceIdFacts id = ParseDeviceId(facts.instanceId);
  // A bus driver of its own may give the device an instance path of its own
  // making while its hardware id still names the USB device.
  if (id.vendorId.empty()) id = ParseDeviceId(facts.hardwareId);
  if (id.vendorId.empty()) return facts;
  facts.vendorId = id.vendorId;
  facts.productId = id.productId;
  facts.serialNumber = id.serialNumber;
  facts.interfaceNumber = id.interfaceNumber;
  facts.location = DeviceText(set, device, SPDRP_LOCATION_INFORMATION);
  // An interface of a composite device, or a port of a chip's own bus
  // driver, is a child of the USB device that has the serial number and
  // sits in the hub's port.
  if (id.serialInParent || facts.location.empty()) {
    const ParentRecord parent = ParentOf(device.DevInst);
    if (id.serialInParent) facts.serialNumber = ParseDeviceId(parent.instanceId).serialNumber;
    if (facts.location.empty()) facts.location = parent.location;
  }
  return facts;
}

// The ports that have a device record: the ports class, and devices of the
// communication-port interface outside it. Each device once, by its
// instance path; the first record of a name is the one kept.
std::vector<PortFacts> RecordedPorts() {
  std::vector<PortFacts> ports;
  std::set<std::wstring> seen_devices;
  std::set<std::wstring> seen_names;
  const auto visit = [&](HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& name) {
    if (!IsComName(name) || seen_names.count(name)) return false;
    PortFacts facts = FactsOf(set, device, name);
    if (!seen_devices.insert(UpperCased(facts.instanceId)).second) return false;
    seen_names.insert(name);
    ports.push_back(std::move(facts));
    return false;
  };
  ForEachPortDevice(visit);
  ForEachPortDevice(visit, kComPortInterface, DIGCF_DEVICEINTERFACE);
  return ports;
}

}  // namespace

std::vector<std::wstring> OrderPortNames(std::vector<std::wstring> names) {
  for (std::wstring& name : names) name = UpperCased(std::move(name));
  std::sort(names.begin(), names.end(), NaturalLess);
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

// Each source that fails (no device map, no SetupAPI set, a DOS device list
// that cannot be read) adds nothing: the others still name their ports.
std::vector<std::wstring> ListPortNames() {
  std::vector<std::wstring> names;
  AddDeviceMapNames(names);
  AddPortsClassNames(names);
  AddDosDeviceNames(names);
  return OrderPortNames(std::move(names));
}

PortLists LookAtPorts() {
  PortLists lists;
  AddDeviceMapNames(lists.deviceMap);
  AddDosDeviceNames(lists.dosNames);
  lists.deviceMap = OrderPortNames(std::move(lists.deviceMap));
  lists.dosNames = OrderPortNames(std::move(lists.dosNames));
  return lists;
}

std::wstring DescribePort(const std::wstring& name) {
  std::wstring wanted = name;
  if (wanted.compare(0, kDeviceNamespace.size(), kDeviceNamespace) == 0) {
    wanted.erase(0, kDeviceNamespace.size());
  }
  wanted = UpperCased(std::move(wanted));
  if (wanted.empty()) return std::wstring();

  std::wstring description;
  ForEachPortDevice([&](HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& port_name) {
    if (port_name != wanted) return false;
    const std::wstring friendly = DeviceText(set, device, SPDRP_FRIENDLYNAME);
    const std::wstring hardware_id = DeviceText(set, device, SPDRP_HARDWAREID);
    if (friendly.empty()) {
      description = hardware_id;
    } else if (hardware_id.empty()) {
      description = friendly;
    } else {
      description = friendly + L" (" + hardware_id + L")";
    }
    return true;
  });
  return description;
}

std::vector<PortFacts> ListPortFacts() {
  // ListPortNames' sources, with the records read once: they hold every
  // name of the ports class.
  std::vector<PortFacts> recorded = RecordedPorts();
  std::vector<std::wstring> names;
  AddDeviceMapNames(names);
  AddDosDeviceNames(names);
  for (const PortFacts& port : recorded) names.push_back(port.portName);
  names = OrderPortNames(std::move(names));
  std::vector<PortFacts> ports;
  ports.reserve(names.size());
  for (std::wstring& name : names) {
    const auto found = std::find_if(recorded.begin(), recorded.end(),
                                    [&](const PortFacts& port) { return port.portName == name; });
    if (found != recorded.end()) {
      ports.push_back(std::move(*found));
    } else {
      // A port with no device record (a virtual pair, a mapped name): its
      // name and nothing else.
      PortFacts bare;
      bare.portName = std::move(name);
      ports.push_back(std::move(bare));
    }
  }
  return ports;
}

}  // namespace vemblaric::devices
