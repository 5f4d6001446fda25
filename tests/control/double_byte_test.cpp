// Write_Com in a double-byte ANSI code page: a write is whole when every byte
// of the text's conversion went out. Run under a Japanese locale (code page
// 932), on COM3 <-> COM4 of the bench.
#include <gtest/gtest.h>

#include <windows.h>

#include "control/module1.h"
#include "control/serial_control.h"
#include "support/fake_host_site.h"

namespace vemblaric {
namespace {

using testing::FakeHostSite;

TEST(DoubleByteCodePage, AWholeWriteIsJudgedByItsByteLength) {
  ASSERT_EQ(::GetACP(), 932u) << "this program must run under a Japanese locale";
  FakeHostSite hostA, hostB;
  SerialControl a(hostA), b(hostB);
  ASSERT_EQ(a.put_Port(3), S_OK);
  ASSERT_EQ(b.put_Port(4), S_OK);
  ASSERT_EQ(a.Open_Com(), S_OK);
  ASSERT_EQ(b.Open_Com(), S_OK);

  const std::wstring text = L"\u65e5\u672c\u8a9e abc";  // 7 characters, 10 bytes
  Bstr data(text.c_str(), static_cast<UINT>(text.size()));
  ASSERT_EQ(a.Write_Com(data.get()), S_OK);
  EXPECT_EQ(Module1().lngWriteLength, 10);
  EXPECT_EQ(Module1().lngStatus, 10);
  ASSERT_EQ(hostA.raised.size(), 1u) << "DataSent for the whole write";
  EXPECT_EQ(hostA.raised[0].text, text);
  VARIANT_BOOL status = 0;
  ASSERT_EQ(a.get_Status(&status), S_OK);
  EXPECT_EQ(status, VARIANT_TRUE);

  // Fewer bytes than the read size: the read waits its second for more.
  std::wstring got;
  const ULONGLONG end = ::GetTickCount64() + 20000;
  while (got.size() < text.size() && ::GetTickCount64() < end) {
    ASSERT_EQ(b.Read_Com(), S_OK);
    if (Module1().lngStatus > 0) {
      BSTR buffer = nullptr;
      ASSERT_EQ(b.get_Buffer(&buffer), S_OK);
      got += testing::Text(Bstr::Adopt(buffer).get());
    }
  }
  EXPECT_EQ(got, text);
  EXPECT_EQ(a.Close_Com(), S_OK);
  EXPECT_EQ(b.Close_Com(), S_OK);
}

}  // namespace
}  // namespace vemblaric
