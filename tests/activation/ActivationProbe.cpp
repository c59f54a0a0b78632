// Run inside a prefix where regsvr32 registered (or unregistered) the DLL:
// checks what the registry holds and that COM activation works through it.
// Prints "OK ..." or "FAIL ..." and exits 0 or 1.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

#include "TessaryLib.h"

namespace {

struct Class {
  const CLSID* clsid;
  const wchar_t* name;
  bool registered;
};

const Class kClasses[] = {
    {&CLSID_KaCommonSoft, L"KaCommonSoft", false},
    {&CLSID_KaInstalledSoft, L"KaInstalledSoft", true},
    {&CLSID_KaGetIconStatus, L"KaGetIconStatus", true},
    {&CLSID_KaRecommendCatalog, L"KaRecommendCatalog", true},
    {&CLSID_KaRecommendSoft, L"KaRecommendSoft", true},
    {&CLSID_KaSoftStatusManager, L"KaSoftStatusManager", true},
    {&CLSID_KaSoftUpdater, L"KaSoftUpdater", true},
    {&CLSID_KaSoftTypeStorage, L"KaSoftTypeStorage", true},
    {&CLSID_KaSoftwareCatelog, L"KaSoftwareCatelog", true},
    {&CLSID_KaSoftWare, L"KaSoftWare", true},
    {&CLSID_KaSoftMainType, L"KaSoftMainType", true},
    {&CLSID_KaSoftwareVerItem, L"KaSoftwareVerItem", false},
};

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  ::RegCloseKey(key);
  return true;
}

std::wstring Guid(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

int failures = 0;
void Fail(const wchar_t* what, const wchar_t* name) {
  std::wprintf(L"FAIL %ls %ls\n", what, name);
  ++failures;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool registered = argc > 1 && std::wstring(argv[1]) == L"registered";
  if (FAILED(::CoInitialize(nullptr))) return 2;
  int activated = 0;
  for (const Class& cls : kClasses) {
    const std::wstring key = L"CLSID\\" + Guid(*cls.clsid);
    const bool present = KeyExists(key + L"\\InprocServer32");
    if (!registered || !cls.registered) {
      if (present) Fail(L"unexpected registration of", cls.name);
      continue;
    }
    if (!present) {
      Fail(L"missing registration of", cls.name);
      continue;
    }
    IUnknown* object = nullptr;
    const HRESULT hr = ::CoCreateInstance(*cls.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                          reinterpret_cast<void**>(&object));
    if (FAILED(hr)) {
      Fail(L"CoCreateInstance", cls.name);
      continue;
    }
    object->Release();
    ++activated;
  }
  ITypeLib* library = nullptr;
  const HRESULT loaded = ::LoadRegTypeLib(LIBID_TessaryLib, 1, 0, LOCALE_NEUTRAL, &library);
  if (library) library->Release();
  if (registered != SUCCEEDED(loaded)) Fail(L"type library registration", L"TessaryLib");
  if (registered != KeyExists(L"AppID\\" + Guid(APPID_Tessary))) Fail(L"AppID", L"");
  if (!KeyExists(L"CLSID") || !KeyExists(L"AppID")) Fail(L"parent keys", L"");
  ::CoUninitialize();
  if (failures == 0) std::wprintf(L"OK %d classes activated\n", activated);
  return failures == 0 ? 0 : 1;
}
