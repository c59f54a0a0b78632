#include "catalog/KaSoftWare.h"

#include <new>

#include "catalog/CatalogKeys.h"
#include "common/Result.h"

namespace tessary {
HRESULT KaSoftWare::Assign(const SoftwareFields& fields) noexcept {
  if (chars_) return E_UNEXPECTED;
  const size_t count = fields.VersionCount();
  size_t chars = fields.text.Size();
  for (size_t i = 0; i < count; ++i) chars += fields.Version(i).text.Size();
  std::unique_ptr<wchar_t[]> block(new (std::nothrow) wchar_t[chars]);
  if (!block) return E_OUTOFMEMORY;
  std::vector<ContainedVerItem> versions;
  RETURN_IF_FAILED(Guarded([&] {
    versions.reserve(count);
    return S_OK;
  }));
  wchar_t* text = block.get();
  for (size_t i = 0; i < count; ++i) {
    const VersionFields& version = fields.Version(i);
    versions.emplace_back(InnerUnknown(), version, text);
    text += version.text.Size();
  }
  fields.text.Build(text, text_);
  chars_ = std::move(block);
  versions_ = std::move(versions);
  flags_ = fields.flags;
  totalMark_ = fields.totalMark;
  totalJudge_ = fields.totalJudge;
  totalDownload_ = fields.totalDownload;
  return S_OK;
}

STDMETHODIMP KaSoftWare::GetSoftName(BSTR* lpbstrSoftName) noexcept {
  if (!lpbstrSoftName) return E_POINTER;
  return CopyOut(text_.Get(kSoftName), lpbstrSoftName);
}

STDMETHODIMP KaSoftWare::GetDisplayName(BSTR* lpbstrDisplayName) noexcept {
  if (!lpbstrDisplayName) return E_POINTER;
  return CopyOut(text_.Get(kSoftDisplayName), lpbstrDisplayName);
}

STDMETHODIMP KaSoftWare::GetCompany(BSTR* lpbstrCompany) noexcept {
  if (!lpbstrCompany) return E_POINTER;
  return CopyOut(text_.Get(kSoftCompany), lpbstrCompany);
}

STDMETHODIMP KaSoftWare::GetMainType(BSTR* lpbstrMainType) noexcept {
  if (!lpbstrMainType) return E_POINTER;
  return CopyOut(text_.Get(kSoftMainType), lpbstrMainType);
}

STDMETHODIMP KaSoftWare::GetSoftType(DWORD* lpdwSoftType) noexcept {
  if (!lpdwSoftType) return E_FAIL;
  *lpdwSoftType = flags_;
  return S_OK;
}

STDMETHODIMP KaSoftWare::GetSoftPic(BSTR* lpbstrPic) noexcept {
  if (!lpbstrPic) return E_POINTER;
  return CopyOut(text_.Get(kSoftPic), lpbstrPic);
}

STDMETHODIMP KaSoftWare::GetVersionCount(LONG* lpnCount) noexcept {
  if (!lpnCount) return E_POINTER;
  *lpnCount = static_cast<LONG>(versions_.size());
  return S_OK;
}

STDMETHODIMP KaSoftWare::GetVerItemByItem(LONG nIndex, IKaSoftwareVerItem** lpVerItem) noexcept {
  // The index is checked before the out-parameter.
  if (nIndex < 0 || static_cast<size_t>(nIndex) >= versions_.size()) return E_INVALIDARG;
  if (!lpVerItem) return E_POINTER;
  *lpVerItem = &versions_[static_cast<size_t>(nIndex)];
  (*lpVerItem)->AddRef();
  return S_OK;
}

STDMETHODIMP KaSoftWare::GetVerItemByVersion(BSTR bstrVersion,
                                             IKaSoftwareVerItem** lpVerItem) noexcept {
  if (!lpVerItem) return E_POINTER;
  *lpVerItem = nullptr;
  for (size_t i = 0; i < versions_.size(); ++i) {
    const HRESULT match = versions_[i].MatchVersion(bstrVersion);
    if (FAILED(match)) return match;
    if (match == S_OK) return versions_[i].QueryInterface(IID_PPV_ARGS(lpVerItem));
  }
  return E_NOINTERFACE;
}

STDMETHODIMP KaSoftWare::GetStatInfo(LONGLONG* lpllTotalMark, LONGLONG* lpllTotalJudge,
                                     LONGLONG* lpllTotaldownload) noexcept {
  if (lpllTotalMark) *lpllTotalMark = totalMark_;
  if (lpllTotalJudge) *lpllTotalJudge = totalJudge_;
  if (lpllTotaldownload) *lpllTotaldownload = totalDownload_;
  return S_OK;
}

STDMETHODIMP KaSoftWare::GetDescription(BSTR* lpbstrDescription) noexcept {
  if (!lpbstrDescription) return E_POINTER;
  return CopyOut(text_.Get(kSoftDescription), lpbstrDescription);
}

STDMETHODIMP KaSoftWare::GetAbstract(BSTR* lpbstrAbstract) noexcept {
  if (!lpbstrAbstract) return E_POINTER;
  *lpbstrAbstract = nullptr;
  return S_OK;
}

HRESULT CreateKaSoftWare(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaSoftWare>(outer, riid, ppv);
}

}  // namespace tessary
