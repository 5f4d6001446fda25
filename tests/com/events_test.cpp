// Events and property notifications as connected hosts receive them, on the
// null-modem bench: every sink in turn, references to the right strings, and
// a control that survives whatever a handler does to it.
#include <string>

#include "support/com_test.h"
#include "support/nullmodem.h"

namespace vemblaric {
namespace {

using testing::ComApartment;
using testing::Connection;
using testing::Ptr;
using testing::Sink;
using testing::Str;

constexpr DISPID kDataArrived = 1;
constexpr DISPID kDataSent = 2;

// Counts property-change notices by member identifier.
class NotifySink final : public IPropertyNotifySink {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IPropertyNotifySink)) {
      *ppv = this;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnChanged(DISPID id) override {
    changed.push_back(id);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnRequestEdit(DISPID) override { return S_OK; }
  std::vector<DISPID> changed;
};

class Events : public ComApartment {
 protected:
  void SetUp() override {
    ComApartment::SetUp();
    ASSERT_EQ(peer.Open(2), 0);
    control = NewControl();
    ASSERT_TRUE(control);
    ASSERT_EQ(testing::OpenThroughPrimitive(control.get(), 1), 0);  // no loop yet
  }
  void TearDown() override {
    control.reset();
    ComApartment::TearDown();
  }
  // Sends 64 bytes from the peer, so a read of 64 ends at once.
  std::wstring PeerSends(wchar_t fill) {
    const std::wstring text(64, fill);
    EXPECT_EQ(peer.Write(2, text), 64);
    return text;
  }
  HRESULT WriteCom(const wchar_t* text) { return control->Write_Com(Bstr(text).get()); }
  std::wstring Buffer() {
    Bstr b;
    control->get_Buffer(b.put());
    return Str(b.get());
  }

  testing::RealPort peer;
  Ptr<_SerialControl> control;
};

TEST_F(Events, EverySinkReceivesBothEventsInTheOrderTheyConnected) {
  Sink first(DIID___SerialControl), second(DIID___SerialControl);
  std::vector<int> order;
  first.handler = [&](DISPID, BSTR*) { order.push_back(1); };
  second.handler = [&](DISPID event, BSTR*) {
    order.push_back(2);
    if (event == kDataArrived) control->Close_Com();  // ends the loop
  };
  first.result = E_FAIL;  // a failing sink stops nobody
  Connection a(control.get(), DIID___SerialControl, &first);
  Connection b(control.get(), DIID___SerialControl, &second);
  const std::wstring incoming = PeerSends(L'r');

  EXPECT_HRESULT_SUCCEEDED(WriteCom(L"out"));

  ASSERT_EQ(first.received.size(), 2u);
  ASSERT_EQ(second.received.size(), 2u);
  for (const Sink* s : {&first, &second}) {
    EXPECT_EQ(s->received[0].event, kDataSent);
    EXPECT_EQ(s->received[0].text, L"out");
    EXPECT_EQ(s->received[1].event, kDataArrived);
    EXPECT_EQ(s->received[1].text, incoming);
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 1, 2}));
  EXPECT_EQ(peer.ReadExactly(2, 3, 5000), L"out");
}

TEST_F(Events, DataArrivedRefersToBufferAndDataSentToAPrivateCopy) {
  Sink sink(DIID___SerialControl);
  sink.handler = [&](DISPID event, BSTR* text) {
    ::SysFreeString(*text);
    *text = ::SysAllocString(event == kDataArrived ? L"handled" : L"rewritten");
    if (event == kDataArrived) control->Close_Com();
  };
  Connection c(control.get(), DIID___SerialControl, &sink);
  PeerSends(L'z');
  EXPECT_HRESULT_SUCCEEDED(WriteCom(L"sent"));
  ASSERT_EQ(sink.received.size(), 2u);
  EXPECT_EQ(Buffer(), L"handled") << "the handler assigned to the control's own Buffer";
  EXPECT_EQ(peer.ReadExactly(2, 4, 5000), L"sent") << "the write went out before DataSent";
}

TEST_F(Events, AHandlerMayReleaseTheLastReferenceOfTheControl) {
  Sink sink(DIID___SerialControl);
  _SerialControl* raw = control.detach();  // the only reference the host holds
  sink.handler = [&](DISPID event, BSTR*) {
    if (event == kDataSent && raw) {
      raw->Release();  // the host lets go in the middle of the event
      raw = nullptr;
    }
  };
  // Connected by hand: a held connection point would hold the control too.
  Ptr<IConnectionPointContainer> container;
  raw->QueryInterface(IID_IConnectionPointContainer, container.put_void());
  Ptr<IConnectionPoint> point;
  container->FindConnectionPoint(DIID___SerialControl, point.put());
  container.reset();
  DWORD cookie = 0;
  ASSERT_HRESULT_SUCCEEDED(point->Advise(&sink, &cookie));
  point.reset();  // the point's references are the control's

  BSTR text = ::SysAllocString(L"bye");
  _SerialControl* caller = raw;
  EXPECT_HRESULT_SUCCEEDED(caller->Write_Com(text));  // returns although released inside
  ::SysFreeString(text);
  EXPECT_EQ(raw, nullptr);
  EXPECT_TRUE(com::CanUnload()) << "the control was destroyed once Write_Com returned";
  EXPECT_EQ(sink.refs, 0u) << "and let go of its sink";
}

// Two controls on one thread: B joins the loop that A's Write_Com runs and is
// then released by the host, from its own handler (the loop holds it across
// its turn) or from A's (B is then gone before its turn). Only B leaves.
TEST_F(Events, AListeningControlReleasedByTheHostLeavesTheLoopAndTheOtherGoesOn) {
  for (const bool fromItsOwnHandler : {true, false}) {
    SCOPED_TRACE(fromItsOwnHandler ? "from B's handler" : "from A's handler");
    control->Close_Com();
    ASSERT_EQ(testing::OpenThroughPrimitive(control.get(), 1), 0);
    testing::RealPort peerB;
    ASSERT_EQ(peerB.Open(4), 0);
    _SerialControl* b = NewControl().detach();  // the only reference the host holds
    ASSERT_EQ(testing::OpenThroughPrimitive(b, 3), 0);
    Sink sinkA(DIID___SerialControl), sinkB(DIID___SerialControl);
    Connection a(control.get(), DIID___SerialControl, &sinkA);
    {
      Ptr<IConnectionPointContainer> container;
      b->QueryInterface(IID_IConnectionPointContainer, container.put_void());
      Ptr<IConnectionPoint> point;
      container->FindConnectionPoint(DIID___SerialControl, point.put());
      DWORD cookie = 0;
      ASSERT_HRESULT_SUCCEEDED(point->Advise(&sinkB, &cookie));
    }
    const auto releaseB = [&] {
      b->Release();
      b = nullptr;
      PeerSends(L'c');  // A goes on: its handler closes it on this
    };
    sinkA.handler = [&](DISPID event, BSTR* text) {
      if (event != kDataArrived) return;
      if ((*text)[0] == L'a') {
        BSTR x = ::SysAllocString(L"x");
        EXPECT_HRESULT_SUCCEEDED(b->Write_Com(x));  // B joins and returns at once
        ::SysFreeString(x);
        EXPECT_EQ(peerB.Write(4, std::wstring(64, L'b')), 64);
      }
      if ((*text)[0] == L'd') releaseB();
      if ((*text)[0] == L'c') control->Close_Com();
    };
    sinkB.handler = [&](DISPID event, BSTR*) {
      if (event != kDataArrived) return;
      if (fromItsOwnHandler) releaseB();
      else PeerSends(L'd');
    };
    PeerSends(L'a');
    EXPECT_HRESULT_SUCCEEDED(WriteCom(L"go"));
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(sinkB.refs, 0u) << "B was destroyed and let go of its sink";
    ASSERT_EQ(sinkB.received.size(), 2u) << "DataSent, then one DataArrived";
    ASSERT_FALSE(sinkA.received.empty());
    EXPECT_EQ(sinkA.received.back().text, std::wstring(64, L'c'));
  }
}

TEST_F(Events, AHandlerMayDisconnectAnotherSink) {
  Sink first(DIID___SerialControl), second(DIID___SerialControl);
  Connection firstConnection(control.get(), DIID___SerialControl, &first);
  auto* secondConnection = new Connection(control.get(), DIID___SerialControl, &second);
  first.handler = [&](DISPID event, BSTR*) {
    if (event == kDataSent && secondConnection) {
      delete secondConnection;
      secondConnection = nullptr;
    }
    if (event == kDataArrived) control->Close_Com();
  };
  PeerSends(L'd');
  EXPECT_HRESULT_SUCCEEDED(WriteCom(L"x"));
  ASSERT_EQ(first.received.size(), 2u);
  EXPECT_EQ(second.received.size(), 0u) << "disconnected before its turn came";
  EXPECT_EQ(second.refs, 0u);
}

TEST_F(Events, SettersNotifyWithTheirIdentifierAndOperationsNotifyNobody) {
  NotifySink notify;
  Connection c(control.get(), IID_IPropertyNotifySink, &notify);
  ASSERT_HRESULT_SUCCEEDED(control->put_Port(1));
  ASSERT_HRESULT_SUCCEEDED(control->put_Baud(9600));
  ASSERT_HRESULT_SUCCEEDED(control->put_Status(VARIANT_FALSE));
  BSTR b = ::SysAllocString(L"b");
  ASSERT_HRESULT_SUCCEEDED(control->put_Buffer(b));
  ::SysFreeString(b);
  EXPECT_EQ(notify.changed,
            (std::vector<DISPID>{0x68030005, 0x68030004, 0x68030003, 0x68030002}));

  notify.changed.clear();
  PeerSends(L'q');
  ASSERT_TRUE(peer.port.CommPorts(2).blnPortOpen);
  EXPECT_HRESULT_SUCCEEDED(WriteCom(L"w"));  // stores Status, no sink: no loop
  // Read_Com stores Buffer once the bytes are in; five seconds at the most.
  const DWORD start = ::GetTickCount();
  while (Buffer() == L"b" && ::GetTickCount() - start < 5000) {
    control->Read_Com();
    ::Sleep(1);
  }
  EXPECT_EQ(Buffer(), std::wstring(64, L'q'));
  EXPECT_TRUE(notify.changed.empty());
}

}  // namespace
}  // namespace vemblaric
