// IDispatch for the dual interface, driven by its type description: names and
// member identifiers from the type library, arguments converted by the
// automation rules, and the call made through the member's function-table
// place. Beyond what ITypeInfo::Invoke does, real clients need:
// - a by-reference parameter accepts a by-value argument (converted into a
//   temporary, whose out value is dropped), and a VT_BYREF|VT_VARIANT
//   argument, which script engines pass for a variable, is converted in and
//   the member's out value written back;
// - a by-reference argument of another type (VT_BYREF|VT_I2 for a Boolean) is
//   converted in and its out value converted back into the caller's type;
//   one that cannot hold it fails the call with the conversion's status;
// - too many or too few arguments are DISP_E_BADPARAMCOUNT, but optional
//   Variant parameters at the end may be left out: the member gets them as
//   missing (VT_ERROR, DISP_E_PARAMNOTFOUND), as from an early-bound caller;
// - a member's failure reaches the host as DISP_E_EXCEPTION with the status,
//   a description and the source that the object names.
#pragma once

#include <oaidl.h>

namespace vemblaric::com {

// Who reports a member's failure, and how its status reads.
struct FailureSource {
  const wchar_t* name;
  BSTR (*describe)(HRESULT status) noexcept;  // never throws, may return null
};

HRESULT InvokeMember(ITypeInfo* info, void* object, DISPID member, WORD flags,
                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                     UINT* argumentError, const FailureSource& reporter);

// The system's description of a failure status, as EXCEPINFO carries it.
BSTR DescribeFailure(HRESULT status) noexcept;

}  // namespace vemblaric::com
