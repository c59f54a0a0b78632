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

using enum Aggregation;
using enum Registration;

// Each class joins here, with its registry script, as it is built.
constexpr std::array<ClassEntry, 12> kClassTable = {{
    {&CLSID_KaCommonSoft, &CreateKaCommonSoft, Allowed, IDR_KaCommonSoft, None},
    {&CLSID_KaInstalledSoft, &CreateKaInstalledSoft, Allowed, IDR_KaInstalledSoft, Written},
    {&CLSID_KaGetIconStatus, &CreateKaGetIconStatus, Refused, IDR_KaGetIconStatus, Written},
    {&CLSID_KaRecommendCatalog, &CreateKaRecommendCatalog, Allowed, IDR_KaRecommendCatalog, Written},
    {&CLSID_KaRecommendSoft, &CreateKaRecommendSoft, Allowed, IDR_KaRecommendSoft, Written},
    {&CLSID_KaSoftStatusManager, &CreateKaSoftStatusManager, Refused, IDR_KaSoftStatusManager, Written},
    {&CLSID_KaSoftUpdater, &CreateKaSoftUpdater, Allowed, IDR_KaSoftUpdater, Written},
    {&CLSID_KaSoftTypeStorage, &CreateKaSoftTypeStorage, Allowed, IDR_KaSoftTypeStorage, Written},
    {&CLSID_KaSoftwareCatelog, &CreateKaSoftwareCatelog, Allowed, IDR_KaSoftwareCatelog, Written},
    {&CLSID_KaSoftWare, &CreateKaSoftWare, Refused, IDR_KaSoftWare, Written},
    {&CLSID_KaSoftMainType, &CreateKaSoftMainType, Refused, IDR_KaSoftMainType, Written},
    {&CLSID_KaSoftwareVerItem, &CreateKaSoftwareVerItem, Allowed, IDR_KaSoftwareVerItem, None},
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
