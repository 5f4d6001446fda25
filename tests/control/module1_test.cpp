// The per-thread records as the library's detach hooks free them: a thread
// whose record was freed, by its own end or by an unload under it, gets a
// zeroed one on its next use.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "control/module1.h"

namespace vemblaric {
namespace {

void Dirty() {
  Module1State& m = Module1();
  m.lngStatus = 9;
  m.lngWriteLength = 3;
  m.intLoopStop = kLoopStop;
  AssignBstr(*m.strReceived.put(), L"kept");
}

bool Zeroed() {
  const Module1State& m = Module1();
  return m.lngStatus == 0 && m.lngWriteLength == 0 && m.intLoopStop == 0 &&
         ::SysStringLen(m.strReceived.get()) == 0;
}

TEST(Module1Records, AFreedRecordComesBackZeroedOnItsThreadAndOnAThreadStillRunning) {
  Dirty();
  FreeThreadModule1();
  EXPECT_TRUE(Zeroed()) << "after the thread's own record was freed";

  // Another thread holds a record while everything is freed under it.
  HANDLE dirtied = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE freed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool zeroedThere = false;
  std::thread other([&] {
    Dirty();
    ::SetEvent(dirtied);
    if (::WaitForSingleObject(freed, 2000) == WAIT_OBJECT_0) zeroedThere = Zeroed();
  });
  EXPECT_EQ(::WaitForSingleObject(dirtied, 2000), WAIT_OBJECT_0);
  Dirty();
  FreeAllModule1();
  ::SetEvent(freed);
  other.join();
  EXPECT_TRUE(zeroedThere) << "the running thread after every record was freed";
  EXPECT_TRUE(Zeroed()) << "this thread after every record was freed";
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
