// A container's client site as far as the control asks it: its ambient
// UserMode through IDispatch, and how often it was asked to save. It can wrap
// a real container's site, answering everything else through that one. It
// lives on the test's stack and counts the references it was given.
//
// It also plays any other party of a container the control calls out to: an
// in-place site (given a window), a view or advise sink, an event sink. Named
// and given a hook, it tells the hook of every call it receives ("site
// SaveObject", "view sink Release"), so a test can act from any of them.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <functional>
#include <string>

#include "Vemblaric.h"

namespace vemblaric::testing {

class AmbientSite final : public IOleClientSite, public IDispatch, public IOleInPlaceSite,
                          public IAdviseSink {
 public:
  using Hook = std::function<void(const std::string& call)>;
  explicit AmbientSite(bool runMode, IOleClientSite* inner = nullptr)
      : userMode(runMode), inner_(inner) {}
  void Join(const char* name, Hook& hook, HWND window = nullptr) {
    name_ = name, hook_ = &hook, window_ = window;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IOleClientSite))
      *ppv = static_cast<IOleClientSite*>(this);
    else if (::IsEqualIID(riid, IID_IDispatch) || ::IsEqualIID(riid, DIID___SerialControl))
      *ppv = static_cast<IDispatch*>(this);
    else if (::IsEqualIID(riid, IID_IAdviseSink))
      *ppv = static_cast<IAdviseSink*>(this);
    else if (window_ && (::IsEqualIID(riid, IID_IOleInPlaceSite) || ::IsEqualIID(riid, IID_IOleWindow)))
      *ppv = static_cast<IOleInPlaceSite*>(this);
    else if (inner_)
      return inner_->QueryInterface(riid, ppv);
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = static_cast<ULONG>(--refs);
    Called("Release");
    return left;
  }

  HRESULT STDMETHODCALLTYPE SaveObject() override {
    ++saves;
    return Called("SaveObject");
  }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
    *moniker = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override {
    if (inner_) return inner_->GetContainer(container);
    *container = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS*,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    ++ambientQueries;
    if (member != DISPID_AMBIENT_USERMODE || !(flags & DISPATCH_PROPERTYGET) || !result)
      return DISP_E_MEMBERNOTFOUND;
    ::VariantInit(result);
    result->vt = VT_BOOL;
    result->boolVal = userMode ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }

  // The in-place site: the control is placed at the window's top left.
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override { *window = window_; return S_OK; }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return Called("CanInPlaceActivate"); }
  HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override { return Called("OnInPlaceActivate"); }
  HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc,
                                             LPRECT position, LPRECT clip,
                                             LPOLEINPLACEFRAMEINFO) override {
    *frame = nullptr, *doc = nullptr;
    *position = *clip = RECT{0, 0, 48, 48};
    return Called("GetWindowContext");
  }
  HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override { return Called("OnInPlaceDeactivate"); }
  HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return S_OK; }

  void STDMETHODCALLTYPE OnDataChange(FORMATETC*, STGMEDIUM*) override {}
  void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override { Called("OnViewChange"); }
  void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
  void STDMETHODCALLTYPE OnSave() override {}
  void STDMETHODCALLTYPE OnClose() override { Called("OnClose"); }

  bool userMode;
  int saves = 0;
  int ambientQueries = 0;
  long refs = 0;

 private:
  HRESULT Called(const char* call) {
    if (hook_ && *hook_) (*hook_)(name_ + " " + call);
    return S_OK;
  }
  IOleClientSite* inner_;
  std::string name_;
  Hook* hook_ = nullptr;
  HWND window_ = nullptr;
};

}  // namespace vemblaric::testing
