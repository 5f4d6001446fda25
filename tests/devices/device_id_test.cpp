// What an id says of a USB serial port, and which port a name that says
// which device reaches.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/device_id.h"
#include "devices/port_resolution.h"

namespace vemblaric::devices {
namespace {

struct IdCase {
  const wchar_t* id;
  const wchar_t* vendor;
  const wchar_t* product;
  const wchar_t* serial;
  int interface_number;
  bool serial_in_parent;
};

TEST(ParseDeviceId, ReadsVendorProductSerialAndInterfaceOfEachFormAndNothingOfOthers) {
  const IdCase cases[] = {
      // USB: the instance part is the serial number, unless the system made it up.
      {L"USB\\VID_0403&PID_6001\\A600ARJH", L"0403", L"6001", L"A600ARJH", -1, false},
      {L"usb\\vid_10c4&pid_ea60\\0001", L"10C4", L"EA60", L"0001", -1, false},
      {L"USB\\VID_067B&PID_2303\\5&2A8B7F3&0&1", L"067B", L"2303", L"", -1, false},
      // A composite device's interface: hex MI, serial number in the parent.
      {L"USB\\VID_2341&PID_8036&MI_00\\6&2B5A5E25&0&0000", L"2341", L"8036", L"", 0, true},
      {L"USB\\VID_1366&PID_0105&MI_0A\\7&1&0&000A", L"1366", L"0105", L"", 10, true},
      // FTDI's bus: the channel letter goes, and names the interface.
      {L"FTDIBUS\\VID_0403+PID_6001+A600ARJHA\\0000", L"0403", L"6001", L"A600ARJH", 0, false},
      {L"FTDIBUS\\VID_0403+PID_6010+FT4ZXS7BB\\0000", L"0403", L"6010", L"FT4ZXS7B", 1, false},
      {L"FTDIBUS\\VID_0403+PID_6001+12345678\\0000", L"0403", L"6001", L"12345678", -1, false},
      {L"FTDIBUS\\VID_0403+PID_6001+5&2A8B7F3&0&2\\0000", L"0403", L"6001", L"", -1, false},
      // Hardware ids: vendor and product, never a serial number.
      {L"USB\\VID_0403&PID_6001&REV_0600", L"0403", L"6001", L"", -1, false},
      {L"FTDIBUS\\COMPORT&VID_0403&PID_6001", L"0403", L"6001", L"", -1, false},
      // Another bus with USB ids: vendor and product only.
      {L"WCHBUS\\VID_1A86&PID_7523\\ABC", L"1A86", L"7523", L"", -1, false},
      // Not USB: CDC's class id, Bluetooth, PCI, ACPI, a root device.
      {L"USB\\Class_02&SubClass_02&Prot_01", L"", L"", L"", -1, false},
      {L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1C2D3E4F&0&000000000000_00000000",
       L"", L"", L"", -1, false},
      {L"PCI\\VEN_8086&DEV_A13D&SUBSYS_00000000&REV_31\\3&11583659&0&B3", L"", L"", L"", -1, false},
      {L"ACPI\\PNP0501\\1", L"", L"", L"", -1, false},
      {L"ROOT\\PORTS\\0000", L"", L"", L"", -1, false},
      // Malformed: a short, long or non-hex id, half an identity, no device part.
      {L"USB\\VID_403&PID_6001\\A1", L"", L"", L"", -1, false},
      {L"USB\\VID_04031&PID_6001\\A1", L"", L"", L"", -1, false},
      {L"USB\\VID_04G3&PID_6001\\A1", L"", L"", L"", -1, false},
      {L"USB\\VID_0403\\A1", L"", L"", L"", -1, false},
      {L"USB\\VID_0403&PID_6001&MI_0\\A1", L"", L"", L"", -1, false},
      {L"USB", L"", L"", L"", -1, false},
      {L"", L"", L"", L"", -1, false},
  };
  for (const IdCase& c : cases) {
    const DeviceIdFacts facts = ParseDeviceId(c.id);
    EXPECT_EQ(facts.vendorId, c.vendor) << c.id;
    EXPECT_EQ(facts.productId, c.product) << c.id;
    EXPECT_EQ(facts.serialNumber, c.serial) << c.id;
    EXPECT_EQ(facts.interfaceNumber, c.interface_number) << c.id;
    EXPECT_EQ(facts.serialInParent, c.serial_in_parent) << c.id;
  }
}

PortFacts Usb(const wchar_t* name, const wchar_t* vendor, const wchar_t* serial, int interface_number,
              const wchar_t* description, const wchar_t* manufacturer) {
  PortFacts p;
  p.portName = name;
  p.vendorId = vendor;
  p.productId = L"6001";
  p.serialNumber = serial;
  p.interfaceNumber = interface_number;
  p.description = description;
  p.manufacturer = manufacturer;
  p.hardwareId = L"USB\\VID_" + p.vendorId + L"&PID_6001";
  p.instanceId = p.hardwareId + L"\\" + p.serialNumber;
  return p;
}

struct ResolveCase {
  const wchar_t* name;
  DWORD error;
  const wchar_t* port;     // the port reached, or what the failure's text holds
};

TEST(ResolvePortName, ReachesTheOnePortThatMatchesAndSaysWhyWhenNoneOrMoreDo) {
  std::vector<PortFacts> ports = {
      PortFacts{L"COM1"},
      Usb(L"COM3", L"0403", L"A600ARJH", 0, L"USB Serial Port", L"FTDI"),
      Usb(L"COM7", L"0403", L"B700ZZ", 0, L"USB Serial Port", L"FTDI"),
      Usb(L"COM8", L"0403", L"B700ZZ", 1, L"Dual Port \u00c9", L"Acme"),
  };
  ports[3].instanceId = L"USB\\VID_0403&PID_6001&MI_01\\7&1&0&0001";
  const ResolveCase cases[] = {
      {L"usb://0403:6001/A600ARJH", 0, L"COM3"},
      {L"USB://0403:6001/a600arjh/0", 0, L"COM3"},
      {L"usb://0403:6001/B700ZZ/1", 0, L"COM8"},
      {L"match://acme", 0, L"COM8"},
      {L"match://dual port \u00e9", 0, L"COM8"},  // case beyond ASCII
      {L"match://\\B700ZZ", 0, L"COM7"},  // in the instance path
      {L"usb://0403:6001", ERROR_INVALID_PARAMETER,
       L"3 devices match (COM3, COM7, COM8); add the serial number."},
      {L"usb://0403:6001/B700ZZ", ERROR_INVALID_PARAMETER,
       L"2 devices match (COM7, COM8); add the interface number."},
      {L"match://ftdi", ERROR_INVALID_PARAMETER, L"2 devices match (COM3, COM7); give more of the text."},
      {L"usb://0403:6002", ERROR_FILE_NOT_FOUND,
       L"no port matches; attached: COM1, COM3 (USB Serial Port, usb://0403:6001/A600ARJH/0), "
       L"COM7 (USB Serial Port, usb://0403:6001/B700ZZ/0), COM8 (Dual Port \u00c9, usb://0403:6001/B700ZZ/1)."},
      {L"usb://0403:6001/A600ARJH/2", ERROR_FILE_NOT_FOUND, L"no port matches; attached: COM1, "},
      {L"match://COM1", ERROR_FILE_NOT_FOUND, L"no port matches"},  // a bare port has no facts to match
      // Malformed: as a network name that does not parse.
      {L"usb://", ERROR_INVALID_NAME, L"the name is none of usb://VVVV:PPPP"},
      {L"usb://403:6001", ERROR_INVALID_NAME, L"the name is none of"},
      {L"usb://0403-6001", ERROR_INVALID_NAME, L"the name is none of"},
      {L"usb://0403:600G", ERROR_INVALID_NAME, L"the name is none of"},
      {L"usb://0403:6001/", ERROR_INVALID_NAME, L"the name is none of"},
      {L"usb://0403:6001/A//0", ERROR_INVALID_NAME, L"the name is none of"},
      {L"usb://0403:6001/A/x", ERROR_INVALID_NAME, L"the name is none of"},
      {L"usb://0403:6001/A/256", ERROR_INVALID_NAME, L"the name is none of"},
      {L"usb://0403:6001/A/0/1", ERROR_INVALID_NAME, L"the name is none of"},
      {L"match://", ERROR_INVALID_NAME, L"match:// needs the text"},
  };
  for (const ResolveCase& c : cases) {
    const ResolvedPort r = ResolvePortName(c.name, ports);
    EXPECT_EQ(r.error, c.error) << c.name << ": " << r.failure;
    if (c.error == 0) {
      EXPECT_EQ(r.portName, c.port) << c.name;
      EXPECT_EQ(r.path, std::wstring(L"\\\\.\\") + c.port) << c.name;
    } else {
      EXPECT_NE(r.failure.find(c.port), std::wstring::npos) << c.name << ": " << r.failure;
      EXPECT_EQ(r.path, L"") << c.name;
    }
  }
  EXPECT_EQ(ResolvePortName(L"usb://0403:6001", {}).failure, L"no port matches, and none is attached.");
}

TEST(ResolvePortName, LeavesEveryOtherNameAsTheSystemTakesIt) {
  const struct {
    const wchar_t* name;
    const wchar_t* path;
  } cases[] = {
      {L"COM3", L"\\\\.\\COM3"},
      {L"cnca0", L"\\\\.\\cnca0"},
      {L"\\\\.\\COM12", L"\\\\.\\COM12"},
      {L"rfc2217://127.0.0.1:2217", L"rfc2217://127.0.0.1:2217"},
      {L"usbx://0403:6001", L"usbx://0403:6001"},
  };
  for (const auto& c : cases) {
    const ResolvedPort r = ResolvePortName(c.name, {Usb(L"COM3", L"0403", L"A", 0, L"", L"")});
    EXPECT_EQ(r.error, 0u) << c.name;
    EXPECT_EQ(r.path, c.path) << c.name;
    EXPECT_EQ(r.portName, c.name) << c.name;
  }
}

}  // namespace
}  // namespace vemblaric::devices
