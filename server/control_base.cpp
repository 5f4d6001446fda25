// The control base that containers expect of a control, beyond automation.
#include "server/control_object.h"

namespace vemblaric::server {

HRESULT ControlObject::QueryControlBase(REFIID, void** ppv) {
  *ppv = nullptr;
  return E_NOINTERFACE;
}

void ControlObject::OnPropertyChanged() {}

}  // namespace vemblaric::server
