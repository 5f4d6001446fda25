// The built type library, read back through the system's loader, against the
// interface description: identifiers, versions and flags of the library and
// of each entry, and for every member its vtable place (as Vemblaric.h puts
// it), DISPID, kind, hidden flag, parameter names, types and passing modes
// (as widl's library of Vemblaric.idl gives them).
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "Vemblaric.h"
#include "port/text.h"
#include "com/owners.h"
#include "server/library_version.h"
#include "vtable_places.h"
#include "writers/interface_members.h"

namespace vemblaric {
namespace {

// --- The published interface -------------------------------------------------

// The identifiers, version and locale are the interface description's
// (Vemblaric.h, server/library_version.h), and so are the members, read from
// widl's library of it (writers/interface_members.h).
const GUID& kLibId = LIBID_Vemblaric;
const GUID& kInterfaceId = IID__SerialControl;
const GUID& kClassId = CLSID_SerialControl;
const GUID& kEventsId = DIID___SerialControl;
constexpr WORD kMajor = library_version::kMajor;
const GUID kStdOleId = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

using writers::Kind;
using writers::kNoResult;
using writers::Member;
using writers::Param;


// Identifiers that belong to no member: DISPID 0 (no default member) and the
// places in the numbering taken by procedures that are not members.
const DISPID kNoMember[] = {0,          0x60030000, 0x60030001, 0x60030002, 0x60030003,
                            0x60030004, 0x60030005, 0x6003000B, 0x6003000C, 0x6003000D,
                            0x60030013, 0x60030014};

constexpr USHORT kByValueFlags = PARAMFLAG_FIN;
constexpr USHORT kByRefFlags = PARAMFLAG_FIN | PARAMFLAG_FOUT;
constexpr USHORT kResultFlags = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

// IUnknown's three and IDispatch's four entries come first; the members follow
// them directly, one pointer each.
constexpr size_t kFirstMemberPlace = 7 * sizeof(void*);

// --- Reading the library -----------------------------------------------------

// Holds a TYPEATTR or FUNCDESC and gives it back to its ITypeInfo.
class TypeAttr {
 public:
  explicit TypeAttr(ITypeInfo* info) : info_(info) {
    if (FAILED(info->GetTypeAttr(&attr_))) attr_ = nullptr;
  }
  TypeAttr(const TypeAttr&) = delete;
  TypeAttr& operator=(const TypeAttr&) = delete;
  ~TypeAttr() {
    if (attr_) info_->ReleaseTypeAttr(attr_);
  }
  const TYPEATTR* operator->() const { return attr_; }
  bool ok() const { return attr_ != nullptr; }

 private:
  ITypeInfo* info_;
  TYPEATTR* attr_ = nullptr;
};

class FuncDesc {
 public:
  FuncDesc(ITypeInfo* info, UINT index) : info_(info) {
    if (FAILED(info->GetFuncDesc(index, &desc_))) desc_ = nullptr;
  }
  FuncDesc(const FuncDesc&) = delete;
  FuncDesc& operator=(const FuncDesc&) = delete;
  ~FuncDesc() {
    if (desc_) info_->ReleaseFuncDesc(desc_);
  }
  const FUNCDESC* operator->() const { return desc_; }
  const FUNCDESC& operator*() const { return *desc_; }
  bool ok() const { return desc_ != nullptr; }

 private:
  ITypeInfo* info_;
  FUNCDESC* desc_ = nullptr;
};

std::wstring ModuleDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, length);
  return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

std::wstring Widen(const char* text) { return std::wstring(text, text + std::strlen(text)); }
std::string Narrow(const wchar_t* text) { return std::string(text, text + std::wcslen(text)); }

std::wstring NameOf(ITypeInfo* info) {
  Bstr name;
  if (FAILED(info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr))) {
    return L"?";
  }
  return name.str();
}

// The names GetNames gives for a function: its own, then its named parameters.
std::vector<std::wstring> NamesOf(ITypeInfo* info, MEMBERID memid) {
  BSTR names[8] = {};
  UINT count = 0;
  std::vector<std::wstring> out;
  if (FAILED(info->GetNames(memid, names, 8, &count))) return out;
  for (UINT i = 0; i < count; ++i) out.push_back(Bstr::Adopt(names[i]).str());
  return out;
}

std::vector<std::wstring> ExpectedNames(const Member& member) {
  std::vector<std::wstring> names{member.name};
  for (const Param& p : member.params) {
    if (!p.name.empty()) names.push_back(p.name);
  }
  return names;
}

INVOKEKIND InvokeKindOf(Kind kind) {
  switch (kind) {
    case Kind::Get: return INVOKE_PROPERTYGET;
    case Kind::Let: return INVOKE_PROPERTYPUT;
    case Kind::Method: break;
  }
  return INVOKE_FUNC;
}

// The vtable entry's name in the C++ header: get_Port, put_Port, Open_Com.
std::string HeaderName(const Member& member) {
  const std::string name = Narrow(member.name.c_str());
  if (member.kind == Kind::Get) return "get_" + name;
  if (member.kind == Kind::Let) return "put_" + name;
  return name;
}

const VtablePlace* HeaderPlace(const std::string& name) {
  for (size_t i = 0; i < kSerialControlVtableCount; ++i) {
    if (name == kSerialControlVtable[i].name) return &kSerialControlVtable[i];
  }
  return nullptr;
}

// Checks one ELEMDESC against a parameter of the tables.
void ExpectParam(const ELEMDESC& elem, VARTYPE type, bool byRef, USHORT flags) {
  if (byRef) {
    ASSERT_EQ(elem.tdesc.vt, VT_PTR) << "by reference is a pointer";
    ASSERT_NE(elem.tdesc.lptdesc, nullptr);
    EXPECT_EQ(elem.tdesc.lptdesc->vt, type);
  } else {
    EXPECT_EQ(elem.tdesc.vt, type);
  }
  EXPECT_EQ(elem.paramdesc.wParamFlags, flags);
}

// Checks a function's signature: kind, hidden flag, parameters and result.
void ExpectSignature(const FUNCDESC& desc, const Member& member, VARTYPE returns) {
  EXPECT_EQ(desc.memid, member.dispid);
  EXPECT_EQ(desc.invkind, InvokeKindOf(member.kind));
  EXPECT_EQ(desc.callconv, CC_STDCALL);
  EXPECT_EQ(desc.wFuncFlags, member.hidden ? FUNCFLAG_FHIDDEN : 0);
  EXPECT_EQ(desc.elemdescFunc.tdesc.vt, returns);
  const size_t count = member.params.size() + (member.result != kNoResult ? 1 : 0);
  ASSERT_EQ(static_cast<size_t>(desc.cParams), count);
  EXPECT_EQ(desc.cParamsOpt, 0);
  for (size_t i = 0; i < member.params.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "parameter " << i);
    const Param& p = member.params[i];
    ExpectParam(desc.lprgelemdescParam[i], p.type, p.byRef, p.byRef ? kByRefFlags : kByValueFlags);
  }
  if (member.result != kNoResult) {
    SCOPED_TRACE("result");
    ExpectParam(desc.lprgelemdescParam[count - 1], member.result, true, kResultFlags);
  }
}

class TypeLibTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::wstring path = ModuleDirectory() + Widen(VEMBLARIC_TYPELIB_FILE);
    loadStatus_ = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib_);
    // The interface description's members, from widl's library of it.
    ComPtr<ITypeLib> draft;
    ComPtr<ITypeInfo> dual, vtable, events;
    HREFTYPE ref = 0;
    const std::wstring drafted = ModuleDirectory() + Widen(VEMBLARIC_DRAFT_TYPELIB_FILE);
    draftStatus_ = ::LoadTypeLibEx(drafted.c_str(), REGKIND_NONE, draft.put());
    if (SUCCEEDED(draftStatus_))
      draftStatus_ = draft->GetTypeInfoOfGuid(IID__SerialControl, dual.put());
    if (SUCCEEDED(draftStatus_))
      draftStatus_ = dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
    if (SUCCEEDED(draftStatus_)) draftStatus_ = dual->GetRefTypeInfo(ref, vtable.put());
    if (SUCCEEDED(draftStatus_))
      draftStatus_ = draft->GetTypeInfoOfGuid(DIID___SerialControl, events.put());
    if (FAILED(draftStatus_)) return;
    members_ = writers::ReadMembers(vtable.get());
    events_ = writers::ReadMembers(events.get());
  }
  static void TearDownTestSuite() {
    if (lib_) lib_->Release();
    lib_ = nullptr;
  }

  void SetUp() override {
    ASSERT_EQ(loadStatus_, S_OK) << "LoadTypeLibEx " << VEMBLARIC_TYPELIB_FILE;
    ASSERT_EQ(draftStatus_, S_OK) << "the interface description's " << VEMBLARIC_DRAFT_TYPELIB_FILE;
    ASSERT_FALSE(members_.empty() || events_.empty()) << "widl's library has the members";
    ASSERT_EQ(lib_->GetTypeInfoCount(), 3u);
    for (UINT i = 0; i < 3; ++i) ASSERT_EQ(lib_->GetTypeInfo(i, entries_[i].put()), S_OK);
    dispatch_ = entries_[0].get();
    // A dual interface's entry is its dispatch view; the vtable description
    // is the type it refers to as -1.
    HREFTYPE vtable = 0;
    ASSERT_EQ(dispatch_->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable), S_OK);
    ASSERT_EQ(dispatch_->GetRefTypeInfo(vtable, interface_.put()), S_OK);
  }

  static ITypeLib* lib_;
  static HRESULT loadStatus_;
  static HRESULT draftStatus_;
  static std::vector<Member> members_;  // _SerialControl's, in function-table order
  static std::vector<Member> events_;   // __SerialControl's, in order
  ComPtr<ITypeInfo> entries_[3];
  ITypeInfo* dispatch_ = nullptr;  // entries_[0]
  ComPtr<ITypeInfo> interface_;
};

ITypeLib* TypeLibTest::lib_ = nullptr;
HRESULT TypeLibTest::loadStatus_ = E_FAIL;
HRESULT TypeLibTest::draftStatus_ = E_FAIL;
std::vector<Member> TypeLibTest::members_;
std::vector<Member> TypeLibTest::events_;

// --- Library and entries -----------------------------------------------------

TEST_F(TypeLibTest, LibraryIsVemblaric20ForUsEnglishMarkedAsControl) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib_->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, kLibId));
  EXPECT_EQ(attr->wMajorVerNum, kMajor);
  EXPECT_EQ(attr->wMinorVerNum, library_version::kMinor);
  EXPECT_EQ(attr->lcid, library_version::kLocale);
  // Written for the word size of the program that reads it: the 64-bit
  // library describes 8-byte function-table entries.
  EXPECT_EQ(attr->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  // The loader adds FHASDISKIMAGE for a library read from a file.
  EXPECT_EQ(attr->wLibFlags & ~LIBFLAG_FHASDISKIMAGE, LIBFLAG_FCONTROL);
  lib_->ReleaseTLibAttr(attr);

  Bstr name, doc, helpFile;
  DWORD helpContext = 1;
  ASSERT_EQ(lib_->GetDocumentation(-1, name.put(), doc.put(), &helpContext, helpFile.put()), S_OK);
  EXPECT_EQ(name.str(), L"Vemblaric");
  EXPECT_EQ(doc.str(), L"Vemblaric");
  EXPECT_EQ(helpFile.get(), nullptr) << "no help file";
  EXPECT_EQ(helpContext, 0u);
}

struct Entry {
  const wchar_t* name;
  const GUID* guid;
  TYPEKIND kind;
  WORD flags;
  WORD implTypes;
};

const Entry kEntries[] = {
    {L"_SerialControl", &kInterfaceId, TKIND_INTERFACE,
     TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION |
         TYPEFLAG_FDISPATCHABLE,
     1},
    // Not creatable through the type library (TYPEFLAG_FCANCREATE clear).
    {L"SerialControl", &kClassId, TKIND_COCLASS, TYPEFLAG_FCONTROL, 2},
    {L"__SerialControl", &kEventsId, TKIND_DISPATCH,
     TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE, 1},
};

TEST_F(TypeLibTest, EntriesStandInOrderWithTheirIdentifiersVersionsAndFlags) {
  for (UINT i = 0; i < 3; ++i) {
    const Entry& expected = kEntries[i];
    SCOPED_TRACE(::testing::Message() << "entry " << i);
    // The dual interface is described by its vtable view; its entry is the
    // dispatch view of the same type.
    ITypeInfo* info = i == 0 ? interface_.get() : entries_[i].get();
    EXPECT_EQ(NameOf(entries_[i].get()), expected.name);
    EXPECT_EQ(NameOf(info), expected.name);
    TypeAttr attr(info);
    ASSERT_TRUE(attr.ok());
    EXPECT_TRUE(IsEqualGUID(attr->guid, *expected.guid));
    EXPECT_EQ(attr->typekind, expected.kind);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->wTypeFlags, expected.flags) << std::hex << attr->wTypeFlags;
    EXPECT_EQ(attr->cImplTypes, expected.implTypes);
    EXPECT_EQ(attr->cVars, 0);

    ComPtr<ITypeInfo> byGuid;
    ASSERT_EQ(lib_->GetTypeInfoOfGuid(*expected.guid, byGuid.put()), S_OK);
    EXPECT_EQ(NameOf(byGuid.get()), expected.name);
  }
}

struct Implemented {
  UINT entry;        // 0: the vtable view of _SerialControl
  UINT index;
  const wchar_t* name;
  const GUID* guid;
  const GUID* library;  // the library that holds the implemented type
  WORD libraryMajor;
  INT flags;
};

const Implemented kImplemented[] = {
    {0, 0, L"IDispatch", &IID_IDispatch, &kStdOleId, 2, 0},
    {1, 0, L"_SerialControl", &kInterfaceId, &kLibId, kMajor, IMPLTYPEFLAG_FDEFAULT},
    {1, 1, L"__SerialControl", &kEventsId, &kLibId, kMajor,
     IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
    {2, 0, L"IDispatch", &IID_IDispatch, &kStdOleId, 2, 0},
};

TEST_F(TypeLibTest, ImplementedTypesAndTheirFlags) {
  for (const Implemented& expected : kImplemented) {
    SCOPED_TRACE(::testing::Message() << "entry " << expected.entry << ", implemented type "
                                    << expected.index);
    ITypeInfo* info = expected.entry == 0 ? interface_.get() : entries_[expected.entry].get();
    HREFTYPE ref = 0;
    ASSERT_EQ(info->GetRefTypeOfImplType(expected.index, &ref), S_OK);
    INT flags = -1;
    ASSERT_EQ(info->GetImplTypeFlags(expected.index, &flags), S_OK);
    EXPECT_EQ(flags, expected.flags);

    ComPtr<ITypeInfo> target;
    ASSERT_EQ(info->GetRefTypeInfo(ref, target.put()), S_OK);
    EXPECT_EQ(NameOf(target.get()), expected.name);
    TypeAttr attr(target.get());
    ASSERT_TRUE(attr.ok());
    EXPECT_TRUE(IsEqualGUID(attr->guid, *expected.guid));

    ComPtr<ITypeLib> holder;
    UINT index = 0;
    ASSERT_EQ(target->GetContainingTypeLib(holder.put(), &index), S_OK);
    TLIBATTR* libAttr = nullptr;
    ASSERT_EQ(holder->GetLibAttr(&libAttr), S_OK);
    EXPECT_TRUE(IsEqualGUID(libAttr->guid, *expected.library));
    EXPECT_EQ(libAttr->wMajorVerNum, expected.libraryMajor);
    holder->ReleaseTLibAttr(libAttr);
  }
}

// --- Members -----------------------------------------------------------------

TEST_F(TypeLibTest, MembersFollowIDispatchDirectlyInTableOrder) {
  TypeAttr attr(interface_.get());
  ASSERT_TRUE(attr.ok());
  ASSERT_EQ(static_cast<size_t>(attr->cFuncs), members_.size());
  const size_t vtableSize = kFirstMemberPlace + members_.size() * sizeof(void*);
  EXPECT_EQ(static_cast<size_t>(attr->cbSizeVft), vtableSize);
  EXPECT_EQ(vtableSize, sizeof(void*) == 8 ? 304u : 152u) << "38 entries of a pointer each";
  // The C++ header declares the same vtable: nothing before, between or after.
  EXPECT_EQ(kSerialControlVtableSize, vtableSize);
  EXPECT_EQ(kSerialControlVtableCount, members_.size());
}

TEST_F(TypeLibTest, EveryMemberHasItsPlaceDispidKindFlagsNamesAndParameters) {
  ComPtr<ITypeInfo2> info2;
  ASSERT_EQ(interface_->QueryInterface(IID_ITypeInfo2, reinterpret_cast<void**>(info2.put())),
            S_OK);
  for (UINT i = 0; i < members_.size(); ++i) {
    const Member& member = members_[i];
    SCOPED_TRACE(::testing::Message() << "member " << i << " " << HeaderName(member));
    FuncDesc desc(interface_.get(), i);
    ASSERT_TRUE(desc.ok());
    EXPECT_EQ(desc->funckind, FUNC_PUREVIRTUAL);
    ExpectSignature(*desc, member, VT_HRESULT);

    const size_t place = kFirstMemberPlace + i * sizeof(void*);
    EXPECT_EQ(static_cast<size_t>(desc->oVft), place);
    const VtablePlace* header = HeaderPlace(HeaderName(member));
    ASSERT_NE(header, nullptr) << "Vemblaric.h declares it";
    EXPECT_EQ(header->offset, place) << "Vemblaric.h puts it at the same place";

    EXPECT_EQ(NamesOf(interface_.get(), member.dispid), ExpectedNames(member));

    UINT found = 0;
    ASSERT_EQ(info2->GetFuncIndexOfMemId(member.dispid, InvokeKindOf(member.kind), &found), S_OK);
    EXPECT_EQ(found, i) << "one function per DISPID and kind";
  }
}

// The dispatch view lists IUnknown's and IDispatch's functions as restricted;
// the others are the type's own, in order.
std::vector<UINT> OwnFunctions(ITypeInfo* info) {
  std::vector<UINT> own;
  TypeAttr attr(info);
  if (!attr.ok()) return own;
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FuncDesc desc(info, i);
    if (desc.ok() && !(desc->wFuncFlags & FUNCFLAG_FRESTRICTED)) own.push_back(i);
  }
  return own;
}

TEST_F(TypeLibTest, DispatchViewOffersTheSameMembersInOrderAndByName) {
  TypeAttr attr(dispatch_);
  ASSERT_TRUE(attr.ok());
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
  const std::vector<UINT> own = OwnFunctions(dispatch_);
  ASSERT_EQ(own.size(), members_.size());
  for (size_t i = 0; i < own.size(); ++i) {
    const Member& member = members_[i];
    SCOPED_TRACE(::testing::Message() << "member " << i << " " << HeaderName(member));
    FuncDesc desc(dispatch_, own[i]);
    ASSERT_TRUE(desc.ok());
    EXPECT_EQ(desc->funckind, FUNC_DISPATCH);
    EXPECT_EQ(desc->memid, member.dispid);
    EXPECT_EQ(desc->invkind, InvokeKindOf(member.kind));
    EXPECT_EQ(desc->wFuncFlags, member.hidden ? FUNCFLAG_FHIDDEN : 0);

    const wchar_t* names[] = {member.name.c_str()};
    MEMBERID id = -7;
    ASSERT_EQ(dispatch_->GetIDsOfNames(const_cast<LPOLESTR*>(names), 1, &id), S_OK);
    EXPECT_EQ(id, member.dispid);
  }
}

TEST_F(TypeLibTest, EventsAreDispatchMethodsWithOneStringByReference) {
  const std::vector<UINT> own = OwnFunctions(entries_[2].get());
  ASSERT_EQ(own.size(), events_.size());
  for (size_t i = 0; i < own.size(); ++i) {
    const Member& event = events_[i];
    SCOPED_TRACE(::testing::Message() << "event " << i);
    FuncDesc desc(entries_[2].get(), own[i]);
    ASSERT_TRUE(desc.ok());
    EXPECT_EQ(desc->funckind, FUNC_DISPATCH);
    ExpectSignature(*desc, event, VT_VOID);
    EXPECT_EQ(NamesOf(entries_[2].get(), event.dispid), ExpectedNames(event));
  }
}

TEST_F(TypeLibTest, UnlistedIdentifiersAndZeroBelongToNoMember) {
  const INVOKEKIND kinds[] = {INVOKE_FUNC, INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT,
                              INVOKE_PROPERTYPUTREF};
  for (ITypeInfo* info : {interface_.get(), dispatch_}) {
    ComPtr<ITypeInfo2> info2;
    ASSERT_EQ(info->QueryInterface(IID_ITypeInfo2, reinterpret_cast<void**>(info2.put())), S_OK);
    for (DISPID id : kNoMember) {
      SCOPED_TRACE(::testing::Message() << "DISPID 0x" << std::hex << id);
      for (INVOKEKIND kind : kinds) {
        UINT index = 0;
        EXPECT_EQ(info2->GetFuncIndexOfMemId(id, kind, &index), TYPE_E_ELEMENTNOTFOUND);
      }
      EXPECT_TRUE(NamesOf(info, id).empty());
    }
  }
}

// --- Names -------------------------------------------------------------------

struct NameLookup {
  std::vector<const wchar_t*> names;  // member, then parameters
  std::vector<DISPID> ids;            // what GetIDsOfNames gives
};

const NameLookup kLookups[] = {
    {{L"port"}, {0x68030005}},
    {{L"PORT"}, {0x68030005}},
    {{L"Port"}, {0x68030005}},
    {{L"Company"}, {0x68030001}},
    {{L"version"}, {0x68030000}},
    {{L"commopen"}, {0x60030012}},  // hidden, but named all the same
    {{L"CommOpen", L"strSettings", L"INTPORTID"}, {0x60030012, 2, 0}},
    {{L"CommRead", L"lngSize"}, {0x60030018, 2}},
    {{L"write_com", L"datastr"}, {0x60030009, 0}},
    {{L"close_com_norm"}, {0x6003001F}},
};

TEST_F(TypeLibTest, NamesMapToIdentifiersWithoutRegardToCase) {
  for (ITypeInfo* info : {dispatch_, interface_.get()}) {
    for (const NameLookup& lookup : kLookups) {
      SCOPED_TRACE(::testing::Message() << "looking up " << Narrow(lookup.names[0]));
      std::vector<MEMBERID> ids(lookup.names.size(), -7);
      ASSERT_EQ(info->GetIDsOfNames(const_cast<LPOLESTR*>(lookup.names.data()),
                                    static_cast<UINT>(lookup.names.size()), ids.data()),
                S_OK);
      EXPECT_EQ(ids, lookup.ids);
    }
    const wchar_t* unknown[] = {L"Open"};
    MEMBERID id = 0;
    EXPECT_EQ(info->GetIDsOfNames(const_cast<LPOLESTR*>(unknown), 1, &id), DISP_E_UNKNOWNNAME);
  }
}

}  // namespace
}  // namespace vemblaric
