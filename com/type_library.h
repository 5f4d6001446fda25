// The module's type libraries, each loaded once on first use and kept until
// the module goes: objects take their type descriptions from the one loaded
// library and hand out references to them. Loading and releasing a library
// per object let Wine's cache of loaded libraries hand one thread a library
// whose last reference another thread was just dropping.
#pragma once

#include <oaidl.h>

#include "com/class_table.h"

namespace vemblaric::com {

// A new reference to the library `entry` names, loaded from the module's
// file on the first call; the load's failure otherwise, tried again on the
// next call.
HRESULT GetTypeLibrary(const TypeLibraryEntry& entry, ITypeLib** library);

// A new reference to the description of `guid` in that library.
HRESULT GetTypeInfoOfGuid(const TypeLibraryEntry& entry, REFGUID guid, ITypeInfo** info);

// Lets go of every library kept: the module is being unloaded.
void ReleaseTypeLibraries();

}  // namespace vemblaric::com
