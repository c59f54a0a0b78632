// Update detection through the DLL's updater, in our host, next to a
// stand-in status manager that hands out a catalog of the DLL (loaded from
// files our host names) and answers install status from a table.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "TessaryLib.h"
#include "host/Host.h"
#include "support/OuterUnknown.h"
#include "support/StatusManagerStub.h"
#include "support/TestSupport.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

class FakeStatusManager final : public StatusManagerStub<FakeStatusManager> {
 public:
  struct Install {
    kaSoftInstallStatus status;
    std::wstring version;
  };

  ComPtr<IKaSoftwareCatelog> catalog;         // none: GetSoftwareCatelog fails
  std::map<std::wstring, Install> installed;  // by the name as asked
  int statusCalls = 0;
  bool displayNameAsked = false;

  STDMETHODIMP GetSoftInstallStatus(BSTR name, kaSoftInstallStatus* status, BSTR* version,
                                    BSTR* displayName) noexcept override {
    ++statusCalls;
    displayNameAsked = displayNameAsked || displayName != nullptr;
    const auto found = installed.find(name ? name : L"");
    *status = found == installed.end() ? kaSoftInstallStatus_noIdentifyInfo : found->second.status;
    *version = found == installed.end() ? nullptr : ::SysAllocString(found->second.version.c_str());
    // A failed query that still fills in an answer, to be disregarded.
    return found != installed.end() && found->second.version == L"!" ? E_FAIL : S_OK;
  }
  STDMETHODIMP GetSoftwareCatelog(IKaSoftwareCatelog** out) noexcept override {
    *out = catalog.Get();
    if (!catalog) return E_FAIL;
    catalog->AddRef();
    return S_OK;
  }
};

// One update entry as the host reads it.
struct Update {
  std::wstring name;
  std::wstring installed;
  std::vector<std::wstring> versions;
  bool operator==(const Update&) const = default;
};

// A catalog software element; a version ending in '*' is a trial release.
std::string Soft(const char* name, std::initializer_list<const char*> versions) {
  std::string xml = std::string("<software main_type='1'><name>") + name + "</name>";
  for (std::string version : versions) {
    const bool trial = !version.empty() && version.back() == '*';
    if (trial) version.pop_back();
    xml += "<version version='" + version + "' ver_attribute='" + (trial ? "1" : "0") + "'/>";
  }
  return xml + "</software>";
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

class KaSoftUpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
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

  void TearDown() override {
    updater_.Reset();
    if (plugin_) plugin_->Detach();
    host_.Shutdown();
    facade_.Reset();
    plugin_.Reset();
    EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
  }

  void PublishFacade() {
    ASSERT_HRESULT_SUCCEEDED(host_.Services()->RegisterService(
        __uuidof(IKaSoftStatusManager), static_cast<IKaSoftStatusManager*>(facade_.Get())));
  }

  // The catalog file holds one main type and these software elements.
  void SetCatalog(const std::string& software) {
    const std::wstring path = dir_.Join(L"catalog.xml");
    ASSERT_TRUE(WriteFileBytes(path,
                               "<vedad><main_type_list><t id='1'><name>Tools</name></t>"
                               "</main_type_list><software_list>" +
                                   software + "</software_list></vedad>"));
    host_.Data().SetDataFilePath(1, path);
  }
  void Install(const wchar_t* name, const wchar_t* version,
               kaSoftInstallStatus status = kaSoftInstallStatus_installed) {
    facade_->installed[name] = {status, version};
  }
  void SetIgnoreList(const std::wstring& xml) {
    host_.Data().SetSetting(L"update", L"ignorelist", xml);
  }

  // Software count, version count, ignored count.
  std::vector<LONG> Counts() {
    LONG soft = -1, versions = -1, ignored = -1;
    EXPECT_EQ(updater_->GetUpdateSoftCount(&soft), S_OK);
    EXPECT_EQ(updater_->GetUpdateVersionCount(&versions), S_OK);
    EXPECT_EQ(updater_->GetIgnoredSoftCount(&ignored), S_OK);
    return {soft, versions, ignored};
  }

  std::vector<Update> Entries() {
    std::vector<Update> entries;
    for (LONG i = 0; i < Counts()[0]; ++i) {
      ComPtr<IKaSoftWare> software;
      BSTR installed = nullptr;
      SAFEARRAY* versions = nullptr;
      EXPECT_EQ(updater_->GetUpdateSoftByIndex(i, software.GetAddressOf(), &installed, &versions),
                S_OK);
      if (!software || !versions) return entries;
      entries.push_back(
          {NameOf(software.Get()), installed ? installed : L"", TakeStrings(versions)});
      ::SysFreeString(installed);
    }
    return entries;
  }

  // The ignore mark of a version item of the facade's current catalog.
  VARIANT_BOOL IgnoreMark(const wchar_t* name, const wchar_t* version) {
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

  TessaryDll dll_;
  host::Host host_;
  TempDir dir_;
  ComPtr<IKaHostPlugin> plugin_;
  ComPtr<FakeStatusManager> facade_;
  ComPtr<IKaSoftUpdater> updater_;
};

TEST_F(KaSoftUpdaterTest, ANewUpdaterHoldsNothing) {
  EXPECT_EQ(Counts(), (std::vector<LONG>{0, 0, 0}));
  EXPECT_EQ(updater_->GetUpdateSoftCount(nullptr), E_POINTER);
  EXPECT_EQ(updater_->GetUpdateVersionCount(nullptr), E_POINTER);
  EXPECT_EQ(updater_->GetIgnoredSoftCount(nullptr), E_POINTER);
  EXPECT_EQ(updater_->GetUpdateSoftByIndex(0, nullptr, nullptr, nullptr), E_POINTER);
  IKaSoftWare* software = reinterpret_cast<IKaSoftWare*>(1);
  EXPECT_EQ(updater_->GetUpdateSoftByIndex(0, &software, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(software, nullptr);
}

TEST_F(KaSoftUpdaterTest, ListsTheNewerCatalogVersionsOfInstalledPrograms) {
  SetCatalog(Soft("Zeta", {"0.9", "1.0", "1.1", "2.0"}) + Soft("Alpha", {"1.0.0", "1.0"}) +
             Soft("Current", {"3.0", "2.9"}) + Soft("Absent", {"9.0"}) + Soft("Unknown", {"9.0"}) +
             Soft("NoVersion", {"9.0"}) + Soft("Blank", {""}) + Soft("Failing", {"9.0"}));
  Install(L"zeta", L"1.0");
  Install(L"alpha", L"1.0");  // 1.0.0 is the longer, so the newer
  Install(L"current", L"3.0");
  Install(L"absent", L"1.0", kaSoftInstallStatus_noInstall);
  Install(L"unknown", L"1.0", kaSoftInstallStatus_unknown);
  Install(L"noversion", L"");
  Install(L"blank", L"0");
  Install(L"failing", L"!");
  ASSERT_EQ(updater_->RefreshUpdateStatus(), S_OK);

  EXPECT_EQ(Counts(), (std::vector<LONG>{2, 3, 0}));
  // Catalog order, which is name order.
  EXPECT_EQ(Entries(), (std::vector<Update>{{L"alpha", L"1.0", {L"1.0.0"}},
                                            {L"zeta", L"1.0", {L"1.1", L"2.0"}}}));
  EXPECT_EQ(facade_->statusCalls, 8);
  EXPECT_FALSE(facade_->displayNameAsked);
  // No ignore list: the items keep their fresh marks.
  EXPECT_EQ(IgnoreMark(L"zeta", L"2.0"), VARIANT_FALSE);

  ComPtr<IKaSoftWare> software;
  EXPECT_EQ(updater_->GetUpdateSoftByIndex(1, software.GetAddressOf(), nullptr, nullptr), S_OK);
  EXPECT_EQ(NameOf(software.Get()), L"zeta");
  software.Reset();
  BSTR installed = reinterpret_cast<BSTR>(1);
  SAFEARRAY* versions = reinterpret_cast<SAFEARRAY*>(1);
  EXPECT_EQ(updater_->GetUpdateSoftByIndex(2, software.GetAddressOf(), &installed, &versions),
            E_INVALIDARG);
  EXPECT_EQ(software.Get(), nullptr);
  EXPECT_EQ(updater_->GetUpdateSoftByIndex(-1, software.GetAddressOf(), &installed, &versions),
            E_INVALIDARG);
}

TEST_F(KaSoftUpdaterTest, IgnoreRecordsMarkNormalOrTrialReleasesOfTheirProgram) {
  SetCatalog(Soft("normal", {"2.0", "3.0*"}) + Soft("trial", {"2.0", "3.0*"}) +
             Soft("both", {"2.0", "3.0*"}) + Soft("myapp", {"2.0", "3.0*", "4.0"}) +
             Soft("free", {"2.0", "3.0*"}));
  for (const wchar_t* name : {L"normal", L"trial", L"both", L"myapp", L"free"}) {
    Install(name, L"1.0");
  }
  SetIgnoreList(
      L"<settings><!-- kept by the host --><ignorelist>"
      L"<item name='normal' verflag='0'/><item name='trial'/>"
      L"<x name='both' verflag='0'/><y name='both' verflag='1'/>"
      L"<item name='MyApp' verflag='0'/><item name='' verflag='0'/><item verflag='0'/>"
      L"<item Name='free' verflag='0'/><item name='free' verflag=' 0'/>"
      L"</ignorelist></settings>");
  ASSERT_EQ(updater_->RefreshUpdateStatus(), S_OK);

  // Ignored versions are still listed and counted.
  EXPECT_EQ(Counts(), (std::vector<LONG>{5, 11, 7}));
  EXPECT_EQ(Entries()[2], (Update{L"myapp", L"1.0", {L"2.0", L"3.0", L"4.0"}}));
  const std::pair<const wchar_t*, VARIANT_BOOL> marks[][2] = {
      {{L"normal", VARIANT_TRUE}, {L"normal", VARIANT_FALSE}},
      {{L"trial", VARIANT_FALSE}, {L"trial", VARIANT_TRUE}},
      {{L"both", VARIANT_TRUE}, {L"both", VARIANT_TRUE}},
      {{L"myapp", VARIANT_TRUE}, {L"myapp", VARIANT_FALSE}},
      {{L"free", VARIANT_FALSE}, {L"free", VARIANT_TRUE}},  // " 0" is not "0"
  };
  for (const auto& program : marks) {
    EXPECT_EQ(IgnoreMark(program[0].first, L"2.0"), program[0].second) << program[0].first;
    EXPECT_EQ(IgnoreMark(program[1].first, L"3.0"), program[1].second) << program[1].first;
  }
  EXPECT_EQ(IgnoreMark(L"myapp", L"4.0"), VARIANT_TRUE);
}

TEST_F(KaSoftUpdaterTest, TheIgnoreListIsReplacedOnlyByAList) {
  SetCatalog(Soft("app", {"2.0"}));
  Install(L"app", L"1.0");
  auto ignored = [&] {
    EXPECT_EQ(updater_->RefreshUpdateStatus(), S_OK);
    return Counts()[2];
  };
  SetIgnoreList(L"<ignorelist><i name='app' verflag='0'/></ignorelist>");
  EXPECT_EQ(ignored(), 1);
  // A text that is broken, empty or absent, or holds no list, leaves the last
  // list in force.
  SetIgnoreList(L"<ignorelist><i name='other' verflag='0'/>");
  EXPECT_EQ(ignored(), 1);
  SetIgnoreList(L"<list><i name='other' verflag='0'/></list>");
  EXPECT_EQ(ignored(), 1);
  SetIgnoreList(L"");
  EXPECT_EQ(ignored(), 1);
  host_.Data().RemoveSetting(L"update", L"ignorelist");
  EXPECT_EQ(ignored(), 1);
  EXPECT_EQ(IgnoreMark(L"app", L"2.0"), VARIANT_TRUE);
  // An empty list replaces it.
  SetIgnoreList(L"<ignorelist/>");
  EXPECT_EQ(ignored(), 0);
  EXPECT_EQ(IgnoreMark(L"app", L"2.0"), VARIANT_FALSE);
}

TEST_F(KaSoftUpdaterTest, EachRefreshReloadsTheCatalogAndReplacesTheResults) {
  SetCatalog(Soft("app", {"2.0", "3.0"}));
  Install(L"app", L"1.0");
  ASSERT_EQ(updater_->RefreshUpdateStatus(), S_OK);
  ComPtr<IKaSoftWare> old;
  ASSERT_EQ(updater_->GetUpdateSoftByIndex(0, old.GetAddressOf(), nullptr, nullptr), S_OK);

  SetCatalog(Soft("app", {"2.5"}) + Soft("new", {"1.1"}));
  Install(L"new", L"1.0");
  ASSERT_EQ(updater_->RefreshUpdateStatus(), S_OK);
  EXPECT_EQ(Entries(),
            (std::vector<Update>{{L"app", L"1.0", {L"2.5"}}, {L"new", L"1.0", {L"1.1"}}}));
  // The entry handed out before still works, from the older catalog.
  LONG count = 0;
  EXPECT_EQ(old->GetVersionCount(&count), S_OK);
  EXPECT_EQ(count, 2);

  facade_->installed.clear();
  ASSERT_EQ(updater_->RefreshUpdateStatus(), S_OK);
  EXPECT_EQ(Counts(), (std::vector<LONG>{0, 0, 0}));
}

TEST_F(KaSoftUpdaterTest, WithoutAFacadeOrItsCatalogTheLastResultsStay) {
  SetCatalog(Soft("app", {"2.0"}));
  Install(L"app", L"1.0");
  ASSERT_EQ(updater_->RefreshUpdateStatus(), S_OK);
  const std::vector<Update> before = Entries();
  ASSERT_EQ(before.size(), 1u);
  Install(L"app", L"0.5");

  ComPtr<IKaSoftwareCatelog> catalog = std::move(facade_->catalog);
  EXPECT_EQ(updater_->RefreshUpdateStatus(), E_FAIL);
  facade_->catalog = catalog;
  host_.Services()->RevokeService(__uuidof(IKaSoftStatusManager));
  EXPECT_EQ(updater_->RefreshUpdateStatus(), E_FAIL);
  PublishFacade();
  plugin_->Detach();  // no host at all
  EXPECT_EQ(updater_->RefreshUpdateStatus(), E_FAIL);
  EXPECT_EQ(Entries(), before);
}

TEST_F(KaSoftUpdaterTest, AnAggregatedUpdaterAnswersThroughItsOuterObject) {
  SetCatalog(Soft("app", {"2.0"}));
  Install(L"app", L"1.0");
  OuterUnknown outer;
  ASSERT_EQ(dll_.Create(CLSID_KaSoftUpdater, IID_IUnknown, outer.InnerSlot(), &outer), S_OK);
  ComPtr<IKaSoftUpdater> updater;
  ASSERT_EQ(outer.inner.As(&updater), S_OK);
  EXPECT_EQ(updater->RefreshUpdateStatus(), S_OK);
  LONG count = 0;
  EXPECT_EQ(updater->GetUpdateSoftCount(&count), S_OK);
  EXPECT_EQ(count, 1);
}

}  // namespace
}  // namespace tessary::testing
