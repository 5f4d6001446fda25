// Modem status inputs and line outputs, through the scripted kernel32.
#include "support/port_fixture.h"

namespace vemblaric {
namespace {

using testing::FakeAnswer;
using testing::FakePortTest;

struct MaskCase {
  DWORD status;
  short mask;
  VARIANT_BOOL expected;
};

class LineMask : public FakePortTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(LineMask, TrueWhenAnyMaskedBitIsOn) {
  const MaskCase c = GetParam();
  ASSERT_EQ(Open(1), 0);
  FakeAnswer a;
  a.modem = c.status;
  fake.Next("GetCommModemStatus", a);
  // Start from the opposite value, so a stale result cannot pass.
  VARIANT_BOOL state = c.expected ? VARIANT_FALSE : VARIANT_TRUE;
  EXPECT_EQ(port.CommGetLine(1, c.mask, state), 0);
  EXPECT_EQ(state, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, LineMask,
    ::testing::Values(MaskCase{MS_RLSD_ON, 0x80, VARIANT_TRUE}, MaskCase{MS_CTS_ON, 0x80, VARIANT_FALSE},
                      MaskCase{MS_CTS_ON, 0x30, VARIANT_TRUE}, MaskCase{MS_DSR_ON, 0x30, VARIANT_TRUE},
                      MaskCase{MS_RING_ON, 0x30, VARIANT_FALSE}, MaskCase{0xF0, 0, VARIANT_FALSE},
                      MaskCase{MS_RING_ON, -1, VARIANT_TRUE}, MaskCase{0, -1, VARIANT_FALSE},
                      // The mask is widened with its sign: 0x8000 tests the high word too.
                      MaskCase{0x00010000, static_cast<short>(0x8000), VARIANT_TRUE}));

TEST_F(FakePortTest, FailingStatusQueryLeavesTheStateAsPassedIn) {
  ASSERT_EQ(Open(1), 0);
  for (VARIANT_BOOL passed : {VARIANT_TRUE, VARIANT_FALSE}) {
    fake.Fail("GetCommModemStatus", ERROR_NOT_SUPPORTED);
    VARIANT_BOOL state = passed;
    EXPECT_EQ(port.CommGetLine(1, -1, state), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(state, passed);
    EXPECT_EQ(Function(), L"CommReadCD (GetCommModemStatus)");
  }
  VARIANT_BOOL state = VARIANT_TRUE;
  EXPECT_EQ(port.CommGetLine(7, -1, state), 9);
  EXPECT_EQ(state, VARIANT_TRUE);
}

struct EscapeCase {
  short line;
  VARIANT_BOOL state;
  DWORD code;
};

class LineOutput : public FakePortTest, public ::testing::WithParamInterface<EscapeCase> {};

TEST_P(LineOutput, CallsEscapeCommFunctionWithTheCodeOfLineAndState) {
  const EscapeCase c = GetParam();
  ASSERT_EQ(Open(2), 0);
  fake.ClearCalls();
  EXPECT_EQ(port.CommSetLine(2, c.line, c.state), 0);
  ASSERT_EQ(fake.names(), std::vector<std::string>{"EscapeCommFunction"});
  EXPECT_EQ(fake.calls()[0].arg1, c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, LineOutput,
    ::testing::Values(EscapeCase{1, VARIANT_TRUE, SETBREAK}, EscapeCase{1, VARIANT_FALSE, CLRBREAK},
                      EscapeCase{2, VARIANT_TRUE, SETDTR}, EscapeCase{2, VARIANT_FALSE, CLRDTR},
                      EscapeCase{3, VARIANT_TRUE, SETRTS}, EscapeCase{3, VARIANT_FALSE, CLRRTS},
                      EscapeCase{2, 1, SETDTR}, EscapeCase{3, 7, SETRTS},
                      EscapeCase{0, VARIANT_TRUE, 0}, EscapeCase{4, VARIANT_FALSE, 0}));

TEST_F(FakePortTest, CodeZeroThatTheSystemRejectsIsRecorded) {
  ASSERT_EQ(Open(1), 0);
  fake.Fail("EscapeCommFunction", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(port.CommSetLine(1, 4, VARIANT_TRUE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Function(), L"CommSetLine (EscapeCommFunction)");
}

}  // namespace
}  // namespace vemblaric
