// Writing in a double-byte ANSI code page: every byte of the conversion goes
// out, and the count returned is the byte count. Run with a Japanese locale,
// which gives code page 932.
#include <gtest/gtest.h>

#include "support/nullmodem.h"

namespace vemblaric {
namespace {

using testing::RealPort;

TEST(DoubleByteCodePage, WritesEveryByteOfTheConversion) {
  ASSERT_EQ(::GetACP(), 932u) << "this program must run under a Japanese locale";
  RealPort a, b;
  ASSERT_EQ(a.Open(3), 0);
  ASSERT_EQ(b.Open(4), 0);

  const std::wstring text = L"\u65e5\u672c\u8a9e abc";  // three double-byte characters
  const std::string bytes = ToAnsi(text.c_str(), static_cast<UINT>(text.size()));
  ASSERT_EQ(bytes.size(), 10u);

  std::wstring echoed;
  EXPECT_EQ(a.Write(3, text, &echoed), 10) << "the byte length, not the 7 characters";
  EXPECT_EQ(echoed, text);
  ASSERT_TRUE(b.WaitQueued(4, 10));
  EXPECT_EQ(b.ReadExactly(4, text.size()), text);
}

TEST(DoubleByteCodePage, UnrepresentableTextComesBackAsConverted) {
  ASSERT_EQ(::GetACP(), 932u);
  RealPort a, b;
  ASSERT_EQ(a.Open(3), 0);
  ASSERT_EQ(b.Open(4), 0);
  const std::wstring text = L"x\u0e01\u05d0y";  // Thai and Hebrew letters: not in 932
  const std::string bytes = ToAnsi(text.c_str(), static_cast<UINT>(text.size()));
  const std::wstring converted = FromAnsi(bytes.data(), bytes.size());
  ASSERT_NE(converted, text);

  std::wstring echoed;
  EXPECT_EQ(a.Write(3, text, &echoed), static_cast<long>(bytes.size()));
  EXPECT_EQ(echoed, converted);
  EXPECT_EQ(b.ReadExactly(4, converted.size()), converted);
}

}  // namespace
}  // namespace vemblaric
