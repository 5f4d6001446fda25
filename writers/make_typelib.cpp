// Writes a type library through the system's type library writer
// (CreateTypeLib2), from the library widl writes of its interface description.
//
//   make_typelib DRAFT.tlb OUTPUT.tlb
//
// widl's library, DRAFT.tlb, is not the one hosts read: widl rejects
// nonextensible on a dispinterface, records no version for one, and orders
// the entries its own way. So the library is written here, by rules that
// hold for any library:
//   - the library's name, identifiers, version, locale, flags and help text,
//     and each entry's name, identifier, version, flags, implemented types
//     and members, are the draft's;
//   - a dual interface is written as its function-table view, with the flags
//     of both its views;
//   - what widl cannot record comes as custom() attributes of the entry
//     (server/idl/entry_attributes.h): a version, nonextensible;
//   - each class comes after the interfaces it implements and before the
//     ones it sources, as the class lists them; entries no class names
//     follow in the draft's order.
//
// Runs under Wine during the cross build and natively on Windows, as a
// program of the word size it writes for.

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

#include "com/owners.h"
#include "com/platform.h"
#include "server/idl/entry_attributes.h"
#include "writers/interface_members.h"

namespace {

using vemblaric::Bstr;
using vemblaric::ComPtr;

using vemblaric::writers::Kind;
using vemblaric::writers::kNoResult;
using vemblaric::writers::Member;
using vemblaric::writers::Param;

// ---------------------------------------------------------------------------
// Writing it.

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

// Holds a TYPEATTR and gives it back to its ITypeInfo.
class TypeAttr {
 public:
  TypeAttr(ITypeInfo* info, const std::string& what) : info_(info) {
    Check(info->GetTypeAttr(&attr_), "GetTypeAttr of " + what);
  }
  TypeAttr(const TypeAttr&) = delete;
  TypeAttr& operator=(const TypeAttr&) = delete;
  ~TypeAttr() { info_->ReleaseTypeAttr(attr_); }
  const TYPEATTR* operator->() const { return attr_; }

 private:
  ITypeInfo* info_;
  TYPEATTR* attr_ = nullptr;
};

// The identifier whose text (entry_attributes.h) is `text`.
GUID AttributeId(const char* text) {
  std::wstring braced = L"{";
  for (; *text; ++text) braced += static_cast<wchar_t>(*text);
  braced += L"}";
  GUID id{};
  Check(::CLSIDFromString(braced.c_str(), &id), "reading an attribute's identifier");
  return id;
}

#define VEMBLARIC_ATTRIBUTE_TEXT_(id) #id
#define VEMBLARIC_ATTRIBUTE_TEXT(id) VEMBLARIC_ATTRIBUTE_TEXT_(id)

// One implemented type of a class, as the draft lists it.
struct Implemented {
  size_t entry;  // index into the entries
  int flags;     // IMPLTYPEFLAG_*
};

// One entry of the draft, and what is written for it.
struct Entry {
  ComPtr<ITypeInfo> info;  // the draft's entry
  std::wstring name;
  std::string what;  // the name, for messages
  TYPEKIND kind;     // as written
  GUID guid;
  WORD major, minor;
  UINT flags;
  std::vector<vemblaric::writers::Member> members;
  ComPtr<ITypeInfo> base;  // the one implemented type of an interface: its base
  std::vector<Implemented> implemented;  // a class's
  ComPtr<ICreateTypeInfo2> created;
};

// The custom attributes of entry_attributes.h that `info` carries.
void ApplyAttributes(ITypeInfo* info, Entry& entry) {
  ComPtr<ITypeInfo2> info2;
  Check(info->QueryInterface(IID_ITypeInfo2, reinterpret_cast<void**>(info2.put())),
        "ITypeInfo2 of " + entry.what);
  vemblaric::Variant value;
  static const GUID version = AttributeId(VEMBLARIC_ATTRIBUTE_TEXT(VEMBLARIC_ENTRY_VERSION));
  static const GUID nonextensible =
      AttributeId(VEMBLARIC_ATTRIBUTE_TEXT(VEMBLARIC_ENTRY_NONEXTENSIBLE));
  Check(info2->GetCustData(version, value.put()), "the version attribute of " + entry.what);
  if (value->vt == VT_BSTR) {
    unsigned major = 0, minor = 0;
    if (std::swscanf(value->bstrVal, L"%u.%u", &major, &minor) != 2 || major > 0xFFFF ||
        minor > 0xFFFF) {
      Check(E_INVALIDARG, "the version attribute of " + entry.what);
    }
    entry.major = static_cast<WORD>(major);
    entry.minor = static_cast<WORD>(minor);
  } else if (value->vt != VT_EMPTY) {
    Check(E_INVALIDARG, "the version attribute of " + entry.what);
  }
  Check(info2->GetCustData(nonextensible, value.put()),
        "the nonextensible attribute of " + entry.what);
  if (value->vt != VT_EMPTY) entry.flags |= TYPEFLAG_FNONEXTENSIBLE;
}

ComPtr<ITypeInfo> ImplementedType(ITypeInfo* info, UINT index, const std::string& what) {
  HREFTYPE ref = 0;
  ComPtr<ITypeInfo> type;
  Check(info->GetRefTypeOfImplType(index, &ref), "implemented type of " + what);
  Check(info->GetRefTypeInfo(ref, type.put()), "implemented type of " + what);
  return type;
}

GUID GuidOf(ITypeInfo* info, const std::string& what) {
  TypeAttr attr(info, what);
  return attr->guid;
}

// The draft's entries, as they are written.
std::vector<Entry> ReadEntries(ITypeLib* draft) {
  const UINT count = draft->GetTypeInfoCount();
  std::vector<Entry> entries(count);
  for (UINT i = 0; i < count; ++i) {
    Entry& entry = entries[i];
    Check(draft->GetTypeInfo(i, entry.info.put()), "GetTypeInfo of the draft");
    Bstr name;
    Check(entry.info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr),
          "the name of an entry");
    entry.name = name.str();
    entry.what = Narrow(entry.name.c_str());
    TypeAttr attr(entry.info.get(), entry.what);
    entry.kind = attr->typekind;
    entry.guid = attr->guid;
    entry.major = attr->wMajorVerNum;
    entry.minor = attr->wMinorVerNum;
    entry.flags = attr->wTypeFlags;
    ApplyAttributes(entry.info.get(), entry);

    // A dual interface's members and base are those of its function-table view.
    ComPtr<ITypeInfo> view = entry.info;
    if (entry.kind == TKIND_DISPATCH && (entry.flags & TYPEFLAG_FDUAL)) {
      view = ImplementedType(entry.info.get(), static_cast<UINT>(-1), entry.what);
      entry.kind = TKIND_INTERFACE;
      entry.flags |= TypeAttr(view.get(), entry.what)->wTypeFlags;
    }
    switch (entry.kind) {
      case TKIND_INTERFACE:
      case TKIND_DISPATCH:
        entry.members = vemblaric::writers::ReadMembers(view.get());
        if (TypeAttr(view.get(), entry.what)->cImplTypes != 1) {
          Check(E_INVALIDARG, entry.what + " does not implement one type");
        }
        entry.base = ImplementedType(view.get(), 0, entry.what);
        break;
      case TKIND_COCLASS:
        break;
      default:
        Check(E_NOTIMPL, "writing " + entry.what + ", neither an interface nor a class,");
    }
  }

  // The types each class implements, by their entries.
  for (Entry& entry : entries) {
    if (entry.kind != TKIND_COCLASS) continue;
    const WORD implemented = TypeAttr(entry.info.get(), entry.what)->cImplTypes;
    for (UINT k = 0; k < implemented; ++k) {
      const GUID id = GuidOf(ImplementedType(entry.info.get(), k, entry.what).get(), entry.what);
      size_t index = 0;
      while (index < entries.size() && !IsEqualGUID(entries[index].guid, id)) ++index;
      if (index == entries.size()) Check(E_INVALIDARG, entry.what + " implements a foreign type");
      int flags = 0;
      Check(entry.info->GetImplTypeFlags(k, &flags), "GetImplTypeFlags of " + entry.what);
      entry.implemented.push_back({index, flags});
    }
  }
  return entries;
}

// The order the entries are written in: each class after the interfaces it
// implements and before the ones it sources; then the rest, as they come.
std::vector<size_t> Order(const std::vector<Entry>& entries) {
  std::vector<size_t> order;
  std::vector<bool> placed(entries.size(), false);
  const auto place = [&](size_t index) {
    if (!placed[index]) order.push_back(index);
    placed[index] = true;
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].kind != TKIND_COCLASS) continue;
    for (const Implemented& type : entries[i].implemented) {
      if (!(type.flags & IMPLTYPEFLAG_FSOURCE)) place(type.entry);
    }
    place(i);
    for (const Implemented& type : entries[i].implemented) {
      if (type.flags & IMPLTYPEFLAG_FSOURCE) place(type.entry);
    }
  }
  for (size_t i = 0; i < entries.size(); ++i) place(i);
  return order;
}

// The type `target` refers to, as the written library refers to it: a type of
// stdole2, which the library imports, through the system's stdole2.tlb.
ComPtr<ITypeInfo> Imported(ITypeInfo* target, ITypeLib* stdole, const std::string& what) {
  ComPtr<ITypeInfo> imported;
  if (FAILED(stdole->GetTypeInfoOfGuid(GuidOf(target, what), imported.put()))) {
    Check(E_INVALIDARG, what + " derives from a type outside stdole2");
  }
  return imported;
}

HREFTYPE Reference(ICreateTypeInfo2* entry, ITypeInfo* target, const std::string& what) {
  HREFTYPE ref = 0;
  Check(entry->AddRefTypeInfo(target, &ref), "AddRefTypeInfo " + what);
  return ref;
}

void Write(const wchar_t* draftPath, const wchar_t* path) {
  ComPtr<ITypeLib> draft;
  Check(::LoadTypeLibEx(draftPath, REGKIND_NONE, draft.put()), "LoadTypeLibEx of the draft");
  std::vector<Entry> entries = ReadEntries(draft.get());
  const std::vector<size_t> order = Order(entries);

  ComPtr<ICreateTypeLib2> lib;
  Check(::CreateTypeLib2(vemblaric::kTypeLibPlatform, path, lib.put()), "CreateTypeLib2");
  TLIBATTR* attr = nullptr;
  Check(draft->GetLibAttr(&attr), "the draft's library attributes");
  const TLIBATTR libAttr = *attr;
  draft->ReleaseTLibAttr(attr);
  Bstr name, doc;
  Check(draft->GetDocumentation(-1, name.put(), doc.put(), nullptr, nullptr),
        "the draft's library name");
  Check(lib->SetName(name.get()), "SetName");
  Check(lib->SetGuid(libAttr.guid), "SetGuid library");
  Check(lib->SetVersion(libAttr.wMajorVerNum, libAttr.wMinorVerNum), "SetVersion library");
  Check(lib->SetLcid(libAttr.lcid), "SetLcid");
  // The loader reports every library it read from a file as having a disk image.
  Check(lib->SetLibFlags(libAttr.wLibFlags & ~LIBFLAG_FHASDISKIMAGE), "SetLibFlags");
  if (doc.get()) Check(lib->SetDocString(doc.get()), "SetDocString");

  ComPtr<ITypeLib> stdole;
  Check(::LoadTypeLibEx(L"stdole2.tlb", REGKIND_NONE, stdole.put()), "LoadTypeLibEx stdole2.tlb");

  // Entries are numbered in the order they are created; interfaces are
  // described before the classes that refer to them, and laid out in order.
  for (size_t i : order) {
    CreateEntry(lib.get(), entries[i].name.c_str(), entries[i].kind, entries[i].created);
  }
  for (size_t i : order) {
    Entry& entry = entries[i];
    if (entry.kind == TKIND_COCLASS) continue;
    ICreateTypeInfo2* info = entry.created.get();
    Check(info->SetGuid(entry.guid), "SetGuid " + entry.what);
    Check(info->SetVersion(entry.major, entry.minor), "SetVersion " + entry.what);
    ComPtr<ITypeInfo> base = Imported(entry.base.get(), stdole.get(), entry.what);
    Check(info->AddImplType(0, Reference(info, base.get(), entry.what + "'s base")),
          "AddImplType " + entry.what);
    Check(info->SetTypeFlags(entry.flags), "SetTypeFlags " + entry.what);
    if (entry.kind == TKIND_INTERFACE) {
      AddMembers(info, entry.members, FUNC_PUREVIRTUAL, VT_HRESULT);
    } else {
      AddMembers(info, entry.members, FUNC_DISPATCH, VT_VOID);
    }
  }
  for (size_t i : order) {
    Entry& entry = entries[i];
    if (entry.kind != TKIND_COCLASS) continue;
    ICreateTypeInfo2* info = entry.created.get();
    Check(info->SetGuid(entry.guid), "SetGuid " + entry.what);
    Check(info->SetVersion(entry.major, entry.minor), "SetVersion " + entry.what);
    for (UINT k = 0; k < entry.implemented.size(); ++k) {
      const Entry& type = entries[entry.implemented[k].entry];
      ComPtr<ITypeInfo> target;
      Check(type.created->QueryInterface(IID_ITypeInfo, reinterpret_cast<void**>(target.put())),
            "ITypeInfo of " + type.what);
      Check(info->AddImplType(k, Reference(info, target.get(), type.what)),
            "AddImplType " + entry.what);
      Check(info->SetImplTypeFlags(k, entry.implemented[k].flags),
            "SetImplTypeFlags " + entry.what);
    }
  }
  for (size_t i : order) {
    Entry& entry = entries[i];
    Check(entry.created->LayOut(), "LayOut " + entry.what);
    // Laying out a class marks it dispatchable when its default interface is;
    // the class's flags are set afterwards so that they are exactly its own.
    if (entry.kind == TKIND_COCLASS) {
      Check(entry.created->SetTypeFlags(entry.flags), "SetTypeFlags " + entry.what);
    }
  }
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
