// The binary form of the control's values on its own: what it carries and
// what it refuses, below what the stream tests of the control see.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control_object/persisted_values.h"

namespace vemblaric::control_object {
namespace {

VARIANT Of(VARTYPE type, LONG number, const wchar_t* text = nullptr, UINT length = 0) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = type;
  if (type == VT_I2) v.iVal = static_cast<SHORT>(number);
  if (type == VT_BOOL) v.boolVal = static_cast<VARIANT_BOOL>(number);
  if (type == VT_I4) v.lVal = number;
  if (type == VT_BSTR) v.bstrVal = ::SysAllocStringLen(text, length);
  return v;
}

TEST(PersistedValues, EveryCarriedTypeComesBackAsWritten) {
  const wchar_t text[] = L"a\0b\x00e9\xD83D\xDE00";  // an embedded NUL and a surrogate pair
  struct Case {
    const wchar_t* key;
    VARIANT value;
  };
  std::vector<Case> cases = {{L"Short", Of(VT_I2, -32768)},
                             {L"Long", Of(VT_I4, 0x7FFFFFFF)},
                             {L"Negative", Of(VT_I4, -1)},
                             {L"Bool", Of(VT_BOOL, 1)},  // kept as stored, not made -1
                             {L"Text", Of(VT_BSTR, 0, text, 6)},
                             {L"", Of(VT_BSTR, 0, L"", 0)}};
  ValueBag bag;
  for (Case& c : cases) ASSERT_HRESULT_SUCCEEDED(bag.Write(c.key, &c.value));
  std::vector<BYTE> bytes;
  ASSERT_HRESULT_SUCCEEDED(bag.Encode(bytes));

  ValueBag back;
  ASSERT_HRESULT_SUCCEEDED(back.Decode(bytes.data(), bytes.size()));
  ASSERT_EQ(back.size(), cases.size());
  for (Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(c.key)));
    VARIANT got;
    ::VariantInit(&got);
    ASSERT_HRESULT_SUCCEEDED(back.Read(c.key, &got, nullptr));
    EXPECT_EQ(::VarCmp(&got, &c.value, LOCALE_USER_DEFAULT, 0), static_cast<HRESULT>(VARCMP_EQ));
    EXPECT_EQ(got.vt, c.value.vt);
    if (got.vt == VT_BSTR) {
      EXPECT_EQ(std::wstring(got.bstrVal, ::SysStringLen(got.bstrVal)),
                std::wstring(c.value.bstrVal, ::SysStringLen(c.value.bstrVal)));
    }
    ::VariantClear(&got);
    ::VariantClear(&c.value);
  }
  VARIANT missing;
  ::VariantInit(&missing);
  EXPECT_EQ(back.Read(L"Absent", &missing, nullptr), E_INVALIDARG);
}

TEST(PersistedValues, ATypeTheFormDoesNotCarryIsNotWritten) {
  ValueBag bag;
  VARIANT number = Of(VT_R8, 0);
  number.dblVal = 1.5;
  ASSERT_HRESULT_SUCCEEDED(bag.Write(L"Real", &number));
  std::vector<BYTE> bytes;
  EXPECT_EQ(bag.Encode(bytes), E_INVALIDARG);
  EXPECT_TRUE(bytes.empty());
}

TEST(PersistedValues, ARefusedFormLeavesTheBagAsItWas) {
  ValueBag bag;
  VARIANT port = Of(VT_I2, 7);
  ASSERT_HRESULT_SUCCEEDED(bag.Write(L"Port", &port));
  std::vector<BYTE> bytes;
  ASSERT_HRESULT_SUCCEEDED(bag.Encode(bytes));

  std::vector<BYTE> longer = bytes;
  longer.push_back(0);
  EXPECT_EQ(bag.Decode(longer.data(), longer.size()), kStreamCorrupt) << "bytes after the hash";

  ValueBag other;
  VARIANT keep = Of(VT_I4, 42);
  ASSERT_HRESULT_SUCCEEDED(other.Write(L"Keep", &keep));
  std::vector<BYTE> cut(bytes.begin(), bytes.end() - 1);
  EXPECT_EQ(other.Decode(cut.data(), cut.size()), kStreamShort);
  ASSERT_EQ(other.size(), 1u);
  VARIANT got;
  ::VariantInit(&got);
  ASSERT_HRESULT_SUCCEEDED(other.Read(L"Keep", &got, nullptr));
  EXPECT_EQ(got.lVal, 42);
}

}  // namespace
}  // namespace vemblaric::control_object
