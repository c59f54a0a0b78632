// Reading the catalog file and the registry-key file through Load.
#include <gtest/gtest.h>

#include "CatalogFixture.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

constexpr char kTypes[] =
    "<main_type_list>"
    "<type id='t1'><name>Tools</name></type>"
    "<type id='T1'><NAME>Upper</NAME></type>"
    "<type id='t1'><name>Second</name></type>"
    "</main_type_list>";

std::string Catalog(std::string_view body) {
  return "<?xml version='1.0' encoding='utf-8'?><vedad>" + std::string(body) + "</vedad>";
}

class CatalogLoadTest : public CatalogFixture {};

TEST_F(CatalogLoadTest, EntriesFollowTheMainTypeListAndNamesCollideAcrossCase) {
  SetCatalog(Catalog(std::string(kTypes) +
                     "<SOFTWARE_LIST><!-- a comment counts -->"
                     "<soft main_type='t1'><Name>Foo</Name></soft>"
                     "<soft main_type='T1' is_popularity=''><name>foo</name></soft>"
                     "<soft main_type='none' is_popularity='1'><name>Bar</name></soft>"
                     "</SOFTWARE_LIST>"));
  auto catalog = LoadedCatalog();
  EXPECT_EQ(Count(catalog.Get(), kaSoftInnerType_all), 4);
  // The second "foo" is dropped and not counted.
  EXPECT_EQ(Count(catalog.Get(), kaSoftInnerType_popularity), 1);
  EXPECT_EQ(Names(catalog.Get()), (std::vector<std::wstring>{L"bar", L"foo"}));

  UniqueBstr type;
  ASSERT_EQ(Find(catalog.Get(), L"FOO")->GetMainType(Out(type)), S_OK);
  EXPECT_EQ(Text(type), L"Tools");  // first entry of a main type id wins
  ASSERT_EQ(Find(catalog.Get(), L"bar")->GetMainType(Out(type)), S_OK);
  EXPECT_EQ(Text(type), kUnknownType);
}

TEST_F(CatalogLoadTest, SoftwareBeforeMainTypesYieldsNothingButCountsChildren) {
  SetCatalog(Catalog(std::string("<software_list><s><name>a</name></s><s><name>b</name></s>"
                                 "</software_list>") +
                     kTypes));
  auto catalog = LoadedCatalog();
  EXPECT_EQ(Count(catalog.Get(), kaSoftInnerType_all), 2);
  EXPECT_TRUE(Names(catalog.Get()).empty());
  // The list read after the software still made the main types.
  ComPtr<IKaSoftMainType> types;
  EXPECT_EQ(catalog->GetSoftMainType(types.GetAddressOf()), S_OK);

  // A reload of the same catalog now has main types before the list.
  EXPECT_EQ(catalog->Load(), S_FALSE);
  EXPECT_EQ(Names(catalog.Get()), (std::vector<std::wstring>{L"a", L"b"}));
}

TEST_F(CatalogLoadTest, MainTypesSurviveALoadWithoutAList) {
  SetCatalog(Catalog(std::string(kTypes) + "<software_list/>"));
  auto catalog = LoadedCatalog();
  SetCatalog(Catalog("<software_list><s main_type='t1'><name>x</name></s></software_list>"));
  EXPECT_EQ(catalog->Load(), S_FALSE);
  UniqueBstr type;
  ASSERT_EQ(Find(catalog.Get(), L"x")->GetMainType(Out(type)), S_OK);
  EXPECT_EQ(Text(type), L"Tools");
}

TEST_F(CatalogLoadTest, FlagsAndCounters) {
  SetCatalog(
      Catalog(std::string(kTypes) +
              "<software_list>"
              "<s is_main_recommend='' is_onekey_install='0' is_popularity='00'"
              " totaljudgeofmark='12abc' totaljudgeoftimes='' totaldownloadtimes='5000000000'>"
              "<name>a</name></s>"
              "<s is_main_recommend='0' is_onekey_install='yes' totaljudgeofmark=' -7'>"
              "<name>b</name></s>"
              "<s><name>c</name></s>"
              // Attribute names are matched exactly.
              "<s IS_MAIN_RECOMMEND='1' Is_Popularity='1' TotalDownloadTimes='9'"
              " Main_Type='t1'><name>d</name></s>"
              "</software_list>"));
  auto catalog = LoadedCatalog();
  DWORD flags = 99;
  ASSERT_EQ(Find(catalog.Get(), L"a")->GetSoftType(&flags), S_OK);
  EXPECT_EQ(flags, 0x5u);
  ASSERT_EQ(Find(catalog.Get(), L"b")->GetSoftType(&flags), S_OK);
  EXPECT_EQ(flags, 0x2u);
  ASSERT_EQ(Find(catalog.Get(), L"c")->GetSoftType(&flags), S_OK);
  EXPECT_EQ(flags, 0u);
  ASSERT_EQ(Find(catalog.Get(), L"d")->GetSoftType(&flags), S_OK);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(Count(catalog.Get(), kaSoftInnerType_recommend), 1);
  EXPECT_EQ(Count(catalog.Get(), kaSoftInnerType_onekey), 1);
  EXPECT_EQ(Count(catalog.Get(), kaSoftInnerType_popularity), 1);

  LONGLONG mark = 1, judge = 1, downloads = 1;
  Find(catalog.Get(), L"a")->GetStatInfo(&mark, &judge, &downloads);
  EXPECT_EQ(mark, 12);
  EXPECT_EQ(judge, 0);
  EXPECT_EQ(downloads, 5000000000LL);
  Find(catalog.Get(), L"b")->GetStatInfo(&mark, nullptr, nullptr);
  EXPECT_EQ(mark, -7);
  Find(catalog.Get(), L"d")->GetStatInfo(nullptr, nullptr, &downloads);
  EXPECT_EQ(downloads, 0);
  UniqueBstr type;
  ASSERT_EQ(Find(catalog.Get(), L"d")->GetMainType(Out(type)), S_OK);
  EXPECT_TRUE(!type);
}

TEST_F(CatalogLoadTest, FieldsTakeTheLastOccurrenceAndVersionsKeepDocumentOrder) {
  SetCatalog(Catalog(std::string(kTypes) +
                     "<software_list><s>"
                     "<name>Old</name><NAME>MixedCase</NAME><displayname>Shown</displayname>"
                     "<company>Maker</company><pic>p.png</pic><description> d </description>"
                     "<version version='2.0'/>"
                     "<version displayver='no version attribute'/>"
                     "<version version='3.0' displayver='Three' ver_attribute='1'>"
                     "<WhatsNew>ignored</WhatsNew><whatsnew>fixes</whatsnew></version>"
                     "<version version='2.0' ver_attribute='true'/>"
                     "<version Version='4.0'/>"
                     "</s></software_list>"));
  auto catalog = LoadedCatalog();
  auto entry = Find(catalog.Get(), L"mixedcase");
  ASSERT_TRUE(entry);
  UniqueBstr text;
  entry->GetDisplayName(Out(text));
  EXPECT_EQ(Text(text), L"Shown");
  entry->GetCompany(Out(text));
  EXPECT_EQ(Text(text), L"Maker");
  entry->GetSoftPic(Out(text));
  EXPECT_EQ(Text(text), L"p.png");
  entry->GetDescription(Out(text));
  EXPECT_EQ(Text(text), L"d");
  entry->GetMainType(Out(text));
  EXPECT_TRUE(!text);  // no main_type attribute

  LONG count = 0;
  ASSERT_EQ(entry->GetVersionCount(&count), S_OK);
  ASSERT_EQ(count, 3);
  ComPtr<IKaSoftwareVerItem> item;
  _kaSoftVersionAttribute kind{};
  ASSERT_EQ(entry->GetVerItemByItem(0, item.GetAddressOf()), S_OK);
  item->GetDisplayVersion(Out(text));
  EXPECT_EQ(Text(text), L"2.0");
  item->GetWhatsnew(Out(text));
  EXPECT_TRUE(!text);
  ASSERT_EQ(entry->GetVerItemByItem(1, item.ReleaseAndGetAddressOf()), S_OK);
  item->GetDisplayVersion(Out(text));
  EXPECT_EQ(Text(text), L"Three");
  item->GetVerAttr(&kind);
  EXPECT_EQ(kind, kaSoftVersionAttribute_try);
  item->GetWhatsnew(Out(text));
  EXPECT_EQ(Text(text), L"fixes");
  ASSERT_EQ(entry->GetVerItemByItem(2, item.ReleaseAndGetAddressOf()), S_OK);
  item->GetVerAttr(&kind);
  EXPECT_EQ(kind, kaSoftVersionAttribute_normal);
}

TEST_F(CatalogLoadTest, MissingOrBrokenFilesLeaveEmptyTables) {
  auto catalog = LoadedCatalog();  // the host names no files
  EXPECT_EQ(Count(catalog.Get(), kaSoftInnerType_all), 0);
  EXPECT_TRUE(Names(catalog.Get()).empty());

  SetCatalog("<vedad><software_list><s><name>a</name></s>");  // not well formed
  EXPECT_EQ(catalog->Load(), S_FALSE);
  EXPECT_TRUE(Names(catalog.Get()).empty());

  SetCatalog(Catalog(std::string(kTypes) + "<software_list><s><name>a</name></s></software_list>"));
  EXPECT_EQ(catalog->Load(), S_FALSE);
  host_.Data().SetDataFilePath(1, dir_.Join(L"gone.xml"));
  EXPECT_EQ(catalog->Load(), S_FALSE);
  EXPECT_EQ(Count(catalog.Get(), kaSoftInnerType_all), 0);
  EXPECT_FALSE(Find(catalog.Get(), L"a"));
}

TEST_F(CatalogLoadTest, WithoutAHostTheTablesStayEmpty) {
  SetCatalog(Catalog(std::string(kTypes) + "<software_list><s><name>a</name></s></software_list>"));
  auto catalog = LoadedCatalog();
  ASSERT_TRUE(Find(catalog.Get(), L"a"));
  plugin_->Detach();
  EXPECT_EQ(catalog->Load(), S_FALSE);
  EXPECT_FALSE(Find(catalog.Get(), L"a"));
  EXPECT_EQ(Count(catalog.Get(), kaSoftInnerType_all), 0);
}

TEST_F(CatalogLoadTest, NamesAreOrderedByTheLocaleComparison) {
  // In code-point order these would come a-b, ab, b, \u00e4.
  SetCatalog(Catalog(std::string(kTypes) +
                     "<software_list><s><name>b</name></s><s><name>AB</name></s>"
                     "<s><name>a-b</name></s><s><name>\xc3\x84</name></s></software_list>"));
  auto catalog = LoadedCatalog();
  EXPECT_EQ(Names(catalog.Get()), (std::vector<std::wstring>{L"\x00e4", L"ab", L"a-b", L"b"}));
}

TEST_F(CatalogLoadTest, ChineseNamesInGb2312AndUtf8) {
  // "文本编辑器" and the main type "工具".
  const std::string gb =
      "<?xml version='1.0' encoding='gb2312'?><vedad><main_type_list>"
      "<t id='7'><name>\xb9\xa4\xbe\xdf</name></t></main_type_list><software_list>"
      "<s main_type='7'><name>\xce\xc4\xb1\xbe\xb1\xe0\xbc\xad\xc6\xf7</name></s>"
      "</software_list></vedad>";
  const std::string utf8 =
      "<?xml version='1.0' encoding='utf-8'?><vedad><main_type_list>"
      "<t id='7'><name>\xe5\xb7\xa5\xe5\x85\xb7</name></t></main_type_list><software_list>"
      "<s main_type='7'><name>\xe6\x96\x87\xe6\x9c\xac\xe7\xbc\x96\xe8\xbe\x91\xe5\x99\xa8</name>"
      "</s></software_list></vedad>";
  for (const std::string& file : {gb, utf8}) {
    SetCatalog(file);
    auto catalog = LoadedCatalog();
    auto entry = Find(catalog.Get(), L"\x6587\x672c\x7f16\x8f91\x5668");
    ASSERT_TRUE(entry);
    UniqueBstr type;
    entry->GetMainType(Out(type));
    EXPECT_EQ(Text(type), L"\x5de5\x5177");
  }
}

// --- The registry-key file -------------------------------------------------

constexpr char kTwoPrograms[] =
    "<vedad><main_type_list/><software_list>"
    "<s><name>alpha</name></s><s><name>beta</name></s>"
    "</software_list></vedad>";

TEST_F(CatalogLoadTest, RegistryKeysAreExactAndTheFirstSoftwareKeepsAKey) {
  SetCatalog(kTwoPrograms);
  SetRegistryKeys(
      "<vedad result='0' msg='ok'>"
      "<soft name='ALPHA'><regkey>AlphaKey</regkey><start_menu>Shared</start_menu></soft>"
      "<soft name='beta'><regkey>BetaKey</regkey><regkey>Shared</regkey><start_menu/></soft>"
      "<soft><regkey>Nameless</regkey></soft>"
      "<soft name='gamma'><regkey>GammaKey</regkey></soft>"
      "</vedad>");
  auto catalog = LoadedCatalog();
  ComPtr<IKaSoftWare> entry;
  UniqueBstr key = MakeBstr(L"AlphaKey");
  ASSERT_EQ(catalog->GetSoftwareByRegkey(key.Get(), entry.GetAddressOf()), S_OK);
  EXPECT_EQ(NameOf(entry.Get()), L"alpha");
  UniqueBstr lower = MakeBstr(L"alphakey");
  EXPECT_EQ(catalog->GetSoftwareByRegkey(lower.Get(), entry.ReleaseAndGetAddressOf()), E_FAIL);
  EXPECT_FALSE(entry);

  UniqueBstr shared = MakeBstr(L"Shared"), name;
  ASSERT_EQ(catalog->GetSoftwareNameByRegKey(shared.Get(), Out(name)), S_OK);
  EXPECT_EQ(Text(name), L"alpha");
  // The empty key belongs to the software of the first empty child, and an
  // absent key finds it too.
  ASSERT_EQ(catalog->GetSoftwareByRegkey(nullptr, entry.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(NameOf(entry.Get()), L"beta");

  UniqueBstr nameless = MakeBstr(L"Nameless");
  EXPECT_EQ(catalog->GetSoftwareNameByRegKey(nameless.Get(), Out(name)), E_FAIL);
  EXPECT_TRUE(!name);
  // A key whose software is not in the catalog: the name, but no entry.
  UniqueBstr gamma = MakeBstr(L"GammaKey");
  ASSERT_EQ(catalog->GetSoftwareNameByRegKey(gamma.Get(), Out(name)), S_OK);
  EXPECT_EQ(Text(name), L"gamma");
  EXPECT_EQ(catalog->GetSoftwareByRegkey(gamma.Get(), entry.ReleaseAndGetAddressOf()), E_FAIL);
}

TEST_F(CatalogLoadTest, ANonZeroResultRejectsTheRegistryKeyFile) {
  SetCatalog(kTwoPrograms);
  const struct {
    const char* result;
    bool loads;
  } cases[] = {{"result='0'", true},   {"result='abc'", true}, {"result='-1'", false},
               {"result='1'", false},   {"result=' 2x'", false},
               {"Result='1'", true},    {"msg='1' result='1'", false}};
  for (const auto& c : cases) {
    SetRegistryKeys(std::string("<vedad ") + c.result +
                    "><soft name='alpha'><regkey>K</regkey></soft></vedad>");
    auto catalog = LoadedCatalog();
    UniqueBstr key = MakeBstr(L"K"), name;
    EXPECT_EQ(catalog->GetSoftwareNameByRegKey(key.Get(), Out(name)), c.loads ? S_OK : E_FAIL)
        << c.result;
  }
}

TEST_F(CatalogLoadTest, AReloadReplacesTheRegistryKeys) {
  SetCatalog(kTwoPrograms);
  SetRegistryKeys("<vedad><soft name='alpha'><regkey>K</regkey></soft></vedad>");
  auto catalog = LoadedCatalog();
  SetRegistryKeys("<vedad result='1'><soft name='alpha'><regkey>K</regkey></soft></vedad>");
  EXPECT_EQ(catalog->Load(), S_FALSE);
  UniqueBstr key = MakeBstr(L"K"), name;
  EXPECT_EQ(catalog->GetSoftwareNameByRegKey(key.Get(), Out(name)), E_FAIL);
}

}  // namespace
}  // namespace tessary::testing
