// The persistence protocols: property bags, streams and storages, all
// through the control's one round trip of its values.
#include <vector>

#include "com/owners.h"
#include "control_object/control_object.h"
#include "control_object/persisted_values.h"

namespace vemblaric::control_object {
namespace {

// The stream inside a container's storage that holds the values.
constexpr wchar_t kStorageStream[] = L"Contents";

}  // namespace

// --- Persistence -------------------------------------------------------------------

HRESULT ControlObject::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID_SerialControl;
  return S_OK;
}

HRESULT ControlObject::IsDirty() { return dirty_ ? S_OK : S_FALSE; }

HRESULT ControlObject::InitNew() {
  const HRESULT hr = control_.InitProperties();
  if (SUCCEEDED(hr)) dirty_ = false;
  return hr;
}

HRESULT ControlObject::Load(IPropertyBag* bag, IErrorLog*) {
  if (!bag) return E_POINTER;
  Hold hold(this);
  const HRESULT hr = control_.ReadProperties(bag);
  if (SUCCEEDED(hr)) dirty_ = false;
  return hr;
}

HRESULT ControlObject::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) {
  if (!bag) return E_POINTER;
  Hold hold(this);
  const HRESULT hr = control_.WriteProperties(bag);
  if (SUCCEEDED(hr) && clearDirty) dirty_ = false;
  return hr;
}

HRESULT ControlObject::Load(LPSTREAM stream) {
  if (!stream) return E_POINTER;
  Hold hold(this);
  ValueBag incoming;
  HRESULT hr = incoming.ReadFrom(stream);
  if (FAILED(hr)) return hr;
  // A value the control cannot take fails the load before any value changes.
  hr = control_.ReadProperties(&incoming);
  if (FAILED(hr)) return hr;
  dirty_ = false;
  return S_OK;
}

HRESULT ControlObject::Save(LPSTREAM stream, BOOL clearDirty) {
  if (!stream) return E_POINTER;
  Hold hold(this);
  ValueBag values;
  HRESULT hr = control_.WriteProperties(&values);
  std::vector<BYTE> bytes;
  if (SUCCEEDED(hr)) hr = values.Encode(bytes);
  if (FAILED(hr)) return hr;
  ULONG written = 0;
  hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
  if (FAILED(hr)) return hr;
  if (written != bytes.size()) return STG_E_MEDIUMFULL;
  if (clearDirty) dirty_ = false;
  return S_OK;
}

HRESULT ControlObject::GetSizeMax(ULARGE_INTEGER* size) {
  if (!size) return E_POINTER;
  ValueBag values;
  HRESULT hr = control_.WriteProperties(&values);
  std::vector<BYTE> bytes;
  if (SUCCEEDED(hr)) hr = values.Encode(bytes);
  if (FAILED(hr)) return hr;
  size->QuadPart = bytes.size();
  return S_OK;
}

HRESULT ControlObject::InitNew(IStorage* storage) {
  if (!storage) return E_POINTER;
  return InitNew();
}

HRESULT ControlObject::Load(IStorage* storage) {
  if (!storage) return E_POINTER;
  Hold hold(this);
  ComPtr<IStream> stream;
  const HRESULT hr = storage->OpenStream(kStorageStream, nullptr,
                                         STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.put());
  return FAILED(hr) ? hr : Load(stream.get());
}

// A storage save leaves the dirty flag to SaveCompleted: a save into another
// storage than the one loaded from (a copy) leaves the control dirty, unless
// the container then hands that storage over as the control's own.
HRESULT ControlObject::Save(IStorage* storage, BOOL sameAsLoad) {
  if (!storage) return E_POINTER;
  Hold hold(this);
  savePending_ = false;
  ComPtr<IStream> stream;
  HRESULT hr = storage->CreateStream(
      kStorageStream, STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.put());
  if (FAILED(hr)) return hr;
  hr = Save(stream.get(), FALSE);
  stream.reset();
  if (SUCCEEDED(hr)) {
    savePending_ = true;
    saveSameAsLoad_ = sameAsLoad != FALSE;
  }
  return hr;
}

HRESULT ControlObject::SaveCompleted(IStorage* storage) {
  if (savePending_ && (storage || saveSameAsLoad_)) dirty_ = false;
  savePending_ = false;
  return S_OK;
}
HRESULT ControlObject::HandsOffStorage() { return S_OK; }

}  // namespace vemblaric::control_object
