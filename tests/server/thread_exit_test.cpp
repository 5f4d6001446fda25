// Worker threads that use Vemblaric.ocx and end, as hosts run them: each one
// ends promptly whether the library stays loaded, is unloaded by COM between
// threads, or is unloaded while a thread that used it still runs.
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Vemblaric.h"

namespace {

constexpr DWORD kJoinMs = 2000;
constexpr int kThreads = 200;

std::wstring OcxPath() {
  const std::string relative = VEMBLARIC_OCX_FILE;
  const std::wstring wide(relative.begin(), relative.end());
  wchar_t full[MAX_PATH] = {};
  ::GetFullPathNameW(wide.c_str(), MAX_PATH, full, nullptr);
  return full;
}

bool Loaded() { return ::GetModuleHandleW(OcxPath().c_str()) != nullptr; }

// One member family used on a control of the worker's own.
struct Family {
  const char* name;
  void (*use)(_SerialControl*);
};

const Family kFamilies[] = {
    {"properties",
     [](_SerialControl* c) {
       short port = 0;
       long baud = 0;
       VARIANT_BOOL status = VARIANT_FALSE;
       BSTR buffer = nullptr;
       c->put_Port(2);
       c->get_Port(&port);
       c->get_Baud(&baud);
       c->get_Status(&status);
       c->get_Buffer(&buffer);
       ::SysFreeString(buffer);
     }},
    {"Close_Com", [](_SerialControl* c) { c->Close_Com(); }},
    {"Read_Com", [](_SerialControl* c) { c->Read_Com(); }},
    {"CommGetError",
     [](_SerialControl* c) {
       BSTR line = nullptr;
       long result = 0;
       c->CommGetError(&line, &result);
       ::SysFreeString(line);
     }},
    {"Open_Com on port 5",
     [](_SerialControl* c) {
       c->put_Port(5);
       c->Open_Com();
     }},
    {"Write_Com and Clear_Com on a closed port",
     [](_SerialControl* c) {
       BSTR text = ::SysAllocString(L"x");
       c->Write_Com(text);
       ::SysFreeString(text);
       c->Clear_Com();
     }},
};
constexpr int kFamilyCount = sizeof kFamilies / sizeof kFamilies[0];

// What a worker does: in an apartment of its own, create a control (through
// the class object it is given, or by class through COM), use one family,
// release it, tell the test, and end once the test lets it.
struct Job {
  IClassFactory* factory = nullptr;  // null: create through COM
  const Family* family = nullptr;
  HANDLE used = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE mayEnd = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = nullptr;
  ~Job() {
    if (thread) {  // a test that stopped early still lets its worker end first
      ::SetEvent(mayEnd);
      ::WaitForSingleObject(thread, kJoinMs);
      ::CloseHandle(thread);
    }
    ::CloseHandle(used);
    ::CloseHandle(mayEnd);
  }
};

DWORD WINAPI Worker(void* param) {
  Job& job = *static_cast<Job*>(param);
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  _SerialControl* control = nullptr;
  const HRESULT hr =
      job.factory ? job.factory->CreateInstance(nullptr, IID__SerialControl,
                                                reinterpret_cast<void**>(&control))
                  : ::CoCreateInstance(CLSID_SerialControl, nullptr, CLSCTX_INPROC_SERVER,
                                       IID__SerialControl, reinterpret_cast<void**>(&control));
  if (SUCCEEDED(hr)) {
    job.family->use(control);
    control->Release();
  }
  ::SetEvent(job.used);
  const DWORD waited = ::WaitForSingleObject(job.mayEnd, kJoinMs);
  ::CoUninitialize();
  if (FAILED(hr)) return 2;
  return waited == WAIT_OBJECT_0 ? 0 : 3;
}

// How the library comes and goes around a batch of workers.
enum class Library {
  KeptByTheHost,           // loaded by path here for the whole run
  UnloadedByComPerThread,  // COM loads it for the workers and unloads it as their apartments end
  UnloadedByComHere,       // CoFreeUnusedLibraries on this thread unloads it between batches
  UnloadedUnderWorkers,    // freed here while the workers that used it still run
};

struct Mode {
  const char* name;
  Library library;
};

class ThreadsThatUsedTheControl : public ::testing::TestWithParam<Mode> {
 protected:
  using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    ASSERT_FALSE(Loaded()) << "the library is already loaded: the test cannot unload it";
  }
  void TearDown() override {
    if (factory_) factory_->Release();
    if (module_) ::FreeLibrary(module_);
    ::CoUninitialize();
  }

  // The library loaded by path and its class object.
  void Load() {
    module_ = ::LoadLibraryW(OcxPath().c_str());
    ASSERT_NE(module_, nullptr);
    const auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(::GetProcAddress(module_, "DllGetClassObject")));
    ASSERT_HRESULT_SUCCEEDED(getClassObject(CLSID_SerialControl, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory_)));
  }
  void Unload() {
    factory_->Release();
    factory_ = nullptr;
    ::FreeLibrary(module_);
    module_ = nullptr;
  }

  // Waits for the worker to end. One that does not end holds the loader
  // lock, so this process could not end either: the failure is reported and
  // the process ended on the spot.
  static void Join(Job& job, int number) {
    if (::WaitForSingleObject(job.thread, kJoinMs) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "the worker that used " << job.family->name << " (thread " << number
                    << ") did not end within " << kJoinMs << " ms";
      std::fflush(stdout);
      ::TerminateProcess(::GetCurrentProcess(), 1);
    }
    DWORD code = 99;
    ::GetExitCodeThread(job.thread, &code);
    EXPECT_EQ(code, 0u) << "the worker that used " << job.family->name << " (thread " << number
                        << "): 1 no apartment, 2 no control, 3 never let end";
  }

  HMODULE module_ = nullptr;
  IClassFactory* factory_ = nullptr;
};

// Workers run in batches of one per member family, so that records are made
// and freed on several threads at once.
TEST_P(ThreadsThatUsedTheControl, EachEndsWithinTwoSeconds) {
  const Library library = GetParam().library;
  if (library == Library::KeptByTheHost) {
    ASSERT_NO_FATAL_FAILURE(Load());
  }
  for (int first = 0; first < kThreads; first += kFamilyCount) {
    if (library == Library::UnloadedUnderWorkers) {
      ASSERT_NO_FATAL_FAILURE(Load());
    }
    if (library == Library::UnloadedByComHere) {
      // A class object fetched here puts the library in this apartment's
      // list, so that it stays after the workers' apartments end.
      IClassFactory* factory = nullptr;
      ASSERT_HRESULT_SUCCEEDED(::CoGetClassObject(CLSID_SerialControl, CLSCTX_INPROC_SERVER,
                                                  nullptr, IID_IClassFactory,
                                                  reinterpret_cast<void**>(&factory)));
      factory->Release();
    }
    Job batch[kFamilyCount];
    for (int i = 0; i < kFamilyCount; ++i) {
      batch[i].factory = factory_;
      batch[i].family = &kFamilies[i];
      batch[i].thread = ::CreateThread(nullptr, 0, Worker, &batch[i], 0, nullptr);
      ASSERT_NE(batch[i].thread, nullptr);
    }
    for (Job& job : batch) {
      ASSERT_EQ(::WaitForSingleObject(job.used, kJoinMs), WAIT_OBJECT_0);
    }
    if (library == Library::UnloadedUnderWorkers) {
      Unload();
      EXPECT_FALSE(Loaded()) << "the workers keep the library";
    }
    for (Job& job : batch) ::SetEvent(job.mayEnd);
    for (int i = 0; i < kFamilyCount; ++i) Join(batch[i], first + i);
    if (library == Library::UnloadedByComHere) ::CoFreeUnusedLibraries();
    if (library != Library::KeptByTheHost) {
      ASSERT_FALSE(Loaded()) << "the library stayed after threads " << first << " on";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, ThreadsThatUsedTheControl,
    ::testing::Values(Mode{"KeptByTheHost", Library::KeptByTheHost},
                      Mode{"UnloadedByComAsEachApartmentEnds", Library::UnloadedByComPerThread},
                      Mode{"UnloadedByCoFreeUnusedLibrariesBetweenThreads",
                           Library::UnloadedByComHere},
                      Mode{"UnloadedWhileTheWorkersRun", Library::UnloadedUnderWorkers}),
    [](const ::testing::TestParamInfo<Mode>& mode) { return std::string(mode.param.name); });

}  // namespace
