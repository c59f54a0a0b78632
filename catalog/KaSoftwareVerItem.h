#pragma once
// One downloadable version of a catalog program.
#include <windows.h>

#include "TessaryLib.h"
#include "catalog/PackedText.h"
#include "common/Unique.h"
#include "com/ComObject.h"

namespace tessary {

// The strings of a version.
enum VersionText {
  kVerVersion,
  kVerDisplayVersion,  // the version's text when the file has none
  kVerWhatsnew,
  kVersionTextCount
};

// A version as a catalog file gives it.
struct VersionFields {
  PackedTextBuilder<kVersionTextCount> text;
  bool trial = false;
};

class KaSoftwareVerItem final : public ComObject<KaSoftwareVerItem, IKaSoftwareVerItem> {
 public:
  KaSoftwareVerItem() noexcept = default;

  // E_OUTOFMEMORY leaves the item as it was.
  HRESULT Assign(const VersionFields& fields) noexcept;

  // S_OK when the version is `text` as the catalog compares strings,
  // S_FALSE when not, or E_OUTOFMEMORY.
  HRESULT MatchVersion(BSTR text) const noexcept;

  STDMETHODIMP GetVersion(BSTR* lpbstrVersion) noexcept override;
  STDMETHODIMP GetDisplayVersion(BSTR* lpbstrDisplayVersion) noexcept override;
  STDMETHODIMP GetVerAttr(_kaSoftVersionAttribute* lpVerAyttr) noexcept override;
  STDMETHODIMP GetWhatsnew(BSTR* lpbstrWhatsnew) noexcept override;
  STDMETHODIMP GetBeIgnored(VARIANT_BOOL* lpvbRet) noexcept override;
  STDMETHODIMP SetBeIgnored(VARIANT_BOOL vbValue) noexcept override;

 private:
  PackedText<kVersionTextCount> text_;
  _kaSoftVersionAttribute attribute_ = kaSoftVersionAttribute_normal;
  VARIANT_BOOL ignored_ = VARIANT_FALSE;
};

HRESULT CreateKaSoftwareVerItem(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
