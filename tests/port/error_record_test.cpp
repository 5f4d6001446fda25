// The failure convention: every failing step records code, label and the
// system's text, and nothing runs after it; caught failures record the bare
// operation name.
#include <functional>

#include "support/port_fixture.h"

namespace vemblaric {
namespace {

using testing::FakeAnswer;
using testing::FakePortTest;
using testing::SystemMessage;

constexpr DWORD kCode = ERROR_IO_DEVICE;  // 1117: any code with a system text

struct FailingStep {
  const wchar_t* label;
  const char* call;  // the kernel32 call made to fail
  bool io;           // recorded with the port's error flags
  long result;       // what the operation returns; kCode stands for "the code"
  std::function<void(testing::FakeKernel32&)> before;  // answers for the calls before it
  std::function<long(FakePortTest&)> op;
};

FakeAnswer Queued(DWORD bytes) {
  FakeAnswer a;
  a.inQueue = bytes;
  return a;
}
FakeAnswer Pending() {
  FakeAnswer a;
  a.ok = FALSE;
  a.error = ERROR_IO_PENDING;
  return a;
}

const std::function<long(FakePortTest&)> kOpen = [](FakePortTest& t) {
  return t.Open(1);
};
const std::function<long(FakePortTest&)> kSet = [](FakePortTest& t) {
  Bstr s = testing::MakeBstr(L"baud=19200");
  return t.port.CommSet(1, s.get());
};
const std::function<long(FakePortTest&)> kClose = [](FakePortTest& t) { return t.port.CommClose(1); };
const std::function<long(FakePortTest&)> kFlush = [](FakePortTest& t) { return t.port.CommFlush(1); };
const std::function<long(FakePortTest&)> kRead = [](FakePortTest& t) {
  return t.Read(1);
};
const std::function<long(FakePortTest&)> kWrite = [](FakePortTest& t) {
  return t.Write(1, L"hello");
};
const std::function<long(FakePortTest&)> kGetLine = [](FakePortTest& t) {
  VARIANT_BOOL state = VARIANT_FALSE;
  return t.port.CommGetLine(1, static_cast<short>(0x80), state);
};
const std::function<long(FakePortTest&)> kSetLine = [](FakePortTest& t) {
  return t.port.CommSetLine(1, 2, VARIANT_TRUE);
};
const std::function<void(testing::FakeKernel32&)> kNothing = [](testing::FakeKernel32&) {};

// Every labelled step of every operation, made to fail in turn.
const FailingStep kSteps[] = {
    {L"CommOpen (CreateFile)", "CreateFileA", false, kCode, kNothing, kOpen},
    {L"CommOpen (SetupComm)", "SetupComm", false, kCode, kNothing, kOpen},
    {L"CommOpen (PurgeComm)", "PurgeComm", false, kCode, kNothing, kOpen},
    {L"CommOpen (SetCommTimeouts)", "SetCommTimeouts", false, kCode, kNothing, kOpen},
    {L"CommOpen (GetCommState)", "GetCommState", false, kCode, kNothing, kOpen},
    {L"CommOpen (BuildCommDCB)", "BuildCommDCBA", false, kCode, kNothing, kOpen},
    {L"CommOpen (SetCommState)", "SetCommState", false, kCode, kNothing, kOpen},
    {L"CommSet (GetCommState)", "GetCommState", false, kCode, kNothing, kSet},
    {L"CommSet (BuildCommDCB)", "BuildCommDCBA", false, kCode, kNothing, kSet},
    {L"CommSet (SetCommState)", "SetCommState", false, kCode, kNothing, kSet},
    {L"CommClose (CloseHandle)", "CloseHandle", false, kCode, kNothing, kClose},
    {L"CommFlush (PurgeComm)", "PurgeComm", false, kCode, kNothing, kFlush},
    {L"CommRead (ClearCommError)", "ClearCommError", false, -1, kNothing, kRead},
    {L"CommRead (ReadFile)", "ReadFile", true, -1,
     [](testing::FakeKernel32& f) { f.Next("ClearCommError", Queued(10)); }, kRead},
    {L"CommRead (GetOverlappedResult)", "GetOverlappedResult", true, -1,
     [](testing::FakeKernel32& f) {
       f.Next("ClearCommError", Queued(10)).Next("ReadFile", Pending());
     },
     kRead},
    {L"CommWrite (WriteFile)", "WriteFile", true, -1, kNothing, kWrite},
    {L"CommWrite (GetOverlappedResult)", "GetOverlappedResult", true, 3,
     [](testing::FakeKernel32& f) { f.Next("WriteFile", Pending()); }, kWrite},
    {L"CommReadCD (GetCommModemStatus)", "GetCommModemStatus", false, kCode, kNothing, kGetLine},
    {L"CommSetLine (EscapeCommFunction)", "EscapeCommFunction", false, kCode, kNothing, kSetLine},
};

class FailingStepTest : public FakePortTest, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(FailingStepTest, RecordsCodeLabelAndSystemTextThenStops) {
  const FailingStep& step = GetParam();
  const bool closing = std::wstring(step.label).rfind(L"CommClose", 0) == 0;
  const bool opening = std::wstring(step.label).rfind(L"CommOpen", 0) == 0;
  if (!opening) ASSERT_EQ(Open(1), 0);  // every other step works on an open slot
  fake.ClearCalls();
  step.before(fake);
  FakeAnswer failure;
  failure.ok = FALSE;
  failure.error = kCode;
  failure.count = 3;  // what a failing GetOverlappedResult reports as done
  fake.Next(step.call, failure);

  const long result = step.op(*this);

  EXPECT_EQ(result, step.result);
  EXPECT_EQ(Code(), static_cast<long>(kCode));
  EXPECT_EQ(Function(), step.label);
  std::wstring expected = SystemMessage(kCode);
  if (step.io) expected += L"  COMM Error Flags = 0";
  EXPECT_EQ(Message(), expected);

  // Nothing after the failing call, but the error-flags query of a transfer.
  std::vector<std::string> names = fake.names();
  ASSERT_FALSE(names.empty());
  if (step.io) {
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names.back(), "ClearCommError");
    names.pop_back();
  }
  EXPECT_EQ(names.back(), step.call);
  if (closing) EXPECT_TRUE(port.CommPorts(1).blnPortOpen) << "a failed close keeps the slot open";
}

INSTANTIATE_TEST_SUITE_P(EveryLabel, FailingStepTest, ::testing::ValuesIn(kSteps));

struct CaughtCase {
  const char* name;
  const wchar_t* function;
  long result;
  std::function<long(FakePortTest&, short)> op;
};

const CaughtCase kCaught[] = {
    {"CommOpen", L"CommOpen", 9,
     [](FakePortTest& t, short id) { return t.Open(id); }},
    {"CommSet", L"CommSet", 9,
     [](FakePortTest& t, short id) {
       Bstr s = testing::MakeBstr(L"baud=9600");
       return t.port.CommSet(id, s.get());
     }},
    {"CommClose", L"CommClose", 9, [](FakePortTest& t, short id) { return t.port.CommClose(id); }},
    {"CommFlush", L"CommFlush", 9, [](FakePortTest& t, short id) { return t.port.CommFlush(id); }},
    {"CommRead", L"CommRead", -1,
     [](FakePortTest& t, short id) { return t.Read(id); }},
    {"CommWrite", L"CommWrite", 0,
     [](FakePortTest& t, short id) { return t.Write(id, L"abc"); }},
    {"CommGetLine", L"CommReadCD", 9,
     [](FakePortTest& t, short id) {
       VARIANT_BOOL s = VARIANT_FALSE;
       return t.port.CommGetLine(id, static_cast<short>(-1), s);
     }},
    {"CommSetLine", L"CommSetLine", 9,
     [](FakePortTest& t, short id) { return t.port.CommSetLine(id, 3, VARIANT_TRUE); }},
};

class CaughtPortNumber : public FakePortTest,
                         public ::testing::WithParamInterface<std::tuple<CaughtCase, short>> {};

TEST_P(CaughtPortNumber, IsFailureNineUnderTheBareNameWithNoSystemCall) {
  const CaughtCase& c = std::get<0>(GetParam());
  const short id = std::get<1>(GetParam());
  EXPECT_EQ(c.op(*this, id), c.result);
  EXPECT_EQ(Code(), 9);
  EXPECT_EQ(Function(), c.function);
  EXPECT_EQ(Message(), L"Subscript out of range");
  EXPECT_TRUE(fake.calls().empty()) << fake.names().front();
}

INSTANTIATE_TEST_SUITE_P(
    OutsideOneToFour, CaughtPortNumber,
    ::testing::Combine(::testing::ValuesIn(kCaught),
                       ::testing::Values(short{0}, short{5}, short{-1}, short{32767})),
    [](const auto& info) {
      const short id = std::get<1>(info.param);
      return std::string(std::get<0>(info.param).name) + "_" +
             (id < 0 ? "minus" + std::to_string(-id) : std::to_string(id));
    });

TEST_F(FakePortTest, NewInstanceReportsNothing) {
  long code = -99;
  EXPECT_EQ(ErrorLine(&code), L"Error (0):  - ");
  EXPECT_EQ(code, 0);
}

TEST_F(FakePortTest, FailureOutlivesLaterSuccessesAndReadingItChangesNothing) {
  fake.Fail("CreateFileA", ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(1, L"COM9"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(Open(1), 0);
  ASSERT_EQ(port.CommFlush(1), 0);
  ASSERT_EQ(port.CommClose(1), 0);

  long first = 0, second = 0;
  const std::wstring line = ErrorLine(&first);
  EXPECT_EQ(line, L"Error (2): CommOpen (CreateFile) - " + testing::SystemMessage(2));
  EXPECT_EQ(ErrorLine(&second), line);
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 2);
}

TEST_F(FakePortTest, PortInUseLine) {
  ASSERT_EQ(Open(3), 0);
  EXPECT_EQ(Open(3), -1);
  long code = 0;
  EXPECT_EQ(ErrorLine(&code), L"Error (-1): CommOpen - Port in use.");
  EXPECT_EQ(code, -1);
}

// The error word of a failed transfer, as the port reported it.
TEST_F(FakePortTest, ErrorFlagsSuffixIsUppercaseHexOfTheWord) {
  const struct {
    DWORD word;
    BOOL clearSucceeds;
    const wchar_t* suffix;
  } cases[] = {
      {0, TRUE, L"0"},
      {0x10, TRUE, L"10"},
      {0xABC, TRUE, L"ABC"},
      {0x80000001, TRUE, L"80000001"},
      {0x10, FALSE, L"0"},  // the query itself failed: no word, but the suffix stays
  };
  for (const auto& c : cases) {
    fake.Fail("WriteFile", kCode);
    FakeAnswer flags;
    flags.ok = c.clearSucceeds;
    flags.errors = c.word;
    flags.error = c.clearSucceeds ? 0 : ERROR_INVALID_HANDLE;
    fake.Next("ClearCommError", flags);
    EXPECT_EQ(Write(1, L"x"), -1);
    EXPECT_EQ(Message(), testing::SystemMessage(kCode) + L"  COMM Error Flags = " + c.suffix)
        << std::hex << c.word;
    EXPECT_EQ(Code(), static_cast<long>(kCode)) << "the flags query must not replace the code";
  }
}

TEST(SystemMessage, TrimsSpacesKeepsFinalLineBreakAndIgnoresInserts) {
  testing::FakeKernel32 fake;
  testing::CountingPump pump;
  PortLayer port(fake.table(), pump);
  const std::wstring known = Bstr::Adopt(port.GetSystemMessage(ERROR_FILE_NOT_FOUND)).str();
  ASSERT_FALSE(known.empty());
  EXPECT_NE(known.front(), L' ');
  EXPECT_EQ(known.back(), L'\n');
  EXPECT_EQ(fake.lastFormatFlags(), DWORD{FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS});

  EXPECT_EQ(Bstr::Adopt(port.GetSystemMessage(0x7FFF1234)).str(), L"");
}

}  // namespace
}  // namespace vemblaric
