#include "serial_port/port_infos.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "com/dispatch.h"
#include "com/module.h"
#include "com/owners.h"
#include "com/type_library.h"
#include "serial_port/identifiers.h"

namespace vemblaric::serial_port {
namespace {

constexpr wchar_t kSource[] = L"Vemblaric.SerialPort";

// The description a member left in the thread's error object, else the
// system's text of the status.
BSTR Describe(HRESULT status) noexcept {
  IErrorInfo* info = nullptr;
  BSTR description = nullptr;
  if (::GetErrorInfo(0, &info) == S_OK && info) {
    info->GetDescription(&description);
    info->Release();
  }
  return description ? description : com::DescribeFailure(status);
}

const com::FailureSource kFailureSource = {kSource, &Describe};

HRESULT NewBstr(const std::wstring& text, BSTR* result) {
  if (!result) return E_POINTER;
  *result = ::SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
  return *result ? S_OK : E_OUTOFMEMORY;
}

// IUnknown, IDispatch over the interface's type description, and error
// information, for an object whose only interface is the dual `Interface`.
template <typename Interface>
class DualObject : public Interface, public ISupportErrorInfo {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IDispatch) ||
        ::IsEqualIID(riid, iid_))
      *ppv = static_cast<Interface*>(this);
    else if (::IsEqualIID(riid, IID_ISupportErrorInfo))
      *ppv = static_cast<ISupportErrorInfo*>(this);
    else
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(::InterlockedIncrement(&refs_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG n = ::InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    *info = dual_.copy();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!::IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids) return E_POINTER;
    return dual_->GetIDsOfNames(names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* argumentError) override {
    if (!::IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ::SetErrorInfo(0, nullptr);
    return com::InvokeMember(vtable_.get(), static_cast<Interface*>(this), member, flags, params,
                             result, exception, argumentError, kFailureSource);
  }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return ::IsEqualIID(riid, iid_) ? S_OK : S_FALSE;
  }

  // The dual and the function-table descriptions of `iid`, from the loaded library.
  static HRESULT TypeInfos(REFIID iid, ComPtr<ITypeInfo>& dual, ComPtr<ITypeInfo>& vtable) {
    HRESULT hr = com::GetTypeInfoOfGuid(kSerialPortLibrary, iid, dual.put());
    HREFTYPE ref = 0;
    if (SUCCEEDED(hr)) hr = dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
    if (SUCCEEDED(hr)) hr = dual->GetRefTypeInfo(ref, vtable.put());
    return hr;
  }

 protected:
  explicit DualObject(REFIID iid) : iid_(iid) { com::ObjectCreated(); }
  virtual ~DualObject() { com::ObjectDestroyed(); }
  DualObject(const DualObject&) = delete;
  DualObject& operator=(const DualObject&) = delete;

  HRESULT Init() { return TypeInfos(iid_, dual_, vtable_); }

 private:
  LONG refs_ = 1;
  const IID& iid_;
  ComPtr<ITypeInfo> dual_;
  ComPtr<ITypeInfo> vtable_;
};

// Makes `T` from `args`, its descriptions loaded; null and the failure otherwise.
template <typename T, typename... Args>
HRESULT Make(T** made, Args&&... args) {
  *made = nullptr;
  T* object = new (std::nothrow) T(std::forward<Args>(args)...);
  if (!object) return E_OUTOFMEMORY;
  const HRESULT hr = object->Init();
  if (FAILED(hr)) {
    object->Release();
    return hr;
  }
  *made = object;
  return S_OK;
}

class PortInfo final : public DualObject<ISerialPortInfo> {
 public:
  explicit PortInfo(devices::PortFacts facts)
      : DualObject(IID_ISerialPortInfo), facts_(std::move(facts)) {}
  using DualObject::Init;

  HRESULT STDMETHODCALLTYPE get_PortName(BSTR* r) override { return NewBstr(facts_.portName, r); }
  HRESULT STDMETHODCALLTYPE get_Description(BSTR* r) override { return NewBstr(facts_.description, r); }
  HRESULT STDMETHODCALLTYPE get_Manufacturer(BSTR* r) override { return NewBstr(facts_.manufacturer, r); }
  HRESULT STDMETHODCALLTYPE get_HardwareId(BSTR* r) override { return NewBstr(facts_.hardwareId, r); }
  HRESULT STDMETHODCALLTYPE get_InstanceId(BSTR* r) override { return NewBstr(facts_.instanceId, r); }
  HRESULT STDMETHODCALLTYPE get_VendorId(BSTR* r) override { return NewBstr(facts_.vendorId, r); }
  HRESULT STDMETHODCALLTYPE get_ProductId(BSTR* r) override { return NewBstr(facts_.productId, r); }
  HRESULT STDMETHODCALLTYPE get_SerialNumber(BSTR* r) override { return NewBstr(facts_.serialNumber, r); }
  HRESULT STDMETHODCALLTYPE get_InterfaceNumber(LONG* r) override {
    if (!r) return E_POINTER;
    *r = facts_.interfaceNumber;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Location(BSTR* r) override { return NewBstr(facts_.location, r); }

 private:
  const devices::PortFacts facts_;
};

using Items = std::vector<ComPtr<ISerialPortInfo>>;

// For Each's walk: its own place in the shared items.
class PortEnum final : public IEnumVARIANT {
 public:
  PortEnum(std::shared_ptr<const Items> items, size_t next) : items_(std::move(items)), next_(next) {
    com::ObjectCreated();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!::IsEqualIID(riid, IID_IUnknown) && !::IsEqualIID(riid, IID_IEnumVARIANT))
      return E_NOINTERFACE;
    *ppv = static_cast<IEnumVARIANT*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG n = ::InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG wanted, VARIANT* out, ULONG* fetched) override {
    if (!out || (!fetched && wanted != 1)) return E_POINTER;
    ULONG given = 0;
    for (; given < wanted && next_ < items_->size(); ++given, ++next_) {
      ::VariantInit(&out[given]);
      out[given].vt = VT_DISPATCH;
      out[given].pdispVal = (*items_)[next_].copy();
    }
    if (fetched) *fetched = given;
    return given == wanted ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const size_t left = items_->size() - next_;
    next_ += std::min<size_t>(left, count);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) PortEnum(items_, next_);
    return *out ? S_OK : E_OUTOFMEMORY;
  }

 private:
  ~PortEnum() { com::ObjectDestroyed(); }

  LONG refs_ = 1;
  const std::shared_ptr<const Items> items_;
  size_t next_;
};

class PortInfos final : public DualObject<ISerialPortInfos> {
 public:
  explicit PortInfos(std::shared_ptr<const Items> items)
      : DualObject(IID_ISerialPortInfos), items_(std::move(items)) {}
  using DualObject::Init;

  HRESULT STDMETHODCALLTYPE get_Count(LONG* result) override {
    if (!result) return E_POINTER;
    *result = static_cast<LONG>(items_->size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Item(LONG index, ISerialPortInfo** result) override {
    if (!result) return E_POINTER;
    *result = nullptr;
    if (index < 1 || static_cast<size_t>(index) > items_->size())
      return com::Contained([&] {
        return OutOfRange(std::to_wstring(index) + L" is not from 1 to " +
                          std::to_wstring(items_->size()) + L".");
      });
    *result = (*items_)[static_cast<size_t>(index) - 1].copy();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** result) override {
    if (!result) return E_POINTER;
    *result = new (std::nothrow) PortEnum(items_, 0);
    return *result ? S_OK : E_OUTOFMEMORY;
  }

 private:
  // A host's "subscript out of range", with which index.
  static HRESULT OutOfRange(const std::wstring& what) {
    ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(::CreateErrorInfo(create.put()))) {
      const std::wstring description = L"Item: " + what;
      create->SetGUID(IID_ISerialPortInfos);
      create->SetSource(const_cast<LPOLESTR>(kSource));
      create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
      const ComPtr<IErrorInfo> info = create.As<IErrorInfo>(IID_IErrorInfo);
      if (info) ::SetErrorInfo(0, info.get());
    }
    return DISP_E_BADINDEX;
  }

  const std::shared_ptr<const Items> items_;
};

}  // namespace

HRESULT NewPortInfos(std::vector<devices::PortFacts> ports, ISerialPortInfos** result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  return com::Contained([&] {
    auto items = std::make_shared<Items>();
    items->reserve(ports.size());
    for (devices::PortFacts& facts : ports) {
      PortInfo* info = nullptr;
      const HRESULT hr = Make(&info, std::move(facts));
      if (FAILED(hr)) return hr;
      items->emplace_back(info);
    }
    PortInfos* infos = nullptr;
    const HRESULT hr = Make(&infos, std::shared_ptr<const Items>(std::move(items)));
    *result = infos;
    return hr;
  });
}

}  // namespace vemblaric::serial_port
