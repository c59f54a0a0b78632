#include "server/ClassTable.h"

#include <array>

#include "TessaryLib.h"
#include "com/ResourceIds.h"
#include "catalog/KaSoftMainType.h"
#include "catalog/KaSoftTypeStorage.h"
#include "catalog/KaSoftWare.h"
#include "catalog/KaSoftwareCatelog.h"
#include "catalog/KaSoftwareVerItem.h"
#include "facade/KaGetIconStatus.h"
#include "facade/KaSoftStatusManager.h"
#include "identify/KaCommonSoft.h"
#include "identify/KaInstalledSoft.h"
#include "recommend/KaRecommendCatalog.h"
#include "recommend/KaRecommendSoft.h"
#include "update/KaSoftUpdater.h"

namespace tessary {
namespace {

// Each class joins here, with its registry script, as it is built.
constexpr std::array<ClassEntry, 12> kClassTable = {{
    {&CLSID_KaCommonSoft, &CreateKaCommonSoft, true, IDR_KaCommonSoft, false},
    {&CLSID_KaInstalledSoft, &CreateKaInstalledSoft, true, IDR_KaInstalledSoft, true},
    {&CLSID_KaGetIconStatus, &CreateKaGetIconStatus, false, IDR_KaGetIconStatus, true},
    {&CLSID_KaRecommendCatalog, &CreateKaRecommendCatalog, true, IDR_KaRecommendCatalog, true},
    {&CLSID_KaRecommendSoft, &CreateKaRecommendSoft, true, IDR_KaRecommendSoft, true},
    {&CLSID_KaSoftStatusManager, &CreateKaSoftStatusManager, false, IDR_KaSoftStatusManager, true},
    {&CLSID_KaSoftUpdater, &CreateKaSoftUpdater, true, IDR_KaSoftUpdater, true},
    {&CLSID_KaSoftTypeStorage, &CreateKaSoftTypeStorage, true, IDR_KaSoftTypeStorage, true},
    {&CLSID_KaSoftwareCatelog, &CreateKaSoftwareCatelog, true, IDR_KaSoftwareCatelog, true},
    {&CLSID_KaSoftWare, &CreateKaSoftWare, false, IDR_KaSoftWare, true},
    {&CLSID_KaSoftMainType, &CreateKaSoftMainType, false, IDR_KaSoftMainType, true},
    {&CLSID_KaSoftwareVerItem, &CreateKaSoftwareVerItem, true, IDR_KaSoftwareVerItem, false},
}};

static_assert(kClassTable.size() <= kMaxClasses);

}  // namespace

std::span<const ClassEntry> ClassTable() noexcept { return kClassTable; }

const wchar_t* AppIdString() noexcept {
  static wchar_t text[40] = {};
  if (text[0] == L'\0') ::StringFromGUID2(APPID_Tessary, text, 40);
  return text;
}

}  // namespace tessary
