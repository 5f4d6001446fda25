// Writes the side-by-side assembly manifest of a built Vemblaric.ocx, which
// lets a host use the control with no registration at all.
//
//   make_manifest Vemblaric.ocx Vemblaric.manifest
//
// Everything that identifies the control is read back from the built file:
// the library, class and interface identifiers, the library's version, flags
// and platform from its type library, the assembly's version from its version
// block. The classes are the class table's, each found in its type library;
// what a type library does not hold, the programmatic identifier, threading
// model and misc-status flags, comes from the table entry registration writes
// too. So the manifest cannot say anything that the file and its registration
// do not. Runs under Wine during the cross build, as a program of the word size
// of the file it reads; the output is the same byte for byte on every run.
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "com/class_table.h"
#include "com/owners.h"
#include "com/registry_text.h"
#include "install/library_keys.h"
#include "writers/manifest_text.h"

namespace {

using vemblaric::Bstr;
using vemblaric::ComPtr;
using vemblaric::manifest::Attribute;
using vemblaric::manifest::Utf8;

class Failure : public std::runtime_error {
 public:
  Failure(const std::string& what, HRESULT hr)
      : std::runtime_error(what + " failed: 0x" + Hex(static_cast<unsigned long>(hr))) {}
  static std::string Hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lX", value);
    return text;
  }
};

void Check(HRESULT hr, const std::string& what) {
  if (FAILED(hr)) throw Failure(what, hr);
}

std::string GuidText(REFGUID guid) { return Utf8(vemblaric::GuidText(guid).c_str()); }

std::string Name(ITypeInfo* info) {
  Bstr name;
  Check(info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr),
        "GetDocumentation");
  return Attribute(name.get());
}

// The misc-status flags by the names an assembly manifest gives them.
std::string MiscStatusNames(DWORD flags) {
  static const struct {
    DWORD flag;
    const char* name;
  } kNames[] = {
      {OLEMISC_RECOMPOSEONRESIZE, "recomposeonresize"},
      {OLEMISC_ONLYICONIC, "onlyiconic"},
      {OLEMISC_INSERTNOTREPLACE, "insertnotreplace"},
      {OLEMISC_STATIC, "static"},
      {OLEMISC_CANTLINKINSIDE, "cantlinkinside"},
      {OLEMISC_CANLINKBYOLE1, "canlinkbyole1"},
      {OLEMISC_ISLINKOBJECT, "islinkobject"},
      {OLEMISC_INSIDEOUT, "insideout"},
      {OLEMISC_ACTIVATEWHENVISIBLE, "activatewhenvisible"},
      {OLEMISC_RENDERINGISDEVICEINDEPENDENT, "renderingisdeviceindependent"},
      {OLEMISC_INVISIBLEATRUNTIME, "invisibleatruntime"},
      {OLEMISC_ALWAYSRUN, "alwaysrun"},
      {OLEMISC_ACTSLIKEBUTTON, "actslikebutton"},
      {OLEMISC_ACTSLIKELABEL, "actslikelabel"},
      {OLEMISC_NOUIACTIVATE, "nouiactivate"},
      {OLEMISC_ALIGNABLE, "alignable"},
      {OLEMISC_SIMPLEFRAME, "simpleframe"},
      {OLEMISC_SETCLIENTSITEFIRST, "setclientsitefirst"},
      {OLEMISC_IMEMODE, "imemode"},
      {OLEMISC_IGNOREACTIVATEWHENVISIBLE, "ignoreactivatewhenvisible"},
      {OLEMISC_WANTSTOMENUMERGE, "wantstomenumerge"},
      {OLEMISC_SUPPORTSMULTILEVELUNDO, "supportsmultilevelundo"},
  };
  std::string out;
  DWORD named = 0;
  for (const auto& n : kNames) {
    if (!(flags & n.flag)) continue;
    if (!out.empty()) out += ',';
    out += n.name;
    named |= n.flag;
  }
  if (named != flags) throw Failure("naming the misc-status flags", E_INVALIDARG);
  return out;
}

std::string LibraryFlags(WORD flags) {
  std::string out;
  const auto add = [&](WORD flag, const char* name) {
    if (!(flags & flag)) return;
    if (!out.empty()) out += ',';
    out += name;
  };
  add(LIBFLAG_FRESTRICTED, "restricted");
  add(LIBFLAG_FCONTROL, "control");
  add(LIBFLAG_FHIDDEN, "hidden");  // not "has disk image": every loaded library has one
  return out;
}

std::string FileVersion(const wchar_t* path) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) throw Failure("GetFileVersionInfoSize", HRESULT_FROM_WIN32(::GetLastError()));
  std::vector<BYTE> block(size);
  if (!::GetFileVersionInfoW(path, 0, size, block.data()))
    throw Failure("GetFileVersionInfo", HRESULT_FROM_WIN32(::GetLastError()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed)
    throw Failure("VerQueryValue", E_FAIL);
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionLS));
}

std::string FileName(const wchar_t* path) {
  std::wstring p(path);
  const size_t slash = p.find_last_of(L"\\/");
  return Attribute(slash == std::wstring::npos ? p.c_str() : p.c_str() + slash + 1);
}

// One type library of the file (`resource` 1 is the file itself): its
// classes, its typelib element and its interfaces.
struct LibraryPart {
  TLIBATTR attributes{};
  std::string name;
  std::string classes, typelib, interfaces;
};

LibraryPart DescribeLibrary(const wchar_t* path, int resource) {
  std::wstring location = path;
  if (resource != 1) location += L"\\" + std::to_wstring(resource);
  ComPtr<ITypeLib> lib;
  Check(::LoadTypeLibEx(location.c_str(), REGKIND_NONE, lib.put()), "LoadTypeLibEx");
  LibraryPart part;
  TLIBATTR* attr = nullptr;
  Check(lib->GetLibAttr(&attr), "GetLibAttr");
  const TLIBATTR library = *attr;
  part.attributes = library;
  lib->ReleaseTLibAttr(attr);
  Bstr libraryName;
  Check(lib->GetDocumentation(MEMBERID_NIL, libraryName.put(), nullptr, nullptr, nullptr),
        "GetDocumentation library");
  part.name = Attribute(libraryName.get());
  const std::string tlbid = GuidText(library.guid);

  std::size_t written = 0, expected = 0;
  for (std::size_t i = 0; i < vemblaric::com::kClassCount; ++i)
    if (::IsEqualGUID(*vemblaric::com::kClasses[i]->typeLibrary->libid, library.guid)) ++expected;
  const UINT count = lib->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    ComPtr<ITypeInfo> info;
    Check(lib->GetTypeInfo(i, info.put()), "GetTypeInfo");
    TYPEATTR* type = nullptr;
    Check(info->GetTypeAttr(&type), "GetTypeAttr");
    const TYPEATTR entry = *type;
    info->ReleaseTypeAttr(type);
    const std::string name = Name(info.get());
    if (entry.typekind == TKIND_COCLASS) {
      const vemblaric::com::ClassEntry* c = vemblaric::com::FindClass(entry.guid);
      if (!c) throw Failure("finding a class of the type library in the class table", E_FAIL);
      // The flags are the content aspect's, as registration writes them
      // (MiscStatus\1); every other aspect has none, and a class that draws
      // nothing has none at all.
      part.classes += "    <comClass clsid=\"" + GuidText(entry.guid) + "\" progid=\"" +
                      Attribute(c->versionedProgId ? c->versionedProgId : c->progId) +
                      "\" threadingModel=\"" + Attribute(c->threadingModel) + "\" tlbid=\"" +
                      tlbid + "\" description=\"" + name + "\"" +
                      (c->miscStatus ? " miscStatusContent=\"" + MiscStatusNames(c->miscStatus) + "\""
                                     : std::string());
      // The version-independent identifier too, as registration writes both.
      if (c->versionedProgId)
        part.classes += ">\r\n      <progid>" + Attribute(c->progId) + "</progid>\r\n    </comClass>\r\n";
      else
        part.classes += "/>\r\n";
      ++written;
    } else if (vemblaric::install::IsRegisteredInterface(entry)) {
      // The interfaces registration lists, through the same marshalers.
      part.interfaces += "  <comInterfaceExternalProxyStub name=\"" + name + "\" iid=\"" +
                         GuidText(entry.guid) + "\" proxyStubClsid32=\"" +
                         Utf8(vemblaric::install::MarshalerOf(entry)) + "\" tlbid=\"" + tlbid +
                         "\"/>\r\n";
    }
  }
  // Every class of the table that this library describes, and no other.
  if (written == 0 || written != expected)
    throw Failure("finding the table's classes in the type library", E_FAIL);

  // The library's version is written in decimal, major.minor, as activation
  // contexts read it (the registry writes the same numbers in hexadecimal).
  part.typelib = "    <typelib tlbid=\"" + tlbid + "\" version=\"" +
                 std::to_string(library.wMajorVerNum) + "." +
                 std::to_string(library.wMinorVerNum) + "\" helpdir=\"\" flags=\"" +
                 LibraryFlags(library.wLibFlags) + "\"/>\r\n";
  return part;
}

std::string Manifest(const wchar_t* path) {
  // The file's libraries in the order the class table names them; the first
  // names the assembly and tells the processor.
  std::vector<int> resources;
  for (std::size_t i = 0; i < vemblaric::com::kClassCount; ++i) {
    const int resource = vemblaric::com::kClasses[i]->typeLibrary->resource;
    if (std::find(resources.begin(), resources.end(), resource) == resources.end())
      resources.push_back(resource);
  }
  std::vector<LibraryPart> parts;
  for (int resource : resources) parts.push_back(DescribeLibrary(path, resource));
  if (parts.empty()) throw Failure("finding a class in the class table", E_FAIL);
  const char* processor = parts.front().attributes.syskind == SYS_WIN64 ? "amd64" : "x86";

  std::string classes, typelibs, interfaces;
  for (const LibraryPart& part : parts) {
    classes += part.classes;
    typelibs += part.typelib;
    interfaces += part.interfaces;
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
         "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
         "  <assemblyIdentity type=\"win32\" name=\"" + parts.front().name + "\" version=\"" +
         FileVersion(path) + "\" processorArchitecture=\"" + processor + "\"/>\r\n"
         "  <file name=\"" + FileName(path) + "\">\r\n" + classes + typelibs +
         "  </file>\r\n" + interfaces + "</assembly>\r\n";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_manifest Vemblaric.ocx Vemblaric.manifest\n");
    return 2;
  }
  const HRESULT init = ::CoInitialize(nullptr);
  int status = 0;
  try {
    const std::string text = Manifest(argv[1]);
    FILE* out = _wfopen(argv[2], L"wb");
    if (!out || std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
        std::fclose(out) != 0)
      throw Failure("writing the manifest", E_FAIL);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_manifest: %s\n", e.what());
    ::DeleteFileW(argv[2]);
    status = 1;
  }
  if (SUCCEEDED(init)) ::CoUninitialize();
  return status;
}
