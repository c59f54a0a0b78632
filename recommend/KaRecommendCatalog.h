#pragma once
// One recommendation catalog: its name, description and importance, and the
// names of the programs it recommends in ascending order of their order key.
// The set fills it while reading the recommendation file; a catalog created
// through its class object stays empty.
#include <windows.h>

#include <utility>
#include <vector>

#include "TessaryLib.h"
#include "common/Unique.h"
#include "com/ComObject.h"
#include "com/Dispatch.h"

namespace tessary {

class KaRecommendCatalog final
    : public ComObject<KaRecommendCatalog, DualInterface<IKaRecommendCatalog>> {
 public:
  KaRecommendCatalog() noexcept = default;

  // Filled by the file reader before the catalog is handed out.
  BSTR Name() const noexcept { return name_.Get(); }
  void SetName(UniqueBstr name) noexcept { name_ = std::move(name); }
  void SetDescription(UniqueBstr description) noexcept { description_ = std::move(description); }
  void SetImportance(LONG importance) noexcept { importance_ = importance; }
  // May throw bad_alloc; the catalog is then as before.
  void AddEntry(UniqueBstr softName, LONG order);
  // Ascending order; entries with equal orders keep the order they were added in.
  void SortEntries() noexcept;

  STDMETHODIMP GetName(BSTR* lpbstrName) noexcept override;
  STDMETHODIMP GetDescription(BSTR* lpbstrDescription) noexcept override;
  STDMETHODIMP GetImportance(LONG* lplImportance) noexcept override;
  STDMETHODIMP GetSoftCount(LONG* lplCount) noexcept override;
  STDMETHODIMP GetSoftByIndex(LONG lIndex, BSTR* lpbstrSoftName, LONG* lplOrder) noexcept override;

 private:
  struct Entry {
    UniqueBstr softName;  // null when the entry named no program
    LONG order = 0;
  };

  std::vector<Entry> entries_;
  UniqueBstr name_;
  UniqueBstr description_;
  LONG importance_ = 0;
};

HRESULT CreateKaRecommendCatalog(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
