#include "control/module1.h"

#include <windows.h>

#include <atomic>
#include <new>

namespace vemblaric {
namespace {

// One thread's record, linked into the list of live records so that the
// library can free every one of them when it is unloaded.
struct Record {
  Module1State state;
  Record* previous = nullptr;
  Record* next = nullptr;
};

// The globals below are constant-initialised and have no destructors: nothing
// here depends on construction order or runs at unload. The records they lead
// to are freed by FreeThreadModule1 and FreeAllModule1.
SRWLOCK g_lock = SRWLOCK_INIT;         // guards g_records and the slot's allocation
Record* g_records = nullptr;           // the live records
std::atomic<DWORD> g_slot{TLS_OUT_OF_INDEXES};
std::atomic<bool> g_refuseNew{false};

// The slot, allocated on first use; TLS_OUT_OF_INDEXES if the system has none.
DWORD Slot() {
  DWORD slot = g_slot.load(std::memory_order_acquire);
  if (slot != TLS_OUT_OF_INDEXES) return slot;
  ::AcquireSRWLockExclusive(&g_lock);
  slot = g_slot.load(std::memory_order_relaxed);
  if (slot == TLS_OUT_OF_INDEXES) {
    slot = ::TlsAlloc();
    g_slot.store(slot, std::memory_order_release);
  }
  ::ReleaseSRWLockExclusive(&g_lock);
  return slot;
}

Record* Unlink(Record* record) {
  if (record->previous) record->previous->next = record->next;
  else g_records = record->next;
  if (record->next) record->next->previous = record->previous;
  return record;
}

}  // namespace

Module1State* Module1() {
  // TlsGetValue clears the thread's last error; a host may still want the
  // one a failing call left, so it is put back.
  const DWORD lastError = ::GetLastError();
  Module1State* state = nullptr;
  const DWORD slot = Slot();
  if (slot != TLS_OUT_OF_INDEXES) {
    Record* record = static_cast<Record*>(::TlsGetValue(slot));
    if (!record) {
      if (!g_refuseNew.load(std::memory_order_relaxed)) record = new (std::nothrow) Record;
      if (record && ::TlsSetValue(slot, record)) {
        ::AcquireSRWLockExclusive(&g_lock);
        record->next = g_records;
        if (g_records) g_records->previous = record;
        g_records = record;
        ::ReleaseSRWLockExclusive(&g_lock);
      } else {
        delete record;
        record = nullptr;
      }
    }
    if (record) state = &record->state;
  }
  ::SetLastError(lastError);
  return state;
}

void RefuseNewModule1(bool refuse) { g_refuseNew.store(refuse, std::memory_order_relaxed); }

void FreeThreadModule1() {
  const DWORD slot = g_slot.load(std::memory_order_acquire);
  if (slot == TLS_OUT_OF_INDEXES) return;
  Record* record = static_cast<Record*>(::TlsGetValue(slot));
  if (!record) return;
  ::TlsSetValue(slot, nullptr);
  ::AcquireSRWLockExclusive(&g_lock);
  Unlink(record);
  ::ReleaseSRWLockExclusive(&g_lock);
  delete record;
}

void FreeAllModule1() {
  ::AcquireSRWLockExclusive(&g_lock);
  Record* records = g_records;
  g_records = nullptr;
  const DWORD slot = g_slot.exchange(TLS_OUT_OF_INDEXES, std::memory_order_acq_rel);
  ::ReleaseSRWLockExclusive(&g_lock);
  // A slot freed while other threads still hold values in it is handed out
  // again zeroed in every thread, so none of them can reach a freed record.
  if (slot != TLS_OUT_OF_INDEXES) ::TlsFree(slot);
  while (records) {
    Record* next = records->next;
    delete records;
    records = next;
  }
}

}  // namespace vemblaric
