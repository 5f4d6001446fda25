#pragma once

#include <unknwn.h>

#include "com/class_table.h"

namespace vemblaric::com {

// The class object of a table entry. Class objects live as long as the
// module and count only server locks, not references.
HRESULT GetClassFactory(const ClassEntry& entry, REFIID riid, void** ppv);

}  // namespace vemblaric::com
