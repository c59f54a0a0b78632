#pragma once
// The one base of every COM class: reference counting, QueryInterface over
// the class's interface list, the module lock, and aggregation through a
// non-delegating inner unknown.
//
//   class KaFoo final : public ComObject<KaFoo, IKaFoo> { ... };
//
// A class may define, and ComObject calls through CRTP:
//   HRESULT FinalConstruct() noexcept;   one-time initialisation, run with the
//                                        count held at one
//   HRESULT QueryExtraInterface(REFIID, void**) noexcept;  interfaces not in
//                                        the list (IDispatch of a dual); must
//                                        AddRef what it hands out
#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <new>
#include <utility>

#include "com/Module.h"

namespace tessary {

template <typename Derived, typename... Interfaces>
class ComObject : public Interfaces... {
 public:
  ComObject(const ComObject&) = delete;  // NOLINT(bugprone-crtp-constructor-accessibility): deleted
  ComObject& operator=(const ComObject&) = delete;

  // Delegating IUnknown: to the outer object when aggregated, else to the
  // inner unknown.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override {
    return outer_->QueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() noexcept override { return outer_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() noexcept override { return outer_->Release(); }

  // The object's identity: what an aggregating outer object holds.
  IUnknown* InnerUnknown() noexcept { return &inner_; }
  bool IsAggregated() const noexcept { return outer_ != &inner_; }

  // Hooks with default behaviour; a class hides them with its own.
  HRESULT FinalConstruct() noexcept { return S_OK; }
  HRESULT QueryExtraInterface(REFIID, void**) noexcept { return E_NOINTERFACE; }

  void SetOuter(IUnknown* outer) noexcept { outer_ = outer ? outer : &inner_; }

 protected:
  // NOLINTNEXTLINE(bugprone-crtp-constructor-accessibility): mixins between it and Derived
  ComObject() noexcept { Module::Lock(); }
  ~ComObject() { Module::Unlock(); }

 private:
  struct Inner final : IUnknown {
    explicit Inner(ComObject* self) noexcept : self(self) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override {
      return self->NonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() noexcept override {
      return static_cast<ULONG>(::InterlockedIncrement(&self->refs_));
    }
    STDMETHODIMP_(ULONG) Release() noexcept override {
      const LONG refs = ::InterlockedDecrement(&self->refs_);
      if (refs == 0) delete static_cast<Derived*>(self);
      return static_cast<ULONG>(refs);
    }
    ComObject* self;
  };

  // A listed type is an interface, or an implementation of one that names
  // it as `Interface` (DualInterface<I>, which also answers for IDispatch).
  template <typename T>
  static bool Answers(REFIID riid) noexcept {
    if constexpr (requires { typename T::Interface; }) {
      return riid == __uuidof(typename T::Interface) || riid == IID_IDispatch;
    } else {
      return riid == __uuidof(T);
    }
  }

  template <typename First, typename... Rest>
  bool FindInterface(REFIID riid, void** ppv) noexcept {
    if (Answers<First>(riid)) {
      *ppv = static_cast<First*>(static_cast<Derived*>(this));
      return true;
    }
    if constexpr (sizeof...(Rest) > 0) {
      return FindInterface<Rest...>(riid, ppv);
    } else {
      return false;
    }
  }

  HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown) {
      *ppv = &inner_;
    } else if (!FindInterface<Interfaces...>(riid, ppv)) {
      const HRESULT hr = static_cast<Derived*>(this)->QueryExtraInterface(riid, ppv);
      if (FAILED(hr)) *ppv = nullptr;
      return hr;
    }
    static_cast<IUnknown*>(*ppv)->AddRef();
    return S_OK;
  }

  Inner inner_{this};
  IUnknown* outer_ = &inner_;
  LONG refs_ = 0;
};

// Creates an instance for a class object: out cleared, aggregation needs
// IID_IUnknown, allocation, one-time initialisation under a guard reference,
// then the query, whose failure destroys the object.
// `prepare` sees the object before its initialisation.
template <typename T, typename Prepare>
HRESULT CreateComInstance(IUnknown* outer, REFIID riid, void** ppv, Prepare&& prepare) noexcept {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  T* object = nullptr;
  try {
    object = new (std::nothrow) T();
  } catch (...) {
    object = nullptr;
  }
  if (!object) return E_OUTOFMEMORY;
  object->SetOuter(outer);
  prepare(*object);
  IUnknown* inner = object->InnerUnknown();
  inner->AddRef();
  HRESULT hr = object->FinalConstruct();
  if (SUCCEEDED(hr)) hr = inner->QueryInterface(riid, ppv);
  inner->Release();
  return hr;
}

template <typename T>
HRESULT CreateComInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<T>(outer, riid, ppv, [](T&) noexcept {});
}

// Creates an internal object directly (never aggregated), constructed with
// `args`, initialised, and handed out with one reference.
template <typename T, typename... Args>
HRESULT MakeComObject(Microsoft::WRL::ComPtr<T>& out, Args&&... args) noexcept {
  out.Reset();
  T* object = nullptr;
  try {
    object = new (std::nothrow) T(std::forward<Args>(args)...);
  } catch (...) {
    object = nullptr;
  }
  if (!object) return E_OUTOFMEMORY;
  IUnknown* inner = object->InnerUnknown();
  inner->AddRef();
  const HRESULT hr = object->FinalConstruct();
  // mingw's ComPtr::Attach adds a reference (unlike WRL's): assign, then
  // drop the guard.
  if (SUCCEEDED(hr)) out = object;
  inner->Release();
  return hr;
}

}  // namespace tessary
