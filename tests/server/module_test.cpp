// Vemblaric.ocx as built: its exports, its resources byte for byte, and its
// class object and unload bookkeeping, loaded from the file itself.
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Vemblaric.h"
#include "support/ocx_path.h"

namespace {

using vemblaric::testing::OcxPath;

// The file loaded as data: its resources, none of its code.
class OcxResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = ::LoadLibraryExW(OcxPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << "cannot load " << ::testing::PrintToString(OcxPath());
  }
  void TearDown() override {
    if (module_) ::FreeLibrary(module_);
  }

  // The bytes of a resource, or an empty string when there is none.
  std::string Bytes(const wchar_t* type, const wchar_t* name, WORD language) {
    HRSRC found = ::FindResourceExW(module_, type, name, language);
    if (!found) return std::string();
    HGLOBAL loaded = ::LoadResource(module_, found);
    const char* data = static_cast<const char*>(::LockResource(loaded));
    return std::string(data, ::SizeofResource(module_, found));
  }

  HMODULE module_ = nullptr;
};

const WORD kNeutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);

TEST_F(OcxResources, IdentifierRecordsAreTheLength16ThenTheIdentifier) {
  struct Case {
    const wchar_t* type;
    IID iid;
  };
  for (const Case& c : {Case{L"_IID_SERIALCONTROL", IID__SerialControl},
                        Case{L"_SRCIID_SERIALCONTROL", DIID___SerialControl}}) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(c.type)));
    const std::string bytes = Bytes(c.type, MAKEINTRESOURCEW(1), kNeutral);
    ASSERT_EQ(bytes.size(), 20u);
    DWORD length = 0;
    std::memcpy(&length, bytes.data(), 4);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(std::memcmp(bytes.data() + 4, &c.iid, 16), 0);
  }
}

TEST_F(OcxResources, ToolboxBitmapIs16By15TwentyFourBitsBottomUpWithoutFileHeader) {
  const std::string bytes = Bytes(MAKEINTRESOURCEW(2) /* RT_BITMAP */, MAKEINTRESOURCEW(30000),
                                  kNeutral);
  ASSERT_EQ(bytes.size(), 760u);
  BITMAPINFOHEADER header;
  std::memcpy(&header, bytes.data(), sizeof header);
  EXPECT_EQ(header.biSize, sizeof(BITMAPINFOHEADER));
  EXPECT_EQ(header.biWidth, 16);
  EXPECT_EQ(header.biHeight, 15);  // positive: bottom-up
  EXPECT_EQ(header.biPlanes, 1);
  EXPECT_EQ(header.biBitCount, 24);
  EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
  // 15 rows of 48 bytes (16 pixels of 3), no colour table.
  EXPECT_EQ(bytes.size(), sizeof header + 15u * 48u);
  EXPECT_NE(bytes.substr(sizeof header).find_first_not_of('\0'), std::string::npos);
}

TEST_F(OcxResources, FaceIsA48By48BaselineJpeg) {
  const std::string bytes = Bytes(L"JPEG", L"FACE", kNeutral);
  ASSERT_GT(bytes.size(), 4u);
  EXPECT_EQ(bytes.substr(0, 3), std::string("\xFF\xD8\xFF"));
  EXPECT_EQ(bytes.substr(bytes.size() - 2), std::string("\xFF\xD9"));
  // The baseline frame header: FF C0, length, precision, height, width, components.
  const size_t frame = bytes.find("\xFF\xC0");
  ASSERT_NE(frame, std::string::npos);
  const auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[frame + i]); };
  EXPECT_EQ(at(4), 8);
  EXPECT_EQ(at(5) << 8 | at(6), 48);
  EXPECT_EQ(at(7) << 8 | at(8), 48);
  EXPECT_EQ(at(9), 3);
}

TEST_F(OcxResources, TypeLibraryLoadsFromTheFileWithItsIdentifierAndVersion) {
  ASSERT_FALSE(Bytes(L"TYPELIB", MAKEINTRESOURCEW(1), kNeutral).empty());
  ITypeLib* library = nullptr;
  ASSERT_HRESULT_SUCCEEDED(::LoadTypeLibEx(OcxPath().c_str(), REGKIND_NONE, &library));
  TLIBATTR* attr = nullptr;
  ASSERT_HRESULT_SUCCEEDED(library->GetLibAttr(&attr));
  EXPECT_TRUE(::IsEqualGUID(attr->guid, LIBID_Vemblaric));
  EXPECT_EQ(attr->wMajorVerNum, 20);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  library->ReleaseTLibAttr(attr);
  library->Release();
}

TEST(OcxVersion, BlockCarriesVersionsNamesAndTheSelfRegisterMark) {
  const std::wstring path = OcxPath();
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::string block(size, '\0');
  ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, &block[0]));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  WORD* translation = nullptr;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 1200);

  struct Case {
    const wchar_t* name;
    const wchar_t* value;
  };
  for (const Case& c : {Case{L"FileVersion", L"1.00"}, Case{L"ProductVersion", L"1.00"},
                        Case{L"ProductName", L"Vemblaric"}, Case{L"InternalName", L"Vemblaric"},
                        Case{L"OriginalFilename", L"Vemblaric.ocx"},
                        Case{L"OLESelfRegister", L""}}) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(c.name)));
    wchar_t* text = nullptr;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + c.name;
    ASSERT_TRUE(::VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text),
                                 &length));
    EXPECT_EQ(std::wstring(text), c.value);
  }
  wchar_t* company = nullptr;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\CompanyName",
                               reinterpret_cast<void**>(&company), &length));
  EXPECT_GT(std::wstring(company).size(), 0u);
}

// The library loaded as code.
class OcxLibrary : public ::testing::Test {
 protected:
  using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  using CanUnloadNow = HRESULT(WINAPI*)();

  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    module_ = ::LoadLibraryW(OcxPath().c_str());
    ASSERT_NE(module_, nullptr);
    getClassObject_ = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(::GetProcAddress(module_, "DllGetClassObject")));
    canUnloadNow_ = reinterpret_cast<CanUnloadNow>(
        reinterpret_cast<void*>(::GetProcAddress(module_, "DllCanUnloadNow")));
    ASSERT_NE(getClassObject_, nullptr);
    ASSERT_NE(canUnloadNow_, nullptr);
  }
  void TearDown() override {
    if (module_) ::FreeLibrary(module_);
    ::CoUninitialize();
  }

  HMODULE module_ = nullptr;
  GetClassObject getClassObject_ = nullptr;
  CanUnloadNow canUnloadNow_ = nullptr;
};

TEST_F(OcxLibrary, ExportsTheFiveEntryPointsByNameAndOrdinal) {
  const char* names[] = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                         "DllUnregisterServer", "DllInstall"};
  for (WORD ordinal = 1; ordinal <= 5; ++ordinal) {
    SCOPED_TRACE(names[ordinal - 1]);
    FARPROC byName = ::GetProcAddress(module_, names[ordinal - 1]);
    FARPROC byOrdinal = ::GetProcAddress(module_, MAKEINTRESOURCEA(ordinal));
    ASSERT_NE(byName, nullptr);
    EXPECT_EQ(byName, byOrdinal);
  }
  EXPECT_EQ(::GetProcAddress(module_, MAKEINTRESOURCEA(6)), nullptr);
}

TEST_F(OcxLibrary, ClassObjectIsOnlyForTheControlsClass) {
  IClassFactory* factory = nullptr;
  EXPECT_EQ(getClassObject_(IID__SerialControl, IID_IClassFactory,
                            reinterpret_cast<void**>(&factory)),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);
  ASSERT_HRESULT_SUCCEEDED(getClassObject_(CLSID_SerialControl, IID_IClassFactory,
                                           reinterpret_cast<void**>(&factory)));
  factory->Release();
}

TEST_F(OcxLibrary, CannotUnloadWhileAnInstanceOrALockLives) {
  ASSERT_EQ(canUnloadNow_(), S_OK);
  IClassFactory* factory = nullptr;
  ASSERT_HRESULT_SUCCEEDED(getClassObject_(CLSID_SerialControl, IID_IClassFactory,
                                           reinterpret_cast<void**>(&factory)));
  // Holding the class object alone does not keep the library.
  EXPECT_EQ(canUnloadNow_(), S_OK);

  _SerialControl* control = nullptr;
  ASSERT_HRESULT_SUCCEEDED(
      factory->CreateInstance(nullptr, IID__SerialControl, reinterpret_cast<void**>(&control)));
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
  IUnknown* second = nullptr;
  ASSERT_HRESULT_SUCCEEDED(control->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&second)));
  control->Release();
  EXPECT_EQ(canUnloadNow_(), S_FALSE) << "a reference through another interface still lives";
  second->Release();
  EXPECT_EQ(canUnloadNow_(), S_OK);

  ASSERT_HRESULT_SUCCEEDED(factory->LockServer(TRUE));
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
  ASSERT_HRESULT_SUCCEEDED(factory->LockServer(FALSE));
  EXPECT_EQ(canUnloadNow_(), S_OK);

  IUnknown* aggregated = nullptr;
  EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IUnknown,
                                    reinterpret_cast<void**>(&aggregated)),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(canUnloadNow_(), S_OK);
  factory->Release();
}

}  // namespace
