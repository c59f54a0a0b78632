#pragma once
// Our host's data service: the paths of its data files, the reload flag it
// raises when they change, and its settings (a second interface).
#include <windows.h>

#include <map>
#include <string>
#include <utility>

#include "TessaryLib.h"
#include "com/ComObject.h"

namespace tessary::host {

class HostDataService final
    : public ComObject<HostDataService, IKaDataService, IKaHostSettings> {
 public:
  static constexpr LONG kCatalogFile = 1;
  static constexpr LONG kRegistryKeyFile = 2;

  // Setters for the host program (and tests); they may throw bad_alloc.
  void SetDataFilePath(LONG kind, std::wstring path) { paths_[kind] = std::move(path); }
  void SetReloadFlag(LONG flag) noexcept { reloadFlag_ = flag; }
  void SetSetting(const std::wstring& section, const std::wstring& key, std::wstring value) {
    settings_[{section, key}] = std::move(value);
  }
  void RemoveSetting(const std::wstring& section, const std::wstring& key) {
    settings_.erase({section, key});
  }
  int DataFilePathCalls() const noexcept { return pathCalls_; }

  // IKaDataService. A kind without a path gives an empty string.
  STDMETHODIMP Reserved3() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved4() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved5() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved6() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP GetReloadFlag(LONG* flag) noexcept override;
  STDMETHODIMP Reserved8() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved9() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved10() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved11() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved12() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved13() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved14() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved15() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP GetDataFilePath(LONG kind, BSTR* path, LONG reserved) noexcept override;

  // IKaHostSettings. An unset value is absent, with S_FALSE. The reserved
  // slots share their names with IKaDataService's, so one body serves both.
  STDMETHODIMP Reserved7() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved16() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved17() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved18() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP GetSetting(BSTR section, BSTR key, BSTR* value) noexcept override;

 private:
  std::map<LONG, std::wstring> paths_;
  std::map<std::pair<std::wstring, std::wstring>, std::wstring> settings_;
  LONG reloadFlag_ = 0;
  int pathCalls_ = 0;
};

}  // namespace tessary::host
