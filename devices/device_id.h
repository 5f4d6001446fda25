// What a device's instance path or hardware id tells of a USB serial port:
// vendor and product, serial number, interface. Only text is read here; the
// system's records are read in port_facts.cpp.
#pragma once

#include <string>
#include <string_view>

namespace vemblaric::devices {

struct DeviceIdFacts {
  std::wstring vendorId;      // four hex digits, upper case; "" when not USB
  std::wstring productId;     // likewise
  std::wstring serialNumber;  // "" when the id carries none
  int interfaceNumber = -1;   // a composite device's MI_xx, an FTDI chip's channel; -1 when none
  // A composite device's interface carries no serial number of its own: its
  // parent device's instance path does.
  bool serialInParent = false;
};

// Reads the forms the system gives serial ports:
//   USB\VID_0403&PID_6001\A600ARJH             vendor, product, serial number
//   USB\VID_2341&PID_8036&MI_00\6&2B5A5E25&0&0000  interface 0, serial in the parent
//   FTDIBUS\VID_0403+PID_6001+A600ARJHA\0000   serial A600ARJH, channel A = interface 0
//   USB\VID_0403&PID_6001&REV_0600             a hardware id: vendor and product
// An id the system made up for a device without a serial number (it holds
// '&') is no serial number. Any other form (Bluetooth, PCI, ACPI, a class
// id), and a vendor or product that is not four hex digits, give nothing.
DeviceIdFacts ParseDeviceId(std::wstring_view id);

}  // namespace vemblaric::devices
