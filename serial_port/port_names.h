// SerialPort's names for the port list, which lives with the device facts.
#pragma once

#include "devices/port_names.h"

namespace vemblaric::serial_port {

using devices::DescribePort;
using devices::ListPortNames;
using devices::OrderPortNames;
using devices::LookAtPorts;
using devices::PortLists;

}  // namespace vemblaric::serial_port
