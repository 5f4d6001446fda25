// Reading and writing in a double-byte ANSI code page: every byte of the
// conversion goes out, the count returned is the byte count, and a character
// split between two reads comes whole. Run with a Japanese locale, which gives
// code page 932.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/nullmodem.h"

namespace vemblaric {
namespace {

using testing::RealPort;

// Single- and double-byte characters; the trail byte of U+65E5 (0x93 0xFA) is
// also a lead byte value, and U+FF71 is a single byte above 0x80.
const std::wstring kMixed = L"\u65e5a\uff71\u672cb\u8a9e";

// The peer sends raw bytes, whatever characters they make.
void Send(RealPort& peer, short id, const std::string& bytes) {
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(peer.Handle(id), bytes.data(), static_cast<DWORD>(bytes.size()),
                          &written, nullptr));
  ASSERT_EQ(written, bytes.size());
}

// Everything queued on the slot, as one read.
long ReadQueued(RealPort& port, short id, DWORD bytes, std::wstring& text) {
  EXPECT_TRUE(port.WaitQueued(id, bytes));
  Bstr data;
  const long n = port.port.CommRead(id, *data.put(), 0);
  text = data.str();
  return n;
}

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

TEST(DoubleByteCodePage, ACharacterSplitBetweenTwoReadsComesWholeFromTheSecond) {
  ASSERT_EQ(::GetACP(), 932u);
  RealPort a, b;
  ASSERT_EQ(a.Open(3), 0);
  ASSERT_EQ(b.Open(4), 0);
  const std::string bytes = ToAnsi(kMixed.c_str(), static_cast<UINT>(kMixed.size()));
  std::vector<size_t> ends;  // the byte where each character ends
  for (wchar_t c : kMixed) ends.push_back((ends.empty() ? 0 : ends.back()) + ToAnsi(&c, 1).size());
  ASSERT_EQ(ends.back(), bytes.size());
  ASSERT_EQ(ends[0], 2u) << "the text starts with a double-byte character";

  for (size_t split = 1; split < bytes.size(); ++split) {
    SCOPED_TRACE(split);
    const size_t whole = static_cast<size_t>(
        std::upper_bound(ends.begin(), ends.end(), split) - ends.begin());
    std::wstring first, second;
    Send(a, 3, bytes.substr(0, split));
    const long n1 = ReadQueued(b, 4, static_cast<DWORD>(split), first);
    Send(a, 3, bytes.substr(split));
    const long n2 = ReadQueued(b, 4, static_cast<DWORD>(bytes.size() - split), second);
    EXPECT_EQ(first, kMixed.substr(0, whole));
    EXPECT_EQ(second, kMixed.substr(whole));
    // A lone lead byte is no text yet and is counted with the read that completes it.
    EXPECT_EQ(n1, split == 1 ? 0 : static_cast<long>(split));
    EXPECT_EQ(n1 + n2, static_cast<long>(bytes.size()));
  }
}

TEST(DoubleByteCodePage, ACloseOrAFlushDiscardsAHeldLeadByte) {
  ASSERT_EQ(::GetACP(), 932u);
  RealPort a, b;
  ASSERT_EQ(a.Open(3), 0);
  ASSERT_EQ(b.Open(4), 0);
  for (const bool close : {true, false}) {
    SCOPED_TRACE(close ? "close" : "flush");
    std::wstring text = L"stale";
    Send(a, 3, "\x93");
    EXPECT_EQ(ReadQueued(b, 4, 1, text), 0);
    EXPECT_EQ(text, L"");
    ASSERT_EQ(close ? b.port.CommClose(4) : b.port.CommFlush(4), 0);
    if (close) ASSERT_EQ(b.Open(4), 0);
    Send(a, 3, "cd");
    EXPECT_EQ(ReadQueued(b, 4, 2, text), 2);
    EXPECT_EQ(text, L"cd");
  }
}

}  // namespace
}  // namespace vemblaric
