#pragma once
// Identifiers of the module's resources, shared by Tessary.rc, the class
// table, the classes that load a string and the tests. Here rather than in
// server/ because classes below the server load strings. Plain macros:
// windres reads this file too.

// The type library: the first TYPELIB resource, which LoadTypeLibEx finds
// by the module's path alone.
#define IDR_TypeLibrary 1

// Registry scripts ("REGISTRY"): the application identifier's, then one a
// class.
#define IDR_AppId 101
#define IDR_KaSoftStatusManager 102
#define IDR_KaGetIconStatus 103
#define IDR_KaInstalledSoft 104
#define IDR_KaCommonSoft 105
#define IDR_KaSoftWare 106
#define IDR_KaSoftMainType 107
#define IDR_KaSoftwareCatelog 108
#define IDR_KaSoftTypeStorage 109
#define IDR_KaSoftUpdater 110
#define IDR_KaSoftwareVerItem 111
#define IDR_KaRecommendSoft 112
#define IDR_KaRecommendCatalog 113

// The string table.
#define IDS_ModuleName 100
#define IDS_DefaultTypeName 101
