#include "facade/KaSoftStatusManager.h"

#include "catalog/KaSoftTypeStorage.h"
#include "catalog/KaSoftwareCatelog.h"
#include "common/Result.h"
#include "facade/HostReference.h"

namespace tessary {

using Microsoft::WRL::ComPtr;

STDMETHODIMP KaSoftStatusManager::GetSoftInstallStatus(BSTR, kaSoftInstallStatus*, BSTR*,
                                                       BSTR*) noexcept {
  return E_NOTIMPL;
}

STDMETHODIMP KaSoftStatusManager::GetSoftInstallStatusWithVer(BSTR, BSTR, kaSoftInstallStatus*,
                                                              BSTR*) noexcept {
  return E_NOTIMPL;
}

STDMETHODIMP KaSoftStatusManager::GetSoftTypeStorage(
    IKaSoftTypeStorage** lplpSoftTypeStorage) noexcept {
  if (!lplpSoftTypeStorage) return E_POINTER;
  *lplpSoftTypeStorage = nullptr;
  if (!typeStorage_) {
    // Made and scanned once; its construction asks the published status
    // manager (normally this one) for the catalog's main types.
    ComPtr<KaSoftTypeStorage> storage;
    if (SUCCEEDED(MakeComObject(storage))) {
      typeStorage_ = storage;
      std::wstring folder;
      if (SUCCEEDED(Guarded([&]() -> HRESULT {
            folder = KaSoftTypeStorage::DefaultFolder();
            return S_OK;
          }))) {
        storage->Scan(folder);
      }
    }
  }
  if (!typeStorage_) return E_FAIL;
  typeStorage_->QueryInterface(IID_PPV_ARGS(lplpSoftTypeStorage));
  return *lplpSoftTypeStorage ? S_OK : E_FAIL;
}

STDMETHODIMP KaSoftStatusManager::GetAntivirusInstallStatus(kaSoftInstallStatus*, BSTR*,
                                                            BSTR*) noexcept {
  return E_NOTIMPL;
}

STDMETHODIMP KaSoftStatusManager::GetIcons(BSTR, BSTR) noexcept { return E_NOTIMPL; }
STDMETHODIMP KaSoftStatusManager::RefreshAllInstalledStatus() noexcept { return E_NOTIMPL; }
STDMETHODIMP KaSoftStatusManager::RefreshOneInstalledStatus(BSTR) noexcept { return E_NOTIMPL; }
STDMETHODIMP KaSoftStatusManager::RefreshIdentifyInfo() noexcept { return E_NOTIMPL; }

STDMETHODIMP KaSoftStatusManager::GetUninstallString(BSTR, BSTR, BSTR*) noexcept {
  return E_NOTIMPL;
}

STDMETHODIMP KaSoftStatusManager::GetStartupExeString(BSTR, BSTR*) noexcept { return E_NOTIMPL; }

bool KaSoftStatusManager::EnsureCatalog() noexcept {
  if (catalog_) return true;
  ComPtr<KaSoftwareCatelog> catalog;
  if (FAILED(MakeComObject(catalog))) return false;
  catalog_ = catalog;
  // Kept even when nothing could be read.
  catalog_->Load();
  return true;
}

STDMETHODIMP KaSoftStatusManager::GetSoftwareCatelog(
    IKaSoftwareCatelog** lplpSoftwareCatelog) noexcept {
  if (!lplpSoftwareCatelog) return E_POINTER;
  *lplpSoftwareCatelog = nullptr;
  if (!EnsureCatalog()) return E_FAIL;
  *lplpSoftwareCatelog = catalog_.Get();
  catalog_->AddRef();
  return S_OK;
}

STDMETHODIMP KaSoftStatusManager::GetSoftwareUpdater(IKaSoftUpdater**) noexcept {
  return E_NOTIMPL;
}

STDMETHODIMP KaSoftStatusManager::RefreshRecmdSoft() noexcept { return E_NOTIMPL; }

STDMETHODIMP KaSoftStatusManager::GetRecommendSoft(IKaRecommendSoft**) noexcept {
  return E_NOTIMPL;
}

STDMETHODIMP KaSoftStatusManager::Attach(IKaHostServices* host) noexcept {
  SetHostReference(host);
  return S_FALSE;
}

STDMETHODIMP KaSoftStatusManager::Detach() noexcept {
  typeStorage_.Reset();
  catalog_.Reset();
  ClearHostReference();
  return S_OK;
}

HRESULT CreateKaSoftStatusManager(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaSoftStatusManager>(outer, riid, ppv);
}

}  // namespace tessary
