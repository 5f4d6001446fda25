#include "control_object/persisted_values.h"

#include <oleauto.h>

#include <cstring>
#include <new>

namespace vemblaric::control_object {
namespace {

constexpr BYTE kMagic[4] = {'V', 'M', 'B', 'P'};
constexpr size_t kHeaderBytes = 12;
constexpr size_t kTrailerBytes = 4;
// Six short values and three texts need far less; more is a damaged length.
constexpr std::uint32_t kMostPayloadBytes = 64u << 20;

std::uint32_t Hash(const BYTE* bytes, size_t size, std::uint32_t hash = 2166136261u) {
  for (size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= 16777619u;
  }
  return hash;
}

void Put16(std::vector<BYTE>& out, std::uint16_t v) {
  out.push_back(static_cast<BYTE>(v & 0xFF));
  out.push_back(static_cast<BYTE>(v >> 8));
}
void Put32(std::vector<BYTE>& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<BYTE>((v >> shift) & 0xFF));
}
void PutText(std::vector<BYTE>& out, const wchar_t* text, size_t length) {
  for (size_t i = 0; i < length; ++i) Put16(out, static_cast<std::uint16_t>(text[i]));
}

// Reads little-endian numbers and texts off a byte range; any read past the
// end marks the whole range as bad.
class Reader {
 public:
  Reader(const BYTE* bytes, size_t size) : p_(bytes), end_(bytes + size) {}
  bool ok() const { return ok_; }
  bool done() const { return p_ == end_; }

  std::uint16_t U16() {
    if (!Need(2)) return 0;
    const std::uint16_t v = static_cast<std::uint16_t>(p_[0] | (p_[1] << 8));
    p_ += 2;
    return v;
  }
  std::uint32_t U32() {
    if (!Need(4)) return 0;
    const std::uint32_t v = static_cast<std::uint32_t>(p_[0]) |
                            (static_cast<std::uint32_t>(p_[1]) << 8) |
                            (static_cast<std::uint32_t>(p_[2]) << 16) |
                            (static_cast<std::uint32_t>(p_[3]) << 24);
    p_ += 4;
    return v;
  }
  std::wstring Text(std::uint32_t length) {
    if (length > static_cast<size_t>(end_ - p_) / 2 || !Need(size_t{length} * 2)) {
      ok_ = false;
      return std::wstring();
    }
    std::wstring text(length, L'\0');
    for (std::uint32_t i = 0; i < length; ++i) text[i] = static_cast<wchar_t>(U16());
    return text;
  }

 private:
  bool Need(size_t n) {
    if (!ok_ || static_cast<size_t>(end_ - p_) < n) ok_ = false;
    return ok_;
  }
  const BYTE* p_;
  const BYTE* end_;
  bool ok_ = true;
};

// Reads exactly `size` bytes; a stream that ends first is short.
HRESULT ReadExactly(IStream* stream, BYTE* into, size_t size) {
  size_t got = 0;
  while (got < size) {
    ULONG n = 0;
    const HRESULT hr = stream->Read(into + got, static_cast<ULONG>(size - got), &n);
    if (FAILED(hr)) return hr;
    if (n == 0) return kStreamShort;
    got += n;
  }
  return S_OK;
}

}  // namespace

ValueBag::~ValueBag() { Clear(); }

void ValueBag::Clear() {
  for (auto& entry : values_) ::VariantClear(&entry.second);
  values_.clear();
}

HRESULT ValueBag::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IPropertyBag)) {
    *ppv = static_cast<IPropertyBag*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT ValueBag::Read(LPCOLESTR key, VARIANT* value, IErrorLog*) {
  if (!key || !value) return E_POINTER;
  for (auto& entry : values_) {
    if (entry.first == key) {
      // The caller may ask for a type; an empty request takes the stored one.
      const VARTYPE wanted = value->vt;
      ::VariantInit(value);
      if (wanted == VT_EMPTY) return ::VariantCopy(value, &entry.second);
      return ::VariantChangeType(value, &entry.second, 0, wanted);
    }
  }
  return E_INVALIDARG;
}

HRESULT ValueBag::Write(LPCOLESTR key, VARIANT* value) {
  if (!key || !value) return E_POINTER;
  try {
    VARIANT copy;
    ::VariantInit(&copy);
    const HRESULT hr = ::VariantCopy(&copy, value);
    if (FAILED(hr)) return hr;
    for (auto& entry : values_) {
      if (entry.first == key) {
        ::VariantClear(&entry.second);
        entry.second = copy;
        return S_OK;
      }
    }
    try {
      values_.emplace_back(key, copy);
    } catch (...) {
      ::VariantClear(&copy);
      throw;
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ValueBag::Encode(std::vector<BYTE>& bytes) const {
  try {
    if (values_.size() > 0xFFFF) return E_INVALIDARG;
    std::vector<BYTE> payload;
    for (const auto& entry : values_) {
      const std::wstring& key = entry.first;
      const VARIANT& v = entry.second;
      if (key.size() > 0xFFFF) return E_INVALIDARG;
      Put16(payload, static_cast<std::uint16_t>(key.size()));
      PutText(payload, key.c_str(), key.size());
      Put16(payload, v.vt);
      switch (v.vt) {
        case VT_I2: Put16(payload, static_cast<std::uint16_t>(v.iVal)); break;
        case VT_BOOL: Put16(payload, static_cast<std::uint16_t>(v.boolVal)); break;
        case VT_I4: Put32(payload, static_cast<std::uint32_t>(v.lVal)); break;
        case VT_BSTR: {
          const UINT length = ::SysStringLen(v.bstrVal);
          Put32(payload, length);
          PutText(payload, v.bstrVal, length);
          break;
        }
        default: return E_INVALIDARG;
      }
    }
    if (payload.size() > kMostPayloadBytes) return E_INVALIDARG;
    bytes.assign(std::begin(kMagic), std::end(kMagic));
    Put16(bytes, kPersistedVersion);
    Put16(bytes, static_cast<std::uint16_t>(values_.size()));
    Put32(bytes, static_cast<std::uint32_t>(payload.size()));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    Put32(bytes, Hash(bytes.data(), bytes.size()));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ValueBag::Decode(const BYTE* bytes, size_t size) {
  if (!bytes && size) return E_POINTER;
  if (size < kHeaderBytes) return kStreamShort;
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return kStreamCorrupt;
  Reader header(bytes + 4, kHeaderBytes - 4);
  const std::uint16_t version = header.U16();
  const std::uint16_t count = header.U16();
  const std::uint32_t payloadBytes = header.U32();
  if (version != kPersistedVersion) return kStreamOtherVersion;
  if (payloadBytes > kMostPayloadBytes) return kStreamCorrupt;
  const size_t whole = kHeaderBytes + payloadBytes + kTrailerBytes;
  if (size < whole) return kStreamShort;
  if (size > whole) return kStreamCorrupt;
  Reader trailer(bytes + kHeaderBytes + payloadBytes, kTrailerBytes);
  if (trailer.U32() != Hash(bytes, kHeaderBytes + payloadBytes)) return kStreamCorrupt;

  // What was decoded so far goes on every way out but success, an exhausted
  // allocation included.
  std::vector<std::pair<std::wstring, VARIANT>> decoded;
  auto discard = [&decoded] {
    for (auto& entry : decoded) ::VariantClear(&entry.second);
  };
  try {
    decoded.reserve(count);
    Reader in(bytes + kHeaderBytes, payloadBytes);
    for (std::uint16_t i = 0; i < count && in.ok(); ++i) {
      std::wstring key = in.Text(in.U16());
      VARIANT v;
      ::VariantInit(&v);
      const VARTYPE type = in.U16();
      switch (type) {
        case VT_I2: v.vt = VT_I2; v.iVal = static_cast<SHORT>(in.U16()); break;
        case VT_BOOL: v.vt = VT_BOOL; v.boolVal = static_cast<VARIANT_BOOL>(in.U16()); break;
        case VT_I4: v.vt = VT_I4; v.lVal = static_cast<LONG>(in.U32()); break;
        case VT_BSTR: {
          const std::wstring text = in.Text(in.U32());
          if (!in.ok()) break;
          v.bstrVal = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
          if (!v.bstrVal) {
            discard();
            return E_OUTOFMEMORY;
          }
          v.vt = VT_BSTR;
          break;
        }
        default:
          discard();
          return kStreamCorrupt;
      }
      if (!in.ok()) break;
      decoded.emplace_back(std::move(key), v);
    }
    if (!in.ok() || !in.done() || decoded.size() != count) {
      discard();
      return kStreamCorrupt;
    }
    Clear();
    values_.swap(decoded);
    return S_OK;
  } catch (const std::bad_alloc&) {
    discard();
    return E_OUTOFMEMORY;
  }
}

HRESULT ValueBag::ReadFrom(IStream* stream) {
  if (!stream) return E_POINTER;
  try {
    std::vector<BYTE> bytes(kHeaderBytes);
    HRESULT hr = ReadExactly(stream, bytes.data(), kHeaderBytes);
    if (FAILED(hr)) return hr;
    // The header alone says whether to read on; a bad one is refused before
    // any more of the stream is taken.
    if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return kStreamCorrupt;
    Reader header(bytes.data() + 4, kHeaderBytes - 4);
    const std::uint16_t version = header.U16();
    header.U16();
    const std::uint32_t payloadBytes = header.U32();
    if (version != kPersistedVersion) return kStreamOtherVersion;
    if (payloadBytes > kMostPayloadBytes) return kStreamCorrupt;
    bytes.resize(kHeaderBytes + payloadBytes + kTrailerBytes);
    hr = ReadExactly(stream, bytes.data() + kHeaderBytes, payloadBytes + kTrailerBytes);
    if (FAILED(hr)) return hr;
    return Decode(bytes.data(), bytes.size());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace vemblaric::control_object
