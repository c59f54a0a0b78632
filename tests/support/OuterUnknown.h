#pragma once
// The controlling unknown of aggregation checks: it answers IUnknown itself,
// hands every other query to the inner object it keeps, and counts the
// references it is given so a test can see where they went. It lives on the
// stack: the count never destroys it.
#include <windows.h>
#include <unknwn.h>

#include <wrl/client.h>

namespace tessary::testing {

class OuterUnknown final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    if (!inner) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    return inner->QueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() noexcept override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() noexcept override { return --refs; }

  // Where a class object puts the inner unknown.
  void** InnerSlot() noexcept { return reinterpret_cast<void**>(inner.ReleaseAndGetAddressOf()); }

  Microsoft::WRL::ComPtr<IUnknown> inner;
  ULONG refs = 1;
};

}  // namespace tessary::testing
