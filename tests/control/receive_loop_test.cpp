// Reading, writing, the receive loop and its events, the per-thread state and
// the runtime's message pump.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <type_traits>

#include "control_fixture.h"
#include "server/runtime/do_events.h"

namespace vemblaric {
namespace {

using testing::ControlTest;
using testing::FakeAnswer;
using testing::FakeHostSite;
using testing::Slice;
using testing::Without;
using Strings = std::vector<std::string>;
using Raised = std::vector<std::pair<ControlEvent, std::wstring>>;

Raised Events(const FakeHostSite& host) {
  Raised out;
  for (const auto& r : host.raised) out.emplace_back(r.event, r.text);
  return out;
}

TEST_F(ControlTest, ReadComTakesFreshTextIntoBufferAndOnlyAFailureLowersStatus) {
  OpenQuietly();
  ASSERT_EQ(control.put_Status(VARIANT_FALSE), S_OK);
  ASSERT_EQ(control.put_Buffer(testing::MakeBstr(L"old").get()), S_OK);
  Forget();

  QueueNothing();
  ASSERT_EQ(control.Read_Com(), S_OK);
  EXPECT_EQ(Module1()->lngStatus, 0);
  EXPECT_FALSE(Status());
  EXPECT_EQ(Buffer(), L"old") << "nothing read changes nothing";

  QueueRead("hello");
  ASSERT_EQ(control.Read_Com(), S_OK);
  EXPECT_EQ(Module1()->lngStatus, 5);
  EXPECT_EQ(Buffer(), L"hello") << "replaced, not appended";
  EXPECT_TRUE(Status());

  fake.Fail("ClearCommError", ERROR_INVALID_HANDLE);
  ASSERT_EQ(control.Read_Com(), S_OK);
  EXPECT_EQ(Module1()->lngStatus, -1);
  EXPECT_FALSE(Status());
  EXPECT_EQ(Buffer(), L"hello");

  EXPECT_EQ(control.members, (Strings{"Read_Com", "CommRead 2 64", "Read_Com", "CommRead 2 64",
                                      "Read_Com", "CommRead 2 64"}));
  EXPECT_TRUE(host.changed.empty()) << "Read_Com's stores notify nobody";
  EXPECT_TRUE(host.raised.empty());
}

TEST_F(ControlTest, WriteComStopsPausesWritesThenReportsAndLoopsOnlyAfterAWholeWrite) {
  struct Case {
    DWORD written;
    bool whole;
  };
  for (const Case c : {Case{4, true}, Case{3, false}}) {
    SCOPED_TRACE(c.written);
    OpenQuietly();
    host.sinks = true;
    short stopDuringPause = -1;
    FakeAnswer pause;
    pause.during = [&] { stopDuringPause = Module1()->intLoopStop; };
    fake.Next("SleepEx", pause);
    QueueWrite(c.written);
    host.onPump = [&](int) {  // in the loop's first read
      if (control.LoopRunning() && control.Called("CommRead")) control.StopLoop();
      return false;
    };

    ASSERT_EQ(Write(L"abcd"), S_OK);
    EXPECT_EQ(stopDuringPause, kLoopStop);
    Strings expected = {"member waitnow 100", "SleepEx 100", "member CommWrite 2 abcd",
                        "WriteFile abcd", "DataSent abcd", "member looprocess", "member Read_Com",
                        "member CommRead 2 64", "ClearCommError", "member waitnow 20",
                        "SleepEx 20"};
    if (!c.whole) expected.resize(4);
    EXPECT_EQ(Without(Timeline(), "pump"), expected);
    EXPECT_EQ(Module1()->lngWriteLength, 4);
    EXPECT_EQ(Module1()->lngStatus, c.whole ? 0 : 3) << "left by the loop's read, or the write";
    EXPECT_EQ(Status(), c.whole);
    EXPECT_TRUE(host.changed.empty());
    host.sinks = false;
    host.onPump = nullptr;
    ASSERT_EQ(control.Close_Com(), S_OK);
  }
}

TEST_F(ControlTest, AWriteNestedInTheFirstWritesPumpLeavesTheFirstsOutcomeRight) {
  struct Case {
    DWORD outerWritten;
    Raised events;
    bool status;
  };
  const Case cases[] = {
      {4, {{kDataSent, L"xy"}, {kDataSent, L"abcd"}}, true},
      {2, {{kDataSent, L"xy"}}, false},  // short by two, as long as the nested text
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.outerWritten);
    OpenQuietly();
    QueueWrite(c.outerWritten);
    QueueWrite(2);
    bool nested = false;
    host.onPump = [&](int) {
      if (!nested) {
        nested = true;
        EXPECT_EQ(Write(L"xy"), S_OK);
      }
      return false;
    };
    ASSERT_EQ(Write(L"abcd"), S_OK);
    EXPECT_EQ(fake.named("WriteFile").size(), 2u);
    EXPECT_EQ(Events(host), c.events);
    EXPECT_EQ(Status(), c.status);
    EXPECT_EQ(Module1()->lngWriteLength, 2) << "the nested call stored its length last";
    host.onPump = nullptr;
    ASSERT_EQ(control.Close_Com(), S_OK);
  }
}

std::string ErrorLine(testing::RecordingControl& control) {
  BSTR line = nullptr;
  long result = 0;
  EXPECT_EQ(control.CommGetError(&line, &result), S_OK);
  return FakeHostSite::Narrow(testing::Text(Bstr::Adopt(line).get()));
}

size_t Passes(const testing::FakeKernel32& fake) {
  size_t passes = 0;
  for (const auto& c : fake.named("SleepEx")) passes += c.arg1 == 20;
  return passes;
}

// A failed read is the last pass and leaves its failure for the host; a write
// that did not go out whole starts no loop, and its failure stays the last.
TEST_F(ControlTest, AFailedReadEndsTheLoopAndAFailedWriteStartsNone) {
  struct Case {
    const char* name;
    bool byWrite;
    short port;
    bool closeFirst;
    size_t passes;
    const char* errorLine;  // how it starts
  };
  const Case cases[] = {
      {"every read fails (a vanished device)", false, 2, false, 1,
       "Error (21): CommRead (ClearCommError) - "},
      {"write to a closed port", true, 2, true, 0, "Error (6): CommWrite (WriteFile) - "},
      {"write to Port 5", true, 5, false, 0, "Error (9): CommWrite - "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(control.put_Port(2), S_OK);
    OpenQuietly();
    if (c.closeFirst) ASSERT_EQ(control.Close_Com(), S_OK);
    ASSERT_EQ(control.put_Port(c.port), S_OK);
    Forget();
    host.sinks = true;
    FakeAnswer gone;
    gone.ok = FALSE;
    gone.error = 21;  // the device is not ready: every read fails
    fake.Default("ClearCommError", gone);
    ASSERT_EQ(c.byWrite ? Write(L"abcd") : control.Open_Com(), S_OK);
    EXPECT_FALSE(host.overran);
    EXPECT_FALSE(Status());
    EXPECT_EQ(Passes(fake), c.passes);
    EXPECT_EQ(control.Called("looprocess"), !c.byWrite);
    EXPECT_EQ(ErrorLine(control).rfind(c.errorLine, 0), 0u) << ErrorLine(control);
    EXPECT_TRUE(host.raised.empty());
    fake.Default("ClearCommError", FakeAnswer{});
    host.sinks = false;
    ASSERT_EQ(control.put_Port(2), S_OK);
    ASSERT_EQ(control.Close_Com(), S_OK);
  }
}

// Someone must listen to a port that works: a close or a disconnect, from a
// handler or a pump, ends the loop before its next pass, never as a failure.
TEST_F(ControlTest, AClosedPortOrNoListenerEndsTheLoopQuietly) {
  enum Action { kClose, kCommClose, kDisconnect, kNothing };
  struct Case {
    const char* name;
    bool byWrite;     // started by a whole Write_Com, else by Open_Com
    int event;        // the handler of this event acts, or 0
    int pump;         // else host code in this pump acts, or 0
    Action action;
    bool sinks;       // connected at the start
    size_t reads;
    size_t passes;
  };
  const Case cases[] = {
      {"Close_Com from DataSent", true, kDataSent, 0, kClose, true, 0, 0},
      {"Close_Com from CommWrite's pump", true, 0, 1, kClose, true, 0, 0},
      {"sink gone from DataSent", true, kDataSent, 0, kDisconnect, true, 0, 0},
      {"CommClose from DataArrived", false, kDataArrived, 0, kCommClose, true, 1, 1},
      {"sink gone from DataArrived", false, kDataArrived, 0, kDisconnect, true, 1, 1},
      {"Close_Com from the loop's pump", false, 0, 3, kClose, true, 1, 2},
      {"sink gone in the loop's pump", false, 0, 3, kDisconnect, true, 1, 2},
      {"looprocess with no sink", false, 0, 0, kNothing, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenQuietly();
    Module1()->intLoopStop = 0;  // as on a thread where nothing stored it yet
    host.pumps = 0;
    host.sinks = c.sinks;
    if (c.byWrite) QueueWrite(4);
    else QueueRead("hello");
    const auto act = [&] {
      short port = 2;
      long result = 0;
      if (c.action == kClose) EXPECT_EQ(control.Close_Com(), S_OK);
      if (c.action == kCommClose) EXPECT_EQ(control.CommClose(&port, &result), S_OK);
      if (c.action == kDisconnect) host.sinks = false;
    };
    host.onEvent = [&](ControlEvent event, BSTR&) {
      if (event == c.event) act();
    };
    host.onPump = [&](int n) {
      if (n == c.pump) act();
      return false;
    };
    ASSERT_EQ(c.byWrite ? Write(L"abcd") : control.looprocess(), S_OK);
    EXPECT_FALSE(host.overran);
    EXPECT_EQ(fake.named("ClearCommError").size(), c.reads);
    EXPECT_EQ(Passes(fake), c.passes);
    EXPECT_TRUE(Status());
    EXPECT_EQ(control.Ports().CommError().lngErrorCode, 0) << ErrorLine(control);
    host.onEvent = nullptr;
    host.onPump = nullptr;
    host.sinks = false;
    ASSERT_EQ(control.Close_Com(), S_OK);
  }
}

TEST_F(ControlTest, AnEmptyTextIsAWholeWriteOfNothing) {
  OpenQuietly();
  ASSERT_EQ(Write(L""), S_OK);
  EXPECT_EQ(Module1()->lngWriteLength, 0);
  EXPECT_EQ(Events(host), (Raised{{kDataSent, L""}}));
  EXPECT_TRUE(Status());
}

TEST_F(ControlTest, ADataSentHandlerAssigningToItsArgumentChangesNothingOutside) {
  OpenQuietly();
  QueueWrite(4);
  host.onEvent = [](ControlEvent, BSTR& datasentstr) { AssignBstr(datasentstr, L"changed", 7); };
  Bstr caller = testing::MakeBstr(L"abcd");
  ASSERT_EQ(control.Write_Com(caller.get()), S_OK);
  EXPECT_EQ(Events(host), (Raised{{kDataSent, L"abcd"}}));
  EXPECT_EQ(caller.str(), L"abcd");
  EXPECT_EQ(Buffer(), L"");
  EXPECT_TRUE(host.changed.empty());
}

TEST_F(ControlTest, WithoutASinkTheLoopNeverRuns) {
  ASSERT_EQ(control.Open_Com(), S_OK);
  QueueWrite(1);
  ASSERT_EQ(Write(L"a"), S_OK);
  const int pumpsOfTheWrite = host.pumps;
  EXPECT_TRUE(control.Called("looprocess"));
  EXPECT_TRUE(fake.named("ClearCommError").empty()) << "no pass read the port";

  Module1()->intLoopStop = kLoopStop;
  host.sinks = true;
  ASSERT_EQ(control.looprocess(), S_OK) << "entered stopped: returns at once";
  EXPECT_EQ(host.pumps, pumpsOfTheWrite);
  EXPECT_TRUE(fake.named("ClearCommError").empty());
}

TEST_F(ControlTest, WithASinkTheLoopRaisesDataArrivedOnlyOnFreshTextAndNeverPurges) {
  host.sinks = true;
  QueueNothing();
  QueueRead("hello");
  QueueNothing();
  QueueRead("abc");
  host.onEvent = [&](ControlEvent, BSTR& bufferstr) {
    EXPECT_EQ(Buffer(), testing::Text(bufferstr));
    EXPECT_TRUE(Status());
  };
  host.onPump = [&](int n) {
    if (n == 11) control.Close_Com();  // the sixth pass's first pump
    return false;
  };
  ASSERT_EQ(control.Open_Com(), S_OK);
  EXPECT_FALSE(host.overran);
  EXPECT_EQ(Events(host), (Raised{{kDataArrived, L"hello"}, {kDataArrived, L"abc"}}));
  EXPECT_EQ(fake.named("PurgeComm").size(), 1u) << "only the open's";
  size_t passes = 0;
  for (const auto& c : fake.named("SleepEx")) passes += c.arg1 == 20;
  EXPECT_EQ(passes, 6u);
  EXPECT_EQ(Buffer(), L"abc");
  EXPECT_TRUE(host.changed.empty());
}

TEST_F(ControlTest, CloseFromADataArrivedHandlerEndsTheLoopAfterItsPassAndAnAssignmentIsKept) {
  host.sinks = true;
  QueueNothing();
  QueueRead("hello");
  host.onEvent = [&](ControlEvent, BSTR& bufferstr) {
    AssignBstr(bufferstr, L"replaced", 8);
    EXPECT_EQ(control.Close_Com(), S_OK);
  };
  ASSERT_EQ(control.Open_Com(), S_OK);
  EXPECT_FALSE(host.overran);
  const Strings timeline = Timeline();
  EXPECT_EQ(Slice(timeline, "DataArrived hello", 100),
            (Strings{"DataArrived hello", "member waitnow 100", "SleepEx 100", "member CommClose 2",
                     "CloseHandle", "member waitnow 20", "SleepEx 20"}));
  EXPECT_EQ(Buffer(), L"replaced");
  EXPECT_TRUE(host.changed.empty());
}

TEST_F(ControlTest, WriteFromADataArrivedHandlerStartsNoSecondLoopAndTheFirstGoesOn) {
  host.sinks = true;
  QueueNothing();
  QueueRead("ping");
  QueueWrite(3);
  int pumpsAtAck = 0;
  host.onEvent = [&](ControlEvent event, BSTR&) {
    if (event != kDataArrived) return;
    EXPECT_EQ(Write(L"ack"), S_OK);
    pumpsAtAck = host.pumps;
  };
  host.onPump = [&](int n) {
    if (pumpsAtAck && n == pumpsAtAck + 3) control.Close_Com();  // two passes later
    return false;
  };
  ASSERT_EQ(control.Open_Com(), S_OK);
  EXPECT_FALSE(host.overran);
  EXPECT_EQ(Events(host), (Raised{{kDataArrived, L"ping"}, {kDataSent, L"ack"}}));
  // The inner looprocess returns at once; the outer pass finishes its pause
  // and, the flag being 0 again, the outer loop runs its next pass.
  EXPECT_EQ(Slice(Timeline(), "DataSent ack", 5),
            (Strings{"DataSent ack", "member looprocess", "member waitnow 20", "SleepEx 20",
                     "pump"}));
  EXPECT_EQ(host.pumps, pumpsAtAck + 3) << "the pass whose pump closed the port reads nothing";
}

TEST_F(ControlTest, AQuitMetInTheLoopsPumpEndsTheLoopAndIsSeenAgainByTheThread) {
  host.sinks = true;
  host.onPump = [](int n) {
    if (n == 3) ::PostQuitMessage(7);
    return runtime::DoEvents();
  };
  ASSERT_EQ(control.Open_Com(), S_OK);
  EXPECT_FALSE(host.overran);
  EXPECT_EQ(host.pumps, 4) << "the pass that met the quit ends, and no other starts";
  MSG msg{};
  ASSERT_TRUE(::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, UINT{WM_QUIT});
  EXPECT_EQ(msg.wParam, WPARAM{7});
}

// Control A runs the loop; B, with a host of its own noting into A's journal
// as "B ...", joins it from A's first pump.
class TwoControlsTest : public ControlTest {
 protected:
  TwoControlsTest() {
    host.sinks = true;
    fake.Default("ClearCommError", Queued(2));
    FakeAnswer read;
    read.data = "xy";
    read.count = 2;
    fake.Default("ReadFile", read);
  }
  static FakeAnswer Queued(DWORD count) {
    FakeAnswer a;
    a.inQueue = count;
    return a;
  }
  void MakeB() {
    hostB = std::make_unique<FakeHostSite>();
    hostB->journalOf = &host;
    hostB->name = "B ";
    hostB->clock = host.clock;
    hostB->sinks = true;
    b = std::make_unique<testing::RecordingControl>(*hostB, fake.table());
    ASSERT_EQ(b->put_Port(3), S_OK);
  }
  size_t Count(const std::string& what) const {
    size_t n = 0;
    for (const auto& entry : host.journal) n += entry.second == what;
    return n;
  }

  std::unique_ptr<FakeHostSite> hostB;
  std::unique_ptr<testing::RecordingControl> b;
};

TEST_F(TwoControlsTest, APassPumpsOnceThenServesEachListenerInJoinOrderThenPausesOnce) {
  MakeB();
  host.onPump = [&](int n) {
    if (n == 1) EXPECT_EQ(b->Open_Com(), S_OK) << "B joins and returns at once";
    return false;
  };
  host.onEvent = [&](ControlEvent, BSTR&) {
    if (Passes(fake) == 1) EXPECT_EQ(control.Close_Com(), S_OK);
  };
  hostB->onEvent = [&](ControlEvent, BSTR&) {
    EXPECT_EQ(hostB->holds, 1) << "held across its turn";
    if (Passes(fake) == 1) EXPECT_EQ(b->Close_Com(), S_OK);
  };
  ASSERT_EQ(control.Open_Com(), S_OK);
  EXPECT_FALSE(host.overran);
  EXPECT_EQ(Slice(Timeline(), "B DataArrived xy", 100),
            (Strings{"B DataArrived xy", "member waitnow 20", "SleepEx 20",
                     // the second pass: one pump, A's turn, B's turn, one pause
                     "pump", "member Read_Com", "member CommRead 2 64", "pump", "ClearCommError",
                     "ReadFile", "DataArrived xy", "member waitnow 100", "SleepEx 100",
                     "member CommClose 2", "CloseHandle",
                     "B member Read_Com", "B member CommRead 3 64", "B pump", "ClearCommError",
                     "ReadFile", "B DataArrived xy", "B member waitnow 100", "SleepEx 100",
                     "B member CommClose 3", "CloseHandle", "member waitnow 20", "SleepEx 20"}));
  EXPECT_EQ(host.holds + hostB->holds, 0);
}

// B leaves in the second pass and A goes on; or A, which runs the loop,
// leaves and B goes on, and A's Open_Com returns when B leaves too. A control
// that left is not served again, not even later in the pass it left in: what
// its port holds stays queued there. One that leaves in its own read's pump
// raises nothing for that read.
TEST_F(TwoControlsTest, EachWayOfLeavingTakesOnlyThatControlOutOfTheLoop) {
  using Self = std::remove_reference_t<decltype(*this)>;
  enum Where { kAPump, kAEvent, kBEvent, kBPump };
  struct Case {
    const char* name;
    Where where;
    void (*act)(Self& t);
    size_t readsA, readsB;
    bool statusB;
    size_t silentReadsB = 0;  // B's reads that raised no DataArrived
  };
  const Case cases[] = {
      {"B.Close_Com from B's handler", kBEvent, [](Self& t) { t.b->Close_Com(); }, 4, 2, true},
      {"B.close_Com_norm from A's handler", kAEvent, [](Self& t) { t.b->close_Com_norm(); }, 4, 1,
       true},
      {"B.Write_Com not whole, from B's handler", kBEvent,
       [](Self& t) {
         t.QueueWrite(1);
         t.b->Write_Com(testing::MakeBstr(L"abcd").get());
       },
       4, 2, false},
      {"B's last sink gone in A's pump", kAPump, [](Self& t) { t.hostB->sinks = false; }, 4, 1,
       true},
      {"B's slot closed by CommClose from A's handler", kAEvent,
       [](Self& t) {
         short port = 3;
         long result = 0;
         t.b->CommClose(&port, &result);
       },
       4, 1, true},
      {"B's read fails", kAEvent, [](Self& t) { t.fake.Fail("ClearCommError", 21); }, 4, 2, false,
       1},
      {"B closed by its container from A's handler", kAEvent, [](Self& t) { t.b->StopLoop(); }, 4,
       1, true},
      {"B let go by its host in its own read's pump", kBPump, [](Self& t) { t.b->HostLetGo(); },
       4, 2, true, 1},
      {"B let go by its host from DataSent, B's write made in A's handler", kAEvent,
       [](Self& t) {
         t.hostB->onEvent = [&t](ControlEvent event, BSTR&) {
           if (event == kDataSent) t.b->HostLetGo();
         };
         t.QueueWrite(4);
         t.b->Write_Com(testing::MakeBstr(L"abcd").get());
       },
       4, 1, true},
      {"B destroyed from A's handler", kAEvent, [](Self& t) { t.b.reset(); }, 4, 1, true},
      {"A, running the loop, closed from its handler", kAEvent,
       [](Self& t) { t.control.Close_Com(); }, 2, 4, true},
      {"A closed by its container in its pump", kAPump, [](Self& t) { t.control.StopLoop(); }, 1, 4,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MakeB();
    Forget();
    host.pumps = 0;
    bool acted = false, ended = false;
    const bool bLeaves = c.readsB < c.readsA;
    const auto at = [&](Where where) {
      if (Passes(fake) == 1 && where == c.where && !acted) {
        acted = true;
        c.act(*this);
      }
      if (Passes(fake) == 4 && where == kAPump && !ended) {
        ended = true;  // the one still listening closes in the fifth pass's pump
        EXPECT_EQ(bLeaves ? control.Close_Com() : b->Close_Com(), S_OK);
      }
    };
    host.onPump = [&](int n) {
      if (n == 1) EXPECT_EQ(b->Open_Com(), S_OK);
      at(kAPump);
      return false;
    };
    host.onEvent = [&](ControlEvent, BSTR&) { at(kAEvent); };
    hostB->onEvent = [&](ControlEvent event, BSTR&) {
      EXPECT_EQ(hostB->holds, event == kDataArrived ? 1 : 0) << "held across its turn only";
      at(kBEvent);
    };
    hostB->onPump = [&](int) {
      at(kBPump);
      return false;
    };
    ASSERT_EQ(control.Open_Com(), S_OK);
    EXPECT_FALSE(host.overran);
    EXPECT_TRUE(acted && ended);
    EXPECT_EQ(Passes(fake), 5u);
    EXPECT_EQ(Count("member Read_Com"), c.readsA);
    EXPECT_EQ(Count("B member Read_Com"), c.readsB);
    EXPECT_EQ(Count("B DataArrived xy"), c.readsB - c.silentReadsB);
    if (b) {
      VARIANT_BOOL status = 0;
      EXPECT_EQ(b->get_Status(&status), S_OK);
      EXPECT_EQ(status != 0, c.statusB);
      EXPECT_FALSE(b->LoopRunning());
    }
    EXPECT_EQ(host.holds + hostB->holds, 0);
    EXPECT_TRUE(Module1()->listeners.empty());
    b.reset();
  }
}

TEST_F(TwoControlsTest, AControlJoiningDuringAPassIsServedFromTheNextInJoinOrder) {
  MakeB();
  FakeHostSite hostC;
  hostC.journalOf = &host;
  hostC.name = "C ";
  hostC.sinks = true;
  testing::RecordingControl c(hostC, fake.table());
  ASSERT_EQ(c.put_Port(4), S_OK);
  host.onPump = [&](int n) {
    if (n == 1) EXPECT_EQ(b->Open_Com(), S_OK);
    if (Passes(fake) == 3) control.Close_Com();  // A, running the loop, leaves first
    return false;
  };
  hostB->onEvent = [&](ControlEvent, BSTR&) {
    if (Passes(fake) == 0) EXPECT_EQ(c.Open_Com(), S_OK);  // joins in the middle of a pass
    if (Passes(fake) == 1) b->Close_Com();
  };
  hostC.onEvent = [&](ControlEvent, BSTR&) {
    if (Passes(fake) == 3) c.Close_Com();
  };
  ASSERT_EQ(control.Open_Com(), S_OK);
  EXPECT_FALSE(host.overran);
  std::string readers;
  for (const auto& [stamp, what] : host.journal) {
    const size_t at = what.find("member Read_Com");
    if (at != std::string::npos) readers += at == 0 ? 'A' : what[0];
  }
  EXPECT_EQ(readers, "AB" "ABC" "AC" "C");
  EXPECT_TRUE(Module1()->listeners.empty());
}

TEST_F(TwoControlsTest, AQuitMakesEveryControlLeaveAfterItsPass) {
  MakeB();
  host.onPump = [&](int n) {
    if (n == 1) EXPECT_EQ(b->Open_Com(), S_OK);
    return Passes(fake) == 1;  // WM_QUIT met in the second pass
  };
  ASSERT_EQ(control.Open_Com(), S_OK);
  EXPECT_FALSE(host.overran);
  EXPECT_EQ(Passes(fake), 2u);
  EXPECT_EQ(Count("B member Read_Com"), 2u);
  EXPECT_TRUE(Module1()->listeners.empty());
}

TEST_F(ControlTest, ControlsOnTwoThreadsHaveTwoRecords) {
  Module1()->lngStatus = 123;
  Module1()->intLoopStop = 0;
  Module1State seen{}, after{};
  std::thread other([&] {
    seen.lngStatus = Module1()->lngStatus;
    seen.intLoopStop = Module1()->intLoopStop;
    FakeHostSite otherHost;
    SerialControl otherControl(otherHost, fake.table());
    EXPECT_EQ(otherControl.Close_Com(), S_OK);
    after.lngStatus = Module1()->lngStatus;
    after.intLoopStop = Module1()->intLoopStop;
  });
  other.join();
  EXPECT_EQ(seen.lngStatus, 0) << "a thread's record starts zeroed";
  EXPECT_EQ(seen.intLoopStop, 0);
  EXPECT_EQ(after.intLoopStop, kLoopStop);
  EXPECT_EQ(Module1()->lngStatus, 123);
  EXPECT_EQ(Module1()->intLoopStop, 0) << "the other thread's close stops no loop here";
}

// A thread that can have no record of its own (no memory, or no slot left)
// fails each member that needs one and runs no loop; it borrows no record,
// so this thread's stays its own.
TEST_F(ControlTest, AThreadWithoutARecordFailsItsMembersAndRunsNoLoop) {
  Module1()->lngStatus = 123;
  std::vector<HRESULT> results;
  int pumps = -1;
  std::thread other([&] {
    FakeHostSite otherHost;
    otherHost.sinks = true;
    SerialControl c(otherHost, fake.table());
    RefuseNewModule1(true);
    const Bstr text = testing::MakeBstr(L"abcd");
    results = {c.Open_Com(), c.Write_Com(text.get()), c.Read_Com(), c.looprocess(),
               c.Close_Com(), c.close_Com_norm(), c.Clear_Com(), c.ControlOn(),
               c.ControlOff()};
    pumps = otherHost.pumps;
    RefuseNewModule1(false);
  });
  other.join();
  EXPECT_EQ(results, std::vector<HRESULT>(9, E_OUTOFMEMORY));
  EXPECT_EQ(pumps, 0) << "no loop ran";
  EXPECT_EQ(Module1()->lngStatus, 123);
}

// The runtime's pump.

int g_appMessages = 0;

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_APP) ++g_appMessages;
  return ::DefWindowProcW(window, message, w, l);
}

TEST(RuntimeDoEvents, DispatchesWhatIsPendingAndHandsAQuitBackWithItsCode) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = CountingProc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VemblaricPumpTest";
  ASSERT_NE(::RegisterClassW(&wc), 0);
  HWND window = ::CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);

  for (int i = 0; i < 3; ++i) ::PostMessageW(window, WM_APP, 0, 0);
  EXPECT_FALSE(runtime::DoEvents());
  EXPECT_EQ(g_appMessages, 3);

  ::PostMessageW(window, WM_APP, 0, 0);
  ::PostQuitMessage(5);
  EXPECT_TRUE(runtime::DoEvents());
  EXPECT_EQ(g_appMessages, 4);
  EXPECT_TRUE(runtime::DoEvents()) << "the quit is still there for the next loop";
  MSG msg{};
  ASSERT_TRUE(::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, UINT{WM_QUIT});
  EXPECT_EQ(msg.wParam, WPARAM{5});
  EXPECT_FALSE(runtime::DoEvents());
  ::DestroyWindow(window);
}

}  // namespace
}  // namespace vemblaric
