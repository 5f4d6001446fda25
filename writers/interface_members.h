// The members of an interface as the interface description gives them, read
// from the library widl writes of Vemblaric.idl: the type-library writer
// copies them, and the typelib test checks the built library against them.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "com/owners.h"

namespace vemblaric::writers {

enum class Kind { Method, Get, Let };

struct Param {
  std::wstring name;  // empty: unnamed (a setter's value)
  VARTYPE type;
  bool byRef;  // by reference: a pointer, [in, out]; by value: [in]
};

struct Member {
  std::wstring name;
  Kind kind;
  DISPID dispid;
  std::vector<Param> params;
  VARTYPE result;  // kNoResult: none; else an [out, retval] pointer to this type
  bool hidden;
};

constexpr VARTYPE kNoResult = VT_EMPTY;

// The functions of `info` that are its own (IUnknown's and IDispatch's, which
// a dispatch view lists as restricted, left out), in order.
inline std::vector<Member> ReadMembers(ITypeInfo* info) {
  std::vector<Member> members;
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) return members;
  const WORD functions = attr->cFuncs;
  info->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < functions; ++i) {
    FUNCDESC* desc = nullptr;
    if (FAILED(info->GetFuncDesc(i, &desc))) continue;
    if (!(desc->wFuncFlags & FUNCFLAG_FRESTRICTED)) {
      BSTR raw[8] = {};
      UINT count = 0;
      info->GetNames(desc->memid, raw, 8, &count);
      std::vector<std::wstring> names;
      for (UINT k = 0; k < count; ++k) names.push_back(Bstr::Adopt(raw[k]).str());
      Member m{count ? names[0] : L"?", Kind::Method, desc->memid, {}, kNoResult,
               (desc->wFuncFlags & FUNCFLAG_FHIDDEN) != 0};
      m.kind = desc->invkind == INVOKE_PROPERTYGET   ? Kind::Get
               : desc->invkind == INVOKE_PROPERTYPUT ? Kind::Let
                                                     : Kind::Method;
      for (SHORT k = 0; k < desc->cParams; ++k) {
        const ELEMDESC& e = desc->lprgelemdescParam[k];
        const bool byRef = e.tdesc.vt == VT_PTR;
        const VARTYPE type = byRef ? e.tdesc.lptdesc->vt : e.tdesc.vt;
        if (e.paramdesc.wParamFlags & PARAMFLAG_FRETVAL) m.result = type;
        // GetNames answers for the first function of a DISPID, a property's
        // getter; a setter's value goes unnamed, as hosts pass it by
        // DISPID_PROPERTYPUT.
        else if (m.kind == Kind::Let) m.params.push_back({L"", type, byRef});
        else m.params.push_back({k + 1u < count ? names[k + 1] : L"", type, byRef});
      }
      members.push_back(m);
    }
    info->ReleaseFuncDesc(desc);
  }
  return members;
}

}  // namespace vemblaric::writers
