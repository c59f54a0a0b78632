#pragma once
// The recommendation file: catalogs under "funtionlist" and the programs
// they recommend under "softlist", both below the first "new_onekey" element.
// Element names below that root match in any letter case; values are element
// texts; no attribute is read.
#include <windows.h>
#include <wrl/client.h>

#include <vector>

#include "common/Unique.h"
#include "recommend/KaRecommendCatalog.h"

namespace tessary {

// One catalog of the set, with the set's own copy of its name.
struct RecommendedCatalog {
  UniqueBstr name;
  Microsoft::WRL::ComPtr<KaRecommendCatalog> catalog;
};
using RecommendationList = std::vector<RecommendedCatalog>;

// Reads the file at `path` into fresh catalogs, in file order, each one's
// programs sorted by order. S_OK with `catalogs` replaced; S_FALSE when no
// file is there, it does not load, or it has no root; E_OUTOFMEMORY when
// memory runs out. `catalogs` is left as it was unless the result is S_OK.
HRESULT ReadRecommendationFile(const wchar_t* path, RecommendationList& catalogs) noexcept;

}  // namespace tessary
