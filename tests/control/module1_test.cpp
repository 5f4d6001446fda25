// The per-thread records as the library's detach hooks free them: a thread
// whose record was freed, by its own end or by an unload under it, gets a
// zeroed one on its next use.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "control/module1.h"

namespace vemblaric {
namespace {

// Dirties this thread's record and returns whether it was zeroed before.
bool WasZeroedThenDirty() {
  Module1State& m = *Module1();
  const bool zeroed = m.lngStatus == 0 && m.lngWriteLength == 0 && m.intLoopStop == 0 &&
                      m.strReceived.length() == 0;
  m.lngStatus = 9;
  m.lngWriteLength = 3;
  m.intLoopStop = kLoopStop;
  m.strReceived = Bstr(L"kept");
  return zeroed;
}

TEST(Module1Records, AFreedRecordComesBackZeroedOnItsThreadAndOnAThreadStillRunning) {
  WasZeroedThenDirty();
  FreeThreadModule1();
  EXPECT_TRUE(WasZeroedThenDirty()) << "after the thread's own record was freed";

  HANDLE dirtied = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE freed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool zeroedThere = false;
  std::thread other([&] {
    WasZeroedThenDirty();
    ::SetEvent(dirtied);
    zeroedThere = ::WaitForSingleObject(freed, 2000) == WAIT_OBJECT_0 && WasZeroedThenDirty();
  });
  EXPECT_EQ(::WaitForSingleObject(dirtied, 2000), WAIT_OBJECT_0);
  FreeAllModule1();  // as the library is unloaded under the other thread
  ::SetEvent(freed);
  other.join();
  EXPECT_TRUE(zeroedThere) << "the running thread after every record was freed";
  EXPECT_TRUE(WasZeroedThenDirty()) << "this thread after every record was freed";
  ::CloseHandle(dirtied);
  ::CloseHandle(freed);
}

TEST(Module1Records, LookingUpTheRecordKeepsTheThreadsLastError) {
  FreeThreadModule1();
  for (const char* when : {"when the record is made", "when it exists"}) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    Module1();
    EXPECT_EQ(::GetLastError(), DWORD{ERROR_FILE_NOT_FOUND}) << when;
  }
}

}  // namespace
}  // namespace vemblaric
