// A control wired to the scripted kernel32 and the recording host, whose
// members note each call and can be told to fail, so the tests can see which
// member called which and what a failing call does to its caller.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "control/module1.h"
#include "control/serial_control.h"
#include "support/fake_host_site.h"
#include "support/fake_kernel32.h"

namespace vemblaric::testing {

inline Bstr MakeBstr(const std::wstring& text) {
  return Bstr(text.c_str(), static_cast<UINT>(text.size()));
}

// A status no real member returns, for members told to fail.
constexpr HRESULT kInjected = static_cast<HRESULT>(0x800A03E7);

// An argument as the member call's record shows it; a null pointer as "null",
// so the member's own refusal of it can be tested.
inline std::string Arg(const short* p) { return p ? std::to_string(*p) : "null"; }
inline std::string Arg(const long* p) { return p ? std::to_string(*p) : "null"; }
inline std::string Arg(const BSTR* p) { return p ? FakeHostSite::Narrow(Text(*p)) : "null"; }

class RecordingControl : public SerialControl {
 public:
  RecordingControl(FakeHostSite& host, const Kernel32& kernel32)
      : SerialControl(host, kernel32), host_(host) {}

  // Member name -> the status it returns instead of running.
  std::map<std::string, HRESULT> failing;
  // The member calls, with their arguments, in order.
  std::vector<std::string> members;

  HRESULT close_Com_norm() override {
    return Call("close_Com_norm", [&] { return SerialControl::close_Com_norm(); });
  }
  HRESULT ControlOn() override {
    return Call("ControlOn", [&] { return SerialControl::ControlOn(); });
  }
  HRESULT waitnow(long* valu1) override {
    return Call("waitnow " + Arg(valu1), [&] { return SerialControl::waitnow(valu1); });
  }
  HRESULT settingeval(long* p1, BSTR* result) override {
    return Call("settingeval " + Arg(p1),
                [&] { return SerialControl::settingeval(p1, result); });
  }
  HRESULT Read_Com() override {
    return Call("Read_Com", [&] { return SerialControl::Read_Com(); });
  }
  HRESULT looprocess() override {
    return Call("looprocess", [&] { return SerialControl::looprocess(); });
  }
  HRESULT CommOpen(short* id, BSTR* port, BSTR* settings, long* result) override {
    return Call("CommOpen " + Arg(id) + " " + Arg(port) + " " + Arg(settings),
                [&] { return SerialControl::CommOpen(id, port, settings, result); });
  }
  HRESULT CommClose(short* id, long* result) override {
    return Call("CommClose " + Arg(id),
                [&] { return SerialControl::CommClose(id, result); });
  }
  HRESULT CommFlush(short* id, long* result) override {
    return Call("CommFlush " + Arg(id),
                [&] { return SerialControl::CommFlush(id, result); });
  }
  HRESULT CommRead(short* id, BSTR* data, long* size, long* result) override {
    return Call("CommRead " + Arg(id) + " " + Arg(size),
                [&] { return SerialControl::CommRead(id, data, size, result); });
  }
  HRESULT CommWrite(short* id, BSTR* data, long* result) override {
    return Call("CommWrite " + Arg(id) + " " + Arg(data),
                [&] { return SerialControl::CommWrite(id, data, result); });
  }
  HRESULT CommSetLine(short* id, short* line, VARIANT_BOOL* state, long* result) override {
    return Call("CommSetLine " + Arg(id) + " " + Arg(line) + " " +
                    (state ? std::to_string(*state) : "null"),
                [&] { return SerialControl::CommSetLine(id, line, state, result); });
  }

  bool Called(const std::string& prefix) const {
    for (const std::string& m : members)
      if (m.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
  }

 private:
  template <class Run>
  HRESULT Call(const std::string& call, Run run) {
    members.push_back(call);
    host_.Note("member " + call);
    auto f = failing.find(call.substr(0, call.find(' ')));
    return f != failing.end() ? f->second : run();
  }

  FakeHostSite& host_;
};

// One kernel32 call as a line of the timeline.
inline std::string Describe(const FakeCall& c) {
  if (c.function == "SleepEx") return "SleepEx " + std::to_string(c.arg1);
  if (c.function == "CreateFileA" || c.function == "BuildCommDCBA" || c.function == "WriteFile")
    return c.function + " " + c.text;
  if (c.function == "EscapeCommFunction") return c.function + " " + std::to_string(c.arg1);
  return c.function;
}

inline std::vector<std::string> Without(std::vector<std::string> lines,
                                        const std::string& unwanted) {
  lines.erase(std::remove(lines.begin(), lines.end(), unwanted), lines.end());
  return lines;
}

// The entries from the first one equal to `from`, `count` of them.
inline std::vector<std::string> Slice(const std::vector<std::string>& lines,
                                      const std::string& from, size_t count) {
  auto at = std::find(lines.begin(), lines.end(), from);
  if (at == lines.end()) return {"(no " + from + ")"};
  const size_t left = static_cast<size_t>(lines.end() - at);
  return std::vector<std::string>(at, at + static_cast<std::ptrdiff_t>(std::min(count, left)));
}

class ControlTest : public ::testing::Test {
 protected:
  ControlTest() {
    *Module1() = Module1State();  // each test starts from a fresh record of this thread
    host.clock = [this] { return fake.calls().size(); };
  }
  ~ControlTest() override { *Module1() = Module1State(); }

  // Opens the control's port with no sink connected, then forgets the calls.
  void OpenQuietly() {
    const bool sinks = host.sinks;
    host.sinks = false;
    ASSERT_EQ(control.Open_Com(), S_OK);
    ASSERT_TRUE(Status());
    host.sinks = sinks;
    Forget();
  }
  void Forget() {
    fake.ClearCalls();
    host.journal.clear();
    host.raised.clear();
    host.changed.clear();
    control.members.clear();
  }

  // Kernel32 calls, host events, pumps and member calls, in the order they happened.
  std::vector<std::string> Timeline() const {
    std::vector<std::string> out;
    size_t j = 0;
    const auto& calls = fake.calls();
    for (size_t i = 0; i <= calls.size(); ++i) {
      while (j < host.journal.size() && host.journal[j].first <= i)
        out.push_back(host.journal[j++].second);
      if (i < calls.size()) out.push_back(Describe(calls[i]));
    }
    return out;
  }

  bool Status() {
    VARIANT_BOOL s = 0;
    EXPECT_EQ(control.get_Status(&s), S_OK);
    return s != 0;
  }
  std::wstring Buffer() {
    BSTR b = nullptr;
    EXPECT_EQ(control.get_Buffer(&b), S_OK);
    return Text(Bstr::Adopt(b).get());
  }
  HRESULT Write(const std::wstring& text) { return control.Write_Com(MakeBstr(text).get()); }
  void QueueRead(const std::string& data) {
    FakeAnswer queued;
    queued.inQueue = static_cast<DWORD>(data.size());
    fake.Next("ClearCommError", queued);
    FakeAnswer read;
    read.data = data;
    read.count = static_cast<DWORD>(data.size());
    fake.Next("ReadFile", read);
  }
  void QueueNothing() { fake.Next("ClearCommError", FakeAnswer{}); }
  // WriteFile reports `count` bytes written.
  void QueueWrite(DWORD count) {
    FakeAnswer a;
    a.count = count;
    fake.Next("WriteFile", a);
  }

  FakeKernel32 fake;
  FakeHostSite host;
  RecordingControl control{host, fake.table()};
};

}  // namespace vemblaric::testing
