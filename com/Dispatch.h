#pragma once
// IDispatch for dual interfaces, served from the type library embedded in the
// module. List `DualInterface<IKaFoo>` in a ComObject's interfaces: it
// answers for IKaFoo and for IDispatch.
#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>
#include <wrl/client.h>

namespace tessary {

// Type information of interface `iid` from the module's own type library,
// which is loaded once and kept until the module is freed. For a dual, the
// vtable side (what calls go through) unless the dispatch side is asked for.
HRESULT GetModuleTypeInfo(REFIID iid, ITypeInfo** info, bool dispatchSide = false) noexcept;

template <typename Dual>
class DualInterface : public Dual {
 public:
  using Interface = Dual;

  STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }

  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) noexcept override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return GetModuleTypeInfo(__uuidof(Dual), info, true);
  }

  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                             DISPID* ids) noexcept override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    Microsoft::WRL::ComPtr<ITypeInfo> info;
    const HRESULT hr = GetModuleTypeInfo(__uuidof(Dual), &info);
    if (FAILED(hr)) return hr;
    return ::DispGetIDsOfNames(info.Get(), names, count, ids);
  }

  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* exception, UINT* argError) noexcept override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    Microsoft::WRL::ComPtr<ITypeInfo> info;
    const HRESULT hr = GetModuleTypeInfo(__uuidof(Dual), &info);
    if (FAILED(hr)) return hr;
    return info->Invoke(static_cast<Dual*>(this), id, flags, params, result, exception, argError);
  }
};

}  // namespace tessary
