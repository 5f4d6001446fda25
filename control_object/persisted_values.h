// The control's values as hosts that save to streams and storages keep them:
// an in-memory property bag that the control writes into and reads from, and
// the bag's binary form.
//
// The form, all numbers little-endian:
//   header   "VMBP", u16 version (1), u16 record count, u32 payload bytes
//   payload  per record: u16 key length, the key in UTF-16, u16 VARTYPE, then
//            VT_I2 and VT_BOOL 2 bytes, VT_I4 4 bytes, VT_BSTR u32 length and
//            the text in UTF-16
//   trailer  u32 FNV-1a hash of header and payload
// A reader takes nothing from a stream that is short, of another version or
// whose bytes do not add up: it refuses it whole.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <ocidl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vemblaric::control_object {

constexpr std::uint16_t kPersistedVersion = 1;
// Statuses of a refused stream, besides a failing IStream::Read's own.
constexpr HRESULT kStreamShort = STG_E_READFAULT;
constexpr HRESULT kStreamOtherVersion = STG_E_OLDFORMAT;
constexpr HRESULT kStreamCorrupt = STG_E_DOCFILECORRUPT;

// A property bag on the stack: it keeps copies of what is written, in order,
// and answers E_INVALIDARG for a key it does not hold, as hosts' bags do.
class ValueBag final : public IPropertyBag {
 public:
  ValueBag() = default;
  ~ValueBag();
  ValueBag(const ValueBag&) = delete;
  ValueBag& operator=(const ValueBag&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR key, VARIANT* value, IErrorLog* log) override;
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR key, VARIANT* value) override;

  // The values in the binary form; E_INVALIDARG for a value of a type the
  // form does not carry.
  HRESULT Encode(std::vector<BYTE>& bytes) const;
  // Replaces the bag's values with those of a whole binary form.
  HRESULT Decode(const BYTE* bytes, size_t size);
  // Reads one binary form from the stream's current position.
  HRESULT ReadFrom(IStream* stream);

  size_t size() const { return values_.size(); }

 private:
  void Clear();
  std::vector<std::pair<std::wstring, VARIANT>> values_;
};

}  // namespace vemblaric::control_object
