#pragma once
// Catalog programs installed in an older version than the catalog offers,
// with the newer versions and the user's ignore choices marked on them.
#include <windows.h>
#include <wrl/client.h>

#include <map>
#include <vector>

#include "TessaryLib.h"
#include "catalog/CatalogKeys.h"
#include "common/Unique.h"
#include "com/ComObject.h"

namespace tessary {

class KaSoftUpdater final : public ComObject<KaSoftUpdater, IKaSoftUpdater> {
 public:
  KaSoftUpdater() noexcept = default;

  // IKaSoftUpdater
  STDMETHODIMP RefreshUpdateStatus() noexcept override;
  STDMETHODIMP GetUpdateSoftCount(LONG* lplCount) noexcept override;
  STDMETHODIMP GetUpdateVersionCount(LONG* lplVersionCount) noexcept override;
  STDMETHODIMP GetIgnoredSoftCount(LONG* lplIgnoredCount) noexcept override;
  STDMETHODIMP GetUpdateSoftByIndex(LONG lIndex, IKaSoftWare** lplpUpdateSoft,
                                    BSTR* lpbstrInsatlledVersion,
                                    SAFEARRAY** lplpsaUpdateVersion) noexcept override;

 private:
  struct UpdateEntry {
    Microsoft::WRL::ComPtr<IKaSoftWare> software;
    UniqueBstr installedVersion;
    std::vector<UniqueBstr> newerVersions;  // catalog order, never empty
  };

  struct IgnoreFlags {
    bool normal = false;
    bool trial = false;
  };
  // Lower-cased software name to the kinds of release the user ignores.
  using IgnoreTable = std::map<UniqueBstr, IgnoreFlags, KeyLess>;

  struct Results {
    LONG updateVersionCount = 0;
    LONG ignoredCount = 0;
    std::vector<UpdateEntry> entries;
  };

  HRESULT Compute(IKaSoftStatusManager* manager, IKaEnumSoftware* enumerator, Results& results);
  HRESULT AddNewerVersions(IKaSoftWare* software, BSTR lowerName, UpdateEntry& entry,
                        Results& results);
  HRESULT ReadIgnoreList();

  LONG updateVersionCount_ = 0;
  LONG ignoredCount_ = 0;
  std::vector<UpdateEntry> entries_;
  IgnoreTable ignoreTable_;
};

HRESULT CreateKaSoftUpdater(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
