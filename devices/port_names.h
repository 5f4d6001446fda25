// Finding a port: the serial ports the system lists, and what its device
// installation records say of each.
#pragma once

#include <string>
#include <vector>

namespace vemblaric::devices {

// The ports the system lists ("COM1", "COM2", ..., "COM10"), each once, in
// natural order.
std::vector<std::wstring> ListPortNames();

// The system's friendly name and hardware id of `name` ("COM7", "com7" or
// "\\.\COM7"), where it has them, else "".
std::wstring DescribePort(const std::wstring& name);

// What the system's records say of one port; "" (and -1) for what they do
// not say, everything but the name for a port with no device record.
struct PortFacts {
  std::wstring portName;      // COM7
  std::wstring description;   // the friendly name without "(COM7)", else the device's description
  std::wstring manufacturer;  // the driver's
  std::wstring hardwareId;    // the first
  std::wstring instanceId;    // the device instance path
  std::wstring vendorId;      // USB: four hex digits, upper case
  std::wstring productId;
  std::wstring serialNumber;  // USB: the device's, "" when it reports none
  int interfaceNumber = -1;   // a composite device's interface, an FTDI chip's channel
  std::wstring location;      // USB: the hub and port path ("Port_#0003.Hub_#0001")
};

// Every port ListPortNames gives, in its order, with its facts.
std::vector<PortFacts> ListPortFacts();

// What the system lists of its ports now, for a watcher that compares one
// look with the next: the device map's names and the COMn DOS device names,
// each in natural order. Neither reads the device installation records,
// which cost far more than a look once a second may.
struct PortLists {
  std::vector<std::wstring> deviceMap;
  std::vector<std::wstring> dosNames;
  bool operator==(const PortLists& other) const {
    return deviceMap == other.deviceMap && dosNames == other.dosNames;
  }
  bool operator!=(const PortLists& other) const { return !(*this == other); }
};
PortLists LookAtPorts();

// `names` as ListPortNames gives them: upper-cased, each once, runs of digits
// compared as numbers ("COM9" before "COM10").
std::vector<std::wstring> OrderPortNames(std::vector<std::wstring> names);

}  // namespace vemblaric::devices
