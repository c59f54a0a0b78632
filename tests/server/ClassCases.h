#pragma once
// What the tests expect of each class the module serves, written apart from
// the class table so that a wrong entry there shows.
#include <windows.h>

#include "TessaryLib.h"
#include "com/ResourceIds.h"

namespace tessary::testing {

struct ClassCase {
  const wchar_t* name;
  const CLSID* clsid;
  const IID* iid;         // its default interface
  const IID* refused;     // an interface it must not serve
  bool aggregates;
  bool dual;              // answers IDispatch too
  UINT script;            // its REGISTRY resource
  bool registered;        // written by DllRegisterServer
};

inline constexpr ClassCase kClassCases[] = {
    {L"KaCommonSoft", &CLSID_KaCommonSoft, &IID_IKaCommonSoft, &IID_IKaInstalledSoft, true, false,
     IDR_KaCommonSoft, false},
    // Its installed-program list is dual, for script hosts.
    {L"KaInstalledSoft", &CLSID_KaInstalledSoft, &IID_IKaInstalledSoft, &IID_IKaCommonSoft, true,
     true, IDR_KaInstalledSoft, true},
    {L"KaGetIconStatus", &CLSID_KaGetIconStatus, &IID_IKaGetIconStatus, &IID_IKaSoftStatusManager,
     false, false, IDR_KaGetIconStatus, true},
    {L"KaRecommendCatalog", &CLSID_KaRecommendCatalog, &IID_IKaRecommendCatalog,
     &IID_IKaRecommendSoft, true, true, IDR_KaRecommendCatalog, true},
    {L"KaRecommendSoft", &CLSID_KaRecommendSoft, &IID_IKaRecommendSoft, &IID_IKaRecommendCatalog,
     true, true, IDR_KaRecommendSoft, true},
    {L"KaSoftStatusManager", &CLSID_KaSoftStatusManager, &IID_IKaSoftStatusManager,
     &IID_IKaGetIconStatus, false, false, IDR_KaSoftStatusManager, true},
    {L"KaSoftUpdater", &CLSID_KaSoftUpdater, &IID_IKaSoftUpdater, &IID_IKaSoftWare, true, false,
     IDR_KaSoftUpdater, true},
    {L"KaSoftTypeStorage", &CLSID_KaSoftTypeStorage, &IID_IKaSoftTypeStorage, &IID_IKaSoftMainType,
     true, false, IDR_KaSoftTypeStorage, true},
    {L"KaSoftwareCatelog", &CLSID_KaSoftwareCatelog, &IID_IKaSoftwareCatelog, &IID_IKaSoftWare,
     true, false, IDR_KaSoftwareCatelog, true},
    {L"KaSoftWare", &CLSID_KaSoftWare, &IID_IKaSoftWare, &IID_IKaSoftwareVerItem, false, false,
     IDR_KaSoftWare, true},
    {L"KaSoftMainType", &CLSID_KaSoftMainType, &IID_IKaSoftMainType, &IID_IKaSoftTypeStorage, false,
     false, IDR_KaSoftMainType, true},
    {L"KaSoftwareVerItem", &CLSID_KaSoftwareVerItem, &IID_IKaSoftwareVerItem, &IID_IKaSoftWare,
     true, false, IDR_KaSoftwareVerItem, false},
};

}  // namespace tessary::testing
