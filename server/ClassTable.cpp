#include "server/ClassTable.h"

#include <array>

#include "TessaryLib.h"
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
    {&CLSID_KaCommonSoft, &CreateKaCommonSoft, true, 105, false},
    {&CLSID_KaInstalledSoft, &CreateKaInstalledSoft, true, 104, true},
    {&CLSID_KaGetIconStatus, &CreateKaGetIconStatus, false, 103, true},
    {&CLSID_KaRecommendCatalog, &CreateKaRecommendCatalog, true, 113, true},
    {&CLSID_KaRecommendSoft, &CreateKaRecommendSoft, true, 112, true},
    {&CLSID_KaSoftStatusManager, &CreateKaSoftStatusManager, false, 102, true},
    {&CLSID_KaSoftUpdater, &CreateKaSoftUpdater, true, 110, true},
    {&CLSID_KaSoftTypeStorage, &CreateKaSoftTypeStorage, true, 109, true},
    {&CLSID_KaSoftwareCatelog, &CreateKaSoftwareCatelog, true, 108, true},
    {&CLSID_KaSoftWare, &CreateKaSoftWare, false, 106, true},
    {&CLSID_KaSoftMainType, &CreateKaSoftMainType, false, 107, true},
    {&CLSID_KaSoftwareVerItem, &CreateKaSoftwareVerItem, true, 111, false},
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
