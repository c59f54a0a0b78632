// Resources the module carries besides the type library.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/ResourceIds.h"
#include "support/TestSupport.h"

using namespace tessary::testing;

namespace {

TEST(ResourcesTest, StringTableHoldsTheModuleAndDefaultTypeNames) {
  TessaryDll dll;
  ASSERT_TRUE(dll.ok());
  wchar_t text[64] = {};
  ASSERT_GT(::LoadStringW(dll.module(), IDS_ModuleName, text, 64), 0);
  EXPECT_STREQ(text, L"Tessary");
  ASSERT_GT(::LoadStringW(dll.module(), IDS_DefaultTypeName, text, 64), 0);
  EXPECT_STREQ(text, L"\x672a\x77e5\x7c7b\x522b");
}

TEST(ResourcesTest, EveryRegistryScriptIsPresent) {
  TessaryDll dll;
  ASSERT_TRUE(dll.ok());
  for (UINT id = IDR_AppId; id <= IDR_KaRecommendCatalog; ++id) {
    EXPECT_NE(::FindResourceW(dll.module(), MAKEINTRESOURCEW(id), L"REGISTRY"), nullptr) << id;
  }
}

TEST(ResourcesTest, CarriesItsOwnVersion) {
  const std::wstring path = BuiltDllPath();
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  wchar_t* name = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\ProductName",
                               reinterpret_cast<void**>(&name), &length));
  EXPECT_STREQ(name, L"Tessary");
}

}  // namespace
