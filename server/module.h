// The library's own bookkeeping: its module handle and the counts of live
// objects and server locks that decide whether it may be unloaded.
#pragma once

#include <windows.h>

#include <string>

namespace vemblaric::server {

HMODULE ModuleHandle();
// The full path of the file this code runs from: the library, or the program
// it is linked into.
std::wstring ModulePath();
void ObjectCreated();
void ObjectDestroyed();
void LockServer(bool lock);
bool CanUnload();

// Creates the control object; defined by the COM object of the control.
HRESULT CreateSerialControl(REFIID riid, void** ppv);

}  // namespace vemblaric::server
