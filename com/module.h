// The library's own bookkeeping: its module handle and the counts of live
// objects and server locks that decide whether it may be unloaded.
#pragma once

#include <windows.h>

#include <new>
#include <string>

namespace vemblaric::com {

HMODULE ModuleHandle();
// The full path of the file this code runs from: the library, or the program
// it is linked into.
std::wstring ModulePath();
void ObjectCreated();
void ObjectDestroyed();
void LockServer(bool lock);
bool CanUnload();

// Runs `work` as an export must: no C++ exception leaves it, a failure to
// allocate comes back as E_OUTOFMEMORY and any other as E_UNEXPECTED.
template <typename Work>
HRESULT Contained(Work&& work) noexcept {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace vemblaric::com
