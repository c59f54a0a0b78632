#include "catalog/KaSoftWare.h"

#include <cstdlib>

#include "catalog/CatalogKeys.h"
#include "catalog/KaSoftMainType.h"
#include "common/Result.h"
#include "common/Text.h"
#include "datafiles/XmlDom.h"

namespace tessary {
namespace {

using Microsoft::WRL::ComPtr;

LONGLONG ReadCounter(IXMLDOMNode* element, const wchar_t* name) {
  UniqueBstr text;
  if (!AttributeByName(element, name, text)) return 0;
  return TextToInt64(text.Get());
}

// A flag is set by its attribute's presence, unless the text is exactly "0".
DWORD ReadFlag(IXMLDOMNode* element, const wchar_t* name, DWORD flag) {
  UniqueBstr text;
  if (!AttributeByName(element, name, text)) return 0;
  return MatchName(text.Get(), {L"0"}) == 0 ? 0 : flag;
}

}  // namespace

void KaSoftWare::Clear() noexcept {
  name_.Reset();
  displayName_.Reset();
  mainType_.Reset();
  company_.Reset();
  flags_ = 0;
  versions_.clear();
  pic_.Reset();
  totalMark_ = totalJudge_ = totalDownload_ = 0;
  description_.Reset();
}

HRESULT KaSoftWare::Fill(IXMLDOMNode* element, KaSoftMainType* mainTypes) noexcept {
  Clear();
  if (!element || !mainTypes) return E_FAIL;
  const HRESULT hr = Guarded([&]() -> HRESULT {
    UniqueBstr typeId;
    if (AttributeByName(element, L"main_type", typeId)) {
      RETURN_IF_FAILED(mainTypes->TypeName(typeId.Get(), mainType_));
    }
    flags_ = ReadFlag(element, L"is_main_recommend", kMainRecommend) |
             ReadFlag(element, L"is_onekey_install", kOneKeyInstall) |
             ReadFlag(element, L"is_popularity", kPopularity);
    totalMark_ = ReadCounter(element, L"totaljudgeofmark");
    totalDownload_ = ReadCounter(element, L"totaldownloadtimes");
    totalJudge_ = ReadCounter(element, L"totaljudgeoftimes");

    UniqueBstr* const fields[] = {&name_, &displayName_, &company_, &pic_, &description_};
    RETURN_IF_FAILED(ForEachChildNode(element, [&](IXMLDOMNode* child) -> HRESULT {
      UniqueBstr tag = NodeName(child);
      LowerBstr(tag);
      const int match =
          MatchName(tag.Get(), {L"name", L"displayname", L"company", L"pic", L"description",
                                L"version"});
      if (match < 0) return S_OK;
      if (match == 5) {
        ComPtr<KaSoftwareVerItem> item;
        RETURN_HR_IF(E_OUTOFMEMORY, MakeComObject(item) == E_OUTOFMEMORY);
        const HRESULT filled = item->Fill(child);
        RETURN_HR_IF(filled, filled == E_OUTOFMEMORY);
        if (SUCCEEDED(filled)) versions_.push_back(std::move(item));
        return S_OK;
      }
      // A repeated field keeps its last occurrence.
      *fields[match] = NodeText(child);
      if (match == 0) LowerBstr(name_);
      return S_OK;
    }));
    return S_OK;
  });
  // No half-filled entry reaches a table.
  if (FAILED(hr)) Clear();
  return hr;
}

STDMETHODIMP KaSoftWare::GetSoftName(BSTR* lpbstrSoftName) noexcept {
  if (!lpbstrSoftName) return E_POINTER;
  return CopyToBstr(name_.Get(), lpbstrSoftName);
}

STDMETHODIMP KaSoftWare::GetDisplayName(BSTR* lpbstrDisplayName) noexcept {
  if (!lpbstrDisplayName) return E_POINTER;
  return CopyToBstr(displayName_.Get(), lpbstrDisplayName);
}

STDMETHODIMP KaSoftWare::GetCompany(BSTR* lpbstrCompany) noexcept {
  if (!lpbstrCompany) return E_POINTER;
  return CopyToBstr(company_.Get(), lpbstrCompany);
}

STDMETHODIMP KaSoftWare::GetMainType(BSTR* lpbstrMainType) noexcept {
  if (!lpbstrMainType) return E_POINTER;
  return CopyToBstr(mainType_.Get(), lpbstrMainType);
}

STDMETHODIMP KaSoftWare::GetSoftType(DWORD* lpdwSoftType) noexcept {
  if (!lpdwSoftType) return E_FAIL;
  *lpdwSoftType = flags_;
  return S_OK;
}

STDMETHODIMP KaSoftWare::GetSoftPic(BSTR* lpbstrPic) noexcept {
  if (!lpbstrPic) return E_POINTER;
  return CopyToBstr(pic_.Get(), lpbstrPic);
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
  *lpVerItem = versions_[static_cast<size_t>(nIndex)].Get();
  (*lpVerItem)->AddRef();
  return S_OK;
}

STDMETHODIMP KaSoftWare::GetVerItemByVersion(BSTR bstrVersion,
                                             IKaSoftwareVerItem** lpVerItem) noexcept {
  if (!lpVerItem) return E_POINTER;
  *lpVerItem = nullptr;
  for (const auto& item : versions_) {
    if (SameText(item->Version(), bstrVersion)) {
      return item->QueryInterface(IID_PPV_ARGS(lpVerItem));
    }
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
  return CopyToBstr(description_.Get(), lpbstrDescription);
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
