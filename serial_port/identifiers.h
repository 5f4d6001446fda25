// SerialPort's class and its type library as installation publishes them;
// the identifiers themselves come from its interface description.
#pragma once

#include <windows.h>

#include "com/class_table.h"

namespace vemblaric::serial_port {

constexpr wchar_t kProgId[] = L"Vemblaric.SerialPort";
constexpr wchar_t kVersionedProgId[] = L"Vemblaric.SerialPort.1";
// The second type library of the library's file.
constexpr int kTypeLibraryResource = 2;

extern const com::TypeLibraryEntry kSerialPortLibrary;
extern const com::ClassEntry kSerialPortClass;

}  // namespace vemblaric::serial_port
