#include "com/connection_point.h"

#include <olectl.h>

#include <algorithm>
#include <new>

namespace vemblaric::com {
namespace {

// A snapshot enumerator: it holds references to what it hands out and to its
// owner, so it outlives changes to the list it was made from.
template <typename Enum, typename Item, const IID& kIid>
class Enumerator final : public Enum {
 public:
  Enumerator(IUnknown* owner, std::vector<Item> items) : owner_(owner), items_(std::move(items)) {
    owner_->AddRef();
    for (Item& item : items_) AddItemRef(item);
  }
  ~Enumerator() {
    for (Item& item : items_) ReleaseItem(item);
    owner_->Release();
  }
  Enumerator(const Enumerator&) = delete;
  Enumerator& operator=(const Enumerator&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, kIid)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG n = ::InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* out, ULONG* fetched) override {
    if (!out || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    while (n < count && position_ < items_.size()) {
      out[n] = items_[position_++];
      AddItemRef(out[n]);
      ++n;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const size_t left = items_.size() - position_;
    position_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Enum** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    Enumerator* copy = nullptr;
    try {
      copy = new Enumerator(owner_, items_);  // the copy of the list may fail as well
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    copy->position_ = position_;
    *out = copy;
    return S_OK;
  }

 private:
  static void AddItemRef(IConnectionPoint* p) { p->AddRef(); }
  static void AddItemRef(CONNECTDATA& c) { c.pUnk->AddRef(); }
  static void ReleaseItem(IConnectionPoint* p) { p->Release(); }
  static void ReleaseItem(CONNECTDATA& c) { c.pUnk->Release(); }

  LONG refs_ = 1;
  IUnknown* owner_;
  std::vector<Item> items_;
  size_t position_ = 0;
};

using ConnectionsEnum = Enumerator<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;
using PointsEnum = Enumerator<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;

}  // namespace

ConnectionPoint::ConnectionPoint(IConnectionPointContainer& container, REFIID iid, SinkKind kind)
    : container_(container), iid_(iid), kind_(kind) {}

ConnectionPoint::~ConnectionPoint() {
  for (CONNECTDATA& c : sinks_) c.pUnk->Release();
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IConnectionPoint)) {
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG ConnectionPoint::AddRef() { return container_.AddRef(); }
ULONG ConnectionPoint::Release() { return container_.Release(); }

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  *out = &container_;
  container_.AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sink) return E_POINTER;
  if (closed_) return E_UNEXPECTED;
  // The sink's QueryInterface is the caller's code and may let go of the
  // container, this point with it.
  container_.AddRef();
  const HRESULT hr = Connect(sink, cookie);
  if (SUCCEEDED(hr) && changed_) changed_(changedContext_);
  container_.Release();
  return hr;
}

HRESULT ConnectionPoint::Connect(IUnknown* sink, DWORD* cookie) {
  IUnknown* typed = nullptr;
  // Keep the sink as the interface it must implement, so calls need no cast.
  if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(&typed))) || !typed) {
    typed = nullptr;
    if (kind_ != kDispatchSinks ||
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&typed))) || !typed)
      return CONNECT_E_CANNOTCONNECT;
  }
  try {
    sinks_.push_back(CONNECTDATA{typed, nextCookie_});
  } catch (const std::bad_alloc&) {
    typed->Release();
    return E_OUTOFMEMORY;
  }
  *cookie = nextCookie_++;
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
  auto it = std::find_if(sinks_.begin(), sinks_.end(),
                         [cookie](const CONNECTDATA& c) { return c.dwCookie == cookie; });
  if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
  IUnknown* sink = it->pUnk;
  sinks_.erase(it);
  if (changed_) changed_(changedContext_);
  sink->Release();  // last, as it may run the sink's own teardown
  return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    *out = new ConnectionsEnum(this, sinks_);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

std::vector<IUnknown*> ConnectionPoint::Snapshot() const {
  std::vector<IUnknown*> sinks;
  sinks.reserve(sinks_.size());
  for (const CONNECTDATA& c : sinks_) {
    c.pUnk->AddRef();
    sinks.push_back(c.pUnk);
  }
  return sinks;
}

bool ConnectionPoint::IsConnected(const IUnknown* sink) const {
  return std::any_of(sinks_.begin(), sinks_.end(),
                     [sink](const CONNECTDATA& c) { return c.pUnk == sink; });
}

void ConnectionPoint::Release(std::vector<IUnknown*>& sinks) {
  for (IUnknown* s : sinks) s->Release();
  sinks.clear();
}

void ConnectionPoint::Close() {
  closed_ = true;
  std::vector<CONNECTDATA> sinks;
  sinks.swap(sinks_);  // a sink that disconnects itself meanwhile finds nothing
  for (CONNECTDATA& c : sinks) c.pUnk->Release();
}

HRESULT EnumeratePoints(IUnknown* owner, const std::vector<IConnectionPoint*>& points,
                        IEnumConnectionPoints** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    *out = new PointsEnum(owner, points);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace vemblaric::com
