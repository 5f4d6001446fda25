#include "devices/port_resolution.h"

#include <algorithm>
#include <optional>

namespace vemblaric::devices {
namespace {

constexpr std::wstring_view kUsbScheme = L"usb://";
constexpr std::wstring_view kMatchScheme = L"match://";
constexpr wchar_t kUsbForm[] = L"usb://VVVV:PPPP, usb://VVVV:PPPP/SERIAL or usb://VVVV:PPPP/SERIAL/INTERFACE";
// A composite device has at most 255 interfaces.
constexpr int kMostInterfaces = 255;

// Upper case by the invariant rules: device texts may hold any letter, and
// the user's language must not change what matches.
std::wstring Folded(std::wstring_view text) {
  if (text.empty()) return std::wstring();
  std::wstring out(text.size(), L'\0');
  const int n = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(),
                                static_cast<int>(text.size()), out.data(),
                                static_cast<int>(out.size()), nullptr, nullptr, 0);
  if (n <= 0) return std::wstring(text);
  out.resize(static_cast<size_t>(n));
  return out;
}

bool HasScheme(std::wstring_view name, std::wstring_view scheme) {
  return name.size() >= scheme.size() && Folded(name.substr(0, scheme.size())) == Folded(scheme);
}

bool IsHexText(std::wstring_view text, size_t digits) {
  return text.size() == digits && std::all_of(text.begin(), text.end(), [](wchar_t c) {
           return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
         });
}

struct UsbPattern {
  std::wstring vendorId;  // folded
  std::wstring productId;
  std::wstring serialNumber;  // folded; "" matches any
  int interfaceNumber = -1;   // -1 matches any
};

std::optional<UsbPattern> ParseUsb(std::wstring_view rest) {
  std::vector<std::wstring_view> fields;
  for (size_t start = 0;;) {
    const size_t slash = rest.find(L'/', start);
    fields.push_back(rest.substr(start, slash == std::wstring_view::npos ? rest.npos : slash - start));
    if (slash == std::wstring_view::npos) break;
    start = slash + 1;
  }
  if (fields.size() > 3) return std::nullopt;
  for (std::wstring_view field : fields)
    if (field.empty()) return std::nullopt;
  const std::wstring_view ids = fields[0];
  if (ids.size() != 9 || ids[4] != L':' || !IsHexText(ids.substr(0, 4), 4) ||
      !IsHexText(ids.substr(5), 4))
    return std::nullopt;
  UsbPattern pattern;
  pattern.vendorId = Folded(ids.substr(0, 4));
  pattern.productId = Folded(ids.substr(5));
  if (fields.size() > 1) pattern.serialNumber = Folded(fields[1]);
  if (fields.size() > 2) {
    const std::wstring_view number = fields[2];
    if (number.size() > 3 ||
        !std::all_of(number.begin(), number.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; }))
      return std::nullopt;
    pattern.interfaceNumber = std::stoi(std::wstring(number));
    if (pattern.interfaceNumber > kMostInterfaces) return std::nullopt;
  }
  return pattern;
}

bool Matches(const UsbPattern& pattern, const PortFacts& port) {
  return Folded(port.vendorId) == pattern.vendorId && Folded(port.productId) == pattern.productId &&
         (pattern.serialNumber.empty() || Folded(port.serialNumber) == pattern.serialNumber) &&
         (pattern.interfaceNumber < 0 || port.interfaceNumber == pattern.interfaceNumber);
}

bool Matches(const std::wstring& folded_text, const PortFacts& port) {
  for (const std::wstring* field : {&port.description, &port.manufacturer, &port.hardwareId, &port.instanceId}) {
    if (Folded(*field).find(folded_text) != std::wstring::npos) return true;
  }
  return false;
}

// The name a host would give for the port, so that a failure's list says
// what to write: "COM3 (USB Serial Port, usb://0403:6001/A600ARJH)".
std::wstring Listed(const PortFacts& port) {
  std::wstring what = port.description;
  if (!port.vendorId.empty()) {
    std::wstring usb = std::wstring(kUsbScheme) + port.vendorId + L":" + port.productId;
    if (!port.serialNumber.empty()) {
      usb += L"/" + port.serialNumber;
      if (port.interfaceNumber >= 0) usb += L"/" + std::to_wstring(port.interfaceNumber);
    }
    what += (what.empty() ? L"" : L", ") + usb;
  }
  return what.empty() ? port.portName : port.portName + L" (" + what + L")";
}

std::wstring Joined(const std::vector<std::wstring>& items) {
  std::wstring all;
  for (const std::wstring& item : items) all += (all.empty() ? L"" : L", ") + item;
  return all;
}

ResolvedPort Malformed(std::wstring what) {
  ResolvedPort out;
  out.error = ERROR_INVALID_NAME;
  out.failure = std::move(what);
  return out;
}

ResolvedPort Chosen(const std::vector<const PortFacts*>& found, const std::vector<PortFacts>& ports,
                    const std::wstring& hint) {
  ResolvedPort out;
  if (found.size() == 1) {
    out.portName = found[0]->portName;
    out.path = L"\\\\.\\" + out.portName;
    return out;
  }
  std::vector<std::wstring> names;
  if (found.empty()) {
    for (const PortFacts& port : ports) names.push_back(Listed(port));
    out.error = ERROR_FILE_NOT_FOUND;
    out.failure = names.empty() ? L"no port matches, and none is attached."
                                : L"no port matches; attached: " + Joined(names) + L".";
    return out;
  }
  for (const PortFacts* port : found) names.push_back(port->portName);
  out.error = ERROR_INVALID_PARAMETER;
  out.failure = std::to_wstring(found.size()) + L" devices match (" + Joined(names) + L")" +
                (hint.empty() ? L"." : L"; " + hint);
  return out;
}

// A bare name, with no folder, drive or scheme in it: COM7, or a virtual
// pair's CNCA0 as the port list gives it.
bool IsDeviceName(const std::wstring& name) {
  return name.find_first_of(L"\\/:") == std::wstring::npos;
}

}  // namespace

bool IsDevicePattern(std::wstring_view name) {
  return HasScheme(name, kUsbScheme) || HasScheme(name, kMatchScheme);
}

ResolvedPort ResolvePortName(const std::wstring& name) {
  if (!IsDevicePattern(name)) return ResolvePortName(name, {});
  return ResolvePortName(name, ListPortFacts());
}

ResolvedPort ResolvePortName(const std::wstring& name, const std::vector<PortFacts>& ports) {
  std::vector<const PortFacts*> found;
  if (HasScheme(name, kUsbScheme)) {
    const std::optional<UsbPattern> pattern = ParseUsb(std::wstring_view(name).substr(kUsbScheme.size()));
    if (!pattern) return Malformed(L"the name is none of " + std::wstring(kUsbForm) + L".");
    for (const PortFacts& port : ports)
      if (Matches(*pattern, port)) found.push_back(&port);
    const wchar_t* hint = pattern->serialNumber.empty() ? L"add the serial number."
                          : pattern->interfaceNumber < 0 ? L"add the interface number."
                                                         : L"";
    return Chosen(found, ports, hint);
  }
  if (HasScheme(name, kMatchScheme)) {
    const std::wstring text = Folded(std::wstring_view(name).substr(kMatchScheme.size()));
    if (text.empty()) return Malformed(L"match:// needs the text to look for.");
    for (const PortFacts& port : ports)
      if (Matches(text, port)) found.push_back(&port);
    return Chosen(found, ports, L"give more of the text.");
  }
  // The device namespace reaches ports above COM9 and names that are no DOS
  // device; a path or a network name goes to the system as given.
  ResolvedPort out;
  out.portName = name;
  out.path = IsDeviceName(name) ? L"\\\\.\\" + name : name;
  return out;
}

}  // namespace vemblaric::devices
