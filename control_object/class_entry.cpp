// SerialControl's entry in the library's class table.
#include "Vemblaric.h"
#include "control/module1.h"
#include "control_object/control_object.h"
#include "control_object/identifiers.h"

namespace vemblaric::control_object {

namespace {
const IID* const kRegisteredInterfaces[] = {&IID__SerialControl, &DIID___SerialControl};
}  // namespace

const com::TypeLibraryEntry kVemblaricLibrary = {
    &LIBID_Vemblaric, kLibraryMajor, kLibraryMinor, kLibraryLocale, 1,
    kRegisteredInterfaces, 2,
};

const com::ClassEntry kSerialControlClass = {
    &CLSID_SerialControl,
    kProgId,
    nullptr,  // no versioned programmatic identifier
    kProgId,  // the class key's default value
    L"Apartment",
    kMiscStatus,
    true,   // a control
    false,  // not offered for insertion into documents
    kToolboxBitmap,
    &kVemblaricLibrary,
    &ControlObject::Create,
    &FreeThreadModule1,  // the thread's receive-loop record
    &FreeAllModule1,     // every thread's, when the library goes
};

}  // namespace vemblaric::control_object
