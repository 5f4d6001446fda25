// A host for the control without COM: records events, property-change notices
// and pumps, and runs test code where a host's handlers would run.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "control/host_site.h"
#include "control/module1.h"

namespace vemblaric::testing {

inline std::wstring Text(BSTR text) {
  return std::wstring(text ? text : L"", ::SysStringLen(text));
}

class FakeHostSite : public HostSite {
 public:
  struct Raised {
    ControlEvent event;
    std::wstring text;  // the argument as the handlers received it
  };

  void RaiseEvent(ControlEvent event, BSTR* text) override {
    heldInEvent = holds;
    raised.push_back({event, Text(*text)});
    Note(std::string(event == kDataArrived ? "DataArrived " : "DataSent ") + Narrow(Text(*text)));
    if (onEvent) onEvent(event, *text);
  }
  HRESULT PropertyChanged(DISPID dispid) override {
    changed.push_back(dispid);
    if (onChanged) onChanged(dispid);
    return changeResult;
  }
  bool HasEventSinks() override { return sinks; }
  bool DoEvents() override {
    ++pumps;
    Note("pump");
    // A loop that should have ended long ago is stopped here, as by WM_QUIT,
    // so a fault fails its test instead of hanging it.
    if (pumps > pumpLimit) {
      overran = true;
      return true;
    }
    return onPump ? onPump(pumps) : false;
  }
  void KeepAlive() override { ++holds; }
  void LetGo() override { --holds; }

  // What happened, stamped by `clock` (for example the number of kernel32
  // calls so far), so it can be merged with another record.
  void Note(std::string what) {
    FakeHostSite& to = journalOf ? *journalOf : *this;
    to.journal.emplace_back(clock ? clock() : 0, name + std::move(what));
  }
  static std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
  }

  bool sinks = false;
  HRESULT changeResult = S_OK;
  std::function<void(ControlEvent, BSTR&)> onEvent;  // a handler; may assign to the argument
  std::function<void(DISPID)> onChanged;
  std::function<bool(int)> onPump;  // host code in pump n (from 1); true reports WM_QUIT
  int pumpLimit = 1000;
  std::function<size_t()> clock;
  // Another host's journal to note in, and what to put in front of each note,
  // so two controls' doings read as one timeline.
  FakeHostSite* journalOf = nullptr;
  std::string name;

  std::vector<Raised> raised;
  std::vector<DISPID> changed;
  int pumps = 0;
  bool overran = false;
  int holds = 0;        // KeepAlive calls not yet matched by LetGo
  int heldInEvent = 0;  // holds while the last event was raised
  std::vector<std::pair<size_t, std::string>> journal;
};

}  // namespace vemblaric::testing
