// DllInstall for the user when reading the type library fails or throws (the
// program itself is the registered file), and the texts the assembly
// manifest writes names in.
#include <windows.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include "com/owners.h"
#include "install/library_keys.h"
#include "writers/manifest_text.h"

extern "C" HRESULT WINAPI DllInstall(BOOL install, LPCWSTR argument);

namespace vemblaric {
namespace {

HRESULT CannotLoad(const wchar_t*, ITypeLib**) { return TYPE_E_CANTLOADLIBRARY; }
HRESULT OutOfMemory(const wchar_t*, ITypeLib**) { throw std::bad_alloc(); }
HRESULT Throws(const wchar_t*, ITypeLib**) { throw std::runtime_error("thrown"); }

bool Exists(HKEY root, const wchar_t* path) {
  RegKey key;
  return ::RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// The export answers, HKEY_CLASSES_ROOT is the machine's again (whose classes
// hold the automation marshaler, the user's not), nothing of the class is left
// for the user, and removal succeeds however often the library is unreadable.
TEST(PerUserInstall, AFailedLibraryStepLeavesNothingAndRemovalStillSucceeds) {
  const struct {
    install::TypeLibraryLoad load;
    HRESULT installed;
  } cases[] = {{CannotLoad, SELFREG_E_TYPELIB}, {OutOfMemory, E_OUTOFMEMORY}, {Throws, E_UNEXPECTED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "installing answers 0x" << std::hex << c.installed);
    install::SetTypeLibraryLoad(c.load);
    EXPECT_EQ(DllInstall(TRUE, L"user"), c.installed);
    EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, L"CLSID\\{00020424-0000-0000-C000-000000000046}"));
    for (const wchar_t* key : {L"Software\\Classes\\CLSID\\{DDC012F8-A786-4584-856D-044BC1F49414}",
                               L"Software\\Classes\\Vemblaric.SerialControl",
                               L"Software\\Classes\\TypeLib\\{FE4F5263-11D5-4724-95BA-A978983B6369}",
                               L"Software\\Classes\\CLSID\\{10A3CDB8-70E0-4AD5-B7C6-4984AB5E2C2D}",
                               L"Software\\Classes\\Vemblaric.SerialPort",
                               L"Software\\Classes\\Vemblaric.SerialPort.1",
                               L"Software\\Classes\\TypeLib\\{1EFB73A2-C8DA-4C69-84CC-7935DBFCFA78}"})
      EXPECT_FALSE(Exists(HKEY_CURRENT_USER, key)) << key;
    EXPECT_EQ(DllInstall(FALSE, L"user"), S_OK);
  }
  install::SetTypeLibraryLoad(nullptr);
}

TEST(ManifestText, NamesAreUtf8WithMarkupEscaped) {
  EXPECT_EQ(manifest::Attribute(L"Vemblaric.ocx"), "Vemblaric.ocx");
  EXPECT_EQ(manifest::Attribute(L"\x00c9t\x00e9 & <\"d'\x65e5\">.ocx"),
            "\xc3\x89t\xc3\xa9 &amp; &lt;&quot;d&apos;\xe6\x97\xa5&quot;&gt;.ocx");
}

}  // namespace
}  // namespace vemblaric
