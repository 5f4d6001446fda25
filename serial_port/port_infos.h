// GetPorts' answer: the ports as one collection, each port's facts an object
// of its own. They are made and used on the thread that asked; nothing of
// them crosses threads, and each holds the module while it lives.
#pragma once

#include <vector>

#include "SerialPort.h"
#include "devices/port_names.h"

namespace vemblaric::serial_port {

HRESULT NewPortInfos(std::vector<devices::PortFacts> ports, ISerialPortInfos** result);

}  // namespace vemblaric::serial_port
