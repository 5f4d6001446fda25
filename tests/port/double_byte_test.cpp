// Reading and writing in an ANSI code page whose characters can take more than
// a byte: every byte of the conversion goes out, the count returned is the
// byte count, and a character split between reads comes whole. Run twice:
// under a Japanese locale (code page 932) and a Unicode-only one (65001).
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "port/text.h"
#include "support/code_pages.h"
#include "support/nullmodem.h"

namespace vemblaric {
namespace {

using testing::RealPort;

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

// Where each character of `text` ends: in its bytes, and in its UTF-16 units.
struct Ends {
  std::vector<size_t> bytes, units;
};
Ends CharacterEnds(const std::wstring& text) {
  Ends ends;
  for (size_t i = 0; i < text.size();) {
    const size_t n = IS_HIGH_SURROGATE(text[i]) ? 2 : 1;
    const size_t before = ends.bytes.empty() ? 0 : ends.bytes.back();
    ends.bytes.push_back(before + ToAnsi(&text[i], static_cast<UINT>(n)).size());
    ends.units.push_back(i += n);
  }
  return ends;
}

// COM3 -> COM4, in the process's code page.
class MultiByteCodePage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(cp, nullptr) << testing::kCodePageHelp;
    ASSERT_EQ(a.Open(3), 0);
    ASSERT_EQ(b.Open(4), 0);
  }
  const testing::CodePageTexts* cp = testing::ThisCodePage();
  RealPort a, b;
};

TEST_F(MultiByteCodePage, WritesEveryByteOfTheConversion) {

  const std::wstring text = L"\u65e5\u672c\u8a9e abc";  // three long characters
  const long bytes = static_cast<long>(cp->sampleBytes);

  std::wstring echoed;
  EXPECT_EQ(a.Write(3, text, &echoed), bytes) << "the byte length, not the 7 characters";
  EXPECT_EQ(echoed, text);
  ASSERT_TRUE(b.WaitQueued(4, static_cast<DWORD>(bytes)));
  EXPECT_EQ(b.ReadExactly(4, text.size()), text);
}

TEST_F(MultiByteCodePage, UnrepresentableTextComesBackAsConverted) {
  const std::wstring text = cp->unrepresentable;
  const std::string bytes = ToAnsi(text.c_str(), static_cast<UINT>(text.size()));
  const std::wstring converted = FromAnsi(bytes.data(), bytes.size());
  ASSERT_NE(converted, text);

  std::wstring echoed;
  EXPECT_EQ(a.Write(3, text, &echoed), static_cast<long>(bytes.size()));
  EXPECT_EQ(echoed, converted);
  EXPECT_EQ(b.ReadExactly(4, converted.size()), converted);
}

TEST_F(MultiByteCodePage, ACharacterSplitBetweenTwoReadsComesWholeFromTheSecond) {
  const std::wstring& mixed = cp->mixed;
  const std::string bytes = ToAnsi(mixed.c_str(), static_cast<UINT>(mixed.size()));
  const Ends ends = CharacterEnds(mixed);
  ASSERT_EQ(ends.bytes.back(), bytes.size());
  ASSERT_GE(ends.bytes[0], 2u) << "the text starts with a long character";

  for (size_t split = 1; split < bytes.size(); ++split) {
    SCOPED_TRACE(split);
    const size_t chars = static_cast<size_t>(
        std::upper_bound(ends.bytes.begin(), ends.bytes.end(), split) - ends.bytes.begin());
    const size_t whole = chars ? ends.units[chars - 1] : 0;
    std::wstring first, second;
    Send(a, 3, bytes.substr(0, split));
    const long n1 = ReadQueued(b, 4, static_cast<DWORD>(split), first);
    Send(a, 3, bytes.substr(split));
    const long n2 = ReadQueued(b, 4, static_cast<DWORD>(bytes.size() - split), second);
    EXPECT_EQ(first, mixed.substr(0, whole));
    EXPECT_EQ(second, mixed.substr(whole));
    // Bytes that make no character yet are no text, and are counted with the
    // read that completes it.
    EXPECT_EQ(n1, whole == 0 ? 0 : static_cast<long>(split));
    EXPECT_EQ(n1 + n2, static_cast<long>(bytes.size()));
  }
}

// However many reads a character's bytes come in, the read that completes it
// gives it whole and counts them all.
TEST_F(MultiByteCodePage, TextSentByteByByteComesWholeAndAllCounted) {
  const std::string bytes = ToAnsi(cp->mixed.c_str(), static_cast<UINT>(cp->mixed.size()));
  std::wstring got, text;
  long counted = 0;
  for (char byte : bytes) {
    Send(a, 3, std::string(1, byte));
    const long n = ReadQueued(b, 4, 1, text);
    EXPECT_EQ(n == 0, text.empty());
    counted += n;
    got += text;
  }
  EXPECT_EQ(got, cp->mixed);
  EXPECT_EQ(counted, static_cast<long>(bytes.size()));
}

TEST_F(MultiByteCodePage, ACloseOrAFlushDiscardsHeldBytes) {
  for (const bool close : {true, false}) {
    SCOPED_TRACE(close ? "close" : "flush");
    std::wstring text = L"stale";
    Send(a, 3, cp->cutShort);
    EXPECT_EQ(ReadQueued(b, 4, static_cast<DWORD>(cp->cutShort.size()), text), 0);
    EXPECT_EQ(text, L"");
    ASSERT_EQ(close ? b.port.CommClose(4) : b.port.CommFlush(4), 0);
    if (close) ASSERT_EQ(b.Open(4), 0);
    Send(a, 3, "cd");
    EXPECT_EQ(ReadQueued(b, 4, 2, text), 2);
    EXPECT_EQ(text, L"cd");
  }
}

// GB18030 mixes characters of one, two and four bytes: a read cut anywhere
// keeps the bytes of the character it cut for the next read.
TEST(WholeCharacters, Gb18030KeepsACutCharacterOfTwoOrFourBytes) {
  const std::string bytes = "\xB0\xA1" "a" "\x81\x30\x81\x30" "\x95\x32\x82\x36" "b";
  const size_t starts[] = {0, 2, 3, 7, 11, 12};
  for (size_t cut = 0; cut <= bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    const size_t whole = *std::prev(std::upper_bound(std::begin(starts), std::end(starts), cut));
    EXPECT_EQ(WholeCharacters(bytes.data(), cut, 54936), whole);
  }
  EXPECT_TRUE(WalksCharacters(54936));
  EXPECT_FALSE(WalksCharacters(65000));  // UTF-7 is stateful
}

}  // namespace
}  // namespace vemblaric
