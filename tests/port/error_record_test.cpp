#include <gtest/gtest.h>

#include "port/port_layer.h"
#include "support/counting_pump.h"
#include "support/fake_kernel32.h"

namespace vemblaric {
namespace {

using testing::CountingPump;
using testing::FakeKernel32;

std::wstring ErrorLine(PortLayer& port, long* code = nullptr) {
  Bstr line;
  const long c = port.CommGetError(*line.put());
  if (code) *code = c;
  return line.str();
}

std::wstring SystemText(DWORD code) {
  PortLayer port(SystemKernel32(), *new CountingPump);  // leaked pump: trivial
  return Bstr::Adopt(port.GetSystemMessage(static_cast<long>(code))).str();
}

TEST(ErrorRecord, NewInstanceReportsNothing) {
  FakeKernel32 fake;
  CountingPump pump;
  PortLayer port(fake.table(), pump);
  long code = -99;
  EXPECT_EQ(ErrorLine(port, &code), L"Error (0):  - ");
  EXPECT_EQ(code, 0);
}

TEST(ErrorRecord, SystemMessageKeepsLineBreakAndTrimsOnlySpaces) {
  const std::wstring text = SystemText(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.front(), L' ');
  EXPECT_EQ(text.back(), L'\n');
}

TEST(ErrorRecord, SystemMessageForUnknownCodeIsEmpty) {
  EXPECT_EQ(SystemText(0x7FFF1234), L"");
}

}  // namespace
}  // namespace vemblaric
