// Opening, closing, purging, the modem lines, the pause and the settings text,
// and which failing calls each operation ignores or passes on.
#include <functional>

#include "control_fixture.h"
#include "port/caught_failure.h"

namespace vemblaric {
namespace {

using testing::ControlTest;
using testing::kInjected;
using testing::Without;

using Strings = std::vector<std::string>;

TEST_F(ControlTest, OpenPausesClosesThenOpensComNAtBaudWithFixedFramingAndRaisesRtsThenDtr) {
  ASSERT_EQ(control.Open_Com(), S_OK);
  EXPECT_EQ(control.members,
            (Strings{"close_Com_norm", "waitnow 100", "CommClose 2", "settingeval 57600",
                     "CommOpen 2 COM2 baud=57600 parity=N data=8 stop=1", "ControlOn",
                     "CommSetLine 2 3 -1", "CommSetLine 2 2 -1", "looprocess"}));
  EXPECT_EQ(Describe(fake.calls().front()), "SleepEx 100")
      << "the pause also when nothing was open";
  EXPECT_EQ(fake.named("SleepEx")[0].arg2, DWORD{FALSE});
  EXPECT_EQ(fake.named("CreateFileA")[0].text, "COM2");
  EXPECT_EQ(fake.named("BuildCommDCBA")[0].text, "baud=57600 parity=N data=8 stop=1");
  EXPECT_TRUE(control.Ports().CommPorts(2).blnPortOpen);
  EXPECT_TRUE(Status());
  EXPECT_EQ(Module1()->intLoopStop, kLoopStop) << "no sink: the loop was left stopped";
  EXPECT_EQ(host.pumps, 0);

  // Again, now over the open slot: the close is a real one.
  Forget();
  ASSERT_EQ(control.Open_Com(), S_OK);
  const Strings calls = fake.names();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(Strings(calls.begin(), calls.begin() + 3),
            (Strings{"SleepEx", "CloseHandle", "CreateFileA"}));
  EXPECT_TRUE(Status());
}

TEST_F(ControlTest, APortOutsideOneToFourNamesItsDeviceAndFailsTheOpenQuietly) {
  const std::pair<short, std::string> cases[] = {{10, "COM10"}, {-3, "COM-3"}, {0, "COM0"}};
  for (const auto& [port, name] : cases) {
    SCOPED_TRACE(name);
    Forget();
    ASSERT_EQ(control.put_Port(port), S_OK);
    EXPECT_EQ(control.Open_Com(), S_OK);
    EXPECT_TRUE(control.Called("CommOpen " + std::to_string(port) + " " + name + " baud=57600"));
    EXPECT_EQ(Module1()->lngStatus, kSubscriptOutOfRange);
    EXPECT_FALSE(Status());
    EXPECT_FALSE(control.Called("ControlOn"));
    EXPECT_FALSE(control.Called("looprocess"));
    EXPECT_TRUE(fake.named("EscapeCommFunction").empty());
  }
}

TEST_F(ControlTest, AFailedOpenLeavesStatusFalseWithTheOpensCode) {
  OpenQuietly();
  ASSERT_EQ(control.Close_Com(), S_OK);
  fake.Fail("CreateFileA", ERROR_ACCESS_DENIED);
  host.sinks = true;  // even a listening host gets no loop
  EXPECT_EQ(control.Open_Com(), S_OK);
  EXPECT_EQ(Module1()->lngStatus, long{ERROR_ACCESS_DENIED});
  EXPECT_FALSE(Status());
  EXPECT_FALSE(control.Called("ControlOn"));
  EXPECT_FALSE(control.Called("looprocess"));
}

TEST_F(ControlTest, AnOpenWhoseLineChangesFailStaysTrueWithTheSecondChangesCode) {
  fake.Fail("EscapeCommFunction", ERROR_NOT_SUPPORTED)
      .Fail("EscapeCommFunction", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(control.Open_Com(), S_OK);
  EXPECT_TRUE(Status());
  EXPECT_EQ(Module1()->lngStatus, long{ERROR_INVALID_PARAMETER});
  EXPECT_TRUE(control.Called("looprocess"));
}

TEST_F(ControlTest, ControlOnAndOffChangeRtsThenDtrEvenWhenTheFirstChangeFails) {
  struct Case {
    const char* name;
    std::function<HRESULT()> run;
    std::string state;  // blnState as passed
    std::string rts, dtr;  // the escape codes
  };
  const Case cases[] = {
      {"ControlOn", [&] { return control.ControlOn(); }, "-1", "3", "5"},
      {"ControlOff", [&] { return control.ControlOff(); }, "0", "4", "6"},
  };

  OpenQuietly();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Forget();
    fake.Fail("EscapeCommFunction", ERROR_NOT_SUPPORTED);
    EXPECT_EQ(c.run(), S_OK);
    EXPECT_EQ(Without(Timeline(), "member ControlOn"),
              (Strings{"member CommSetLine 2 3 " + c.state, "EscapeCommFunction " + c.rts,
                       "member CommSetLine 2 2 " + c.state, "EscapeCommFunction " + c.dtr}));
    EXPECT_EQ(Module1()->lngStatus, 0) << "the second change's result";
  }
}

TEST_F(ControlTest, CloseStopsTheLoopPausesAndClosesButLeavesStatusAlone) {
  OpenQuietly();
  Module1()->intLoopStop = 0;
  ASSERT_EQ(control.Close_Com(), S_OK);
  EXPECT_EQ(fake.names(), (Strings{"SleepEx", "CloseHandle"}));
  EXPECT_EQ(Module1()->intLoopStop, kLoopStop);
  EXPECT_FALSE(control.Ports().CommPorts(2).blnPortOpen);
  EXPECT_TRUE(Status());
  EXPECT_TRUE(host.changed.empty());

  // Closing a closed slot: the pause, no system call, lngStatus 0.
  Forget();
  Module1()->lngStatus = 77;
  ASSERT_EQ(control.Close_Com(), S_OK);
  EXPECT_EQ(fake.names(), Strings{"SleepEx"});
  EXPECT_EQ(Module1()->lngStatus, 0);
}

TEST_F(ControlTest, ClearPurgesThePortAndKeepsTheResult) {
  OpenQuietly();
  fake.Fail("PurgeComm", ERROR_INVALID_HANDLE);
  EXPECT_EQ(control.Clear_Com(), S_OK);
  EXPECT_EQ(fake.named("PurgeComm").at(0).arg1, 15u);
  EXPECT_EQ(Module1()->lngStatus, long{ERROR_INVALID_HANDLE});
  EXPECT_TRUE(Status());
}

TEST_F(ControlTest, SettingevalWritesTheRateInDecimalBetweenFixedTexts) {
  const std::pair<long, std::wstring> cases[] = {
      {57600, L"baud=57600 parity=N data=8 stop=1"},
      {-1, L"baud=-1 parity=N data=8 stop=1"},
      {0, L"baud=0 parity=N data=8 stop=1"},
  };
  for (const auto& [rate, text] : cases) {
    long p1 = rate;
    Bstr result;
    ASSERT_EQ(control.settingeval(&p1, result.put()), S_OK);
    EXPECT_EQ(result.str(), text);
    EXPECT_EQ(p1, rate);
  }
}

TEST_F(ControlTest, WaitnowSleepsUnalertablyForZeroOrMoreAndNotAtAllBelowZero) {
  const std::pair<long, Strings> cases[] = {
      {-1, {}}, {0, {"SleepEx 0"}}, {20, {"SleepEx 20"}}};
  for (const auto& [ms, expected] : cases) {
    fake.ClearCalls();
    long valu1 = ms;
    ASSERT_EQ(control.waitnow(&valu1), S_OK);
    Strings got;
    for (const auto& c : fake.calls()) {
      got.push_back(Describe(c));
      EXPECT_EQ(c.arg2, DWORD{FALSE}) << "not alertable";
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(valu1, ms);
  }
}

// Which failing member each operation ignores (and goes on) or passes on.
struct FailureRule {
  const char* operation;
  const char* failing;
  HRESULT expected;              // the operation's own status
  std::vector<const char*> ran;  // members that still run after the failure
  std::vector<const char*> skipped;
};

TEST_F(ControlTest, EachOperationIgnoresOrPassesOnAFailingMemberAsItsRoleSays) {
  const FailureRule rules[] = {
      {"Open_Com", "close_Com_norm", S_OK, {"CommOpen", "ControlOn", "looprocess"}, {}},
      {"Open_Com", "settingeval", S_OK, {"ControlOn"}, {"CommOpen"}},
      {"Open_Com", "CommOpen", S_OK, {"ControlOn", "looprocess"}, {}},
      {"Open_Com", "ControlOn", S_OK, {"looprocess"}, {}},
      {"Close_Com", "waitnow", kInjected, {}, {"CommClose"}},
      {"Close_Com", "CommClose", S_OK, {}, {}},
      {"close_Com_norm", "waitnow", kInjected, {}, {"CommClose"}},
      {"close_Com_norm", "CommClose", kInjected, {}, {}},
      {"Clear_Com", "CommFlush", kInjected, {}, {}},
      {"ControlOn", "CommSetLine", S_OK, {}, {}},
      {"Read_Com", "CommRead", kInjected, {}, {}},
      {"Write_Com", "waitnow", kInjected, {}, {"CommWrite", "looprocess"}},
      {"Write_Com", "CommWrite", kInjected, {}, {"looprocess"}},
  };
  const std::map<std::string, std::function<HRESULT()>> operations = {
      {"Open_Com", [&] { return control.Open_Com(); }},
      {"Close_Com", [&] { return control.Close_Com(); }},
      {"close_Com_norm", [&] { return control.close_Com_norm(); }},
      {"Clear_Com", [&] { return control.Clear_Com(); }},
      {"ControlOn", [&] { return control.ControlOn(); }},
      {"Read_Com", [&] { return control.Read_Com(); }},
      {"Write_Com", [&] { return Write(L"abc"); }},
  };
  for (const FailureRule& r : rules) {
    SCOPED_TRACE(std::string(r.operation) + " with " + r.failing + " failing");
    ASSERT_EQ(control.Close_Com(), S_OK);
    Forget();
    Module1()->lngStatus = 55;
    control.failing = {{r.failing, kInjected}};
    EXPECT_EQ(operations.at(r.operation)(), r.expected);
    control.failing.clear();
    for (const char* m : r.ran) EXPECT_TRUE(control.Called(m)) << m;
    for (const char* m : r.skipped) EXPECT_FALSE(control.Called(m)) << m;
    // The failing call's step stores nothing. (Open_Com's later steps do.)
    if (std::string(r.operation) != "Open_Com") EXPECT_EQ(Module1()->lngStatus, 55);
  }
}

TEST_F(ControlTest, AFailedOpenStepLeavesTheDecisionToTheClosesResult) {
  // settingeval failing skips the open: lngStatus keeps the close's 0, so the
  // control counts as open although nothing was opened.
  control.failing = {{"settingeval", kInjected}};
  EXPECT_EQ(control.Open_Com(), S_OK);
  EXPECT_TRUE(fake.named("CreateFileA").empty());
  EXPECT_TRUE(Status());
}

TEST_F(ControlTest, MembersRefuseNullPointers) {
  short id = 1, line = 2;
  long value = 0;
  VARIANT_BOOL state = 0;
  BSTR text = nullptr;
  EXPECT_EQ(control.waitnow(nullptr), E_POINTER);
  EXPECT_EQ(control.settingeval(&value, nullptr), E_POINTER);
  EXPECT_EQ(control.GetSystemMessage(&value, nullptr), E_POINTER);
  EXPECT_EQ(control.CommOpen(&id, &text, nullptr, &value), E_POINTER);
  EXPECT_EQ(control.CommSet(&id, &text, nullptr), E_POINTER);
  EXPECT_EQ(control.CommClose(nullptr, &value), E_POINTER);
  EXPECT_EQ(control.CommFlush(&id, nullptr), E_POINTER);
  EXPECT_EQ(control.CommRead(&id, &text, nullptr, &value), E_POINTER);
  EXPECT_EQ(control.CommWrite(&id, nullptr, &value), E_POINTER);
  EXPECT_EQ(control.CommGetLine(&id, &line, nullptr, &value), E_POINTER);
  EXPECT_EQ(control.CommSetLine(&id, nullptr, &state, &value), E_POINTER);
  EXPECT_EQ(control.CommGetError(&text, nullptr), E_POINTER);
  EXPECT_TRUE(fake.calls().empty());
}

TEST_F(ControlTest, ThePortPrimitivesReportThroughTheirResult) {
  short id = 5;
  long result = 0;
  ASSERT_EQ(control.CommFlush(&id, &result), S_OK) << "a port-layer failure is no failure status";
  EXPECT_EQ(result, kSubscriptOutOfRange);
  Bstr line;
  ASSERT_EQ(control.CommGetError(line.put(), &result), S_OK);
  EXPECT_EQ(result, kSubscriptOutOfRange);
  EXPECT_EQ(line.str(), L"Error (9): CommFlush - Subscript out of range");
}

}  // namespace
}  // namespace vemblaric
