// A port layer wired to the scripted kernel32 and a counting pump, with
// helpers that read the error record back.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "port/port_layer.h"
#include "support/counting_pump.h"
#include "support/fake_kernel32.h"

namespace vemblaric::testing {

inline Bstr MakeBstr(const std::wstring& text) {
  return Bstr(text.c_str(), static_cast<UINT>(text.size()));
}

// The system's own text for a code, as the port layer records it.
inline std::wstring SystemMessage(long code) {
  CountingPump pump;
  PortLayer port(SystemKernel32(), pump);
  return Bstr::Adopt(port.GetSystemMessage(code)).str();
}

class FakePortTest : public ::testing::Test {
 public:
  long Open(short id, const std::wstring& name = L"COM1",
            const std::wstring& settings = L"baud=9600 parity=N data=8 stop=1") {
    Bstr n = MakeBstr(name), s = MakeBstr(settings);
    return port.CommOpen(id, n.get(), s.get());
  }
  long Read(short id, std::wstring* text = nullptr, long size = 64) {
    Bstr data;
    const long n = port.CommRead(id, *data.put(), size);
    if (text) *text = data.str();
    return n;
  }
  long Write(short id, const std::wstring& text, std::wstring* after = nullptr) {
    BSTR data = MakeBstr(text).release();
    const long n = port.CommWrite(id, data);
    if (after) *after = Bstr::Adopt(data).str();
    else ::SysFreeString(data);
    return n;
  }
  std::wstring ErrorLine(long* code = nullptr) {
    Bstr line;
    const long c = port.CommGetError(*line.put());
    if (code) *code = c;
    return line.str();
  }
  std::wstring Function() const { return port.CommError().strFunction.str(); }
  std::wstring Message() const { return port.CommError().strErrorMessage.str(); }
  long Code() const { return port.CommError().lngErrorCode; }

  FakeKernel32 fake;
  CountingPump pump;
  PortLayer port{fake.table(), pump};
};

}  // namespace vemblaric::testing
