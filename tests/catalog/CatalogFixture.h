#pragma once
// The DLL attached to our host, with catalog files the host names and
// helpers to read entries back.
#include <windows.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>
#include <string_view>
#include <vector>

#include "TessaryLib.h"
#include "host/Host.h"
#include "support/TestSupport.h"

namespace tessary::testing {

// The default main-type name from the DLL's string table.
inline const wchar_t kUnknownType[] = L"\x672a\x77e5\x7c7b\x522b";

class CatalogFixture : public ::testing::Test {
 protected:
  // `dllPath` lets a fixture load a private copy beside its own KaData.
  explicit CatalogFixture(const std::wstring& dllPath = BuiltDllPath()) : dll_(dllPath) {}

  void SetUp() override {
    ASSERT_TRUE(dll_.ok());
    ASSERT_HRESULT_SUCCEEDED(host_.Start());
    ASSERT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftStatusManager, manager_.GetAddressOf()));
    ASSERT_HRESULT_SUCCEEDED(manager_.As(&plugin_));
    plugin_->Attach(host_.Services());
  }

  void TearDown() override {
    if (plugin_) plugin_->Detach();
    host_.Shutdown();
  }

  std::wstring WriteData(const wchar_t* name, std::string_view bytes) {
    const std::wstring path = dir_.Join(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
  }
  void SetCatalog(std::string_view xml) {
    host_.Data().SetDataFilePath(1, WriteData(L"catalog.xml", xml));
  }
  void SetRegistryKeys(std::string_view xml) {
    host_.Data().SetDataFilePath(2, WriteData(L"regkeys.xml", xml));
  }

  Microsoft::WRL::ComPtr<IKaSoftwareCatelog> NewCatalog() {
    Microsoft::WRL::ComPtr<IKaSoftwareCatelog> catalog;
    EXPECT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftwareCatelog, catalog.GetAddressOf()));
    return catalog;
  }
  Microsoft::WRL::ComPtr<IKaSoftwareCatelog> LoadedCatalog() {
    auto catalog = NewCatalog();
    if (catalog) {
      EXPECT_EQ(catalog->Load(), S_FALSE);
    }
    return catalog;
  }

  static Microsoft::WRL::ComPtr<IKaSoftWare> Find(IKaSoftwareCatelog* catalog,
                                                  const wchar_t* name) {
    Microsoft::WRL::ComPtr<IKaSoftWare> entry;
    UniqueBstr text = MakeBstr(name);
    catalog->GetSoftwareByName(text.Get(), entry.GetAddressOf());
    return entry;
  }
  static LONG Count(IKaSoftwareCatelog* catalog, kaSoftInnerType type) {
    LONG count = -1;
    EXPECT_EQ(catalog->GetSoftCount(type, &count), S_OK);
    return count;
  }
  // Names in enumeration order, read through a fresh GetEnum.
  static std::vector<std::wstring> Names(IKaSoftwareCatelog* catalog) {
    std::vector<std::wstring> names;
    Microsoft::WRL::ComPtr<IKaEnumSoftware> enumerator;
    EXPECT_EQ(catalog->GetEnum(enumerator.GetAddressOf()), S_OK);
    IKaSoftWare* entry = nullptr;
    while (enumerator && enumerator->Next(1, &entry, nullptr) == S_OK) {
      names.push_back(NameOf(entry));
      entry->Release();
    }
    return names;
  }
  static std::wstring NameOf(IKaSoftWare* entry) {
    UniqueBstr name;
    entry->GetSoftName(Out(name));
    return Text(name);
  }

  TessaryDll dll_;
  host::Host host_;
  TempDir dir_;
  Microsoft::WRL::ComPtr<IKaSoftStatusManager> manager_;
  Microsoft::WRL::ComPtr<IKaHostPlugin> plugin_;
};

}  // namespace tessary::testing
