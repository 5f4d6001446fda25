// Writes the control's type library through the system's type library writer
// (CreateTypeLib2).
//
//   make_typelib DRAFT.tlb OUTPUT.tlb
//
// widl compiles Vemblaric.idl into a library, DRAFT.tlb, but not into this
// one: it rejects nonextensible on a dispinterface, records no version for
// one, and writes the dispinterface before the coclass, while hosts expect
// the entries in the order _SerialControl, SerialControl, __SerialControl.
// So the library is built here: its members copied from the draft, its
// identifiers, version and locale those of the interface description, and
// only what widl cannot say (the entries' order, versions and flags) below.
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
#include "writers/interface_members.h"

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

using vemblaric::writers::Kind;
using vemblaric::writers::kNoResult;
using vemblaric::writers::Member;
using vemblaric::writers::Param;

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
    const size_t count = member.params.size() + (member.result != kNoResult ? 1 : 0);
    // Sized once: elems_ points into pointees_.
    pointees_.resize(count);
    elems_.resize(count);
    for (size_t i = 0; i < member.params.size(); ++i) {
      const Param& param = member.params[i];
      if (param.byRef) {
        Describe(i, param.type, true, PARAMFLAG_FIN | PARAMFLAG_FOUT);
      } else {
        Describe(i, param.type, false, PARAMFLAG_FIN);
      }
    }
    if (member.result != kNoResult) {
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
    const std::string what = "member " + Narrow(member.name.c_str());
    FuncDescription desc(member, funckind, returns);
    Check(info->AddFuncDesc(index, desc.get()), "AddFuncDesc for " + what);

    // The member's name, then its named parameters; unnamed ones (a setter's
    // value, the result) come last and are left out.
    std::vector<LPOLESTR> names{const_cast<LPOLESTR>(member.name.c_str())};
    for (const Param& param : member.params) {
      if (!param.name.empty()) names.push_back(const_cast<LPOLESTR>(param.name.c_str()));
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

// The members of _SerialControl (its function-table view) and of
// __SerialControl, as widl's library of Vemblaric.idl gives them.
void ReadDraft(const wchar_t* draftPath, std::vector<Member>& members,
               std::vector<Member>& eventMembers) {
  ComPtr<ITypeLib> draft;
  Check(::LoadTypeLibEx(draftPath, REGKIND_NONE, draft.put()), "LoadTypeLibEx of the draft");
  ComPtr<ITypeInfo> dual, vtable, events;
  Check(draft->GetTypeInfoOfGuid(kSerialControlIid, dual.put()), "_SerialControl in the draft");
  HREFTYPE ref = 0;
  Check(dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), "_SerialControl's vtable view");
  Check(dual->GetRefTypeInfo(ref, vtable.put()), "_SerialControl's vtable view");
  Check(draft->GetTypeInfoOfGuid(kEventsIid, events.put()), "__SerialControl in the draft");
  members = vemblaric::writers::ReadMembers(vtable.get());
  eventMembers = vemblaric::writers::ReadMembers(events.get());
  if (members.empty() || eventMembers.empty()) Check(E_FAIL, "reading the draft's members");
}

void Write(const wchar_t* draftPath, const wchar_t* path) {
  std::vector<Member> members, eventMembers;
  ReadDraft(draftPath, members, eventMembers);

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
  AddMembers(iface.get(), members, FUNC_PUREVIRTUAL, VT_HRESULT);

  Check(events->SetGuid(kEventsIid), "SetGuid __SerialControl");
  Check(events->SetVersion(1, 0), "SetVersion __SerialControl");
  Check(events->AddImplType(0, ReferenceDispatch(events.get(), dispatch.get())),
        "AddImplType __SerialControl");
  Check(events->SetTypeFlags(kEventsFlags), "SetTypeFlags __SerialControl");
  AddMembers(events.get(), eventMembers, FUNC_DISPATCH, VT_VOID);

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
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_typelib DRAFT.tlb OUTPUT.tlb\n");
    return 2;
  }
  const HRESULT init = ::CoInitialize(nullptr);
  int status = 0;
  try {
    Write(argv[1], argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_typelib: %s\n", e.what());
    ::DeleteFileW(argv[2]);
    status = 1;
  }
  if (SUCCEEDED(init)) ::CoUninitialize();
  return status;
}
