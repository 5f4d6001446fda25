// The library's classes, one entry each: what the class object makes, what
// registration and the assembly manifest publish, and which type library
// describes the class. The module's entry points, installation and the
// manifest writer iterate the table; adding a class is its code, one entry
// and its type library.
#pragma once

#include <windows.h>

#include <cstddef>

namespace vemblaric::com {

// A type library in the module's resources.
struct TypeLibraryEntry {
  const GUID* libid;
  WORD major;
  WORD minor;
  LCID locale;
  int resource;  // the TYPELIB resource's index; 1 is the file's own path
  // The interfaces registration writes keys for, removed by these
  // identifiers even when the file no longer holds a readable library.
  const IID* const* interfaces;
  std::size_t interfaceCount;
};

struct ClassEntry {
  const CLSID* clsid;
  const wchar_t* progId;           // without a version
  const wchar_t* versionedProgId;  // nullptr: the class registers none
  const wchar_t* description;      // the class key's default value
  const wchar_t* threadingModel;
  DWORD miscStatus;  // the content aspect's (MiscStatus\1); the other aspects have none
  bool control;      // published as a control (the Control key)
  bool insertable;   // offered to containers' insert dialogs (the Insertable key)
  int toolboxBitmap;  // resource id of the toolbox picture; 0: none
  const TypeLibraryEntry* typeLibrary;
  // Makes a new object and hands out `riid` on it.
  HRESULT (*create)(REFIID riid, void** ppv);
  // What the class keeps per thread and per process, let go of when a thread
  // ends and when the module is unloaded while the process goes on; nullptr:
  // nothing.
  void (*threadEnded)();
  void (*unloaded)();
};

// The table, defined by the library that links the classes.
extern const ClassEntry* const kClasses[];
extern const std::size_t kClassCount;

// The entry of `clsid`, or nullptr.
const ClassEntry* FindClass(REFCLSID clsid);

}  // namespace vemblaric::com
