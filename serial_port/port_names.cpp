#include "serial_port/port_names.h"

namespace vemblaric::serial_port {

std::vector<std::wstring> ListPortNames() { return {}; }

std::wstring DescribePort(const std::wstring&) { return std::wstring(); }

}  // namespace vemblaric::serial_port
