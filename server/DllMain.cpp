// The module's entry points.
#include <windows.h>
#include <objbase.h>

#include <vector>

#include "server/ClassTable.h"
#include "com/Module.h"
#include "server/Registrar.h"

namespace __gnu_cxx {
// The C++ runtime's release of what it keeps for the process's life (the
// emergency exception pool); linked statically, it is ours to call.
void __freeres() noexcept;  // NOLINT(bugprone-reserved-identifier): the runtime's name
}  // namespace __gnu_cxx

namespace {

using tessary::ClassObjectCache;
using tessary::Module;

IClassFactory** ClassObjectSlots() noexcept {
  static IClassFactory* slots[tessary::kMaxClasses] = {};
  return slots;
}

ClassObjectCache& Cache() noexcept {
  static ClassObjectCache cache(tessary::ClassTable(), ClassObjectSlots());
  return cache;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      Module::SetHandle(instance);
      ::DisableThreadLibraryCalls(instance);
      return Module::Initialize() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      // At process exit other modules may already be gone: only a real
      // FreeLibrary releases what the module holds.
      if (reserved == nullptr) {
        Cache().ReleaseAll();
        Module::RunTermFunctions();
        Module::Terminate();
        // A host that frees unused libraries loads and unloads us many times.
        __gnu_cxx::__freeres();
      }
      return TRUE;
    default:
      return TRUE;
  }
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return Cache().GetClassObject(rclsid, riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return Module::LockCount() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  return tessary::RegisterServer(Module::Handle(), tessary::ClassTable(), tessary::AppIdString());
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return tessary::UnregisterServer(Module::Handle(), tessary::ClassTable(),
                                   tessary::AppIdString());
}
