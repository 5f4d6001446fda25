// One party of a container that a control calls out to: client site, in-place
// site, view or advise sink and event sink in one, named for the part it
// plays. It tells `hook` of every call the control makes on it ("site
// SaveObject", "view sink Release"), so a test can call back into the control
// from any of them, and counts the references it was given. It lives on the
// test's stack.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <functional>
#include <string>

#include "Vemblaric.h"

namespace vemblaric::testing {

class Party final : public IOleClientSite, public IOleInPlaceSite, public IAdviseSink, public IDispatch {
 public:
  using Hook = std::function<void(const std::string& call)>;
  // A party with a window is an in-place site; a site hands out `inPlace` for one.
  Party(const char* name, Hook& hook, HWND window = nullptr, Party* inPlace = nullptr)
      : name_(name), hook_(hook), window_(window), inPlace_(inPlace) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (::IsEqualIID(riid, IID_IOleInPlaceSite) || ::IsEqualIID(riid, IID_IOleWindow)) {
      if (inPlace_) return inPlace_->QueryInterface(riid, ppv);
      if (window_) *ppv = static_cast<IOleInPlaceSite*>(this);
    } else if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IOleClientSite)) {
      *ppv = static_cast<IOleClientSite*>(this);
    } else if (::IsEqualIID(riid, IID_IAdviseSink)) {
      *ppv = static_cast<IAdviseSink*>(this);
    } else if (::IsEqualIID(riid, IID_IDispatch) || ::IsEqualIID(riid, DIID___SerialControl)) {
      *ppv = static_cast<IDispatch*>(this);
    }
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    --refs;
    Called("Release");
    return static_cast<ULONG>(refs);
  }

  HRESULT STDMETHODCALLTYPE SaveObject() override { return Called("SaveObject"); }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** m) override { *m = nullptr; return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** c) override { *c = nullptr; return E_NOINTERFACE; }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return Called("ShowObject"); }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return Called("OnShowWindow"); }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetWindow(HWND* w) override { *w = window_; return Called("GetWindow"); }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return Called("CanInPlaceActivate"); }
  HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override { return Called("OnInPlaceActivate"); }
  HRESULT STDMETHODCALLTYPE OnUIActivate() override { return Called("OnUIActivate"); }
  HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc,
                                             LPRECT position, LPRECT clip,
                                             LPOLEINPLACEFRAMEINFO) override {
    *frame = nullptr, *doc = nullptr;
    *position = *clip = RECT{0, 0, 48, 48};
    return Called("GetWindowContext");
  }
  HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return Called("OnUIDeactivate"); }
  HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override { return Called("OnInPlaceDeactivate"); }
  HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return Called("OnPosRectChange"); }

  void STDMETHODCALLTYPE OnDataChange(FORMATETC*, STGMEDIUM*) override { Called("OnDataChange"); }
  void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override { Called("OnViewChange"); }
  void STDMETHODCALLTYPE OnRename(IMoniker*) override { Called("OnRename"); }
  void STDMETHODCALLTYPE OnSave() override { Called("OnSave"); }
  void STDMETHODCALLTYPE OnClose() override { Called("OnClose"); }

  // Ambient properties are those of run mode; events are taken and dropped.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    if (member == DISPID_AMBIENT_USERMODE && result) result->vt = VT_BOOL, result->boolVal = VARIANT_TRUE;
    return Called("Invoke");
  }

  long refs = 0;

 private:
  HRESULT Called(const char* call) {
    if (hook_) hook_(name_ + " " + call);
    return S_OK;
  }
  std::string name_;
  Hook& hook_;
  HWND window_;
  Party* inPlace_;
};

}  // namespace vemblaric::testing
