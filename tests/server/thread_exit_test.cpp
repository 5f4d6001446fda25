// Single-threaded workers that use Vemblaric.ocx and end, as hosts run them:
// each ends within 2 s whether the host keeps the library, COM releases it,
// or the host releases it while the workers that used it still run. Each
// release leaves nothing alive in the library, which stays mapped: it pins
// itself on its first load.
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Vemblaric.h"
#include "support/ocx_path.h"

namespace {

constexpr DWORD kJoinMs = 2000;   // how long a worker may take to end once let
constexpr DWORD kStepMs = 30000;  // any other step: only a hang takes this long
constexpr int kThreads = 200;

using vemblaric::testing::OcxPath;

bool Loaded() { return ::GetModuleHandleW(OcxPath().c_str()) != nullptr; }

// What the library answers COM when asked whether it may go: S_OK once no
// control and no server lock is left.
HRESULT CanUnloadNow() {
  using CanUnload = HRESULT(WINAPI*)();
  const auto can = reinterpret_cast<CanUnload>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(OcxPath().c_str()), "DllCanUnloadNow")));
  return can ? can() : E_FAIL;
}

// One member family, used on a control of the worker's own.
struct Family {
  const char* name;
  void (*use)(_SerialControl*);
};
const Family kFamilies[] = {
    {"properties", [](_SerialControl* c) { short p = 0; c->put_Port(2); c->get_Port(&p); }},
    {"Close_Com", [](_SerialControl* c) { c->Close_Com(); }},
    {"Read_Com", [](_SerialControl* c) { c->Read_Com(); }},
    {"CommGetError", [](_SerialControl* c) {
       BSTR s = nullptr;
       long r = 0;
       c->CommGetError(&s, &r);
       ::SysFreeString(s);
     }},
    {"Open_Com on port 5", [](_SerialControl* c) { c->put_Port(5); c->Open_Com(); }},
    {"Write_Com on a closed port", [](_SerialControl* c) {
       BSTR s = ::SysAllocString(L"x");
       c->Write_Com(s);
       ::SysFreeString(s);
     }},
};
constexpr int kFamilyCount = sizeof kFamilies / sizeof kFamilies[0];

// A worker: in an apartment of its own it creates a control (through the
// class object given, or by class through COM), uses its family, releases
// the control, says so, and ends once let.
struct Job {
  IClassFactory* factory = nullptr;
  const Family* family = nullptr;
  HANDLE used = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE mayEnd = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = nullptr;
  ~Job() {
    if (thread) {  // a test that stopped early still lets its worker end first
      ::SetEvent(mayEnd);
      EndsWithin(kStepMs);
      ::CloseHandle(thread);
    }
    ::CloseHandle(used);
    ::CloseHandle(mayEnd);
  }
  // A worker that does not end may hold the loader lock, so this process
  // could not end either: the failure is reported and the process ended.
  void EndsWithin(DWORD ms) const {
    if (::WaitForSingleObject(thread, ms) == WAIT_OBJECT_0) return;
    ADD_FAILURE() << "the worker that used " << family->name << " did not end within " << ms
                  << " ms";
    std::fflush(stdout);
    ::TerminateProcess(::GetCurrentProcess(), 1);
  }
};

// Workers make, use and release their controls all at once: the library
// keeps its type library loaded, so no make or release races another's.
DWORD WINAPI Worker(void* param) {
  Job& job = *static_cast<Job*>(param);
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  _SerialControl* c = nullptr;
  const HRESULT hr =
      job.factory ? job.factory->CreateInstance(nullptr, IID__SerialControl,
                                                reinterpret_cast<void**>(&c))
                  : ::CoCreateInstance(CLSID_SerialControl, nullptr, CLSCTX_INPROC_SERVER,
                                       IID__SerialControl, reinterpret_cast<void**>(&c));
  if (SUCCEEDED(hr)) {
    job.family->use(c);
    c->Release();
  }
  ::SetEvent(job.used);
  const DWORD waited = ::WaitForSingleObject(job.mayEnd, kStepMs);
  ::CoUninitialize();
  return FAILED(hr) ? 2 : waited == WAIT_OBJECT_0 ? 0 : 3;
}

// How the library is held and released around each batch of workers.
enum Library { kKeptByTheHost, kReleasedByComAsEachApartmentEnds,
               kReleasedByCoFreeUnusedLibrariesBetweenThreads, kReleasedWhileTheWorkersRun };
const char* const kLibraryNames[] = {"KeptByTheHost", "ReleasedByComAsEachApartmentEnds",
                                     "ReleasedByCoFreeUnusedLibrariesBetweenThreads",
                                     "ReleasedWhileTheWorkersRun"};

class ThreadsThatUsedTheControl : public ::testing::TestWithParam<Library> {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  }
  void TearDown() override {
    Unload();
    ::CoUninitialize();
  }

  // The library loaded by path, and its class object.
  void Load() {
    module_ = ::LoadLibraryW(OcxPath().c_str());
    ASSERT_NE(module_, nullptr);
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    const auto get = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(::GetProcAddress(module_, "DllGetClassObject")));
    ASSERT_HRESULT_SUCCEEDED(get(CLSID_SerialControl, IID_IClassFactory,
                                 reinterpret_cast<void**>(&factory_)));
  }
  void Unload() {
    if (factory_) factory_->Release();
    if (module_) ::FreeLibrary(module_);
    factory_ = nullptr;
    module_ = nullptr;
  }

  static void Join(Job& job, int number) {
    SCOPED_TRACE("thread " + std::to_string(number));
    job.EndsWithin(kJoinMs);
    DWORD code = 99;
    ::GetExitCodeThread(job.thread, &code);
    EXPECT_EQ(code, 0u) << "the worker that used " << job.family->name
                        << ": 1 no apartment, 2 no control, 3 never let end";
  }

  HMODULE module_ = nullptr;
  IClassFactory* factory_ = nullptr;
};

// Workers run in batches of one per family, so records are made and freed on
// several threads at once.
TEST_P(ThreadsThatUsedTheControl, EachEndsWithinTwoSeconds) {
  const Library library = GetParam();
  if (library == kKeptByTheHost) { ASSERT_NO_FATAL_FAILURE(Load()); }
  for (int first = 0; first < kThreads; first += kFamilyCount) {
    if (library == kReleasedWhileTheWorkersRun) { ASSERT_NO_FATAL_FAILURE(Load()); }
    if (library == kReleasedByCoFreeUnusedLibrariesBetweenThreads) {
      // Fetched here, the class object puts the library in this apartment's
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
    for (Job& job : batch) ASSERT_EQ(::WaitForSingleObject(job.used, kStepMs), WAIT_OBJECT_0);
    if (library == kReleasedWhileTheWorkersRun) {
      Unload();
      EXPECT_EQ(CanUnloadNow(), S_OK) << "the workers keep a control or a lock";
    }
    for (Job& job : batch) ::SetEvent(job.mayEnd);
    for (int i = 0; i < kFamilyCount; ++i) Join(batch[i], first + i);
    if (library == kReleasedByCoFreeUnusedLibrariesBetweenThreads) ::CoFreeUnusedLibraries();
    if (library != kKeptByTheHost) {
      ASSERT_TRUE(Loaded()) << "unmapped after thread " << first << " although pinned";
      ASSERT_EQ(CanUnloadNow(), S_OK) << "kept alive after thread " << first;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, ThreadsThatUsedTheControl,
    ::testing::Values(kKeptByTheHost, kReleasedByComAsEachApartmentEnds,
                      kReleasedByCoFreeUnusedLibrariesBetweenThreads, kReleasedWhileTheWorkersRun),
    [](const ::testing::TestParamInfo<Library>& p) { return kLibraryNames[p.param]; });

}  // namespace
