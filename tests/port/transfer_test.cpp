// Reading and writing through the scripted kernel32: sizes, pending
// transfers, failure results and the message pumps.
#include <cstdlib>
#include <new>

#include "support/port_fixture.h"

// This program runs as in a small address space: one allocation of a gigabyte
// or more fails, as it does in a 32-bit process and in a 64-bit one short of
// memory, so the queue of nearly 2 GiB below cannot be had in either build.
constexpr std::size_t kLargestAllocation = std::size_t{1} << 30;
void* operator new(std::size_t size) {
  if (size >= kLargestAllocation) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vemblaric {
namespace {

using testing::FakeAnswer;
using testing::FakePortTest;

FakeAnswer Queue(DWORD bytes) {
  FakeAnswer a;
  a.inQueue = bytes;
  return a;
}
FakeAnswer Bytes(const std::string& data, BOOL ok = TRUE, DWORD error = 0) {
  FakeAnswer a;
  a.ok = ok;
  a.error = error;
  a.data = data;
  a.count = static_cast<DWORD>(data.size());
  return a;
}
FakeAnswer Failing(DWORD error, DWORD count = 0) {
  FakeAnswer a;
  a.ok = FALSE;
  a.error = error;
  a.count = count;
  return a;
}
FakeAnswer Done(DWORD count) {
  FakeAnswer a;
  a.count = count;
  return a;
}

class TransferTest : public FakePortTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(Open(1), 0);
    fake.ClearCalls();
  }
};

struct SizeCase {
  DWORD queued;
  long lngSize;
  DWORD asked;  // 0: ReadFile is not called
};

class RequestedCount : public TransferTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(RequestedCount, AsksForTheLargerOfQueueAndSize) {
  const SizeCase c = GetParam();
  fake.Next("ClearCommError", Queue(c.queued));
  if (c.asked) fake.Next("ReadFile", Bytes(std::string(c.queued, 'q')));
  std::wstring text = L"stale";
  const long n = Read(1, &text, c.lngSize);
  const auto reads = fake.named("ReadFile");
  if (!c.asked) {
    EXPECT_EQ(n, 0);
    EXPECT_EQ(text, L"");
    EXPECT_TRUE(reads.empty());
    return;
  }
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].arg1, c.asked);
  EXPECT_EQ(n, static_cast<long>(c.queued)) << "everything queued comes back in one call";
  EXPECT_EQ(text, std::wstring(c.queued, L'q'));
}

INSTANTIATE_TEST_SUITE_P(Sizes, RequestedCount,
                         ::testing::Values(SizeCase{0, 64, 0}, SizeCase{10, 64, 64},
                                           SizeCase{100, 64, 100}, SizeCase{5, 0, 5},
                                           SizeCase{5, -7, 5}, SizeCase{5000, 64, 5000},
                                           SizeCase{5, 100000, 1024}, SizeCase{3000, 100000, 3000}));

TEST_F(TransferTest, ReadShorterThanAskedHasExactlyThatManyCharacters) {
  fake.Next("ClearCommError", Queue(3)).Next("ReadFile", Bytes("abc"));
  std::wstring text;
  EXPECT_EQ(Read(1, &text, 64), 3);
  EXPECT_EQ(text, L"abc");
}

TEST_F(TransferTest, PendingReadWaitsThroughIncompleteAndReturnsWhatCompleted) {
  fake.Next("ClearCommError", Queue(5))
      .Next("ReadFile", Bytes("hello", FALSE, ERROR_IO_PENDING))
      .Fail("GetOverlappedResult", ERROR_IO_INCOMPLETE)
      .Fail("GetOverlappedResult", ERROR_IO_INCOMPLETE)
      .Fail("GetOverlappedResult", ERROR_IO_INCOMPLETE)
      .Next("GetOverlappedResult", Done(4));
  std::wstring text;
  EXPECT_EQ(Read(1, &text, 64), 4);
  EXPECT_EQ(text, L"hell") << "exactly the bytes the completion reported";
  const auto waits = fake.named("GetOverlappedResult");
  ASSERT_EQ(waits.size(), 4u);
  for (const auto& w : waits) {
    EXPECT_TRUE(w.wait);
    EXPECT_EQ(w.overlapped, &port.Overlapped());
  }
  EXPECT_EQ(fake.named("ReadFile")[0].overlapped, &port.Overlapped());
}

TEST_F(TransferTest, PendingWriteReturnsTheCompletedCount) {
  fake.Next("WriteFile", Failing(ERROR_IO_PENDING))
      .Fail("GetOverlappedResult", ERROR_IO_INCOMPLETE)
      .Next("GetOverlappedResult", Done(5));
  EXPECT_EQ(Write(1, L"hello"), 5);
  EXPECT_EQ(pump.count, 11);
  EXPECT_EQ(Code(), 0) << "nothing recorded";
}

TEST_F(TransferTest, FailedCompletionOfAWriteReturnsItsCountNotMinusOne) {
  fake.Next("WriteFile", Failing(ERROR_IO_PENDING))
      .Next("GetOverlappedResult", Failing(ERROR_OPERATION_ABORTED, 2));
  EXPECT_EQ(Write(1, L"hello"), 2);
  EXPECT_EQ(Function(), L"CommWrite (GetOverlappedResult)");
  EXPECT_EQ(Code(), ERROR_OPERATION_ABORTED);
}

TEST_F(TransferTest, ReadFileFailingWithCodeZeroIsAFailure) {
  fake.Next("ClearCommError", Queue(4)).Next("ReadFile", Failing(0));
  std::wstring text = L"x";
  EXPECT_EQ(Read(1, &text), -1);
  EXPECT_EQ(text, L"");
  EXPECT_EQ(Function(), L"CommRead (ReadFile)");
  EXPECT_EQ(Code(), 0);
}

TEST_F(TransferTest, WriteFileFailingWithCodeZeroReturnsItsCountAndRecordsNothing) {
  fake.Next("WriteFile", Failing(0, 2));
  EXPECT_EQ(Write(1, L"abcd"), 2);
  EXPECT_EQ(ErrorLine(), L"Error (0):  - ");
  EXPECT_EQ(pump.count, 1);
}

TEST_F(TransferTest, WritePumpsOnceAfterWriteFileAndTenTimesMoreWhenComplete) {
  fake.Default("WriteFile", Done(3));
  EXPECT_EQ(Write(1, L"abc"), 3);
  EXPECT_EQ(pump.count, 11);

  pump.count = 0;
  fake.Fail("WriteFile", ERROR_IO_DEVICE);
  EXPECT_EQ(Write(1, L"abc"), -1);
  EXPECT_EQ(pump.count, 1);
}

TEST_F(TransferTest, ReadPumpsOnceBeforeLookingAtThePort) {
  size_t callsAtPump = 99;
  pump.onPump = [&](int) { callsAtPump = fake.calls().size(); };
  fake.Next("ClearCommError", Queue(0));
  EXPECT_EQ(Read(1), 0);
  EXPECT_EQ(pump.count, 1);
  EXPECT_EQ(callsAtPump, 0u);

  for (short id : {short{0}, short{5}}) {
    pump.count = 0;
    EXPECT_EQ(Read(id), -1);
    EXPECT_EQ(pump.count, 1) << id;
  }

  // Host code that closes the port from that pump leaves nothing to read and
  // no failure in the record: the close was asked for.
  const std::wstring before = ErrorLine();
  pump.onPump = [&](int) { port.CommClose(1); };
  std::wstring text = L"x";
  EXPECT_EQ(Read(1, &text), 0);
  EXPECT_EQ(text, L"");
  EXPECT_EQ(ErrorLine(), before);
  EXPECT_EQ(fake.named("ClearCommError").size(), 1u) << "only the first read looked at the port";
}

TEST_F(TransferTest, WriteHandsTheSystemEveryByteAndReturnsTheTextAsConverted) {
  fake.Default("WriteFile", Done(0));
  std::wstring after;
  Write(1, L"", &after);
  ASSERT_EQ(fake.named("WriteFile").size(), 1u);
  EXPECT_EQ(fake.named("WriteFile")[0].arg1, 0u) << "an empty text is a zero-length transfer";
  EXPECT_EQ(after, L"");

  fake.ClearCalls();
  const std::wstring text = L"A\u00e9\u4e00z";  // a character most code pages lack
  const std::string ansi = ToAnsi(text.c_str(), static_cast<UINT>(text.size()));
  Write(1, text, &after);
  EXPECT_EQ(fake.named("WriteFile")[0].text, ansi);
  EXPECT_EQ(after, FromAnsi(ansi.data(), ansi.size()));
}

TEST_F(TransferTest, NeverOpenedSlotFailsAtTheFirstCall) {
  std::wstring text;
  EXPECT_EQ(Read(2, &text), -1);
  EXPECT_EQ(Function(), L"CommRead (ClearCommError)");
  EXPECT_EQ(Code(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Message(), testing::SystemMessage(ERROR_INVALID_HANDLE)) << "no flags suffix";

  EXPECT_EQ(Write(2, L"abc"), -1);
  EXPECT_EQ(Function(), L"CommWrite (WriteFile)");
  EXPECT_EQ(Code(), ERROR_INVALID_HANDLE);
}

TEST_F(TransferTest, UnallocatableQueueIsOutOfMemoryNotACrash) {
  fake.Next("ClearCommError", Queue(0x7FFFFFF0));
  std::wstring text = L"x";
  EXPECT_EQ(Read(1, &text), -1);
  EXPECT_EQ(text, L"");
  EXPECT_EQ(Code(), 7);
  EXPECT_EQ(Function(), L"CommRead");
  EXPECT_TRUE(fake.named("ReadFile").empty());
}

// A write still in flight during its pump owns the overlapped record and its
// send copy; host code that starts another transfer there is refused.
TEST_F(TransferTest, TransferStartedWhileAWriteIsInFlightIsRefused) {
  fake.Next("WriteFile", Failing(ERROR_IO_PENDING)).Next("GetOverlappedResult", Done(5));
  long nestedRead = 0, nestedWrite = 0;
  std::wstring nestedText = L"untouched";
  size_t callsBefore = 0, callsAfter = 0;
  std::wstring refusedAs[2];
  pump.onPump = [&](int n) {
    if (n != 1) return;
    callsBefore = fake.calls().size();
    nestedRead = Read(1, &nestedText);
    refusedAs[0] = Function();
    nestedWrite = Write(1, L"other");
    refusedAs[1] = Function();
    callsAfter = fake.calls().size();
  };
  EXPECT_EQ(Write(1, L"hello"), 5);
  EXPECT_EQ(nestedRead, -1);
  EXPECT_EQ(nestedWrite, 0);
  EXPECT_EQ(refusedAs[0], L"CommRead");
  EXPECT_EQ(refusedAs[1], L"CommWrite");
  EXPECT_EQ(Code(), 5);
  EXPECT_EQ(callsAfter, callsBefore) << "the refused calls touched no port";
  EXPECT_EQ(fake.named("WriteFile").size(), 1u);
  EXPECT_EQ(fake.named("WriteFile")[0].text, "hello");

  // Once the write has ended, transfers work again.
  fake.Next("ClearCommError", Queue(2)).Next("ReadFile", Bytes("ok"));
  pump.onPump = nullptr;
  std::wstring text;
  EXPECT_EQ(Read(1, &text, 1), 2);
  EXPECT_EQ(text, L"ok");
}

}  // namespace
}  // namespace vemblaric
