#include "devices/device_id.h"

#include <vector>

namespace vemblaric::devices {
namespace {

// Ids are ASCII and compared without regard to case, as the system does.
wchar_t Upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Upper(text[i]) != prefix[i]) return false;
  return true;
}

bool IsHex(wchar_t c) {
  c = Upper(c);
  return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F');
}

// `digits` hex digits after `prefix`, upper-cased, or "".
std::wstring HexAfter(std::wstring_view token, std::wstring_view prefix, size_t digits) {
  if (!StartsWith(token, prefix) || token.size() != prefix.size() + digits) return std::wstring();
  std::wstring hex;
  for (wchar_t c : token.substr(prefix.size())) {
    if (!IsHex(c)) return std::wstring();
    hex.push_back(Upper(c));
  }
  return hex;
}

std::vector<std::wstring_view> Split(std::wstring_view text, std::wstring_view separators) {
  std::vector<std::wstring_view> parts;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || separators.find(text[i]) != std::wstring_view::npos) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

// The system makes up an instance part with '&' in it for a device that
// reports no serial number; a real one is never empty.
bool IsSerialNumber(std::wstring_view text) {
  return !text.empty() && text.find(L'&') == std::wstring_view::npos;
}

}  // namespace

DeviceIdFacts ParseDeviceId(std::wstring_view id) {
  const std::vector<std::wstring_view> parts = Split(id, L"\\");
  if (parts.size() < 2) return {};
  const std::wstring_view enumerator = parts[0];
  const std::wstring_view device = parts[1];

  DeviceIdFacts facts;
  std::wstring interface_hex;
  bool composite = false;
  for (std::wstring_view token : Split(device, L"&+")) {
    if (StartsWith(token, L"VID_")) {
      facts.vendorId = HexAfter(token, L"VID_", 4);
    } else if (StartsWith(token, L"PID_")) {
      facts.productId = HexAfter(token, L"PID_", 4);
    } else if (StartsWith(token, L"MI_")) {
      composite = true;
      interface_hex = HexAfter(token, L"MI_", 2);
    }
  }
  // Half a USB identity is none: a malformed id says nothing.
  if (facts.vendorId.empty() || facts.productId.empty() || (composite && interface_hex.empty()))
    return {};

  const bool ftdi = enumerator.size() == 7 && StartsWith(enumerator, L"FTDIBUS");
  if (ftdi) {
    // VID_xxxx+PID_xxxx+SERIAL followed by the channel's letter, which the
    // driver adds even to a chip of one channel.
    const std::vector<std::wstring_view> fields = Split(device, L"+");
    if (fields.size() == 3 && IsSerialNumber(fields[2])) {
      std::wstring_view serial = fields[2];
      const wchar_t channel = Upper(serial.back());
      if (serial.size() > 1 && channel >= L'A' && channel <= L'Z') {
        facts.interfaceNumber = channel - L'A';
        serial.remove_suffix(1);
      }
      facts.serialNumber = std::wstring(serial);
    }
    return facts;
  }
  if (composite) {
    facts.interfaceNumber = std::stoi(interface_hex, nullptr, 16);
    facts.serialInParent = true;
    return facts;
  }
  const bool usb = enumerator.size() == 3 && StartsWith(enumerator, L"USB");
  if (usb && parts.size() == 3 && IsSerialNumber(parts[2])) facts.serialNumber = std::wstring(parts[2]);
  return facts;
}

}  // namespace vemblaric::devices
