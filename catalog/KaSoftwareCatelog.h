#pragma once
// The host's software catalog: entries by name and by registry key, counts
// per subset, and a built-in enumerator (one cursor per catalog).
#include <windows.h>
#include <wrl/client.h>

#include <map>

#include "TessaryLib.h"
#include "catalog/CatalogContent.h"
#include "catalog/CatalogKeys.h"
#include "catalog/KaSoftMainType.h"
#include "catalog/SoftwareEnum.h"
#include "common/Unique.h"
#include "com/ComObject.h"

namespace tessary {

class KaSoftwareCatelog final
    : public ComObject<KaSoftwareCatelog, IKaSoftwareCatelog, IKaEnumSoftware> {
 public:
  KaSoftwareCatelog() noexcept = default;
  HRESULT FinalConstruct() noexcept;

  // Load with the parser chosen; Load takes the streaming reader.
  HRESULT LoadWith(XmlReaderChoice choice) noexcept;
  // What a load published, for readers inside the module.
  const SharedNameTable& Names() const noexcept { return names_; }
  const RegistryKeyTable& RegistryKeys() const noexcept { return regKeys_; }
  KaSoftMainType* MainTypes() const noexcept { return mainTypes_.Get(); }

  // IKaSoftwareCatelog
  STDMETHODIMP Load() noexcept override;
  STDMETHODIMP GetSoftwareByName(BSTR bstrSoftName, IKaSoftWare** lplpSoftware) noexcept override;
  STDMETHODIMP GetSoftwareByRegkey(BSTR bstrSoftReg, IKaSoftWare** lplpSoftware) noexcept override;
  STDMETHODIMP GetSoftwareNameByRegKey(BSTR bstrSoftReg, BSTR* lpbstrSoftName) noexcept override;
  STDMETHODIMP GetSoftCount(kaSoftInnerType softType, LONG* lplSoftCount) noexcept override;
  STDMETHODIMP GetEnum(IKaEnumSoftware** lpEnumSoftware) noexcept override;
  STDMETHODIMP GetSoftMainType(IKaSoftMainType** lplpSoftMainType) noexcept override;

  // IKaEnumSoftware: the built-in cursor, rewound by GetEnum.
  STDMETHODIMP Next(ULONG celt, IKaSoftWare** rgelt, ULONG* pceltFetched) noexcept override;
  STDMETHODIMP Skip(ULONG celt) noexcept override;
  STDMETHODIMP Reset() noexcept override;
  STDMETHODIMP Clone(IKaEnumSoftware** ppenum) noexcept override;

 private:
  IKaSoftWare* FindByName(BSTR lowerName) const noexcept;

  SoftwareCursor cursor_;
  RegistryKeyTable regKeys_;
  SharedNameTable names_;
  Microsoft::WRL::ComPtr<KaSoftMainType> mainTypes_;
  LONG allCount_ = 0;
  LONG recommendCount_ = 0;
  LONG oneKeyCount_ = 0;
  LONG popularityCount_ = 0;
};

HRESULT CreateKaSoftwareCatelog(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
