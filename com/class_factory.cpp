#include "com/class_factory.h"

#include <vector>

#include "com/module.h"

namespace vemblaric::com {
namespace {

class Factory final : public IClassFactory {
 public:
  explicit Factory(const ClassEntry& entry) : entry_(entry) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // A host that holds the class object keeps the library loaded through
  // LockServer; references alone do not, as is usual for class objects.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return entry_.create(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    com::LockServer(lock != FALSE);
    return S_OK;
  }

  bool serves(const ClassEntry& entry) const { return &entry_ == &entry; }

 private:
  const ClassEntry& entry_;
};

}  // namespace

// One class object per entry, made with the first request: function-local
// statics are made once, also with threads racing. Making them may throw;
// the export contains it.
HRESULT GetClassFactory(const ClassEntry& entry, REFIID riid, void** ppv) {
  static std::vector<Factory> factories = [] {
    std::vector<Factory> made;
    made.reserve(kClassCount);
    for (std::size_t i = 0; i < kClassCount; ++i) made.emplace_back(*kClasses[i]);
    return made;
  }();
  for (Factory& factory : factories)
    if (factory.serves(entry)) return factory.QueryInterface(riid, ppv);
  return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace vemblaric::com
