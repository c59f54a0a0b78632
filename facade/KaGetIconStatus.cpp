#include "facade/KaGetIconStatus.h"

#include <shlwapi.h>

#include <string_view>

#include "common/Result.h"
#include "common/Text.h"
#include "common/Unique.h"
#include "hostlink/HostReference.h"
#include "datafiles/DataFiles.h"

namespace tessary {
namespace {

constexpr HiddenWindowKind kIconWindow{L"IconRequest", kIconDoneMessage, nullptr};

}  // namespace

KaGetIconStatus::~KaGetIconStatus() {
  iconService_.Reset();
  window_.Reset();
}

HRESULT KaGetIconStatus::FinalConstruct() noexcept {
  window_.Create(kIconWindow, kIconWindowName, HiddenWindow::Placement::kDefault, this,
                 &OnWindowMessage);
  // Relative icon paths hang below the folder above the host's own folder.
  try {
    const std::wstring hostFolder = ModuleDirectory(nullptr);
    wchar_t base[MAX_PATH] = {};
    if (!hostFolder.empty() && ::PathCombineW(base, hostFolder.c_str(), L"..\\")) {
      iconBaseFolder_ = base;
    }
  } catch (const std::bad_alloc&) {
    iconBaseFolder_.clear();
  }
  return S_OK;
}

STDMETHODIMP KaGetIconStatus::GetIconStatus(BSTR bstrLocalPath, BSTR bstrUrl) noexcept {
  return Guarded([&]() -> HRESULT {
    const std::wstring localPath(TextToNul(bstrLocalPath));
    // No path names no icon; joined to the base it would name that folder,
    // which exists.
    if (localPath.empty()) return E_FAIL;
    wchar_t joined[MAX_PATH] = {};
    const wchar_t* full = localPath.c_str();
    if (::PathIsRelativeW(full)) {
      if (iconBaseFolder_.empty() ||
          !::PathCombineW(joined, iconBaseFolder_.c_str(), localPath.c_str())) {
        return E_FAIL;
      }
      full = joined;
    }
    if (::PathFileExistsW(full)) return S_OK;

    std::wstring path(full);
    // A download under way is not asked for twice.
    if (pending_.contains(path)) return E_FAIL;
    UniqueBstr requestPath, cookie;
    const UINT length = static_cast<UINT>(path.size());
    if (!requestPath.CopyFrom(path.c_str(), length) || !cookie.CopyFrom(path.c_str(), length)) {
      return E_OUTOFMEMORY;
    }
    const auto entry = pending_.emplace(std::move(path), nullptr).first;
    if (!iconService_) GetHostService(__uuidof(IKaIconService), iconService_);
    // Without the service the path stays pending and is not asked for again.
    if (!iconService_) return E_FAIL;
    entry->second = cookie.Get();
    // The host may answer inside the call; `entry` is not touched after it.
    iconService_->RequestIcon(bstrUrl, requestPath.Get(), window_.get(), kIconDoneMessage,
                              cookie.Detach());
    return E_FAIL;
  });
}

void KaGetIconStatus::OnIconDone(BSTR cookie) noexcept {
  // The window is found by name, so anyone may post to it: only a cookie we
  // handed out is read and freed.
  if (!cookie) return;
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    if (it->second != cookie) continue;
    pending_.erase(it);
    ::SysFreeString(cookie);
    return;
  }
}

void KaGetIconStatus::OnWindowMessage(void* self, WPARAM cookie, LPARAM) noexcept {
  static_cast<KaGetIconStatus*>(self)->OnIconDone(reinterpret_cast<BSTR>(cookie));
}

HRESULT CreateKaGetIconStatus(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  RETURN_HR_IF(CLASS_E_NOAGGREGATION, outer != nullptr);
  return CreateComInstance<KaGetIconStatus>(nullptr, riid, ppv);
}

HRESULT MakeKaGetIconStatus(Microsoft::WRL::ComPtr<IKaGetIconStatus>& out) noexcept {
  out.Reset();
  Microsoft::WRL::ComPtr<KaGetIconStatus> object;
  RETURN_IF_FAILED(MakeComObject(object));
  out = object;
  return S_OK;
}

}  // namespace tessary
