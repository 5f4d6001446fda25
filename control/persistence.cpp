// The values' defaults and their round trip through the container's property
// bag. Keys are read and written in one fixed order; the first failure ends
// the handler there, and a restore that ends so changes no value.
#include <new>

#include "control/failure_status.h"
#include "control/serial_control.h"

namespace vemblaric {
namespace {

constexpr short kDefaultPort = 2;
constexpr long kDefaultBaud = 57600;

constexpr wchar_t kKeyPort[] = L"Port";
constexpr wchar_t kKeyBaud[] = L"Baud";
constexpr wchar_t kKeyStatus[] = L"Status";
constexpr wchar_t kKeyBuffer[] = L"Buffer";
constexpr wchar_t kKeyCompany[] = L"Company";
constexpr wchar_t kKeyVersion[] = L"Version";

// Variants that refer to a value without owning anything: never cleared.
VARIANT ShortValue(short value) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_I2;
  v.iVal = value;
  return v;
}
VARIANT LongValue(long value) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}
VARIANT BoolValue(VARIANT_BOOL value) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = value;
  return v;
}
VARIANT TextValue(BSTR text) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = text;
  return v;
}

// A conversion failure as a host reports it.
HRESULT ConversionStatus(HRESULT hr) {
  if (hr == DISP_E_OVERFLOW) return AutomationError(kOverflow);
  if (hr == DISP_E_TYPEMISMATCH) return AutomationError(kTypeMismatch);
  return hr;
}

// The value the bag holds under `key`, or `fallback` when it holds none,
// converted to `type`.
HRESULT ReadProperty(IPropertyBag* bag, const wchar_t* key, VARIANT fallback, VARTYPE type,
                     Variant& value) {
  Variant stored;
  const HRESULT hr = bag->Read(key, stored.get(), nullptr);
  if (hr == E_INVALIDARG)  // no such key
    return ConversionStatus(::VariantChangeType(value.get(), &fallback, 0, type));
  if (FAILED(hr)) return hr;
  return ConversionStatus(::VariantChangeType(value.get(), stored.get(), 0, type));
}

// The standard bag takes no default, so every value is written, also one
// equal to its default.
HRESULT WriteProperty(IPropertyBag* bag, const wchar_t* key, VARIANT value) {
  return bag->Write(key, &value);
}

}  // namespace

HRESULT SerialControl::InitProperties() {
  try {
    Bstr company(kCompanyText), version(kVersionText);
    Port_ = kDefaultPort;
    Baud_ = kDefaultBaud;
    Status_ = VARIANT_FALSE;
    Buffer_ = Bstr();
    strCompany_ = std::move(company);
    strVersion_ = std::move(version);
    return S_OK;
  } catch (...) {
    return CaughtStatus();
  }
}

HRESULT SerialControl::ReadProperties(IPropertyBag* bag) {
  if (!bag) return E_POINTER;
  try {
    // Every value is read and converted before any is stored: a failure at
    // any key leaves all six as they were.
    const Bstr noText(L""), companyText(kCompanyText), versionText(kVersionText);
    HRESULT hr;
    Variant port, baud, status, buffer, company, version;
    if (FAILED(hr = ReadProperty(bag, kKeyPort, ShortValue(kDefaultPort), VT_I2, port))) return hr;
    if (FAILED(hr = ReadProperty(bag, kKeyBaud, LongValue(kDefaultBaud), VT_I4, baud))) return hr;
    // The default is the Integer 0; any non-zero number restores as True.
    if (FAILED(hr = ReadProperty(bag, kKeyStatus, ShortValue(0), VT_BOOL, status))) return hr;
    if (FAILED(hr = ReadProperty(bag, kKeyBuffer, TextValue(noText.get()), VT_BSTR, buffer)))
      return hr;
    if (FAILED(hr = ReadProperty(bag, kKeyCompany, TextValue(companyText.get()), VT_BSTR, company)))
      return hr;
    if (FAILED(hr = ReadProperty(bag, kKeyVersion, TextValue(versionText.get()), VT_BSTR, version)))
      return hr;
    // Nothing below can fail: the texts change hands without a copy.
    Port_ = port->iVal;
    Baud_ = baud->lVal;
    Status_ = status->boolVal;
    Buffer_ = buffer.TakeText();
    strCompany_ = company.TakeText();
    strVersion_ = version.TakeText();
    return S_OK;
  } catch (...) {
    return CaughtStatus();
  }
}

HRESULT SerialControl::WriteProperties(IPropertyBag* bag) {
  if (!bag) return E_POINTER;
  // The texts go out as the stored strings themselves, not as copies.
  HRESULT hr;
  if (FAILED(hr = WriteProperty(bag, kKeyPort, ShortValue(Port_)))) return hr;
  if (FAILED(hr = WriteProperty(bag, kKeyBaud, LongValue(Baud_)))) return hr;
  if (FAILED(hr = WriteProperty(bag, kKeyStatus, BoolValue(Status_)))) return hr;
  if (FAILED(hr = WriteProperty(bag, kKeyBuffer, TextValue(Buffer_.get())))) return hr;
  if (FAILED(hr = WriteProperty(bag, kKeyCompany, TextValue(strCompany_.get())))) return hr;
  return WriteProperty(bag, kKeyVersion, TextValue(strVersion_.get()));
}

}  // namespace vemblaric
