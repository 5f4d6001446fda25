#include "com/dispatch.h"

#include <oleauto.h>

#include <cstring>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

namespace vemblaric::com {
namespace {

constexpr wchar_t kUnexpectedFailure[] = L"Unexpected failure";

// A FUNCDESC owned for the length of one call.
class FuncDesc {
 public:
  FuncDesc(ITypeInfo* info, FUNCDESC* desc) : info_(info), desc_(desc) {}
  ~FuncDesc() {
    if (desc_) info_->ReleaseFuncDesc(desc_);
  }
  FuncDesc(const FuncDesc&) = delete;
  FuncDesc& operator=(const FuncDesc&) = delete;
  const FUNCDESC* operator->() const { return desc_; }

 private:
  ITypeInfo* info_;
  FUNCDESC* desc_;
};

// Finds the function of `member` that answers `flags`: a get for a property
// get or method call, a put for a property put.
HRESULT FindFunction(ITypeInfo* info, DISPID member, WORD flags, FUNCDESC** found) {
  *found = nullptr;
  TYPEATTR* attr = nullptr;
  HRESULT hr = info->GetTypeAttr(&attr);
  if (FAILED(hr)) return hr;
  const WORD count = attr->cFuncs;
  info->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < count; ++i) {
    FUNCDESC* desc = nullptr;
    if (FAILED(info->GetFuncDesc(i, &desc))) continue;
    if (desc->memid == member) {
      const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
      const bool match = put ? (desc->invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) != 0
                             : ((desc->invkind & INVOKE_FUNC) && (flags & DISPATCH_METHOD)) ||
                                   ((desc->invkind & INVOKE_PROPERTYGET) &&
                                    (flags & DISPATCH_PROPERTYGET));
      if (match) {
        *found = desc;
        return S_OK;
      }
    }
    info->ReleaseFuncDesc(desc);
  }
  // A member that exists but cannot be called this way (a put on a
  // read-only property) is as unknown to the caller as a missing one.
  return DISP_E_MEMBERNOTFOUND;
}

// One argument as the member receives it.
struct Argument {
  VARIANT value;         // the converted value (the temporary of a by-ref parameter)
  VARIANT* backing;      // where a by-reference value lives, or nullptr
  VARIANT* writeBack;    // the caller's VT_VARIANT to update afterwards, or nullptr
  VARIANT* callerRef;    // the caller's by-reference argument of another type, or nullptr
  UINT position;         // the argument's place in the caller's array
  VARTYPE type;          // the parameter's base type
  bool byRef;
};

// The automation type a parameter travels as: an enumeration as the Long
// it is, an alias as what it names, a pointer to a library's interface as an
// object (VT_DISPATCH for one that scripts can call, else VT_UNKNOWN).
VARTYPE BaseType(ITypeInfo* info, const TYPEDESC& type) {
  const bool object = type.vt == VT_PTR && type.lptdesc->vt == VT_USERDEFINED;
  if (type.vt != VT_USERDEFINED && !object) return type.vt;
  ITypeInfo* named = nullptr;
  if (FAILED(info->GetRefTypeInfo((object ? *type.lptdesc : type).hreftype, &named)))
    return object ? VT_PTR : VT_USERDEFINED;
  VARTYPE base = object ? VT_PTR : VT_USERDEFINED;
  TYPEATTR* attr = nullptr;
  if (SUCCEEDED(named->GetTypeAttr(&attr))) {
    if (object) {
      if (attr->typekind == TKIND_DISPATCH || (attr->wTypeFlags & TYPEFLAG_FDUAL)) base = VT_DISPATCH;
      else if (attr->typekind == TKIND_INTERFACE) base = VT_UNKNOWN;
    } else if (attr->typekind == TKIND_ENUM) {
      base = VT_I4;
    } else if (attr->typekind == TKIND_ALIAS) {
      base = BaseType(named, attr->tdescAlias);
    }
    named->ReleaseTypeAttr(attr);
  }
  named->Release();
  return base;
}

HRESULT Convert(VARIANT* out, VARIANT* in, VARTYPE type) {
  ::VariantInit(out);
  return ::VariantChangeType(out, in, 0, type);
}

// How many bytes a by-reference argument of a plain number type points at;
// 0 for a decimal, which fills a variant whole, and for a type whose variable
// cannot take a converted value back (objects, arrays, records, status codes).
size_t NumberBytes(VARTYPE type) {
  switch (type) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE: return 8;
    default: return 0;
  }
}

bool TakesValueBack(VARTYPE type) {
  return type == VT_BSTR || type == VT_DECIMAL || NumberBytes(type) != 0;
}

// Puts a member's out value into the caller's variable of another type, as
// the automation rules convert it. A variable that cannot hold the value is
// left as it was, and the conversion's failure is the call's.
HRESULT StoreThrough(VARIANT& variable, VARIANT* value) {
  const VARTYPE type = static_cast<VARTYPE>(variable.vt & ~VT_BYREF);
  VARIANT converted;
  const HRESULT hr = Convert(&converted, value, type);
  if (FAILED(hr)) return hr == DISP_E_OVERFLOW || hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
  if (type == VT_BSTR) {
    ::SysFreeString(*variable.pbstrVal);
    *variable.pbstrVal = converted.bstrVal;  // ownership moves to the caller
  } else if (type == VT_DECIMAL) {
    // A decimal's reserved first field is where a variant keeps its type: the
    // caller's stays as it was.
    DECIMAL number = converted.decVal;
    number.wReserved = variable.pdecVal->wReserved;
    *variable.pdecVal = number;
  } else {
    // Every number sits at the start of the variant's value.
    std::memcpy(variable.byref, &converted.iVal, NumberBytes(type));
  }
  return S_OK;
}

}  // namespace

// Nothing here can throw: every failed member describes itself through this,
// also when memory has run out, and from outside any handler of ours.
BSTR DescribeFailure(HRESULT status) noexcept {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  const bool found = n != 0 && text != nullptr;
  const wchar_t* shown = found ? text : kUnexpectedFailure;
  UINT length = static_cast<UINT>(found ? n : std::size(kUnexpectedFailure) - 1);
  while (length > 0 && (shown[length - 1] == L'\n' || shown[length - 1] == L'\r')) --length;
  BSTR description = ::SysAllocStringLen(shown, length);
  if (text) ::LocalFree(text);
  return description;
}

namespace {

HRESULT InvokeChecked(ITypeInfo* info, void* object, DISPID member, WORD flags,
                      DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                      UINT* argumentError, const FailureSource& reporter) {
  FUNCDESC* raw = nullptr;
  HRESULT hr = FindFunction(info, member, flags, &raw);
  if (FAILED(hr)) return hr;
  FuncDesc desc(info, raw);

  // The parameters the caller supplies: all but the result.
  const int total = desc->cParams;
  const bool hasRetval =
      total > 0 && (desc->lprgelemdescParam[total - 1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL);
  const int inputs = hasRetval ? total - 1 : total;
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  // Trailing optional parameters may be left out; they arrive as a script
  // engine's missing argument, as an early-bound caller passes them.
  int required = inputs;
  while (required > 0 &&
         (desc->lprgelemdescParam[required - 1].paramdesc.wParamFlags & PARAMFLAG_FOPT) &&
         desc->lprgelemdescParam[required - 1].tdesc.vt == VT_VARIANT)
    --required;
  if (static_cast<int>(params->cArgs) > inputs || static_cast<int>(params->cArgs) < required)
    return DISP_E_BADPARAMCOUNT;
  const int supplied = static_cast<int>(params->cArgs);
  if (params->cArgs > 0 && !params->rgvarg) return E_INVALIDARG;
  if (params->cNamedArgs > 0) {
    if (!params->rgdispidNamedArgs) return E_INVALIDARG;
    // Only a put's value may be named, and only as DISPID_PROPERTYPUT.
    if (!put || params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
      return DISP_E_NONAMEDARGS;
  }

  std::vector<Argument> args(static_cast<size_t>(total));
  std::vector<VARIANT> byRefTargets(static_cast<size_t>(total));
  for (auto& v : byRefTargets) ::VariantInit(&v);
  auto cleanup = [&] {
    for (auto& a : args) ::VariantClear(&a.value);
    for (auto& v : byRefTargets) ::VariantClear(&v);
  };
  for (auto& a : args) ::VariantInit(&a.value);

  for (int i = 0; i < total; ++i) {
    const TYPEDESC& td = desc->lprgelemdescParam[i].tdesc;
    Argument& a = args[static_cast<size_t>(i)];
    a.byRef = td.vt == VT_PTR;
    a.type = BaseType(info, a.byRef ? *td.lptdesc : td);
    a.backing = nullptr;
    a.writeBack = nullptr;
    a.callerRef = nullptr;
    if (i == inputs) break;  // the result slot is filled below
    if (i >= supplied) {
      a.value.vt = VT_ERROR;
      a.value.scode = DISP_E_PARAMNOTFOUND;
      continue;
    }
    // Arguments arrive last first.
    const UINT position = params->cArgs - 1 - static_cast<UINT>(i);
    a.position = position;
    VARIANT* given = &params->rgvarg[position];
    const VARTYPE exact = static_cast<VARTYPE>(VT_BYREF | a.type);
    if (a.byRef && given->vt == exact) {
      a.value = *given;  // the caller's own variable, passed straight through
      a.value.vt = exact;
      continue;
    }
    VARIANT* source = given;
    const bool givenByRef = (given->vt & VT_BYREF) != 0;
    const VARTYPE givenType = static_cast<VARTYPE>(given->vt & ~VT_BYREF);
    // A variable pointing nowhere, or one of a kind that could not take the
    // out value back, is refused before the member runs.
    if ((givenByRef && !given->byref) ||
        (a.byRef && givenByRef && givenType != VT_VARIANT && !TakesValueBack(givenType))) {
      if (argumentError) *argumentError = position;
      cleanup();
      return DISP_E_TYPEMISMATCH;
    }
    if (given->vt == (VT_BYREF | VT_VARIANT)) {
      source = given->pvarVal;
      if (a.byRef) a.writeBack = given->pvarVal;
    } else if (a.byRef && givenByRef) {
      a.callerRef = given;  // a variable of another type: converted in and back
    }
    VARIANT& target = byRefTargets[static_cast<size_t>(i)];
    // A Variant parameter takes the value whole, whatever it holds: a copy,
    // which the member may not keep.
    if (a.type == VT_VARIANT && !a.byRef) {
      hr = ::VariantCopyInd(&target, source);
      if (FAILED(hr)) {
        if (argumentError) *argumentError = position;
        cleanup();
        return hr;
      }
      a.value = target;
      ::VariantInit(&target);
      continue;
    }
    hr = Convert(&target, source, a.type);
    if (FAILED(hr)) {
      if (argumentError) *argumentError = position;
      cleanup();
      return hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
    }
    if (a.byRef) {
      a.value.vt = exact;
      a.value.byref = &target.iVal;  // the union's start, whatever the type
      a.backing = &target;
    } else {
      a.value = target;
      ::VariantInit(&target);  // ownership moved into the argument
    }
  }

  // The result is zeroed whole before it is typed: a member that fails, or
  // never runs, leaves nothing in it that a clear would take for a value.
  VARIANT retval;
  std::memset(&retval, 0, sizeof retval);
  if (hasRetval) {
    Argument& r = args[static_cast<size_t>(inputs)];
    r.value.vt = static_cast<VARTYPE>(VT_BYREF | r.type);
    if (r.type == VT_VARIANT) {
      // A Variant result is the whole result, not a value inside it.
      r.value.pvarVal = &retval;
    } else {
      retval.vt = r.type;
      r.value.byref = &retval.iVal;
    }
  }

  std::vector<VARTYPE> types(static_cast<size_t>(total));
  std::vector<VARIANTARG*> pointers(static_cast<size_t>(total));
  for (int i = 0; i < total; ++i) {
    const Argument& a = args[static_cast<size_t>(i)];
    // A Variant passed by value goes as the Variant, not as what it holds.
    types[static_cast<size_t>(i)] =
        a.type == VT_VARIANT && !a.byRef ? static_cast<VARTYPE>(VT_VARIANT) : a.value.vt;
    pointers[static_cast<size_t>(i)] = &args[static_cast<size_t>(i)].value;
  }
  VARIANT status;
  ::VariantInit(&status);
  hr = ::DispCallFunc(object, desc->oVft, desc->callconv, VT_ERROR, static_cast<UINT>(total),
                      types.data(), pointers.data(), &status);
  const HRESULT memberStatus = SUCCEEDED(hr) ? status.scode : hr;

  // Out values go back into the caller's variables, also after a failure:
  // the member may have written before it failed. A variable that cannot
  // hold its value keeps its old one and fails the call, the first such
  // argument being the one named; the others still get theirs.
  HRESULT storeStatus = S_OK;
  UINT storePosition = 0;
  for (int i = 0; i < inputs; ++i) {
    Argument& a = args[static_cast<size_t>(i)];
    if (!a.backing) continue;
    HRESULT stored = S_OK;
    if (a.writeBack) {
      // Copied aside first, so a copy that fails leaves the caller's value.
      VARIANT copy;
      ::VariantInit(&copy);
      stored = ::VariantCopy(&copy, a.backing);
      if (SUCCEEDED(stored)) std::swap(*a.writeBack, copy);
      ::VariantClear(&copy);  // the caller's old value, or nothing
    } else if (a.callerRef) {
      stored = StoreThrough(*a.callerRef, a.backing);
    }
    if (FAILED(stored) && SUCCEEDED(storeStatus)) {
      storeStatus = stored;
      storePosition = a.position;
    }
  }
  // Clearing a by-reference argument leaves what it points at alone.
  cleanup();

  if (FAILED(memberStatus)) {
    ::VariantClear(&retval);
    if (exception) {
      *exception = EXCEPINFO{};
      exception->scode = memberStatus;
      exception->bstrSource = ::SysAllocString(reporter.name);
      exception->bstrDescription = reporter.describe(memberStatus);
    }
    return DISP_E_EXCEPTION;
  }
  if (FAILED(storeStatus)) {
    ::VariantClear(&retval);
    if (argumentError) *argumentError = storePosition;
    return storeStatus;
  }
  if (result && hasRetval) {
    *result = retval;  // ownership moves to the caller
  } else {
    ::VariantClear(&retval);
    if (result) ::VariantInit(result);
  }
  return S_OK;
}

}  // namespace

HRESULT InvokeMember(ITypeInfo* info, void* object, DISPID member, WORD flags,
                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                     UINT* argumentError, const FailureSource& reporter) {
  if (!params) return E_INVALIDARG;
  try {
    return InvokeChecked(info, object, member, flags, params, result, exception, argumentError,
                         reporter);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;  // the host's call fails; nothing escapes into it
  }
}

}  // namespace vemblaric::com
