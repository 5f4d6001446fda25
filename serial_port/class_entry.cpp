// SerialPort's entry in the library's class table.
#include "SerialPort.h"
#include "serial_port/identifiers.h"
#include "serial_port/serial_port_object.h"

namespace vemblaric::serial_port {

namespace {
const IID* const kRegisteredInterfaces[] = {&IID_ISerialPort, &DIID_ISerialPortEvents,
                                            &IID_ISerialPortInfos, &IID_ISerialPortInfo};
}  // namespace

const com::TypeLibraryEntry kSerialPortLibrary = {
    &LIBID_VemblaricSerialPort, 1, 2, 0, kTypeLibraryResource, kRegisteredInterfaces,
    sizeof kRegisteredInterfaces / sizeof kRegisteredInterfaces[0],
};

const com::ClassEntry kSerialPortClass = {
    &CLSID_SerialPort,
    kProgId,
    kVersionedProgId,
    L"Vemblaric Serial Port",
    L"Apartment",
    0,      // nothing to draw: no status for containers
    false,  // not a control
    false,  // not offered for insertion into documents
    0,      // no toolbox picture
    &kSerialPortLibrary,
    &SerialPortObject::Create,
    &SerialPortObject::ThreadEnded,  // the thread's port watchers
    &SerialPortObject::Unloaded,     // the window class
};

}  // namespace vemblaric::serial_port
