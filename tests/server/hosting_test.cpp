// The registered Vemblaric.ocx as hosts meet it: created by its programmatic
// identifier and by its class, and hosted by Wine's ATL container, where it
// shows nothing while the container runs and its plug in design mode. The
// design-mode drawing is written to face_design_mode.png beside this program
// so a person can look at it.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wincodec.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "Vemblaric.h"
#include "support/ambient_site.h"
#include "support/canvas.h"
#include "support/com_test.h"

namespace vemblaric::testing {
namespace {

class Hosting : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_HRESULT_SUCCEEDED(::OleInitialize(nullptr)); }
  void TearDown() override { ::OleUninitialize(); }
};

// The class's default interface, as its type information names it.
IID DefaultInterface(IUnknown* object) {
  IID found = IID_NULL;
  IProvideClassInfo* provide = As<IProvideClassInfo>(object, IID_IProvideClassInfo);
  if (!provide) return found;
  ITypeInfo* coclass = nullptr;
  if (SUCCEEDED(provide->GetClassInfo(&coclass))) {
    TYPEATTR* attr = nullptr;
    coclass->GetTypeAttr(&attr);
    for (UINT i = 0; attr && i < attr->cImplTypes; ++i) {
      INT flags = 0;
      coclass->GetImplTypeFlags(i, &flags);
      if ((flags & IMPLTYPEFLAG_FDEFAULT) && !(flags & IMPLTYPEFLAG_FSOURCE)) {
        HREFTYPE ref = 0;
        ITypeInfo* info = nullptr;
        coclass->GetRefTypeOfImplType(i, &ref);
        if (SUCCEEDED(coclass->GetRefTypeInfo(ref, &info))) {
          TYPEATTR* interfaceAttr = nullptr;
          info->GetTypeAttr(&interfaceAttr);
          found = interfaceAttr->guid;
          info->ReleaseTypeAttr(interfaceAttr);
          info->Release();
        }
      }
    }
    if (attr) coclass->ReleaseTypeAttr(attr);
    coclass->Release();
  }
  provide->Release();
  return found;
}

TEST_F(Hosting, CreatedByNameOrClassTheDefaultInterfaceIsSerialControl) {
  CLSID byName{};
  ASSERT_HRESULT_SUCCEEDED(::CLSIDFromProgID(L"Vemblaric.SerialControl", &byName));
  EXPECT_TRUE(::IsEqualCLSID(byName, CLSID_SerialControl));
  for (const CLSID& clsid : {byName, CLSID_SerialControl}) {
    IDispatch* object = nullptr;
    ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                                reinterpret_cast<void**>(&object)));
    EXPECT_TRUE(::IsEqualIID(DefaultInterface(object), IID__SerialControl));
    ITypeInfo* info = nullptr;
    ASSERT_HRESULT_SUCCEEDED(object->GetTypeInfo(0, 0, &info));
    TYPEATTR* attr = nullptr;
    ASSERT_HRESULT_SUCCEEDED(info->GetTypeAttr(&attr));
    EXPECT_TRUE(::IsEqualIID(attr->guid, IID__SerialControl));
    info->ReleaseTypeAttr(attr);
    info->Release();
    _SerialControl* control = As<_SerialControl>(object, IID__SerialControl);
    BSTR version = nullptr;
    ASSERT_HRESULT_SUCCEEDED(control->get_Version(&version));
    EXPECT_STREQ(version, L"1.0");
    ::SysFreeString(version);
    control->Release();
    object->Release();
  }
}

// The face's drawing at four times its size, so its pixels match the
// coordinates the picture was drawn in.
using FaceCanvas = Canvas<192>;

bool Near(DWORD got, DWORD want, int tolerance) {
  for (int shift = 0; shift < 24; shift += 8) {
    const int a = static_cast<int>((got >> shift) & 0xFF);
    const int b = static_cast<int>((want >> shift) & 0xFF);
    if (std::abs(a - b) > tolerance) return false;
  }
  return true;
}

// Wine's ATL container, loaded as a program loads it.
class AtlHost {
 public:
  AtlHost() : atl_(::LoadLibraryW(L"atl.dll")) {
    if (!atl_) return;
    auto init = reinterpret_cast<BOOL(WINAPI*)()>(
        reinterpret_cast<void*>(::GetProcAddress(atl_, "AtlAxWinInit")));
    getControl_ = reinterpret_cast<HRESULT(WINAPI*)(HWND, IUnknown**)>(
        reinterpret_cast<void*>(::GetProcAddress(atl_, "AtlAxGetControl")));
    if (!init || !getControl_ || !init()) return;
    window_ = ::CreateWindowExW(0, L"AtlAxWin", L"Vemblaric.SerialControl",
                                WS_OVERLAPPEDWINDOW, 0, 0, 240, 200, nullptr, nullptr,
                                ::GetModuleHandleW(nullptr), nullptr);
  }
  ~AtlHost() {
    if (window_) ::DestroyWindow(window_);
    if (atl_) ::FreeLibrary(atl_);
  }
  AtlHost(const AtlHost&) = delete;
  AtlHost& operator=(const AtlHost&) = delete;

  HWND window() const { return window_; }
  IUnknown* Control() const {
    IUnknown* control = nullptr;
    if (window_ && getControl_) getControl_(window_, &control);
    return control;
  }

 private:
  HMODULE atl_;
  HRESULT(WINAPI* getControl_)(HWND, IUnknown**) = nullptr;
  HWND window_ = nullptr;
};

TEST_F(Hosting, AtlContainerHostsTheControlInvisibleWhileRunningAndShowsThePlugInDesignMode) {
  AtlHost host;
  ASSERT_NE(host.window(), nullptr) << "the AtlAxWin window was not made";
  IUnknown* unknown = host.Control();
  ASSERT_NE(unknown, nullptr) << "ATL hosts no control";
  EXPECT_TRUE(::IsEqualIID(DefaultInterface(unknown), IID__SerialControl));

  IOleObject* ole = As<IOleObject>(unknown, IID_IOleObject);
  IOleControl* control = As<IOleControl>(unknown, IID_IOleControl);
  IViewObject* view = As<IViewObject>(unknown, IID_IViewObject);
  IOleInPlaceObject* inPlace = As<IOleInPlaceObject>(unknown, IID_IOleInPlaceObject);
  IOleClientSite* atlSite = nullptr;
  ASSERT_HRESULT_SUCCEEDED(ole->GetClientSite(&atlSite));
  ASSERT_NE(atlSite, nullptr) << "ATL gave the control no site";

  // ATL activated the control in place: it has a window in ATL's, hidden,
  // and draws nothing, since a container that says nothing of UserMode runs.
  HWND window = nullptr;
  ASSERT_HRESULT_SUCCEEDED(inPlace->GetWindow(&window));
  EXPECT_EQ(::GetParent(window), host.window());
  EXPECT_FALSE(::IsWindowVisible(window));
  {
    FaceCanvas canvas;
    ASSERT_HRESULT_SUCCEEDED(canvas.DrawWith(view));
    EXPECT_EQ(canvas.PaintedPixels(), 0);
  }

  // ATL's site with the ambient UserMode False of a container in design mode.
  AmbientSite design(/*runMode=*/false, atlSite);
  ASSERT_HRESULT_SUCCEEDED(ole->SetClientSite(&design));
  ASSERT_HRESULT_SUCCEEDED(control->OnAmbientPropertyChange(DISPID_AMBIENT_USERMODE));
  ::ShowWindow(host.window(), SW_SHOWNA);
  EXPECT_TRUE(::IsWindowVisible(window)) << "in design mode the control shows its window";
  {
    FaceCanvas canvas;
    ASSERT_HRESULT_SUCCEEDED(canvas.DrawWith(view));
    EXPECT_HRESULT_SUCCEEDED(canvas.WritePng(L"face_design_mode.png"));
    EXPECT_GT(canvas.PaintedPixels(), FaceCanvas::size * FaceCanvas::size / 2);
    // Where the picture has its colours: the cream ground, the grey shell,
    // its light face, the gold pins and the blue cable.
    struct Spot {
      const char* what;
      int x, y;
      DWORD colour;
    };
    const Spot spots[] = {{"ground", 6, 6, 0xF4F1E8},      {"ground", 185, 185, 0xF4F1E8},
                          {"shell", 20, 60, 0x8D9399},     {"face", 96, 84, 0xC9CED3},
                          {"pin", 96, 72, 0xE0B03A},       {"pin", 86, 96, 0xE0B03A},
                          {"cable", 96, 165, 0x3B6EA8}};
    for (const Spot& s : spots) {
      EXPECT_TRUE(Near(canvas.At(s.x, s.y), s.colour, 48))
          << s.what << " at " << s.x << "," << s.y << " is " << std::hex << canvas.At(s.x, s.y)
          << ", wanted about " << s.colour;
    }
  }

  // Back to run mode: hidden again, nothing drawn.
  design.userMode = true;
  ASSERT_HRESULT_SUCCEEDED(control->OnAmbientPropertyChange(DISPID_AMBIENT_USERMODE));
  EXPECT_FALSE(::IsWindowVisible(window));
  {
    FaceCanvas canvas;
    ASSERT_HRESULT_SUCCEEDED(canvas.DrawWith(view));
    EXPECT_EQ(canvas.PaintedPixels(), 0);
  }

  // Give ATL its own site back before it tears down.
  ASSERT_HRESULT_SUCCEEDED(ole->SetClientSite(atlSite));
  atlSite->Release();
  inPlace->Release();
  view->Release();
  control->Release();
  ole->Release();
  unknown->Release();
}

// No licence wall: the class object is a plain class factory, without the
// licensing one (IClassFactory2) through which a container would ask for a
// key, and a container creates working controls through it with no key, in
// design mode (the plug drawn) and in run mode (nothing drawn) alike. (ATL's
// container above creates its control the same way, in run mode.)
TEST_F(Hosting, ContainersCreateTheControlWithNoLicenceKeyInDesignAndRunMode) {
  IClassFactory* factory = nullptr;
  ASSERT_HRESULT_SUCCEEDED(::CoGetClassObject(CLSID_SerialControl, CLSCTX_INPROC_SERVER, nullptr,
                                              IID_IClassFactory,
                                              reinterpret_cast<void**>(&factory)));
  IUnknown* licensing = nullptr;
  EXPECT_EQ(factory->QueryInterface(IID_IClassFactory2, reinterpret_cast<void**>(&licensing)),
            E_NOINTERFACE);
  for (const bool runMode : {false, true}) {
    SCOPED_TRACE(runMode ? "run mode" : "design mode");
    IOleObject* ole = nullptr;
    ASSERT_HRESULT_SUCCEEDED(
        factory->CreateInstance(nullptr, IID_IOleObject, reinterpret_cast<void**>(&ole)));
    AmbientSite site(runMode);  // the site first, as the control asks
    ASSERT_HRESULT_SUCCEEDED(ole->SetClientSite(&site));
    IPersistStreamInit* init = As<IPersistStreamInit>(ole, IID_IPersistStreamInit);
    ASSERT_HRESULT_SUCCEEDED(init->InitNew());
    IViewObject* view = As<IViewObject>(ole, IID_IViewObject);
    FaceCanvas canvas;
    ASSERT_HRESULT_SUCCEEDED(canvas.DrawWith(view));
    if (runMode) EXPECT_EQ(canvas.PaintedPixels(), 0);
    else EXPECT_GT(canvas.PaintedPixels(), FaceCanvas::size * FaceCanvas::size / 2);
    EXPECT_HRESULT_SUCCEEDED(ole->Close(OLECLOSE_NOSAVE));
    EXPECT_HRESULT_SUCCEEDED(ole->SetClientSite(nullptr));
    view->Release();
    init->Release();
    ole->Release();
  }
  factory->Release();
}

}  // namespace
}  // namespace vemblaric::testing
