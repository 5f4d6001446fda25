// Writes the control's type library through the system's type library writer
// (CreateTypeLib2).
//
//   make_typelib OUTPUT.tlb
//
// widl could compile Vemblaric.idl into a library, but not into this one: it
// rejects nonextensible on a dispinterface, records no version for one, and
// writes the dispinterface before the coclass, while hosts expect the entries
// in the order _SerialControl, SerialControl, __SerialControl. So the library
// is built here, from the member tables below, with the identifiers, version
// and locale of the interface description; Vemblaric.idl keeps giving the
// C++ declarations, and the typelib test checks that both agree.
//
// Runs under Wine during the cross build and natively on Windows, as a
// program of the word size it writes for.

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "Vemblaric.h"
#include "com/owners.h"
#include "com/platform.h"
#include "server/library_version.h"

namespace {

using vemblaric::ComPtr;

// ---------------------------------------------------------------------------
// What the library records.

// The identifiers are the interface description's (Vemblaric_i.c), the
// version and locale those it reads too (server/library_version.h).
const GUID& kLibId = LIBID_Vemblaric;
const GUID& kSerialControlIid = IID__SerialControl;
const GUID& kSerialControlClsid = CLSID_SerialControl;
const GUID& kEventsIid = DIID___SerialControl;

constexpr wchar_t kLibraryName[] = L"Vemblaric";
constexpr WORD kLibraryMajor = vemblaric::library_version::kMajor;
constexpr WORD kLibraryMinor = vemblaric::library_version::kMinor;
constexpr LCID kLibraryLcid = vemblaric::library_version::kLocale;

constexpr UINT kInterfaceFlags = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                                 TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
// Not creatable through the type library: hosts create it through the class object.
constexpr UINT kCoclassFlags = TYPEFLAG_FCONTROL;
constexpr UINT kEventsFlags = TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;

enum class Kind { Method, Get, Let };
enum class Pass { ByValue, ByRef };

struct Param {
  const wchar_t* name;  // nullptr: the parameter has no name (a setter's value)
  VARTYPE type;
  Pass pass;
};

struct Member {
  const wchar_t* name;
  Kind kind;
  DISPID dispid;
  std::vector<Param> params;
  VARTYPE result;  // VT_EMPTY: none; else an unnamed [out, retval] of this type
  bool hidden;
};

constexpr VARTYPE kNone = VT_EMPTY;
constexpr VARTYPE kInteger = VT_I2;
constexpr VARTYPE kLong = VT_I4;
constexpr VARTYPE kBoolean = VT_BOOL;
constexpr VARTYPE kString = VT_BSTR;

// _SerialControl in vtable order; every member returns an HRESULT.
const std::vector<Member> kSerialControlMembers = {
    {L"Open_Com", Kind::Method, 0x60030006, {}, kNone, false},
    {L"Close_Com", Kind::Method, 0x60030007, {}, kNone, false},
    {L"Read_Com", Kind::Method, 0x60030008, {}, kNone, false},
    {L"Write_Com", Kind::Method, 0x60030009, {{L"Datastr", kString, Pass::ByValue}}, kNone, false},
    {L"Port", Kind::Get, 0x68030005, {}, kInteger, false},
    {L"Port", Kind::Let, 0x68030005, {{nullptr, kInteger, Pass::ByValue}}, kNone, false},
    {L"Baud", Kind::Get, 0x68030004, {}, kLong, false},
    {L"Baud", Kind::Let, 0x68030004, {{nullptr, kLong, Pass::ByValue}}, kNone, false},
    {L"Status", Kind::Get, 0x68030003, {}, kBoolean, false},
    {L"Status", Kind::Let, 0x68030003, {{nullptr, kBoolean, Pass::ByValue}}, kNone, false},
    {L"Clear_Com", Kind::Method, 0x6003000A, {}, kNone, false},
    {L"Buffer", Kind::Get, 0x68030002, {}, kString, false},
    {L"Buffer", Kind::Let, 0x68030002, {{nullptr, kString, Pass::ByValue}}, kNone, false},
    {L"Company", Kind::Get, 0x68030001, {}, kString, false},
    {L"ControlOn", Kind::Method, 0x6003000E, {}, kNone, true},
    {L"ControlOff", Kind::Method, 0x6003000F, {}, kNone, true},
    {L"waitnow", Kind::Method, 0x60030010, {{L"valu1", kLong, Pass::ByRef}}, kNone, true},
    {L"GetSystemMessage", Kind::Method, 0x60030011, {{L"lngErrorCode", kLong, Pass::ByRef}}, kString,
     true},
    {L"CommOpen", Kind::Method, 0x60030012,
     {{L"intPortID", kInteger, Pass::ByRef},
      {L"strPort", kString, Pass::ByRef},
      {L"strSettings", kString, Pass::ByRef}},
     kLong, true},
    {L"CommSet", Kind::Method, 0x60030015,
     {{L"intPortID", kInteger, Pass::ByRef}, {L"strSettings", kString, Pass::ByRef}}, kLong, true},
    {L"CommClose", Kind::Method, 0x60030016, {{L"intPortID", kInteger, Pass::ByRef}}, kLong, true},
    {L"CommFlush", Kind::Method, 0x60030017, {{L"intPortID", kInteger, Pass::ByRef}}, kLong, true},
    {L"CommRead", Kind::Method, 0x60030018,
     {{L"intPortID", kInteger, Pass::ByRef},
      {L"strData", kString, Pass::ByRef},
      {L"lngSize", kLong, Pass::ByRef}},
     kLong, true},
    {L"CommWrite", Kind::Method, 0x60030019,
     {{L"intPortID", kInteger, Pass::ByRef}, {L"strData", kString, Pass::ByRef}}, kLong, true},
    {L"CommGetLine", Kind::Method, 0x6003001A,
     {{L"intPortID", kInteger, Pass::ByRef},
      {L"intLine", kInteger, Pass::ByRef},
      {L"blnState", kBoolean, Pass::ByRef}},
     kLong, true},
    {L"CommSetLine", Kind::Method, 0x6003001B,
     {{L"intPortID", kInteger, Pass::ByRef},
      {L"intLine", kInteger, Pass::ByRef},
      {L"blnState", kBoolean, Pass::ByRef}},
     kLong, true},
    {L"CommGetError", Kind::Method, 0x6003001C, {{L"strMessage", kString, Pass::ByRef}}, kLong, true},
    {L"settingeval", Kind::Method, 0x6003001D, {{L"p1", kLong, Pass::ByRef}}, kString, true},
    {L"looprocess", Kind::Method, 0x6003001E, {}, kNone, true},
    {L"close_Com_norm", Kind::Method, 0x6003001F, {}, kNone, true},
    {L"Version", Kind::Get, 0x68030000, {}, kString, false},
};

// __SerialControl, the events; they return nothing.
const std::vector<Member> kEventMembers = {
    {L"DataArrived", Kind::Method, 1, {{L"bufferstr", kString, Pass::ByRef}}, kNone, false},
    {L"DataSent", Kind::Method, 2, {{L"datasentstr", kString, Pass::ByRef}}, kNone, false},
};

// ---------------------------------------------------------------------------
// Writing it.

// Owns one BSTR.
class Text {
 public:
  explicit Text(const wchar_t* s) : s_(::SysAllocString(s)) {
    if (!s_) throw std::bad_alloc();
  }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  ~Text() { ::SysFreeString(s_); }
  BSTR get() const { return s_; }

 private:
  BSTR s_;
};

class Failure : public std::runtime_error {
 public:
  Failure(const std::string& step, HRESULT hr)
      : std::runtime_error(step + " failed with 0x" + Hex(hr)) {}

 private:
  static std::string Hex(HRESULT hr) {
    char text[9];
    std::snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(hr));
    return text;
  }
};

void Check(HRESULT hr, const std::string& step) {
  if (FAILED(hr)) throw Failure(step, hr);
}

std::string Narrow(const wchar_t* name) {
  std::string out;
  for (; name && *name; ++name) out += static_cast<char>(*name < 0x80 ? *name : '?');
  return out;
}

INVOKEKIND InvokeKind(Kind kind) {
  switch (kind) {
    case Kind::Get: return INVOKE_PROPERTYGET;
    case Kind::Let: return INVOKE_PROPERTYPUT;
    case Kind::Method: break;
  }
  return INVOKE_FUNC;
}

// One FUNCDESC and the descriptions it points to, kept alive together.
class FuncDescription {
 public:
  FuncDescription(const Member& member, FUNCKIND funckind, VARTYPE returns) {
    const size_t count = member.params.size() + (member.result != kNone ? 1 : 0);
    // Sized once: elems_ points into pointees_.
    pointees_.resize(count);
    elems_.resize(count);
    for (size_t i = 0; i < member.params.size(); ++i) {
      const Param& param = member.params[i];
      if (param.pass == Pass::ByRef) {
        Describe(i, param.type, true, PARAMFLAG_FIN | PARAMFLAG_FOUT);
      } else {
        Describe(i, param.type, false, PARAMFLAG_FIN);
      }
    }
    if (member.result != kNone) {
      Describe(count - 1, member.result, true, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
    }

    desc_ = FUNCDESC{};
    desc_.memid = member.dispid;
    desc_.funckind = funckind;
    desc_.invkind = InvokeKind(member.kind);
    desc_.callconv = CC_STDCALL;
    desc_.cParams = static_cast<SHORT>(count);
    desc_.lprgelemdescParam = elems_.empty() ? nullptr : elems_.data();
    desc_.elemdescFunc.tdesc.vt = returns;
    desc_.wFuncFlags = static_cast<WORD>(member.hidden ? FUNCFLAG_FHIDDEN : 0);
  }

  FUNCDESC* get() { return &desc_; }

 private:
  void Describe(size_t i, VARTYPE type, bool byRef, USHORT flags) {
    ELEMDESC& elem = elems_[i];
    elem = ELEMDESC{};
    if (byRef) {
      pointees_[i].vt = type;
      elem.tdesc.vt = VT_PTR;
      elem.tdesc.lptdesc = &pointees_[i];
    } else {
      elem.tdesc.vt = type;
    }
    elem.paramdesc.wParamFlags = flags;
  }

  std::vector<TYPEDESC> pointees_;
  std::vector<ELEMDESC> elems_;
  FUNCDESC desc_;
};

void AddMembers(ICreateTypeInfo2* info, const std::vector<Member>& members, FUNCKIND funckind,
                VARTYPE returns) {
  for (UINT index = 0; index < members.size(); ++index) {
    const Member& member = members[index];
    const std::string what = "member " + Narrow(member.name);
    FuncDescription desc(member, funckind, returns);
    Check(info->AddFuncDesc(index, desc.get()), "AddFuncDesc for " + what);

    // The member's name, then its named parameters; unnamed ones (a setter's
    // value, the result) come last and are left out.
    std::vector<LPOLESTR> names{const_cast<LPOLESTR>(member.name)};
    for (const Param& param : member.params) {
      if (param.name) names.push_back(const_cast<LPOLESTR>(param.name));
    }
    Check(info->SetFuncAndParamNames(index, names.data(), static_cast<UINT>(names.size())),
          "SetFuncAndParamNames for " + what);
  }
}

void CreateEntry(ICreateTypeLib2* lib, const wchar_t* name, TYPEKIND kind,
                 ComPtr<ICreateTypeInfo2>& entry) {
  ComPtr<ICreateTypeInfo> created;
  Check(lib->CreateTypeInfo(const_cast<LPOLESTR>(name), kind, created.put()),
        "CreateTypeInfo " + Narrow(name));
  Check(created->QueryInterface(IID_ICreateTypeInfo2, reinterpret_cast<void**>(entry.put())),
        "ICreateTypeInfo2 of " + Narrow(name));
}

// Refers `entry` to `target` and returns the reference.
HREFTYPE Reference(ICreateTypeInfo2* entry, ICreateTypeInfo2* target, const char* what) {
  ComPtr<ITypeInfo> info;
  Check(target->QueryInterface(IID_ITypeInfo, reinterpret_cast<void**>(info.put())),
        std::string("ITypeInfo of ") + what);
  HREFTYPE ref = 0;
  Check(entry->AddRefTypeInfo(info.get(), &ref), std::string("AddRefTypeInfo ") + what);
  return ref;
}

HREFTYPE ReferenceDispatch(ICreateTypeInfo2* entry, ITypeInfo* dispatch) {
  HREFTYPE ref = 0;
  Check(entry->AddRefTypeInfo(dispatch, &ref), "AddRefTypeInfo IDispatch");
  return ref;
}

void Write(const wchar_t* path) {
  ComPtr<ICreateTypeLib2> lib;
  Check(::CreateTypeLib2(vemblaric::kTypeLibPlatform, path, lib.put()), "CreateTypeLib2");
  Text name(kLibraryName);
  Check(lib->SetName(name.get()), "SetName");
  Check(lib->SetGuid(kLibId), "SetGuid library");
  Check(lib->SetVersion(kLibraryMajor, kLibraryMinor), "SetVersion library");
  Check(lib->SetLcid(kLibraryLcid), "SetLcid");
  Check(lib->SetLibFlags(LIBFLAG_FCONTROL), "SetLibFlags");
  Check(lib->SetDocString(name.get()), "SetDocString");

  // IDispatch comes from OLE Automation (stdole2), which the library imports.
  ComPtr<ITypeLib> stdole;
  Check(::LoadTypeLibEx(L"stdole2.tlb", REGKIND_NONE, stdole.put()), "LoadTypeLibEx stdole2.tlb");
  ComPtr<ITypeInfo> dispatch;
  Check(stdole->GetTypeInfoOfGuid(IID_IDispatch, dispatch.put()), "IDispatch from stdole2.tlb");

  // Entries are numbered in the order they are created.
  ComPtr<ICreateTypeInfo2> iface, coclass, events;
  CreateEntry(lib.get(), L"_SerialControl", TKIND_INTERFACE, iface);
  CreateEntry(lib.get(), L"SerialControl", TKIND_COCLASS, coclass);
  CreateEntry(lib.get(), L"__SerialControl", TKIND_DISPATCH, events);

  Check(iface->SetGuid(kSerialControlIid), "SetGuid _SerialControl");
  Check(iface->SetVersion(1, 0), "SetVersion _SerialControl");
  Check(iface->AddImplType(0, ReferenceDispatch(iface.get(), dispatch.get())),
        "AddImplType _SerialControl");
  Check(iface->SetTypeFlags(kInterfaceFlags), "SetTypeFlags _SerialControl");
  AddMembers(iface.get(), kSerialControlMembers, FUNC_PUREVIRTUAL, VT_HRESULT);

  Check(events->SetGuid(kEventsIid), "SetGuid __SerialControl");
  Check(events->SetVersion(1, 0), "SetVersion __SerialControl");
  Check(events->AddImplType(0, ReferenceDispatch(events.get(), dispatch.get())),
        "AddImplType __SerialControl");
  Check(events->SetTypeFlags(kEventsFlags), "SetTypeFlags __SerialControl");
  AddMembers(events.get(), kEventMembers, FUNC_DISPATCH, VT_VOID);

  Check(coclass->SetGuid(kSerialControlClsid), "SetGuid SerialControl");
  Check(coclass->SetVersion(1, 0), "SetVersion SerialControl");
  Check(coclass->AddImplType(0, Reference(coclass.get(), iface.get(), "_SerialControl")),
        "AddImplType SerialControl 0");
  Check(coclass->SetImplTypeFlags(0, IMPLTYPEFLAG_FDEFAULT), "SetImplTypeFlags SerialControl 0");
  Check(coclass->AddImplType(1, Reference(coclass.get(), events.get(), "__SerialControl")),
        "AddImplType SerialControl 1");
  Check(coclass->SetImplTypeFlags(1, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE),
        "SetImplTypeFlags SerialControl 1");

  Check(iface->LayOut(), "LayOut _SerialControl");
  Check(coclass->LayOut(), "LayOut SerialControl");
  // Laying out a class marks it dispatchable when its default interface is;
  // the class's flags are set afterwards so that they are exactly its own.
  Check(coclass->SetTypeFlags(kCoclassFlags), "SetTypeFlags SerialControl");
  Check(events->LayOut(), "LayOut __SerialControl");
  Check(lib->SaveAllChanges(), "SaveAllChanges");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_typelib OUTPUT.tlb\n");
    return 2;
  }
  const HRESULT init = ::CoInitialize(nullptr);
  int status = 0;
  try {
    Write(argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_typelib: %s\n", e.what());
    ::DeleteFileW(argv[1]);
    status = 1;
  }
  if (SUCCEEDED(init)) ::CoUninitialize();
  return status;
}
