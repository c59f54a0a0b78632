#pragma once
// One downloadable version of a catalog program. The catalog's versions live
// inside their program's entry and share its count (ContainedVerItem); the
// class hosts create stands alone and holds no version.
#include <windows.h>

#include "TessaryLib.h"
#include "catalog/PackedText.h"
#include "com/ComObject.h"
#include "com/ContainedComObject.h"
#include "common/Unique.h"

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

// What a version answers, whatever keeps it alive.
template <typename Base>
class VerItemMethods : public Base {
 public:
  using Base::Base;

  STDMETHODIMP GetVersion(BSTR* lpbstrVersion) noexcept override;
  STDMETHODIMP GetDisplayVersion(BSTR* lpbstrDisplayVersion) noexcept override;
  STDMETHODIMP GetVerAttr(_kaSoftVersionAttribute* lpVerAyttr) noexcept override;
  STDMETHODIMP GetWhatsnew(BSTR* lpbstrWhatsnew) noexcept override;
  STDMETHODIMP GetBeIgnored(VARIANT_BOOL* lpvbRet) noexcept override;
  STDMETHODIMP SetBeIgnored(VARIANT_BOOL vbValue) noexcept override;

 protected:
  PackedText<kVersionTextCount> text_;
  _kaSoftVersionAttribute attribute_ = kaSoftVersionAttribute_normal;
  VARIANT_BOOL ignored_ = VARIANT_FALSE;
};

class KaSoftwareVerItem final
    : public VerItemMethods<ComObject<KaSoftwareVerItem, IKaSoftwareVerItem>> {
 public:
  KaSoftwareVerItem() noexcept = default;
};

// A version of a catalog entry, made by the entry inside its own storage,
// its text in characters the entry owns.
class ContainedVerItem final : public VerItemMethods<ContainedComObject<IKaSoftwareVerItem>> {
 public:
  // `chars`: fields.text.Size() characters for the text.
  ContainedVerItem(IUnknown* owner, const VersionFields& fields, wchar_t* chars) noexcept;
  // Only so that the entry's vector can hold versions: it is sized before
  // the first is made, so a version handed out never moves.
  ContainedVerItem(ContainedVerItem&& other) noexcept;

  // S_OK when the version is `text` as the catalog compares strings,
  // S_FALSE when not, or E_OUTOFMEMORY.
  HRESULT MatchVersion(BSTR text) const noexcept;
};

HRESULT CreateKaSoftwareVerItem(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
