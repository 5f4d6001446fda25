// SerialPort as a host sees it on the null-modem bench (COM1<->COM2,
// COM3<->COM4, COM21<->COM22): settings, bytes and text, reads with a
// time-out, and events raised from the thread's message queue.
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Vemblaric.h"
#include "support/com_test.h"
#include "port_host.h"

namespace vemblaric::testing {
namespace {

class SerialPortBench : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    a = NewSerialPort(L"COM1");
    b = NewSerialPort(L"com2");
    ASSERT_TRUE(a && b);
  }
  void TearDown() override {
    if (a) a->Close();
    if (b) b->Close();
    a.reset();
    b.reset();
    ::CoUninitialize();
  }
  void OpenBoth() {
    ASSERT_HRESULT_SUCCEEDED(a->Open());
    ASSERT_HRESULT_SUCCEEDED(b->Open());
  }
  LONG BytesToRead(ISerialPort* port) {
    LONG n = -1;
    EXPECT_HRESULT_SUCCEEDED(port->get_BytesToRead(&n));
    return n;
  }
  bool WaitForBytes(ISerialPort* port, LONG n) {
    const ULONGLONG end = ::GetTickCount64() + 10000;
    while (BytesToRead(port) < n)
      if (::GetTickCount64() > end) return false;
    return true;
  }

  ComPtr<ISerialPort> a, b;
};

// A property put through IDispatch, as a script host makes it.
HRESULT PutByName(ISerialPort* port, const wchar_t* name, VARIANT value, EXCEPINFO* failure) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = port->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (FAILED(hr)) return hr;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params = {&value, &named, 1, 1};
  hr = port->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, failure, nullptr);
  return hr == DISP_E_EXCEPTION ? failure->scode : hr;
}

VARIANT Long(long value) {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

TEST_F(SerialPortBench, SettingsApplyWhileOpenAndBadValuesChangeNothing) {
  OpenBoth();
  struct Case {
    const wchar_t* property;
    long value;
    HRESULT expected;
  };
  // A pty carries 8 data bits without parity only: Wine's driver refuses 7
  // data bits, which shows a refusal by the driver. Every other step is one
  // the driver takes.
  const Case cases[] = {
      {L"DataBits", 7, E_INVALIDARG}, {L"DataBits", 9, E_INVALIDARG},
      {L"DataBits", 4, E_INVALIDARG}, {L"Parity", 7, E_INVALIDARG},
      {L"StopBits", 2, S_OK},         {L"StopBits", 1, S_OK},
      {L"StopBits", 0, E_INVALIDARG}, {L"Handshake", 1, S_OK},
      {L"Handshake", 2, S_OK},        {L"Handshake", 3, S_OK},
      {L"Handshake", 0, S_OK},        {L"Handshake", 4, E_INVALIDARG},
      {L"BaudRate", 115200, S_OK},    {L"BaudRate", 0, E_INVALIDARG},
      {L"BaudRate", -9600, E_INVALIDARG}, {L"ReadTimeout", -2, E_INVALIDARG},
      {L"WriteTimeout", 0, E_INVALIDARG}, {L"CodePage", 12345, E_INVALIDARG},
      // GB18030 is taken where it is installed (Windows; not Wine 8).
      {L"CodePage", 65000, E_INVALIDARG},
      {L"CodePage", 54936, ::IsValidCodePage(54936) ? S_OK : E_INVALIDARG},
      {L"CodePage", 932, S_OK},       {L"ReceivedBytesThreshold", 0, E_INVALIDARG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.property << " = " << c.value);
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(c.property)};
    ASSERT_HRESULT_SUCCEEDED(a->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT before;
    ::VariantInit(&before);
    ASSERT_HRESULT_SUCCEEDED(a->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &before, nullptr, nullptr));
    EXCEPINFO failure{};
    EXPECT_EQ(PutByName(a.get(), c.property, Long(c.value), &failure), c.expected);
    VARIANT after;
    ::VariantInit(&after);
    ASSERT_HRESULT_SUCCEEDED(a->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &after, nullptr, nullptr));
    EXPECT_EQ(after.lVal, c.expected == S_OK ? c.value : before.lVal);
    if (c.expected != S_OK && failure.bstrSource && failure.bstrDescription) {
      EXPECT_STREQ(failure.bstrSource, L"Vemblaric.SerialPort");
      EXPECT_EQ(std::wstring(failure.bstrDescription).rfind(std::wstring(c.property) + L" on COM1: ", 0), 0u)
          << failure.bstrDescription;
    }
    if (c.expected != S_OK && !failure.bstrSource) ADD_FAILURE() << "no source";
    ::SysFreeString(failure.bstrSource);
    ::SysFreeString(failure.bstrDescription);
  }
  // The port still carries bytes at the settings it ended with.
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"after").get()));
  EXPECT_EQ(ReadBytesExactly(b.get(), 5), "after");
}

TEST_F(SerialPortBench, PortNameIsFixedWhileOpenAndClosedPortsSaySo) {
  EXPECT_EQ(a->Write(Bstr(L"x").get()), static_cast<HRESULT>(0x8000000EL));
  EXPECT_EQ(LastErrorDescription(), L"Write on COM1: the port is not open.");
  OpenBoth();
  EXPECT_EQ(a->put_PortName(Bstr(L"COM3").get()), static_cast<HRESULT>(0x8000000EL));
  EXPECT_EQ(a->Open(), static_cast<HRESULT>(0x8000000EL));
  Bstr name;
  ASSERT_HRESULT_SUCCEEDED(a->get_PortName(name.put()));
  EXPECT_EQ(name.str(), L"COM1");
}

TEST_F(SerialPortBench, EveryByteValueCrossesBothWays) {
  OpenBoth();
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<char>(i);
  ASSERT_HRESULT_SUCCEEDED(a->WriteBytes(*ByteArray(all).get()));
  EXPECT_EQ(ReadBytesExactly(b.get(), 256), all);

  // Back as a script passes numbers: an array of variants.
  SAFEARRAY* numbers = ::SafeArrayCreateVector(VT_VARIANT, 0, 256);
  for (LONG i = 0; i < 256; ++i) {
    VARIANT n = Long(i);
    ::SafeArrayPutElement(numbers, &i, &n);
  }
  Variant data;
  data->vt = VT_ARRAY | VT_VARIANT;
  data->parray = numbers;
  ASSERT_HRESULT_SUCCEEDED(b->WriteBytes(*data.get()));
  EXPECT_EQ(ReadBytesExactly(a.get(), 256), all);
}

TEST_F(SerialPortBench, ArraysThatAreNotBytesAreRefusedAndSendNothing) {
  OpenBoth();
  struct Case {
    const char* what;
    VARIANT item;
  };
  VARIANT text;
  text.vt = VT_BSTR;
  text.bstrVal = ::SysAllocString(L"x");
  VARIANT half;
  half.vt = VT_R8;
  half.dblVal = 2.5;
  const Case cases[] = {{"256", Long(256)}, {"-1", Long(-1)}, {"\"x\"", text}, {"2.5", half}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SAFEARRAY* items = ::SafeArrayCreateVector(VT_VARIANT, 0, 2);
    LONG i = 0;
    VARIANT fine = Long(65);
    ::SafeArrayPutElement(items, &i, &fine);
    i = 1;
    ::SafeArrayPutElement(items, &i, const_cast<VARIANT*>(&c.item));
    Variant data;
    data->vt = VT_ARRAY | VT_VARIANT;
    data->parray = items;
    EXPECT_EQ(a->WriteBytes(*data.get()), E_INVALIDARG);
  }
  ::SysFreeString(text.bstrVal);
  EXPECT_EQ(a->WriteBytes(*Variant(42L).get()), E_INVALIDARG);  // not an array
  LONG negative = -1;
  Variant unused;
  EXPECT_EQ(b->ReadBytes(negative, unused.get()), E_INVALIDARG);
  // Nothing went out: the first byte to arrive is the one sent after.
  ASSERT_HRESULT_SUCCEEDED(a->WriteBytes(*ByteArray("!").get()));
  EXPECT_EQ(ReadBytesExactly(b.get(), 1), "!");
}

// An array of `type` holding `values`, each converted exactly; false (and an
// empty variant) when a value has no exact form in that type.
bool TypedArray(VARTYPE type, std::initializer_list<double> values, Variant& data) {
  SAFEARRAY* array = ::SafeArrayCreateVector(type, 0, static_cast<ULONG>(values.size()));
  LONG i = 0;
  for (double value : values) {
    VARIANT source, item, back;
    source.vt = VT_R8;
    source.dblVal = value;
    ::VariantInit(&item);
    ::VariantInit(&back);
    const bool exact = SUCCEEDED(::VariantChangeType(&item, &source, 0, type == VT_VARIANT ? VT_R8 : type)) &&
                       SUCCEEDED(::VariantChangeType(&back, &item, 0, VT_R8)) && back.dblVal == value;
    void* slot = type == VT_VARIANT ? static_cast<void*>(&item)
                 : type == VT_DECIMAL ? static_cast<void*>(&item.decVal)
                                      : static_cast<void*>(&item.bVal);
    if (!exact || FAILED(::SafeArrayPutElement(array, &i, slot))) {
      ::SafeArrayDestroy(array);
      return false;
    }
    ++i;
  }
  data.get()->vt = static_cast<VARTYPE>(VT_ARRAY | type);
  data.get()->parray = array;
  return true;
}

// Every numeric element type, as .NET and C++ callers pass typed arrays:
// whole numbers 0-255 go out as those bytes; a value out of range or with a
// fraction, and an array of anything but numbers, are refused whole.
TEST_F(SerialPortBench, TypedArraysOfNumbersSendTheirValuesAndOthersAreRefused) {
  OpenBoth();
  const VARTYPE numbers[] = {VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT, VT_UINT, VT_I8,
                             VT_UI8, VT_R4, VT_R8, VT_CY, VT_DECIMAL, VT_VARIANT};
  for (VARTYPE type : numbers) {
    SCOPED_TRACE(::testing::Message() << "vt " << type);
    Variant good;
    const bool has255 = TypedArray(type, {0, 255, 7}, good);
    if (!has255) ASSERT_TRUE(TypedArray(type, {0, 127, 7}, good));  // VT_I1
    ASSERT_HRESULT_SUCCEEDED(a->WriteBytes(*good.get()));
    EXPECT_EQ(ReadBytesExactly(b.get(), 3), has255 ? std::string("\0\xFF\x07", 3) : std::string("\0\x7F\x07", 3));
    for (double bad : {256.0, -1.0, 2.5}) {
      Variant data;
      if (TypedArray(type, {65, bad}, data)) EXPECT_EQ(a->WriteBytes(*data.get()), E_INVALIDARG) << bad;
    }
  }
  const VARTYPE others[] = {VT_BSTR, VT_BOOL, VT_DATE, VT_ERROR, VT_DISPATCH, VT_UNKNOWN};
  for (VARTYPE type : others) {
    Variant data;
    data.get()->vt = static_cast<VARTYPE>(VT_ARRAY | type);
    data.get()->parray = ::SafeArrayCreateVector(type, 0, 1);
    EXPECT_EQ(a->WriteBytes(*data.get()), E_INVALIDARG) << "vt " << type;
  }
  // A record array, whose elements are as long as the record says: refused
  // before an element is read.
  SAFEARRAY* records = nullptr;
  ASSERT_HRESULT_SUCCEEDED(::SafeArrayAllocDescriptorEx(VT_RECORD, 1, &records));
  records->rgsabound[0].cElements = 2;
  VARIANT recordData;
  recordData.vt = VT_ARRAY | VT_RECORD;
  recordData.parray = records;
  EXPECT_EQ(a->WriteBytes(recordData), E_INVALIDARG);
  ::SafeArrayDestroyDescriptor(records);
  // Nothing went out for any refused array.
  ASSERT_HRESULT_SUCCEEDED(a->WriteBytes(*ByteArray("!").get()));
  EXPECT_EQ(ReadBytesExactly(b.get(), 1), "!");
}

TEST_F(SerialPortBench, AUtf8CharacterSplitAcrossReadsComesOutWhole) {
  OpenBoth();
  ASSERT_HRESULT_SUCCEEDED(a->put_CodePage(CP_UTF8));
  ASSERT_HRESULT_SUCCEEDED(b->put_CodePage(CP_UTF8));
  const std::wstring text = L"\u65e5a\u00e9\U0001F600b\u8a9e";
  const std::string bytes = "\xE6\x97\xA5" "a" "\xC3\xA9" "\xF0\x9F\x98\x80" "b" "\xE8\xAA\x9E";
  for (size_t split = 0; split <= bytes.size(); ++split) {
    SCOPED_TRACE(split);
    ASSERT_HRESULT_SUCCEEDED(a->WriteBytes(*ByteArray(bytes.substr(0, split)).get()));
    ASSERT_TRUE(WaitForBytes(b.get(), static_cast<LONG>(split)));
    const std::wstring first = Text(b.get(), &ISerialPort::ReadExisting);
    ASSERT_HRESULT_SUCCEEDED(a->WriteBytes(*ByteArray(bytes.substr(split)).get()));
    std::wstring rest;
    const ULONGLONG end = ::GetTickCount64() + 10000;
    while (first.size() + rest.size() < text.size() && ::GetTickCount64() < end)
      rest += Text(b.get(), &ISerialPort::ReadExisting);
    EXPECT_EQ(first + rest, text);
    EXPECT_EQ(text.rfind(first, 0), 0u);
  }
}

TEST_F(SerialPortBench, ReadLineAndReadToWaitForTheirTerminatorAndATimeOutKeepsThePartialLine) {
  OpenBoth();
  ASSERT_HRESULT_SUCCEEDED(b->put_NewLine(Bstr(L"\r\n").get()));
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"one\r\ntwo\r\nthr").get()));
  EXPECT_EQ(Text(b.get(), &ISerialPort::ReadLine), L"one");
  EXPECT_EQ(Text(b.get(), &ISerialPort::ReadLine), L"two");

  ASSERT_HRESULT_SUCCEEDED(b->put_ReadTimeout(300));
  Bstr none;
  const ULONGLONG start = ::GetTickCount64();
  EXPECT_EQ(b->ReadLine(none.put()), HRESULT_FROM_WIN32(ERROR_TIMEOUT));
  const ULONGLONG waited = ::GetTickCount64() - start;
  EXPECT_GE(waited, 250u);
  EXPECT_LT(waited, 5000u);
  EXPECT_NE(LastErrorDescription().find(L"the 3 bytes received stay for the next read"), std::wstring::npos)
      << LastErrorDescription();

  ASSERT_HRESULT_SUCCEEDED(b->put_ReadTimeout(5000));
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"ee\r\nab#cd").get()));
  EXPECT_EQ(Text(b.get(), &ISerialPort::ReadLine), L"three");
  Bstr upTo;
  ASSERT_HRESULT_SUCCEEDED(b->ReadTo(Bstr(L"#").get(), upTo.put()));
  EXPECT_EQ(upTo.str(), L"ab");
  ASSERT_TRUE(WaitForBytes(b.get(), 2));
  EXPECT_EQ(Text(b.get(), &ISerialPort::ReadExisting), L"cd");
}

TEST_F(SerialPortBench, DataReceivedComesFromTheQueueOfTheCreatingThread) {
  OpenBoth();
  PortEvents events;
  EventConnection connection(b.get(), &events);
  std::wstring got;
  events.handler = [&](DISPID id, LONG) {
    if (id == kDataReceived) got += Text(b.get(), &ISerialPort::ReadExisting);
  };
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"ping").get()));
  ASSERT_TRUE(PumpUntil([&] { return got == L"ping"; })) << "got " << got.size() << " characters";
  ASSERT_FALSE(events.received.empty());
  EXPECT_EQ(events.received.front().id, kDataReceived);
  EXPECT_GE(events.received.front().argument, 1);
  EXPECT_EQ(events.received.front().thread, ::GetCurrentThreadId());
}

TEST_F(SerialPortBench, DataReceivedWaitsForTheThresholdAndComesAgainForBytesLeft) {
  OpenBoth();
  ASSERT_HRESULT_SUCCEEDED(b->put_ReceivedBytesThreshold(10));
  PortEvents events;
  EventConnection connection(b.get(), &events);
  std::string got;
  // Takes one byte a call: the handler is called again for those it left.
  events.handler = [&](DISPID id, LONG) {
    if (id != kDataReceived) return;
    Variant one;
    ASSERT_HRESULT_SUCCEEDED(b->ReadBytes(1, one.get()));
    got += BytesOf(*one.get());
  };
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"01234").get()));
  ASSERT_TRUE(WaitForBytes(b.get(), 5));
  PumpUntil([] { return false; }, 200);
  EXPECT_TRUE(events.received.empty()) << "raised below the threshold";
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"56789").get()));
  // Above the threshold each call takes one; below it, the rest waits.
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 1; }));
  ASSERT_HRESULT_SUCCEEDED(b->put_ReceivedBytesThreshold(1));
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"!").get()));
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 11; })) << got;
  EXPECT_EQ(got, "0123456789!");
  EXPECT_EQ(events.received.front().argument, 10);
}

// Bytes too few for the threshold are raised when it comes down to them, not
// only when more arrive.
TEST_F(SerialPortBench, LoweringTheThresholdToTheBytesQueuedRaisesDataReceived) {
  OpenBoth();
  ASSERT_HRESULT_SUCCEEDED(b->put_ReceivedBytesThreshold(10));
  PortEvents events;
  EventConnection connection(b.get(), &events);
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"01234").get()));
  ASSERT_TRUE(WaitForBytes(b.get(), 5));
  PumpUntil([] { return false; }, 200);
  ASSERT_TRUE(events.received.empty()) << "raised below the threshold";
  ASSERT_HRESULT_SUCCEEDED(b->put_ReceivedBytesThreshold(5));
  ASSERT_TRUE(PumpUntil([&] { return !events.received.empty(); }, 2000));
  EXPECT_EQ(events.received.front().id, kDataReceived);
  EXPECT_EQ(events.received.front().argument, 5);
}

// Bytes discarded unread were told once; the next ones are told anew.
TEST_F(SerialPortBench, BytesAfterADiscardRaiseDataReceived) {
  OpenBoth();
  ASSERT_HRESULT_SUCCEEDED(b->put_ReceivedBytesThreshold(5));  // one event for the five
  PortEvents events;
  EventConnection connection(b.get(), &events);
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"01234").get()));
  ASSERT_TRUE(PumpUntil([&] { return events.Count(kDataReceived) == 1; }));
  ASSERT_HRESULT_SUCCEEDED(b->DiscardInBuffer());
  ASSERT_HRESULT_SUCCEEDED(b->put_ReceivedBytesThreshold(1));
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"5").get()));
  EXPECT_TRUE(PumpUntil([&] { return events.Count(kDataReceived) == 2; }, 2000));
}

// A handler that closes and opens the port again and then waits in a
// message loop (a MsgBox, DoEvents): the new opening raises its own.
TEST_F(SerialPortBench, APortOpenedAgainInsideDataReceivedRaisesItForItsNewBytes) {
  OpenBoth();
  PortEvents events;
  EventConnection connection(b.get(), &events);
  std::wstring got;
  events.handler = [&](DISPID id, LONG) {
    if (id != kDataReceived) return;
    got += Text(b.get(), &ISerialPort::ReadExisting);
    if (events.Count(kDataReceived) != 1) return;
    EXPECT_HRESULT_SUCCEEDED(b->Close());
    EXPECT_HRESULT_SUCCEEDED(b->Open());
    EXPECT_HRESULT_SUCCEEDED(a->Write(Bstr(L"2").get()));
    PumpUntil([&] { return events.Count(kDataReceived) == 2; }, 2000);
  };
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"1").get()));
  EXPECT_TRUE(PumpUntil([&] { return events.Count(kDataReceived) == 2; }, 3000));
  EXPECT_EQ(got, L"12");
}

TEST_F(SerialPortBench, TwoPortsOnOneThreadEachGetTheirOwnEvents) {
  OpenBoth();
  PortEvents eventsA, eventsB;
  EventConnection ca(a.get(), &eventsA), cb(b.get(), &eventsB);
  std::wstring atA, atB;
  eventsA.handler = [&](DISPID, LONG) { atA += Text(a.get(), &ISerialPort::ReadExisting); };
  eventsB.handler = [&](DISPID, LONG) { atB += Text(b.get(), &ISerialPort::ReadExisting); };
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"to b").get()));
  ASSERT_HRESULT_SUCCEEDED(b->Write(Bstr(L"to a").get()));
  ASSERT_TRUE(PumpUntil([&] { return atA == L"to a" && atB == L"to b"; }));
}

TEST_F(SerialPortBench, AHandlerMayCloseThePortOrReleaseTheLastReference) {
  OpenBoth();
  {
    PortEvents events;
    EventConnection connection(b.get(), &events);
    events.handler = [&](DISPID, LONG) { EXPECT_HRESULT_SUCCEEDED(b->Close()); };
    ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"1").get()));
    ASSERT_TRUE(PumpUntil([&] { return !events.received.empty(); }));
    ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"2").get()));
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(events.received.size(), 1u);
    VARIANT_BOOL open = VARIANT_TRUE;
    ASSERT_HRESULT_SUCCEEDED(b->get_IsOpen(&open));
    EXPECT_EQ(open, VARIANT_FALSE);
  }
  // The host's last reference goes inside the handler.
  ASSERT_HRESULT_SUCCEEDED(b->Open());
  PortEvents events;
  ISerialPort* last = b.get();
  {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_HRESULT_SUCCEEDED(last->QueryInterface(IID_IConnectionPointContainer, container.put_void()));
    ComPtr<IConnectionPoint> point;
    ASSERT_HRESULT_SUCCEEDED(container->FindConnectionPoint(DIID_ISerialPortEvents, point.put()));
    DWORD cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(point->Advise(&events, &cookie));
  }
  b.detach();
  bool released = false;
  events.handler = [&](DISPID, LONG) {
    last->Release();
    released = true;
  };
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"bye").get()));
  ASSERT_TRUE(PumpUntil([&] { return released; }));
  EXPECT_EQ(events.refs, 0u) << "the port let go of its sink";
}

_SerialControl* g_loopControl = nullptr;
void CALLBACK EndLoop(HWND, UINT, UINT_PTR, DWORD) { g_loopControl->Close_Com(); }

TEST_F(SerialPortBench, EventsArriveThroughARunningControlLoopsPump) {
  ASSERT_HRESULT_SUCCEEDED(b->Open());
  ComPtr<_SerialControl> control;
  ASSERT_HRESULT_SUCCEEDED(control_object::CreateSerialControl(IID__SerialControl, control.put_void()));
  ASSERT_HRESULT_SUCCEEDED(control->put_Port(3));
  // The control runs its loop only for a host that listens to it.
  Sink controlEvents(DIID___SerialControl);
  Connection listening(control.get(), DIID___SerialControl, &controlEvents);
  ASSERT_HRESULT_SUCCEEDED(a->Open());
  PortEvents events;
  EventConnection connection(b.get(), &events);
  std::wstring got;
  events.handler = [&](DISPID, LONG) {
    got += Text(b.get(), &ISerialPort::ReadExisting);
    if (got == L"loop") control->Close_Com();
  };
  ASSERT_HRESULT_SUCCEEDED(a->Write(Bstr(L"loop").get()));
  // Should the event never come, a timer ends the loop and the test fails.
  g_loopControl = control.get();
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 10000, EndLoop);
  EXPECT_HRESULT_SUCCEEDED(control->Open_Com());  // returns when the loop ends
  ::KillTimer(nullptr, timer);
  EXPECT_EQ(got, L"loop");
}

TEST_F(SerialPortBench, HighPortsOpenByTheirShortName) {
  const wchar_t* pairs[][2] = {{L"COM21", L"com22"}, {L"\\\\.\\COM21", L"COM22"}};
  for (const auto& pair : pairs) {
    SCOPED_TRACE(::testing::Message() << pair[0]);
    ComPtr<ISerialPort> high = NewSerialPort(pair[0]), peer = NewSerialPort(pair[1]);
    ASSERT_HRESULT_SUCCEEDED(high->Open()) << LastErrorDescription();
    ASSERT_HRESULT_SUCCEEDED(peer->Open()) << LastErrorDescription();
    ASSERT_HRESULT_SUCCEEDED(high->Write(Bstr(L"21").get()));
    EXPECT_EQ(ReadBytesExactly(peer.get(), 2), "21");
  }
}

// The number the type library names `name` in SerialPortErrors: the tests
// expect the numbers a VBA host tests for, so a constant that differs from
// what the members raise fails them.
HRESULT ErrorNumber(const wchar_t* name) {
  static const std::map<std::wstring, HRESULT> numbers = [] {
    std::map<std::wstring, HRESULT> found;
    ComPtr<ISerialPort> port = NewSerialPort();
    ComPtr<ITypeInfo> dual;
    ComPtr<ITypeLib> library;
    UINT index = 0;
    if (!port || FAILED(port->GetTypeInfo(0, 0, dual.put())) ||
        FAILED(dual->GetContainingTypeLib(library.put(), &index)))
      return found;
    for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
      Bstr type;
      ComPtr<ITypeInfo> info;
      TYPEATTR* attr = nullptr;
      if (FAILED(library->GetDocumentation(static_cast<INT>(i), type.put(), nullptr, nullptr, nullptr)) ||
          type.str() != L"SerialPortErrors" || FAILED(library->GetTypeInfo(i, info.put())) ||
          FAILED(info->GetTypeAttr(&attr)))
        continue;
      for (UINT v = 0; v < attr->cVars; ++v) {
        VARDESC* desc = nullptr;
        if (FAILED(info->GetVarDesc(v, &desc))) continue;
        Bstr constant;
        UINT got = 0;
        info->GetNames(desc->memid, constant.put(), 1, &got);
        EXPECT_EQ(desc->lpvarValue->vt, VT_I4) << "a VBA Long";
        found[constant.str()] = static_cast<HRESULT>(desc->lpvarValue->lVal);
        info->ReleaseVarDesc(desc);
      }
      info->ReleaseTypeAttr(attr);
    }
    return found;
  }();
  const auto it = numbers.find(name);
  if (it == numbers.end()) ADD_FAILURE() << "the type library has no " << ::testing::PrintToString(std::wstring(name));
  return it == numbers.end() ? S_OK : it->second;
}

// A device on COM1, on a thread of its own as a real one answers: it may
// send stale bytes first, waits for a question line when asked to, then sends
// `parts` one write each, a moment apart. Every wait is bounded.
class Device {
 public:
  Device(std::string stale, bool asked, std::vector<std::string> parts)
      : stale_(std::move(stale)), asked_(asked), parts_(std::move(parts)), thread_([this] { Run(); }) {}
  ~Device() {
    if (thread_.joinable()) thread_.join();
    ::CloseHandle(ready_);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  // Whether the stale bytes went out (or there were none).
  bool Ready() { return ::WaitForSingleObject(ready_, 10000) == WAIT_OBJECT_0 && opened_; }
  // The question it was asked, once it has sent everything.
  std::string Finish() {
    if (thread_.joinable()) thread_.join();
    return question_;
  }

 private:
  void Run() {
    HANDLE port = ::CreateFileW(L"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    opened_ = port != INVALID_HANDLE_VALUE;
    if (!opened_) return (void)::SetEvent(ready_);
    COMMTIMEOUTS limits = {MAXDWORD, 0, 0, 0, 5000};  // a read takes what is queued, at once
    ::SetCommTimeouts(port, &limits);
    DWORD n = 0;
    if (!stale_.empty()) ::WriteFile(port, stale_.data(), static_cast<DWORD>(stale_.size()), &n, nullptr);
    ::SetEvent(ready_);
    const ULONGLONG end = ::GetTickCount64() + 10000;
    while (asked_ && (question_.empty() || question_.back() != '\n') && ::GetTickCount64() < end) {
      char c = 0;
      if (::ReadFile(port, &c, 1, &n, nullptr) && n == 1) question_ += c;
      else ::Sleep(1);
    }
    for (const std::string& part : parts_) {
      ::WriteFile(port, part.data(), static_cast<DWORD>(part.size()), &n, nullptr);
      ::Sleep(30);  // apart, so that the reader meets them one by one
    }
    ::FlushFileBuffers(port);
    ::CloseHandle(port);
  }

  std::string stale_;
  bool asked_;
  std::vector<std::string> parts_;
  std::string question_;
  bool opened_ = false;
  HANDLE ready_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread thread_;
};

VARIANT Missing() {
  VARIANT v;
  v.vt = VT_ERROR;
  v.scode = DISP_E_PARAMNOTFOUND;
  return v;
}

// Query through IDispatch with the time-out left out, as a script calls it.
HRESULT QueryLateBound(ISerialPort* port, const wchar_t* text, BSTR* result) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"Query")};
  HRESULT hr = port->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (FAILED(hr)) return hr;
  Variant question(text);
  DISPPARAMS params = {question.get(), nullptr, 1, 0};
  VARIANT answer;
  ::VariantInit(&answer);
  EXCEPINFO failure{};
  hr = port->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &answer, &failure, nullptr);
  if (hr == DISP_E_EXCEPTION) hr = failure.scode;
  ::SysFreeString(failure.bstrSource);
  ::SysFreeString(failure.bstrDescription);
  if (SUCCEEDED(hr) && answer.vt == VT_BSTR) *result = answer.bstrVal;
  else ::VariantClear(&answer);
  return hr;
}

// What the next reads return, in order, with nothing left after it.
void ExpectNextReads(ISerialPort* port, const std::string& expected) {
  Variant rest;
  ASSERT_HRESULT_SUCCEEDED(port->ReadExactly(static_cast<LONG>(expected.size()), rest.get()))
      << LastErrorDescription();
  EXPECT_EQ(BytesOf(*rest.get()), expected);
  LONG left = -1;
  EXPECT_HRESULT_SUCCEEDED(port->get_BytesToRead(&left));
  EXPECT_EQ(left, 0) << "bytes read twice, or more than was sent";
}

TEST_F(SerialPortBench, QueryDiscardsWhatCameBeforeAsksAndReturnsTheAnswerLine) {
  ASSERT_HRESULT_SUCCEEDED(b->Open());
  static LONG twoSeconds = 2000;
  VARIANT byReference;
  byReference.vt = VT_BYREF | VT_I4;
  byReference.plVal = &twoSeconds;
  VARIANT whole = Long(2000), fraction = Long(0), negative = Long(-5), noLimit = Long(-1), shortWait = Long(300);
  whole.vt = VT_R8, whole.dblVal = 2000.0;
  fraction.vt = VT_R8, fraction.dblVal = 2.5;
  Variant digits(L"500");
  struct Case {
    const char* what;
    VARIANT timeout;
    bool lateBound;  // through IDispatch, the time-out left out
    std::string stale;
    std::vector<std::string> answer;  // none: refused before anything is sent
    const wchar_t* error;
    std::wstring result;
    std::string after;  // what the next reads return
  };
  const Case cases[] = {
      {"an answer in parts; what follows it stays", Missing(), false, "", {"4", "2\nrest"}, nullptr, L"42", "rest"},
      {"stale bytes are discarded", Long(2000), false, "old\nstale", {"new\n"}, nullptr, L"new", ""},
      {"late-bound, no time-out", {}, true, "", {"late\n"}, nullptr, L"late", ""},
      {"a whole Double", whole, false, "", {"d\n"}, nullptr, L"d", ""},
      {"a Long by reference", byReference, false, "", {"r\n"}, nullptr, L"r", ""},
      {"no limit", noLimit, false, "", {"n\n"}, nullptr, L"n", ""},
      {"no answer in time: the part stays", shortWait, false, "", {"par"}, L"serialErrTimeout", L"", "par"},
      {"a String", *digits.get(), false, "", {}, L"serialErrInvalidValue", L"", ""},
      {"a fraction", fraction, false, "", {}, L"serialErrInvalidValue", L"", ""},
      {"-5", negative, false, "", {}, L"serialErrInvalidValue", L"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<Device> device;
    if (!c.answer.empty() || !c.stale.empty()) {
      device = std::make_unique<Device>(c.stale, true, c.answer);
      ASSERT_TRUE(device->Ready());
      ASSERT_TRUE(WaitForBytes(b.get(), static_cast<LONG>(c.stale.size())));
    }
    Bstr answer;
    const HRESULT hr = c.lateBound ? QueryLateBound(b.get(), L"MEAS?", answer.put())
                                   : b->Query(Bstr(L"MEAS?").get(), c.timeout, answer.put());
    EXPECT_EQ(hr, c.error ? ErrorNumber(c.error) : S_OK) << LastErrorDescription();
    EXPECT_EQ(answer.str(), c.result);
    if (device) EXPECT_EQ(device->Finish(), "MEAS?\n");
    ExpectNextReads(b.get(), c.after);
  }
  ASSERT_HRESULT_SUCCEEDED(b->Close());
  Bstr none;
  EXPECT_EQ(b->Query(Bstr(L"MEAS?").get(), Missing(), none.put()), ErrorNumber(L"serialErrNotOpen"));
}

TEST_F(SerialPortBench, ReadExactlyGathersItsCountAndATimeOutLeavesWhatCameForTheNextRead) {
  ASSERT_HRESULT_SUCCEEDED(b->Open());
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<char>(i);
  struct Case {
    const char* what;
    LONG count;
    LONG readTimeout;
    std::vector<std::string> parts;  // sent while it waits
    const wchar_t* error;
    std::string result;
    std::string after;
  };
  const Case cases[] = {
      {"joined from three writes", 9, 5000, {"abc", "def", "ghi"}, nullptr, "abcdefghi", ""},
      {"more than asked stays", 2, 5000, {"xyz"}, nullptr, "xy", "z"},
      {"every byte value", 256, 5000, {all.substr(0, 100), all.substr(100)}, nullptr, all, ""},
      {"cut by the time-out", 10, 300, {"12", "345"}, L"serialErrTimeout", "", "12345"},
      {"none", 0, 5000, {}, nullptr, "", ""},
      {"a negative count", -1, 5000, {}, L"serialErrInvalidValue", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_HRESULT_SUCCEEDED(b->put_ReadTimeout(c.readTimeout));
    std::unique_ptr<Device> device;
    if (!c.parts.empty()) {
      device = std::make_unique<Device>("", false, c.parts);
      ASSERT_TRUE(device->Ready());
    }
    Variant got;
    const HRESULT hr = b->ReadExactly(c.count, got.get());
    EXPECT_EQ(hr, c.error ? ErrorNumber(c.error) : S_OK) << LastErrorDescription();
    if (SUCCEEDED(hr)) EXPECT_EQ(BytesOf(*got.get()), c.result);
    if (device) device->Finish();  // all sent
    ASSERT_HRESULT_SUCCEEDED(b->put_ReadTimeout(5000));
    ExpectNextReads(b.get(), c.after);
  }
  ASSERT_HRESULT_SUCCEEDED(b->Close());
  Variant none;
  EXPECT_EQ(b->ReadExactly(1, none.get()), ErrorNumber(L"serialErrNotOpen"));
}

// Bytes a timed-out ReadExactly kept are told by one DataReceived, as if no
// read had touched them, and the next byte raises the next one.
TEST_F(SerialPortBench, BytesKeptByATimedOutReadAreToldOnceAndTheNextByteIsToldAtOnce) {
  ASSERT_HRESULT_SUCCEEDED(b->Open());
  ASSERT_HRESULT_SUCCEEDED(b->put_ReadTimeout(300));
  PortEvents events;
  EventConnection connection(b.get(), &events);
  {
    Device device("", false, {"12", "345"});
    ASSERT_TRUE(device.Ready());
    Variant none;
    ASSERT_EQ(b->ReadExactly(10, none.get()), ErrorNumber(L"serialErrTimeout"));
    device.Finish();
  }
  ASSERT_TRUE(WaitForBytes(b.get(), 5));
  ASSERT_TRUE(PumpUntil([&] { return events.Count(kDataReceived) == 1; }, 3000));
  PumpUntil([] { return false; }, 200);
  ASSERT_EQ(events.Count(kDataReceived), 1u) << "told twice";
  EXPECT_EQ(events.received.back().argument, 5);
  Device more("", false, {"6"});
  ASSERT_TRUE(PumpUntil([&] { return events.Count(kDataReceived) == 2; }, 3000)) << "waits for more";
  EXPECT_EQ(events.received.back().argument, 6);
  more.Finish();
  ExpectNextReads(b.get(), "123456");
}

// Failures of Open that the bench can produce, by the names a host tests.
TEST_F(SerialPortBench, OpenFailsWithTheNumbersTheTypeLibraryNames) {
  const struct {
    const wchar_t* port;
    const wchar_t* error;
  } cases[] = {
      {L"COM9", L"serialErrNoSuchPort"},
      {L"usb://403:6001", L"serialErrBadName"},
      {L"socket://127.0.0.1:1?timeout=500", L"serialErrConnectionRefused"},
  };
  for (const auto& c : cases) {
    ComPtr<ISerialPort> port = NewSerialPort(c.port);
    EXPECT_EQ(port->Open(), ErrorNumber(c.error)) << ::testing::PrintToString(std::wstring(c.port));
  }
}

TEST_F(SerialPortBench, AMissingPortFailsWithTheSystemsText) {
  ComPtr<ISerialPort> missing = NewSerialPort(L"COM9");
  EXPECT_EQ(missing->Open(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(LastErrorDescription().rfind(L"Open on COM9: CreateFile failed: ", 0), 0u)
      << LastErrorDescription();
}

}  // namespace
}  // namespace vemblaric::testing
