#include "com/ClassFactory.h"

#include <new>

#include "com/Module.h"

namespace tessary {
namespace {

class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(const ClassEntry& entry) noexcept : entry_(entry) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() noexcept override {
    return static_cast<ULONG>(::InterlockedIncrement(&refs_));
  }
  STDMETHODIMP_(ULONG) Release() noexcept override {
    const LONG refs = ::InterlockedDecrement(&refs_);
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
  }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && entry_.aggregation == Aggregation::Refused) return CLASS_E_NOAGGREGATION;
    return entry_.create(outer, riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL lock) noexcept override {
    if (lock) {
      Module::Lock();
    } else {
      Module::Unlock();
    }
    return S_OK;
  }

 private:
  const ClassEntry& entry_;
  LONG refs_ = 1;
};

}  // namespace

HRESULT CreateClassFactory(const ClassEntry& entry, IClassFactory** factory) noexcept {
  *factory = new (std::nothrow) ClassFactory(entry);
  return *factory ? S_OK : E_OUTOFMEMORY;
}

HRESULT ClassObjectCache::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (size_t i = 0; i < table_.size(); ++i) {
    if (*table_[i].clsid != rclsid) continue;
    IClassFactory* factory = nullptr;
    {
      ModuleCriticalSectionGuard guard;
      if (!slots_[i]) {
        const HRESULT hr = CreateClassFactory(table_[i], &slots_[i]);
        if (FAILED(hr)) return hr;
      }
      factory = slots_[i];
    }
    return factory->QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

void ClassObjectCache::ReleaseAll() noexcept {
  for (size_t i = 0; i < table_.size(); ++i) {
    IClassFactory* factory = nullptr;
    {
      ModuleCriticalSectionGuard guard;
      factory = slots_[i];
      slots_[i] = nullptr;
    }
    if (factory) factory->Release();
  }
}

}  // namespace tessary
