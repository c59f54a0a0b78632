#pragma once
// One downloadable version of a catalog program.
#include <windows.h>

#include "TessaryLib.h"
#include "common/Unique.h"
#include "com/ComObject.h"

namespace tessary {

// A version as a catalog file gives it.
struct VersionFields {
  UniqueBstr version;
  UniqueBstr displayVersion;  // a copy of `version` when the file has none
  bool trial = false;
  UniqueBstr whatsnew;
};

class KaSoftwareVerItem final : public ComObject<KaSoftwareVerItem, IKaSoftwareVerItem> {
 public:
  KaSoftwareVerItem() noexcept = default;

  void Assign(VersionFields&& fields) noexcept;

  BSTR Version() const noexcept { return version_.Get(); }

  STDMETHODIMP GetVersion(BSTR* lpbstrVersion) noexcept override;
  STDMETHODIMP GetDisplayVersion(BSTR* lpbstrDisplayVersion) noexcept override;
  STDMETHODIMP GetVerAttr(_kaSoftVersionAttribute* lpVerAyttr) noexcept override;
  STDMETHODIMP GetWhatsnew(BSTR* lpbstrWhatsnew) noexcept override;
  STDMETHODIMP GetBeIgnored(VARIANT_BOOL* lpvbRet) noexcept override;
  STDMETHODIMP SetBeIgnored(VARIANT_BOOL vbValue) noexcept override;

 private:
  UniqueBstr version_;
  UniqueBstr displayVersion_;
  _kaSoftVersionAttribute attribute_ = kaSoftVersionAttribute_normal;
  UniqueBstr whatsnew_;
  VARIANT_BOOL ignored_ = VARIANT_FALSE;
};

HRESULT CreateKaSoftwareVerItem(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
