// A minimal host of the Tessary component: everything a host must write
// itself, and no more. It creates the status manager from the DLL, attaches
// a service registry holding a data service, lets the warm-up run, asks for
// programs' install status, lists the catalog's updates, and lets go.
//
//   sample-host.exe PATH\Tessary.dll HOST_DATA_FOLDER [PROGRAM...]
//
// HOST_DATA_FOLDER holds the host's catalog.xml and regkeys.xml; the rules
// (KaData) stay beside the DLL. See docs/integrating.md.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "TessaryHost.h"
#include "TessaryLib.h"

using Microsoft::WRL::ComPtr;

namespace {

// The smallest COM object: one interface and a reference count. The host
// and the component share one apartment, so the count needs no locking.
template <typename Interface>
class Object : public Interface {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != __uuidof(Interface)) return E_NOINTERFACE;
    *out = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~Object() = default;

 private:
  ULONG references_ = 1;
};

// The service registry the component attaches to. The component looks up
// the data service here and registers itself under IKaSoftStatusManager.
class ServiceRegistry final : public Object<IKaHostServices> {
 public:
  STDMETHODIMP RegisterService(REFGUID id, IUnknown* service) override {
    if (!service) return E_INVALIDARG;
    RevokeService(id);
    services_.emplace_back(id, service);
    return S_OK;
  }
  STDMETHODIMP RevokeService(REFGUID id) override {
    for (auto it = services_.begin(); it != services_.end(); ++it) {
      if (it->first != id) continue;
      // Dropped outside the list: the release may call back into us.
      ComPtr<IUnknown> gone = std::move(it->second);
      services_.erase(it);
      return S_OK;
    }
    return S_FALSE;
  }
  STDMETHODIMP GetService(REFGUID id, IUnknown** service) override {
    if (!service) return E_POINTER;
    *service = nullptr;
    for (const auto& [key, object] : services_) {
      if (key == id) return object.CopyTo(service);
    }
    return E_FAIL;
  }
  // Breaks the cycle with a component that forgot to detach.
  void Clear() { std::vector<std::pair<GUID, ComPtr<IUnknown>>>().swap(services_); }

 private:
  std::vector<std::pair<GUID, ComPtr<IUnknown>>> services_;
};

// The data service: where the host keeps its catalog and registry-key files,
// and whether they changed. Only these two methods are called; the reserved
// slots keep them at their places in the interface.
class DataService final : public Object<IKaDataService> {
 public:
  DataService(std::wstring catalog, std::wstring registryKeys)
      : catalog_(std::move(catalog)), registryKeys_(std::move(registryKeys)) {}

  STDMETHODIMP GetReloadFlag(LONG* flag) override {
    if (!flag) return E_POINTER;
    *flag = 0;
    return S_OK;
  }
  STDMETHODIMP GetDataFilePath(LONG kind, BSTR* path, LONG) override {
    if (!path) return E_POINTER;
    const wchar_t* text = kind == 1 ? catalog_.c_str() : kind == 2 ? registryKeys_.c_str() : L"";
    *path = ::SysAllocString(text);
    return *path ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP Reserved3() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved4() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved5() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved6() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved8() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved9() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved10() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved11() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved12() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved13() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved14() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved15() override { return E_NOTIMPL; }

 private:
  const std::wstring catalog_;
  const std::wstring registryKeys_;
};

// Owns a BSTR the component handed out.
class Bstr {
 public:
  Bstr() = default;
  ~Bstr() { ::SysFreeString(text_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR* operator&() { return &text_; }
  BSTR get() const { return text_; }

 private:
  BSTR text_ = nullptr;
};

std::string Utf8(const wchar_t* text) {
  if (!text || !*text) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}

// The component warms its slow parts up on a timer of its hidden window,
// 1.5 s after Attach: a host's message loop runs it. Here, a loop that
// stops after two seconds.
void PumpMessages(DWORD milliseconds) {
  const ULONGLONG end = ::GetTickCount64() + milliseconds;
  for (ULONGLONG now = ::GetTickCount64(); now < end; now = ::GetTickCount64()) {
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
}

// Creates the status manager straight from the DLL, without registration.
// A host of a registered component calls CoCreateInstance instead.
HRESULT CreateStatusManager(HMODULE dll, IKaSoftStatusManager** manager) {
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  const auto get = reinterpret_cast<GetClassObject>(
      reinterpret_cast<void*>(::GetProcAddress(dll, "DllGetClassObject")));
  if (!get) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  ComPtr<IClassFactory> factory;
  HRESULT hr = get(CLSID_KaSoftStatusManager, IID_PPV_ARGS(&factory));
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, __uuidof(IKaSoftStatusManager),
                                 reinterpret_cast<void**>(manager));
}

void PrintStatus(IKaSoftStatusManager* manager, const wchar_t* name) {
  BSTR program = ::SysAllocString(name);
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  Bstr version, displayName;
  const HRESULT hr = manager->GetSoftInstallStatus(program, &status, &version, &displayName);
  ::SysFreeString(program);
  if (FAILED(hr)) {
    std::printf("status %s: failed 0x%08lX\n", Utf8(name).c_str(), static_cast<unsigned long>(hr));
    return;
  }
  const char* words[] = {"?", "installed", "not installed", "no rules", "unknown"};
  std::printf("status %s: %s", Utf8(name).c_str(),
              status >= 1 && status <= 4 ? words[status] : words[0]);
  if (status == kaSoftInstallStatus_installed) {
    std::printf(" %s as \"%s\"", Utf8(version.get()).c_str(), Utf8(displayName.get()).c_str());
  }
  std::printf("\n");
}

HRESULT PrintUpdates(IKaSoftStatusManager* manager) {
  ComPtr<IKaSoftUpdater> updater;
  HRESULT hr = manager->GetSoftwareUpdater(&updater);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = updater->RefreshUpdateStatus())) return hr;
  LONG count = 0;
  if (FAILED(hr = updater->GetUpdateSoftCount(&count))) return hr;
  std::printf("updates: %ld\n", static_cast<long>(count));
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IKaSoftWare> program;
    Bstr installed, name;
    SAFEARRAY* newer = nullptr;
    if (FAILED(hr = updater->GetUpdateSoftByIndex(i, &program, &installed, &newer))) return hr;
    program->GetDisplayName(&name);
    std::printf("update %s: %s ->", Utf8(name.get()).c_str(), Utf8(installed.get()).c_str());
    LONG lower = 0, upper = -1;
    if (newer) {
      ::SafeArrayGetLBound(newer, 1, &lower);
      ::SafeArrayGetUBound(newer, 1, &upper);
    }
    for (LONG at = lower; at <= upper; ++at) {
      Bstr version;
      if (SUCCEEDED(::SafeArrayGetElement(newer, &at, &version))) {
        std::printf(" %s", Utf8(version.get()).c_str());
      }
    }
    std::printf("\n");
    if (newer) ::SafeArrayDestroy(newer);
  }
  return S_OK;
}

int Run(int argc, wchar_t** argv) {
  const std::wstring folder = argv[2];
  // The DLL stays loaded until every object from it is gone (end of Run).
  const HMODULE dll = ::LoadLibraryW(argv[1]);
  if (!dll) {
    std::printf("cannot load the component: error %lu\n", ::GetLastError());
    return 2;
  }
  int exitCode = 0;
  {
    ComPtr<IKaSoftStatusManager> manager;
    HRESULT hr = CreateStatusManager(dll, &manager);
    ComPtr<IKaHostPlugin> plugin;
    if (SUCCEEDED(hr)) hr = manager.As(&plugin);
    if (FAILED(hr)) {
      std::printf("cannot create the status manager: 0x%08lX\n", static_cast<unsigned long>(hr));
      ::FreeLibrary(dll);
      return 2;
    }

    ComPtr<ServiceRegistry> registry;
    registry.Attach(new ServiceRegistry);
    ComPtr<DataService> data;
    data.Attach(new DataService(folder + L"\\catalog.xml", folder + L"\\regkeys.xml"));
    registry->RegisterService(__uuidof(IKaDataService), data.Get());

    // S_FALSE: attached, and the warm-up is still to come.
    hr = plugin->Attach(registry.Get());
    std::printf("attach: 0x%08lX\n", static_cast<unsigned long>(hr));
    PumpMessages(2000);

    for (int i = 3; i < argc; ++i) PrintStatus(manager.Get(), argv[i]);
    if (argc <= 3) PrintStatus(manager.Get(), L"Brightfield Browser");
    hr = PrintUpdates(manager.Get());
    if (FAILED(hr)) {
      std::printf("updates failed: 0x%08lX\n", static_cast<unsigned long>(hr));
      exitCode = 1;
    }

    // Detach before the last release: the component and the registry hold
    // each other until then.
    hr = plugin->Detach();
    std::printf("detach: 0x%08lX\n", static_cast<unsigned long>(hr));
    registry->Clear();
  }
  // Every object of the DLL is released: unloading is safe now.
  ::FreeLibrary(dll);
  return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::printf("usage: sample-host PATH\\Tessary.dll HOST_DATA_FOLDER [PROGRAM...]\n");
    return 2;
  }
  // The component's classes are apartment-threaded: one host per apartment,
  // every call from the thread that made the objects.
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  const int code = Run(argc, argv);
  ::CoUninitialize();
  return code;
}
