// Finding a port: the serial ports the system lists, and what it says of one.
#pragma once

#include <string>
#include <vector>

namespace vemblaric::serial_port {

// The ports the system lists ("COM1", "COM2", ..., "COM10"), each once, in
// natural order.
std::vector<std::wstring> ListPortNames();

// The system's friendly name and hardware id of `name` ("COM7", "com7" or
// "\\.\COM7"), where it has them, else "".
std::wstring DescribePort(const std::wstring& name);

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

}  // namespace vemblaric::serial_port
