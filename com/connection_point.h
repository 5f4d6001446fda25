// Connection points: the sinks connected to one outgoing interface, and the
// container's enumeration of its points.
#pragma once

#include <ocidl.h>

#include <vector>

namespace vemblaric::com {

class ConnectionPoint final : public IConnectionPoint {
 public:
  // Sinks of a dispinterface may answer only IID_IDispatch for it.
  enum SinkKind { kTypedSinks, kDispatchSinks };

  // `container` owns this point and outlives it; references to the point are
  // references to the container.
  ConnectionPoint(IConnectionPointContainer& container, REFIID iid, SinkKind kind = kTypedSinks);
  ~ConnectionPoint();
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

  bool HasSinks() const { return !sinks_.empty(); }
  // `changed(context)` runs after a sink connected or disconnected; it must
  // not call the sinks.
  void WatchConnections(void (*changed)(void* context), void* context) {
    changed_ = changed;
    changedContext_ = context;
  }
  // Whether `sink` (as Snapshot handed it out) is still connected: one that
  // was disconnected during an event gets no further call.
  bool IsConnected(const IUnknown* sink) const;
  REFIID iid() const { return iid_; }

  // The sinks connected now, in the order they connected, each with a
  // reference the caller releases: a sink that disconnects itself or another
  // during a call through the snapshot stays alive until the call is over.
  std::vector<IUnknown*> Snapshot() const;
  static void Release(std::vector<IUnknown*>& sinks);

  // The container goes away: lets go of every sink and connects no more.
  void Close();

 private:
  HRESULT Connect(IUnknown* sink, DWORD* cookie);

  IConnectionPointContainer& container_;
  IID iid_;
  SinkKind kind_;
  std::vector<CONNECTDATA> sinks_;
  DWORD nextCookie_ = 1;
  bool closed_ = false;
  void (*changed_)(void*) = nullptr;
  void* changedContext_ = nullptr;
};

// An enumerator over connection points of one container.
HRESULT EnumeratePoints(IUnknown* owner, const std::vector<IConnectionPoint*>& points,
                        IEnumConnectionPoints** out);

}  // namespace vemblaric::com
