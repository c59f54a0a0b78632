#include "facade/AntivirusDetector.h"

#include <wbemidl.h>
#include <wrl/client.h>

#include <memory>
#include <new>
#include <utility>

#include "common/Result.h"
#include "common/Names.h"
#include "common/Text.h"
#include "common/Unique.h"
#include "inventory/InstalledProgramInventory.h"
#include "inventory/WindowsVersion.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"
#include "com/Module.h"

namespace tessary {
namespace {

using Microsoft::WRL::ComPtr;

constexpr wchar_t kRulesFile[] = L"..\\KaData\\KaAntivirusIdentify.xml";
constexpr wchar_t kUnknown[] = L"Unknown";

SecurityCenterQuery g_query = &QueryWmiSecurityCenter;

// The module's detector, shared by the status managers of every apartment.
SrwLock g_detectorLock;
AntivirusDetector* g_detector = nullptr;

void FreeDetector() {
  AntivirusDetector* detector = nullptr;
  {
    SrwLock::Exclusive guard(g_detectorLock);
    detector = std::exchange(g_detector, nullptr);
  }
  delete detector;
}

AntivirusDetector* ModuleDetector() noexcept {
  {
    SrwLock::Shared guard(g_detectorLock);
    if (g_detector) return g_detector;
  }
  SrwLock::Exclusive guard(g_detectorLock);
  if (g_detector) return g_detector;
  try {
    g_detector = new AntivirusDetector(DataFilePath(kRulesFile));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  // Without a slot in the termination list the detector lives as long as the
  // process, which is harmless.
  Module::AddTermFunction(&FreeDetector);
  return g_detector;
}

// The security center is asked on Windows XP only; later releases moved it
// and the rules file speaks for them. `text` is the product's name, or
// "Unknown" when the center answered without one.
HRESULT QuerySecurityCenter(bool& answered, std::wstring& text) {
  answered = false;
  text = kUnknown;
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!QueryOsVersion(&info)) info = {};
  if (info.dwPlatformId != VER_PLATFORM_WIN32_NT || info.dwMajorVersion != 5 ||
      info.dwMinorVersion != 1) {
    return S_OK;
  }
  UniqueBstr name;
  const HRESULT hr = g_query(name.Receive());
  if (hr == E_OUTOFMEMORY) return hr;
  if (FAILED(hr)) return S_OK;
  answered = true;
  if (name) text.assign(name.Get(), name.Length());
  return S_OK;
}

}  // namespace

SecurityCenterQuery SetSecurityCenterQuery(SecurityCenterQuery query) noexcept {
  return std::exchange(g_query, query ? query : &QueryWmiSecurityCenter);
}

HRESULT QueryWmiSecurityCenter(BSTR* displayName) noexcept {
  if (!displayName) return E_POINTER;
  *displayName = nullptr;
  // Until the query has run, any failure (memory included) leaves the center
  // silent, and the rules decide.
  const auto silent = [](HRESULT hr) { return FAILED(hr) ? E_FAIL : hr; };
  ComPtr<IWbemLocator> locator;
  RETURN_IF_FAILED(silent(
      ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&locator))));
  UniqueBstr space, language, query;
  if (!space.CopyFrom(L"ROOT\\SECURITYCENTER") || !language.CopyFrom(L"WQL") ||
      !query.CopyFrom(L"SELECT * FROM antivirusproduct")) {
    return E_FAIL;
  }
  ComPtr<IWbemServices> services;
  RETURN_IF_FAILED(silent(locator->ConnectServer(space.Get(), nullptr, nullptr, nullptr, 0,
                                                 nullptr, nullptr, services.GetAddressOf())));
  RETURN_HR_IF_NULL(E_FAIL, services);
  RETURN_IF_FAILED(silent(::CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE,
                                              nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE)));
  ComPtr<IEnumWbemClassObject> products;
  RETURN_IF_FAILED(silent(services->ExecQuery(language.Get(), query.Get(),
                                              WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                              nullptr, products.GetAddressOf())));
  // The query ran: whatever follows, the center has answered.
  if (!products) return S_OK;
  ComPtr<IWbemClassObject> product;
  ULONG returned = 0;
  if (FAILED(products->Next(WBEM_INFINITE, 1, product.GetAddressOf(), &returned)) ||
      returned != 1 || !product) {
    return S_OK;
  }
  UniqueVariant value;
  if (FAILED(product->Get(L"displayName", 0, value.Receive(), nullptr, nullptr))) return S_OK;
  if (value.Get().vt != VT_BSTR || !value.Get().bstrVal) return S_OK;
  return CopyOutExact(value.Get().bstrVal, displayName);
}

bool AntivirusDetector::LoadRules() {
  const ComPtr<IXMLDOMDocument> document = LoadXmlFile(rulesPath_.c_str());
  if (!document) return false;
  const ComPtr<IXMLDOMNode> container = SelectRoot(document.Get(), L"KaAntivirus");
  if (!container) return false;
  // An empty container keeps the rules read before.
  if (ChildNodeCount(container.Get()) == 0) return false;

  // Built aside, so a load cut short by memory keeps the rules read before.
  auto entries = std::make_shared<Entries>();
  ForEachChildElement(container.Get(), [&](IXMLDOMNode* element) {
    Entry entry;
    ForEachAttribute(element, [&](BSTR name, BSTR text) {
      if (LoweredNameEquals(name, L"name")) {
        entry.name = LowerCopy(TextToNul(text));
      } else if (LoweredNameEquals(name, L"displayname")) {
        entry.displayName = LowerCopy(TextToNul(text));
      }
    });
    if (ChildNodeCount(element) == 0) return;
    ForEachChildElement(element, [&](IXMLDOMNode* child) {
      Marker marker;
      ForEachAttribute(child, [&](BSTR name, BSTR text) {
        if (LoweredNameEquals(name, L"index")) {
          marker.index = TextToInt(text);
        } else if (LoweredNameEquals(name, L"value")) {
          marker.value = TextToNul(text);
        } else if (LoweredNameEquals(name, L"displayname")) {
          marker.displayName = TextToNul(text);
        }
      });
      entry.markers.push_back(std::move(marker));
    });
    std::wstring key = entry.name;
    entries->insert_or_assign(std::move(key), std::move(entry));
  });
  std::shared_ptr<const Entries> published = std::move(entries);
  {
    SrwLock::Exclusive guard(lock_);
    entries_.swap(published);
  }
  // The table replaced goes here, or with its last reader.
  return true;
}

void AntivirusDetector::Load() noexcept {
  loadingThread_ = ::GetCurrentThreadId();
  bool loaded = false;
  try {
    loaded = LoadRules();
  } catch (...) {
    loaded = false;
  }
  loadingThread_ = 0;
  SrwLock::Exclusive guard(lock_);
  rulesLoaded_ = loaded;
}

void AntivirusDetector::EnsureLoaded() noexcept {
  if (rulesLoaded() || loadingThread_ == ::GetCurrentThreadId()) return;
  SrwLock::Exclusive loading(loadLock_);
  // Loaded by another thread while this one waited.
  if (rulesLoaded()) return;
  Load();
}

int AntivirusDetector::Reload() noexcept {
  if (loadingThread_ == ::GetCurrentThreadId()) return rulesLoaded() ? 1 : 0;
  SrwLock::Exclusive loading(loadLock_);
  Load();
  return rulesLoaded() ? 1 : 0;
}

bool AntivirusDetector::rulesLoaded() const noexcept {
  SrwLock::Shared guard(lock_);
  return rulesLoaded_;
}

std::shared_ptr<const AntivirusDetector::Entries> AntivirusDetector::entries() const noexcept {
  SrwLock::Shared guard(lock_);
  return entries_;
}

HRESULT AntivirusDetector::Detect(kaSoftInstallStatus* status, BSTR* name,
                                  BSTR* displayName) noexcept {
  if (!status) return E_POINTER;
  EnsureLoaded();
  const std::shared_ptr<const Entries> rules = entries();
  return Guarded([&]() -> HRESULT {
    bool found = false;
    std::wstring product;
    std::wstring shown;
    RETURN_IF_FAILED(QuerySecurityCenter(found, product));
    if (found) {
      shown = product;
    } else if (rules) {
      for (const auto& [key, entry] : *rules) {
        for (const Marker& marker : entry.markers) {
          // An empty value would name the Uninstall key itself, present on
          // every machine: such a marker proves nothing.
          if (marker.value.empty() || !UninstallKeyExists(marker.value.c_str())) continue;
          shown = marker.displayName.empty() ? std::wstring(kUnknown) : marker.displayName;
          if (shown == kUnknown) shown = entry.displayName.empty() ? entry.name : entry.displayName;
          product = entry.name;
          found = true;
          break;
        }
        if (found) break;
      }
    }
    if (!found) {
      *status = kaSoftInstallStatus_noInstall;
      return S_OK;
    }
    UniqueBstr outName, outShown;
    if (name && !outName.CopyFrom(product.c_str(), static_cast<UINT>(product.size()))) {
      return E_OUTOFMEMORY;
    }
    if (displayName && !outShown.CopyFrom(shown.c_str(), static_cast<UINT>(shown.size()))) {
      return E_OUTOFMEMORY;
    }
    *status = kaSoftInstallStatus_installed;
    if (name) *name = outName.Detach();
    if (displayName) *displayName = outShown.Detach();
    return S_OK;
  });
}

HRESULT DetectAntivirus(kaSoftInstallStatus* status, BSTR* name, BSTR* displayName) noexcept {
  if (!status) return E_POINTER;
  AntivirusDetector* detector = ModuleDetector();
  if (!detector) return E_OUTOFMEMORY;
  return detector->Detect(status, name, displayName);
}

int ReloadAntivirusRules() noexcept {
  AntivirusDetector* detector = ModuleDetector();
  return detector ? detector->Reload() : 0;
}

}  // namespace tessary
