#include "UpdaterFixture.h"

#include <oleauto.h>

namespace tessary::testing {

using Microsoft::WRL::ComPtr;

std::string Soft(const char* name, std::initializer_list<const char*> versions) {
  std::string xml = std::string("<software main_type='1'><name>") + name + "</name>";
  for (std::string version : versions) {
    const bool trial = !version.empty() && version.back() == '*';
    if (trial) version.pop_back();
    xml += "<version version='" + version + "' ver_attribute='" + (trial ? "1" : "0") + "'/>";
  }
  return xml + "</software>";
}

void UpdaterFixture::SetUp() {
  ASSERT_TRUE(dll_.ok());
  ASSERT_HRESULT_SUCCEEDED(host_.Start());
  // The DLL's status manager gives the DLL its host reference.
  ASSERT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftStatusManager, plugin_.GetAddressOf()));
  plugin_->Attach(host_.Services());
  ASSERT_HRESULT_SUCCEEDED(MakeComObject(facade_));
  ASSERT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftwareCatelog, facade_->catalog.GetAddressOf()));
  PublishFacade();
  ASSERT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftUpdater, updater_.GetAddressOf()));
}

void UpdaterFixture::TearDown() {
  updater_.Reset();
  if (plugin_) plugin_->Detach();
  host_.Shutdown();
  facade_.Reset();
  plugin_.Reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

void UpdaterFixture::PublishFacade() {
  ASSERT_HRESULT_SUCCEEDED(host_.Services()->RegisterService(
      __uuidof(IKaSoftStatusManager), static_cast<IKaSoftStatusManager*>(facade_.Get())));
}

void UpdaterFixture::SetCatalog(const std::string& software) {
  const std::wstring path = dir_.Join(L"catalog.xml");
  ASSERT_TRUE(WriteFileBytes(path,
                             "<vedad><main_type_list><t id='1'><name>Tools</name></t>"
                             "</main_type_list><software_list>" +
                                 software + "</software_list></vedad>"));
  host_.Data().SetDataFilePath(1, path);
}

std::vector<LONG> UpdaterFixture::Counts() {
  LONG soft = -1, versions = -1, ignored = -1;
  EXPECT_EQ(updater_->GetUpdateSoftCount(&soft), S_OK);
  EXPECT_EQ(updater_->GetUpdateVersionCount(&versions), S_OK);
  EXPECT_EQ(updater_->GetIgnoredSoftCount(&ignored), S_OK);
  return {soft, versions, ignored};
}

Update UpdaterFixture::Entry(LONG index) {
  ComPtr<IKaSoftWare> software;
  BSTR installed = nullptr;
  SAFEARRAY* versions = nullptr;
  EXPECT_EQ(updater_->GetUpdateSoftByIndex(index, software.GetAddressOf(), &installed, &versions),
            S_OK);
  if (!software || !versions) return {};
  Update update{NameOf(software.Get()), installed ? installed : L"", TakeStrings(versions)};
  ::SysFreeString(installed);
  return update;
}

std::vector<Update> UpdaterFixture::Entries() {
  std::vector<Update> entries;
  for (LONG i = 0; i < Counts()[0]; ++i) entries.push_back(Entry(i));
  return entries;
}

VARIANT_BOOL UpdaterFixture::IgnoreMark(const wchar_t* name, const wchar_t* version) {
  BSTR nameText = ::SysAllocString(name);
  BSTR versionText = ::SysAllocString(version);
  ComPtr<IKaSoftWare> software;
  ComPtr<IKaSoftwareVerItem> item;
  VARIANT_BOOL mark = 1;  // neither true nor false
  if (SUCCEEDED(facade_->catalog->GetSoftwareByName(nameText, software.GetAddressOf())) &&
      SUCCEEDED(software->GetVerItemByVersion(versionText, item.GetAddressOf()))) {
    item->GetBeIgnored(&mark);
  }
  ::SysFreeString(nameText);
  ::SysFreeString(versionText);
  return mark;
}

std::wstring NameOf(IKaSoftWare* software) {
  BSTR name = nullptr;
  software->GetSoftName(&name);
  std::wstring text = name ? name : L"";
  ::SysFreeString(name);
  return text;
}

// Reads and destroys a one-dimensional string array starting at 0.
std::vector<std::wstring> TakeStrings(SAFEARRAY* array) {
  std::vector<std::wstring> strings;
  VARTYPE type = VT_EMPTY;
  EXPECT_EQ(::SafeArrayGetVartype(array, &type), S_OK);
  EXPECT_EQ(type, VT_BSTR);
  EXPECT_EQ(::SafeArrayGetDim(array), 1u);
  LONG lower = -1, upper = -1;
  ::SafeArrayGetLBound(array, 1, &lower);
  ::SafeArrayGetUBound(array, 1, &upper);
  EXPECT_EQ(lower, 0);
  for (LONG i = lower; i <= upper; ++i) {
    BSTR text = nullptr;
    EXPECT_EQ(::SafeArrayGetElement(array, &i, &text), S_OK);
    strings.emplace_back(text ? text : L"");
    ::SysFreeString(text);
  }
  // Handed over unlocked: it can be destroyed at once.
  EXPECT_EQ(::SafeArrayDestroy(array), S_OK);
  return strings;
}

}  // namespace tessary::testing
