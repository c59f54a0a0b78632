#include "catalog/SoftwareEnum.h"

#include "common/Result.h"

namespace tessary {

HRESULT SoftwareCursor::Next(ULONG celt, IKaSoftWare** rgelt, ULONG* pceltFetched) noexcept {
  if (!rgelt) return E_POINTER;
  if (celt != 1 && !pceltFetched) return E_POINTER;
  if (pceltFetched) *pceltFetched = 0;
  if (!collection) return E_FAIL;
  ULONG fetched = 0;
  for (; fetched < celt && position != collection->end(); ++fetched, ++position) {
    IKaSoftWare* entry = position->second.Get();
    entry->AddRef();
    rgelt[fetched] = entry;
  }
  if (pceltFetched) *pceltFetched = fetched;
  return fetched == celt ? S_OK : S_FALSE;
}

HRESULT SoftwareCursor::Skip(ULONG celt) noexcept {
  if (!collection) return E_FAIL;
  for (ULONG i = 0; i < celt; ++i) {
    if (position == collection->end()) return S_FALSE;
    ++position;
  }
  return S_OK;
}

HRESULT SoftwareCursor::Reset() noexcept {
  if (!collection) return E_FAIL;
  position = collection->begin();
  return S_OK;
}

HRESULT SoftwareCursor::Clone(IKaSoftwareCatelog* owner, IKaEnumSoftware** ppenum) const noexcept {
  if (!ppenum) return E_POINTER;
  *ppenum = nullptr;
  Microsoft::WRL::ComPtr<SoftwareEnum> clone;
  RETURN_IF_FAILED(MakeComObject(clone, owner, *this));
  return clone->QueryInterface(IID_PPV_ARGS(ppenum));
}

}  // namespace tessary
