#pragma once

#include <unknwn.h>

namespace vemblaric::server {

// The one class object of the library; it lives as long as the module and
// counts only server locks, not references.
IClassFactory& SerialControlFactory();

}  // namespace vemblaric::server
