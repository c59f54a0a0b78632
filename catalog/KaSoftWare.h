#pragma once
// One program of the catalog, with its versions in file order.
#include <windows.h>
#include <wrl/client.h>

#include <vector>

#include "TessaryLib.h"
#include "catalog/KaSoftwareVerItem.h"
#include "common/Unique.h"
#include "com/ComObject.h"

namespace tessary {

// A program as a catalog file gives it; the main type already turned into
// its display name.
struct SoftwareFields {
  UniqueBstr name;  // lower-cased
  UniqueBstr displayName;
  UniqueBstr mainType;
  UniqueBstr company;
  DWORD flags = 0;
  std::vector<Microsoft::WRL::ComPtr<KaSoftwareVerItem>> versions;
  UniqueBstr pic;
  LONGLONG totalMark = 0;
  LONGLONG totalJudge = 0;
  LONGLONG totalDownload = 0;
  UniqueBstr description;
};

class KaSoftWare final : public ComObject<KaSoftWare, IKaSoftWare> {
 public:
  static constexpr DWORD kMainRecommend = 0x1;
  static constexpr DWORD kOneKeyInstall = 0x2;
  static constexpr DWORD kPopularity = 0x4;

  KaSoftWare() noexcept = default;

  void Assign(SoftwareFields&& fields) noexcept;

  BSTR Name() const noexcept { return name_.Get(); }
  DWORD Flags() const noexcept { return flags_; }

  STDMETHODIMP GetSoftName(BSTR* lpbstrSoftName) noexcept override;
  STDMETHODIMP GetDisplayName(BSTR* lpbstrDisplayName) noexcept override;
  STDMETHODIMP GetCompany(BSTR* lpbstrCompany) noexcept override;
  STDMETHODIMP GetMainType(BSTR* lpbstrMainType) noexcept override;
  STDMETHODIMP GetSoftType(DWORD* lpdwSoftType) noexcept override;
  STDMETHODIMP GetSoftPic(BSTR* lpbstrPic) noexcept override;
  STDMETHODIMP GetVersionCount(LONG* lpnCount) noexcept override;
  STDMETHODIMP GetVerItemByItem(LONG nIndex, IKaSoftwareVerItem** lpVerItem) noexcept override;
  STDMETHODIMP GetVerItemByVersion(BSTR bstrVersion,
                                   IKaSoftwareVerItem** lpVerItem) noexcept override;
  STDMETHODIMP GetStatInfo(LONGLONG* lpllTotalMark, LONGLONG* lpllTotalJudge,
                           LONGLONG* lpllTotaldownload) noexcept override;
  STDMETHODIMP GetDescription(BSTR* lpbstrDescription) noexcept override;
  STDMETHODIMP GetAbstract(BSTR* lpbstrAbstract) noexcept override;

 private:
  UniqueBstr name_;
  UniqueBstr displayName_;
  UniqueBstr mainType_;
  UniqueBstr company_;
  DWORD flags_ = 0;
  std::vector<Microsoft::WRL::ComPtr<KaSoftwareVerItem>> versions_;
  UniqueBstr pic_;
  LONGLONG totalMark_ = 0;
  LONGLONG totalJudge_ = 0;
  LONGLONG totalDownload_ = 0;
  UniqueBstr description_;
};

HRESULT CreateKaSoftWare(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
