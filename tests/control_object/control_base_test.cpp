// The control base as containers drive it: persistence through property bags,
// streams and storages with the dirty flag; ambient UserMode deciding what is
// drawn; and a container that closes or lets go of the control while its
// receive loop runs getting control back.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Vemblaric.h"
#include "support/ambient_site.h"
#include "support/canvas.h"
#include "support/com_test.h"
#include "com/module.h"
#include "tests/support/recording_property_bag.h"

namespace vemblaric::testing {
namespace {

// The host-visible values of one control.
struct Values {
  short port;
  LONG baud;
  VARIANT_BOOL status;
  std::wstring buffer;
  bool operator==(const Values& o) const {
    return port == o.port && baud == o.baud && status == o.status && buffer == o.buffer;
  }
};

void PrintTo(const Values& v, std::ostream* os) {
  *os << "{Port " << v.port << ", Baud " << v.baud << ", Status " << v.status << ", Buffer \""
      << std::string(v.buffer.begin(), v.buffer.end()) << "\"}";
}

class ControlBase : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
  void TearDown() override {
    for (IUnknown* c : made_) c->Release();
    ::CoUninitialize();
  }

  _SerialControl* NewControl() {
    _SerialControl* control = nullptr;
    EXPECT_HRESULT_SUCCEEDED(
        control_object::CreateSerialControl(IID__SerialControl, reinterpret_cast<void**>(&control)));
    if (control) made_.push_back(control);
    return control;
  }

  static void Set(_SerialControl* c, const Values& v) {
    ASSERT_HRESULT_SUCCEEDED(c->put_Port(v.port));
    ASSERT_HRESULT_SUCCEEDED(c->put_Baud(v.baud));
    ASSERT_HRESULT_SUCCEEDED(c->put_Status(v.status));
    BSTR text = ::SysAllocStringLen(v.buffer.data(), static_cast<UINT>(v.buffer.size()));
    ASSERT_HRESULT_SUCCEEDED(c->put_Buffer(text));
    ::SysFreeString(text);
  }
  static Values Get(_SerialControl* c) {
    Values v{};
    EXPECT_HRESULT_SUCCEEDED(c->get_Port(&v.port));
    EXPECT_HRESULT_SUCCEEDED(c->get_Baud(&v.baud));
    EXPECT_HRESULT_SUCCEEDED(c->get_Status(&v.status));
    BSTR text = nullptr;
    EXPECT_HRESULT_SUCCEEDED(c->get_Buffer(&text));
    v.buffer = Str(text);
    ::SysFreeString(text);
    return v;
  }

  // The control saved into a fresh memory stream, which is returned rewound.
  static IStream* SavedStream(_SerialControl* c) {
    IStream* stream = nullptr;
    EXPECT_HRESULT_SUCCEEDED(::CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    IPersistStreamInit* persist = As<IPersistStreamInit>(c, IID_IPersistStreamInit);
    EXPECT_HRESULT_SUCCEEDED(persist->Save(stream, TRUE));
    persist->Release();
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return stream;
  }
  static std::vector<BYTE> StreamBytes(IStream* stream) {
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    std::vector<BYTE> bytes(static_cast<size_t>(stat.cbSize.QuadPart));
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ULONG read = 0;
    stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
    return bytes;
  }
  static IStream* StreamOf(const std::vector<BYTE>& bytes) {
    IStream* stream = nullptr;
    EXPECT_HRESULT_SUCCEEDED(::CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    if (!bytes.empty()) stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return stream;
  }

  const Values saved_{3, 9600, VARIANT_TRUE, std::wstring(L"saved \x00e9\0text", 12)};
  const Values other_{4, 1200, VARIANT_FALSE, L"kept"};

 private:
  std::vector<IUnknown*> made_;
};

TEST_F(ControlBase, AnswersEveryInterfaceAContainerAsksFor) {
  _SerialControl* c = NewControl();
  const IID wanted[] = {IID_IOleObject, IID_IOleControl, IID_IOleWindow, IID_IOleInPlaceObject,
                        IID_IOleInPlaceActiveObject, IID_IViewObject, IID_IViewObject2,
                        IID_IPersist, IID_IPersistPropertyBag, IID_IPersistStreamInit,
                        IID_IPersistStorage, IID_IProvideClassInfo2,
                        IID_IConnectionPointContainer, IID_ISupportErrorInfo};
  for (const IID& iid : wanted) {
    IUnknown* part = nullptr;
    ASSERT_HRESULT_SUCCEEDED(c->QueryInterface(iid, reinterpret_cast<void**>(&part)));
    // Every interface leads back to the one object.
    IUnknown* identity = nullptr;
    ASSERT_HRESULT_SUCCEEDED(part->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(identity, static_cast<IUnknown*>(c));
    identity->Release();
    part->Release();
  }
  IUnknown* none = nullptr;
  // IObjectSafety: a web page must never be told the control is safe.
  const IID objectSafety = {0xCB5BDC81, 0x93C1, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
  EXPECT_EQ(c->QueryInterface(objectSafety, reinterpret_cast<void**>(&none)), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  IOleObject* ole = As<IOleObject>(c, IID_IOleObject);
  DWORD status = 0;
  EXPECT_HRESULT_SUCCEEDED(ole->GetMiscStatus(DVASPECT_CONTENT, &status));
  EXPECT_EQ(status, 0x00020591u);
  CLSID clsid{};
  EXPECT_HRESULT_SUCCEEDED(ole->GetUserClassID(&clsid));
  EXPECT_TRUE(::IsEqualCLSID(clsid, CLSID_SerialControl));
  ole->Release();
}

TEST_F(ControlBase, PropertyBagRoundTripCarriesTheValuesIntoASecondInstance) {
  _SerialControl* first = NewControl();
  Set(first, saved_);
  RecordingPropertyBag bag;
  IPersistPropertyBag* save = As<IPersistPropertyBag>(first, IID_IPersistPropertyBag);
  ASSERT_HRESULT_SUCCEEDED(save->Save(&bag, TRUE, TRUE));
  save->Release();
  const std::vector<std::pair<const wchar_t*, VARTYPE>> written = {
      {L"Port", VT_I2},   {L"Baud", VT_I4},    {L"Status", VT_BOOL},
      {L"Buffer", VT_BSTR}, {L"Company", VT_BSTR}, {L"Version", VT_BSTR}};
  ASSERT_EQ(bag.writes.size(), written.size());
  for (size_t i = 0; i < written.size(); ++i) {
    EXPECT_EQ(bag.writes[i].key, written[i].first);
    EXPECT_EQ(bag.writes[i].value->vt, written[i].second) << "at " << i;
  }

  _SerialControl* second = NewControl();
  IPersistPropertyBag* load = As<IPersistPropertyBag>(second, IID_IPersistPropertyBag);
  ASSERT_HRESULT_SUCCEEDED(load->Load(&bag, nullptr));
  EXPECT_EQ(Get(second), saved_);
  load->Release();
  IPersistStreamInit* state = As<IPersistStreamInit>(second, IID_IPersistStreamInit);
  EXPECT_EQ(state->IsDirty(), S_FALSE) << "a control just restored has nothing to save";
  state->Release();
}

TEST_F(ControlBase, StreamRoundTripCarriesTheValuesIntoASecondInstance) {
  _SerialControl* first = NewControl();
  Set(first, saved_);
  IStream* stream = SavedStream(first);
  const std::vector<BYTE> bytes = StreamBytes(stream);
  IPersistStreamInit* sized = As<IPersistStreamInit>(first, IID_IPersistStreamInit);
  ULARGE_INTEGER most{};
  ASSERT_HRESULT_SUCCEEDED(sized->GetSizeMax(&most));
  EXPECT_EQ(most.QuadPart, bytes.size());
  sized->Release();

  LARGE_INTEGER zero{};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  _SerialControl* second = NewControl();
  IPersistStreamInit* load = As<IPersistStreamInit>(second, IID_IPersistStreamInit);
  ASSERT_HRESULT_SUCCEEDED(load->Load(stream));
  EXPECT_EQ(Get(second), saved_);
  // The load takes exactly the saved form and leaves the stream after it.
  ULARGE_INTEGER position{};
  stream->Seek(zero, STREAM_SEEK_CUR, &position);
  EXPECT_EQ(position.QuadPart, bytes.size());
  load->Release();
  stream->Release();

  // The stored Company and Version go along, too: a restored control saves
  // the same bytes.
  IStream* again = SavedStream(second);
  EXPECT_EQ(StreamBytes(again), bytes);
  again->Release();
}

TEST_F(ControlBase, StorageRoundTripCarriesTheValuesIntoASecondInstance) {
  ILockBytes* memory = nullptr;
  ASSERT_HRESULT_SUCCEEDED(::CreateILockBytesOnHGlobal(nullptr, TRUE, &memory));
  IStorage* storage = nullptr;
  ASSERT_HRESULT_SUCCEEDED(::StgCreateDocfileOnILockBytes(
      memory, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &storage));

  _SerialControl* first = NewControl();
  Set(first, saved_);
  IPersistStorage* save = As<IPersistStorage>(first, IID_IPersistStorage);
  EXPECT_EQ(save->IsDirty(), S_OK);
  ASSERT_HRESULT_SUCCEEDED(save->Save(storage, TRUE));
  EXPECT_HRESULT_SUCCEEDED(save->SaveCompleted(nullptr));
  EXPECT_EQ(save->IsDirty(), S_FALSE);
  save->Release();

  _SerialControl* second = NewControl();
  IPersistStorage* load = As<IPersistStorage>(second, IID_IPersistStorage);
  ASSERT_HRESULT_SUCCEEDED(load->Load(storage));
  EXPECT_EQ(Get(second), saved_);
  load->Release();

  // A storage that holds no values of the control is refused.
  IStorage* empty = nullptr;
  ILockBytes* emptyMemory = nullptr;
  ASSERT_HRESULT_SUCCEEDED(::CreateILockBytesOnHGlobal(nullptr, TRUE, &emptyMemory));
  ASSERT_HRESULT_SUCCEEDED(::StgCreateDocfileOnILockBytes(
      emptyMemory, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &empty));
  _SerialControl* third = NewControl();
  Set(third, other_);
  IPersistStorage* refuse = As<IPersistStorage>(third, IID_IPersistStorage);
  EXPECT_EQ(refuse->Load(empty), STG_E_FILENOTFOUND);
  EXPECT_EQ(Get(third), other_);
  refuse->Release();
  empty->Release();
  emptyMemory->Release();
  storage->Release();
  memory->Release();
}

TEST_F(ControlBase, DirtyAfterASetterAndCleanAfterASaveThatClearsIt) {
  _SerialControl* c = NewControl();
  IPersistStreamInit* persist = As<IPersistStreamInit>(c, IID_IPersistStreamInit);
  IPersistPropertyBag* bagged = As<IPersistPropertyBag>(c, IID_IPersistPropertyBag);
  ASSERT_HRESULT_SUCCEEDED(persist->InitNew());
  EXPECT_EQ(persist->IsDirty(), S_FALSE);

  // Each setter marks the control; operations that store Status themselves
  // (Open_Com on a port that does not exist) do not.
  const std::vector<std::pair<const char*, std::function<HRESULT()>>> setters = {
      {"Port", [&] { return c->put_Port(1); }},
      {"Baud", [&] { return c->put_Baud(19200); }},
      {"Status", [&] { return c->put_Status(VARIANT_TRUE); }},
      {"Buffer", [&] {
         BSTR t = ::SysAllocString(L"x");
         const HRESULT hr = c->put_Buffer(t);
         ::SysFreeString(t);
         return hr;
       }}};
  for (const auto& setter : setters) {
    SCOPED_TRACE(setter.first);
    ASSERT_HRESULT_SUCCEEDED(setter.second());
    EXPECT_EQ(persist->IsDirty(), S_OK);
    IStream* stream = nullptr;
    ASSERT_HRESULT_SUCCEEDED(::CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    ASSERT_HRESULT_SUCCEEDED(persist->Save(stream, FALSE));
    EXPECT_EQ(persist->IsDirty(), S_OK) << "a save that keeps the flag keeps it";
    ASSERT_HRESULT_SUCCEEDED(persist->Save(stream, TRUE));
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    stream->Release();
  }

  ASSERT_HRESULT_SUCCEEDED(c->put_Port(0));
  RecordingPropertyBag bag;
  ASSERT_HRESULT_SUCCEEDED(bagged->Save(&bag, TRUE, TRUE));
  EXPECT_EQ(persist->IsDirty(), S_FALSE);
  ASSERT_HRESULT_SUCCEEDED(c->Open_Com());  // stores Status False itself
  EXPECT_EQ(persist->IsDirty(), S_FALSE);
  bagged->Release();
  persist->Release();
}

// A storage save counts once SaveCompleted says so, and then only for the
// storage the control belongs to: the one it was loaded from, or the one the
// container hands over. A save into a copy, or a change meanwhile, keeps the
// control dirty.
TEST_F(ControlBase, AStorageSaveCleansTheControlOnlyWhenCompletedIntoItsOwnStorage) {
  struct Case {
    BOOL sameAsLoad;
    bool handedOver;
    bool changedMeanwhile;
    HRESULT dirtyAfter;
  };
  for (const Case& k : {Case{TRUE, false, false, S_FALSE}, Case{FALSE, false, false, S_OK},
                        Case{FALSE, true, false, S_FALSE}, Case{TRUE, false, true, S_OK}}) {
    SCOPED_TRACE(::testing::Message() << "same " << k.sameAsLoad << ", handed over "
                                      << k.handedOver << ", changed " << k.changedMeanwhile);
    ILockBytes* memory = nullptr;
    IStorage* storage = nullptr;
    ASSERT_HRESULT_SUCCEEDED(::CreateILockBytesOnHGlobal(nullptr, TRUE, &memory));
    ASSERT_HRESULT_SUCCEEDED(::StgCreateDocfileOnILockBytes(
        memory, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &storage));
    memory->Release();
    _SerialControl* c = NewControl();
    ASSERT_HRESULT_SUCCEEDED(c->put_Baud(300));
    IPersistStorage* persist = As<IPersistStorage>(c, IID_IPersistStorage);
    ASSERT_HRESULT_SUCCEEDED(persist->Save(storage, k.sameAsLoad));
    EXPECT_EQ(persist->IsDirty(), S_OK) << "not before SaveCompleted";
    if (k.changedMeanwhile) {
      ASSERT_HRESULT_SUCCEEDED(c->put_Baud(1200));
    }
    EXPECT_HRESULT_SUCCEEDED(persist->SaveCompleted(k.handedOver ? storage : nullptr));
    EXPECT_EQ(persist->IsDirty(), k.dirtyAfter);
    persist->Release();
    storage->Release();
  }
}

// A stream the control cannot take whole is refused and changes nothing.
TEST_F(ControlBase, ShortOtherVersionOrDamagedStreamIsRefusedAndChangesNothing) {
  _SerialControl* source = NewControl();
  Set(source, saved_);
  IStream* saved = SavedStream(source);
  const std::vector<BYTE> good = StreamBytes(saved);
  saved->Release();
  ASSERT_GT(good.size(), 40u);

  struct Case {
    const char* what;
    std::function<void(std::vector<BYTE>&)> spoil;
    HRESULT status;
  };
  const Case cases[] = {
      {"empty", [](std::vector<BYTE>& b) { b.clear(); }, STG_E_READFAULT},
      {"header cut", [](std::vector<BYTE>& b) { b.resize(7); }, STG_E_READFAULT},
      {"header only", [](std::vector<BYTE>& b) { b.resize(12); }, STG_E_READFAULT},
      {"last byte missing", [](std::vector<BYTE>& b) { b.pop_back(); }, STG_E_READFAULT},
      {"another mark", [](std::vector<BYTE>& b) { b[0] ^= 0x20; }, STG_E_DOCFILECORRUPT},
      {"a later version", [](std::vector<BYTE>& b) { b[4] = 2; }, STG_E_OLDFORMAT},
      {"version 0", [](std::vector<BYTE>& b) { b[4] = 0; }, STG_E_OLDFORMAT},
      {"a value byte flipped", [](std::vector<BYTE>& b) { b[b.size() / 2] ^= 0x01; },
       STG_E_DOCFILECORRUPT},
      {"hash flipped", [](std::vector<BYTE>& b) { b.back() ^= 0x80; }, STG_E_DOCFILECORRUPT},
      {"count raised", [](std::vector<BYTE>& b) { b[6] += 1; }, STG_E_DOCFILECORRUPT},
      {"payload length huge", [](std::vector<BYTE>& b) { b[11] = 0x7F; }, STG_E_DOCFILECORRUPT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<BYTE> bytes = good;
    c.spoil(bytes);
    _SerialControl* target = NewControl();
    Set(target, other_);
    IPersistStreamInit* persist = As<IPersistStreamInit>(target, IID_IPersistStreamInit);
    IStream* stream = StreamOf(bytes);
    EXPECT_EQ(persist->Load(stream), c.status);
    EXPECT_EQ(Get(target), other_);
    EXPECT_EQ(persist->IsDirty(), S_OK) << "a refused load does not count as restored";
    stream->Release();
    persist->Release();
  }
}

// --- What the control shows -------------------------------------------------------

using FaceCanvas = Canvas<64>;

TEST_F(ControlBase, DrawsTheFaceOnlyWhileTheContainerIsInDesignMode) {
  _SerialControl* c = NewControl();
  IOleObject* ole = As<IOleObject>(c, IID_IOleObject);
  IOleControl* control = As<IOleControl>(c, IID_IOleControl);
  IViewObject* view = As<IViewObject>(c, IID_IViewObject);

  {
    FaceCanvas canvas;  // no site: the control runs
    ASSERT_HRESULT_SUCCEEDED(canvas.DrawWith(view));
    EXPECT_EQ(canvas.PaintedPixels(), 0);
  }
  AmbientSite site(/*userMode=*/false);
  ASSERT_HRESULT_SUCCEEDED(ole->SetClientSite(&site));
  EXPECT_GT(site.ambientQueries, 0);
  {
    FaceCanvas canvas;
    ASSERT_HRESULT_SUCCEEDED(canvas.DrawWith(view));
    EXPECT_GT(canvas.PaintedPixels(), FaceCanvas::size * FaceCanvas::size / 2);
    EXPECT_EQ(canvas.DrawWith(view, DVASPECT_ICON), DV_E_DVASPECT);
  }
  // The container switches to run mode and says so.
  site.userMode = true;
  ASSERT_HRESULT_SUCCEEDED(control->OnAmbientPropertyChange(DISPID_AMBIENT_USERMODE));
  {
    FaceCanvas canvas;
    ASSERT_HRESULT_SUCCEEDED(canvas.DrawWith(view));
    EXPECT_EQ(canvas.PaintedPixels(), 0);
  }
  // A change of all ambients at once counts as well.
  site.userMode = false;
  ASSERT_HRESULT_SUCCEEDED(control->OnAmbientPropertyChange(DISPID_UNKNOWN));
  {
    FaceCanvas canvas;
    ASSERT_HRESULT_SUCCEEDED(canvas.DrawWith(view));
    EXPECT_GT(canvas.PaintedPixels(), 0);
  }
  ASSERT_HRESULT_SUCCEEDED(ole->SetClientSite(nullptr));
  view->Release();
  control->Release();
  ole->Release();
}

// Controls on two threads activated in design mode again and again, starting
// together: each activation succeeds, though the face window class is the
// process's and comes and goes with the last face window.
TEST_F(ControlBase, ControlsOnTwoThreadsActivateInDesignModeTogether) {
  HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  LONG failed = 0;
  const auto activate = [&] {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 64, 64, nullptr,
                                    nullptr, nullptr, nullptr);
    AmbientSite::Hook none;
    AmbientSite site(/*runMode=*/false);
    site.Join("site", none, window);
    RECT place = {0, 0, 48, 48};
    ::WaitForSingleObject(go, 10000);
    for (int round = 0; round < 200; ++round) {
      Ptr<IOleObject> ole;
      control_object::CreateSerialControl(IID_IOleObject, ole.put_void());
      ole->SetClientSite(&site);
      if (FAILED(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, window, &place)))
        ::InterlockedIncrement(&failed);
      ole->Close(OLECLOSE_NOSAVE);
    }
    ::DestroyWindow(window);
    ::CoUninitialize();
  };
  std::thread first(activate), second(activate);
  ::SetEvent(go);
  first.join(), second.join();
  ::CloseHandle(go);
  EXPECT_EQ(failed, 0);
}

TEST_F(ControlBase, CloseAsksADirtyControlsSiteToSaveUnlessToldNotTo) {
  struct Case {
    DWORD option;
    bool dirty;
    int saves;
  };
  for (const Case& k : {Case{OLECLOSE_SAVEIFDIRTY, true, 1}, Case{OLECLOSE_SAVEIFDIRTY, false, 0},
                        Case{OLECLOSE_NOSAVE, true, 0}, Case{OLECLOSE_PROMPTSAVE, true, 1}}) {
    SCOPED_TRACE(::testing::Message() << "option " << k.option << ", dirty " << k.dirty);
    _SerialControl* c = NewControl();
    IOleObject* ole = As<IOleObject>(c, IID_IOleObject);
    AmbientSite site(true);
    ASSERT_HRESULT_SUCCEEDED(ole->SetClientSite(&site));
    if (k.dirty) {
      ASSERT_HRESULT_SUCCEEDED(c->put_Baud(300));
    }
    EXPECT_HRESULT_SUCCEEDED(ole->Close(k.option));
    EXPECT_EQ(site.saves, k.saves);
    ASSERT_HRESULT_SUCCEEDED(ole->SetClientSite(nullptr));
    ole->Release();
  }
}

// --- Going away ----------------------------------------------------------------------

// A container whose code calls back into the control from wherever the control
// calls it: from each call of the control's last release it takes and drops
// references and calls a member; from each call of Close, SetClientSite and
// DoVerb it drops its last reference. The control goes away once, after the
// member, giving back once every reference it took; another control stays
// counted throughout.
// Set by a timer that only a message pump can run; its quit ends a loop.
bool g_teardownPumped = false;
void CALLBACK TeardownTimer(HWND, UINT, UINT_PTR, DWORD) {
  if (!g_teardownPumped) ::PostQuitMessage(0);
  g_teardownPumped = true;
}

TEST_F(ControlBase, ContainerThatCallsBackWhileTheControlGoesAwayFindsItWhole) {
  enum Member { kRelease, kClose, kDropSite, kDoVerb };
  const struct {
    Member member;
    const char* call;
    bool active;  // in-place active beforehand
  } cases[] = {
      {kRelease, "in-place site OnInPlaceDeactivate", true},
      {kRelease, "in-place site Release", true},
      {kRelease, "site Release", true},          {kRelease, "site Release", false},
      {kRelease, "view sink Release", true},     {kRelease, "view sink Release", false},
      {kRelease, "advise sink Release", true},   {kRelease, "advise sink Release", false},
      {kRelease, "event sink Release", true},    {kRelease, "event sink Release", false},
      {kClose, "site SaveObject", false},        {kClose, "in-place site OnInPlaceDeactivate", true},
      {kClose, "advise sink OnClose", false},    {kDropSite, "in-place site OnInPlaceDeactivate", true},
      {kDropSite, "site Release", false},        {kDoVerb, "in-place site CanInPlaceActivate", false},
      {kDoVerb, "in-place site OnInPlaceActivate", false},
      {kDoVerb, "in-place site GetWindowContext", false}};
  HWND window = ::CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 64, 64, nullptr,
                                  nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  RECT place = {0, 0, 48, 48};
  for (const auto& k : cases) {
    SCOPED_TRACE(::testing::Message() << "member " << k.member << " from " << k.call
                                      << (k.active ? ", in-place active" : ""));
    ASSERT_TRUE(com::CanUnload());
    AmbientSite::Hook hook;
    AmbientSite inPlace(true), site(true, &inPlace), view(true), advise(true), events(true);
    inPlace.Join("in-place site", hook, window), site.Join("site", hook);
    view.Join("view sink", hook), advise.Join("advise sink", hook), events.Join("event sink", hook);
    _SerialControl* other = nullptr;
    ASSERT_HRESULT_SUCCEEDED(
        control_object::CreateSerialControl(IID__SerialControl, reinterpret_cast<void**>(&other)));
    Ptr<_SerialControl> control;
    ASSERT_HRESULT_SUCCEEDED(
        control_object::CreateSerialControl(IID__SerialControl, control.put_void()));
    IOleObject* ole = control.As<IOleObject>(IID_IOleObject).detach();  // the host's reference
    ASSERT_HRESULT_SUCCEEDED(ole->SetClientSite(&site));
    DWORD cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(ole->Advise(&advise, &cookie));
    control.As<IViewObject>(IID_IViewObject)->SetAdvise(DVASPECT_CONTENT, 0, &view);
    Ptr<IConnectionPoint> point;
    control.As<IConnectionPointContainer>(IID_IConnectionPointContainer)
        ->FindConnectionPoint(DIID___SerialControl, point.put());
    ASSERT_HRESULT_SUCCEEDED(point->Advise(static_cast<IDispatch*>(&events), &cookie));
    point.reset();
    if (k.active) {
      ASSERT_HRESULT_SUCCEEDED(
          ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, window, &place));
    }
    ASSERT_HRESULT_SUCCEEDED(control->put_Baud(300));  // dirty, so Close asks to save
    control.reset();

    bool acted = false;
    hook = [&](const std::string& call) {
      if (call != k.call || acted) return;
      acted = true;
      if (k.member != kRelease) {
        ole->Release();
        EXPECT_GT(view.refs, 0) << "the control went away under its own member";
        return;
      }
      _SerialControl* again = nullptr;
      ASSERT_HRESULT_SUCCEEDED(
          ole->QueryInterface(IID__SerialControl, reinterpret_cast<void**>(&again)));
      short port = 0;
      EXPECT_HRESULT_SUCCEEDED(again->get_Port(&port));
      // A control going away runs no receive loop, sink or not: its Open_Com
      // opens and returns without pumping. Were a loop to run, its pump would
      // dispatch the timer, which ends it with WM_QUIT.
      g_teardownPumped = false;
      const UINT_PTR timer = ::SetTimer(nullptr, 0, USER_TIMER_MINIMUM, TeardownTimer);
      EXPECT_HRESULT_SUCCEEDED(again->put_Port(1));
      EXPECT_HRESULT_SUCCEEDED(again->Open_Com());
      ::KillTimer(nullptr, timer);
      EXPECT_FALSE(g_teardownPumped) << "the receive loop ran inside the teardown";
      MSG quit;
      while (::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
      }
      again->Release();
    };
    switch (k.member) {
      case kRelease: ole->Release(); break;
      case kClose: ole->Close(OLECLOSE_SAVEIFDIRTY); break;
      case kDropSite: ole->SetClientSite(nullptr); break;
      case kDoVerb: ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, window, &place); break;
    }
    hook = nullptr;
    EXPECT_TRUE(acted) << "the control never made that call";
    for (const AmbientSite* p : {&inPlace, &site, &view, &advise, &events})
      EXPECT_EQ(p->refs, 0) << "every reference the control took, given back once";
    EXPECT_FALSE(com::CanUnload()) << "the other control is alive";
    other->Release();
    EXPECT_TRUE(com::CanUnload());
  }
  ::DestroyWindow(window);
}

// --- Shutdown while the receive loop runs -------------------------------------------

// An event sink that takes every event and does nothing with it.
class QuietSink final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IDispatch) ||
        ::IsEqualIID(riid, DIID___SerialControl)) {
      *ppv = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return S_OK;
  }
};

// Ends the process if the loop is still running after the bound: a hang fails
// the test instead of holding ctest until its time-out.
class Watchdog {
 public:
  explicit Watchdog(DWORD ms) : done_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), ms_(ms) {
    thread_ = ::CreateThread(nullptr, 0, &Watchdog::Run, this, 0, nullptr);
  }
  ~Watchdog() {
    ::SetEvent(done_);
    ::WaitForSingleObject(thread_, INFINITE);
    ::CloseHandle(thread_);
    ::CloseHandle(done_);
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  static DWORD WINAPI Run(void* self) {
    auto* w = static_cast<Watchdog*>(self);
    if (::WaitForSingleObject(w->done_, w->ms_) == WAIT_TIMEOUT) {
      std::fprintf(stderr, "FAIL: the receive loop kept the host's thread past %lu ms\n",
                   static_cast<unsigned long>(w->ms_));
      std::fflush(stderr);
      ::TerminateProcess(::GetCurrentProcess(), 3);
    }
    return 0;
  }
  HANDLE done_;
  HANDLE thread_ = nullptr;
  DWORD ms_;
};

// The test's action, run from a timer that only the receive loop's pump
// dispatches: Open_Com pumps nothing before its loop.
std::function<void()> g_onTimer;
void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
  if (g_onTimer) {
    auto action = std::move(g_onTimer);
    g_onTimer = nullptr;
    action();
  }
}

TEST_F(ControlBase, ContainerThatClosesOrLetsGoWhileTheLoopRunsGetsControlBack) {
  enum How { kClose, kDropSite, kRelease };
  for (How how : {kClose, kDropSite, kRelease}) {
    SCOPED_TRACE(how == kClose ? "Close" : how == kDropSite ? "SetClientSite(NULL)" : "Release");
    _SerialControl* c = nullptr;
    ASSERT_HRESULT_SUCCEEDED(
        control_object::CreateSerialControl(IID__SerialControl, reinterpret_cast<void**>(&c)));
    IOleObject* ole = As<IOleObject>(c, IID_IOleObject);
    AmbientSite site(true);
    ASSERT_HRESULT_SUCCEEDED(ole->SetClientSite(&site));
    IConnectionPointContainer* points =
        As<IConnectionPointContainer>(c, IID_IConnectionPointContainer);
    IConnectionPoint* point = nullptr;
    ASSERT_HRESULT_SUCCEEDED(points->FindConnectionPoint(DIID___SerialControl, &point));
    points->Release();
    QuietSink sink;
    DWORD cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(point->Advise(&sink, &cookie));
    ASSERT_HRESULT_SUCCEEDED(c->put_Port(1));  // on the null-modem bench
    if (how == kRelease) {
      // Only the reference the test lets go of in the loop stays with the host.
      point->Release();
      point = nullptr;
      ole->Release();
      ole = nullptr;
    }

    bool inCall = false;
    bool actedInCall = false;
    g_onTimer = [&] {
      actedInCall = inCall;
      switch (how) {
        case kClose: ole->Close(OLECLOSE_NOSAVE); break;
        case kDropSite: ole->SetClientSite(nullptr); break;
        case kRelease: c->Release(); break;
      }
    };
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 20, &OnTimer);
    ASSERT_NE(timer, 0u);
    const DWORD start = ::GetTickCount();
    {
      Watchdog watchdog(15000);
      inCall = true;
      EXPECT_HRESULT_SUCCEEDED(c->Open_Com());
      inCall = false;
    }
    const DWORD took = ::GetTickCount() - start;
    ::KillTimer(nullptr, timer);
    EXPECT_TRUE(actedInCall) << "the action ran outside the loop";
    EXPECT_LT(took, 5000u);

    if (how != kRelease) {
      point->Unadvise(cookie);
      point->Release();
      if (how == kClose) ole->SetClientSite(nullptr);
      ole->Release();
      EXPECT_EQ(c->Release(), 0u);
    }
  }
}

}  // namespace
}  // namespace vemblaric::testing
