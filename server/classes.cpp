// The classes of Vemblaric.ocx: the one list that the class objects,
// registration, per-user installation and the assembly manifest go by.
#include "com/class_table.h"
#include "control_object/identifiers.h"
#include "serial_port/identifiers.h"

namespace vemblaric::com {

const ClassEntry* const kClasses[] = {
    &control_object::kSerialControlClass,
    &serial_port::kSerialPortClass,
};
const std::size_t kClassCount = sizeof kClasses / sizeof kClasses[0];

}  // namespace vemblaric::com
