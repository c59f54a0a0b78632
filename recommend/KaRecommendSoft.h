#pragma once
// The set of recommendation catalogs read from "..\KaData\KaRecommendSoft.xml"
// beside the module. The status manager loads it and reloads it in place; a
// set created through its class object stays empty.
#include <windows.h>

#include "TessaryLib.h"
#include "recommend/RecommendationFile.h"
#include "com/ComObject.h"
#include "com/Dispatch.h"

namespace tessary {

class KaRecommendSoft final : public ComObject<KaRecommendSoft, DualInterface<IKaRecommendSoft>> {
 public:
  KaRecommendSoft() noexcept = default;

  // 1 when the file was read and the set now holds exactly its catalogs; 0
  // when nothing changed (no file, unreadable file, no root, or no memory).
  // Catalogs of an earlier load that the host still holds keep their contents.
  int LoadRecommendations() noexcept;

  STDMETHODIMP GetCount(LONG* lplCount) noexcept override;
  STDMETHODIMP GetcatalogByIndex(LONG lIndex,
                                 IKaRecommendCatalog** lplpRecmdcatalog) noexcept override;

 private:
  RecommendationList catalogs_;
};

HRESULT CreateKaRecommendSoft(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
