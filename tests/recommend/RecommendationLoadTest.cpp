// Loading the recommendation file into a set, read back through the set's
// and its catalogs' interfaces.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include "RecommendTestSupport.h"
#include "recommend/KaRecommendSoft.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;
using Entries = std::vector<std::pair<std::wstring, LONG>>;

class RecommendationLoadTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MakeComObject(set_), S_OK); }

  // Writes the file and loads it; the load's result.
  int Load(std::wstring_view xml) {
    EXPECT_TRUE(folder_.Write(xml));
    return set_->LoadRecommendations();
  }

  std::vector<CatalogView> Catalogs() { return Read(set_.Get()); }

  RecommendationFolder folder_;
  ComPtr<KaRecommendSoft> set_;
};

TEST_F(RecommendationLoadTest, CatalogsInFileOrderWithEntriesSortedByOrder) {
  ASSERT_EQ(Load(L"<?xml version='1.0' encoding='utf-8'?>"
                 L"<new_onekey>"
                 L"<funtionlist>"
                 L"<c><name>Tools</name><description>Handy <b>small</b> tools</description>"
                 L"<importance> 12abc</importance></c>"
                 L"<c><NAME>\x5f71\x97f3</NAME><Importance>-3</Importance><extra>x</extra></c>"
                 L"</funtionlist>"
                 L"<softlist>"
                 L"<s><name>third</name><funtion0>Tools</funtion0><order>3</order></s>"
                 L"<s><name>first</name><funtion0>Tools</funtion0><order>1</order></s>"
                 L"<s><name>second</name><funtion0>Tools</funtion0><order>2</order></s>"
                 L"<s><name>unordered</name><funtion0>Tools</funtion0></s>"
                 L"<s><name>digits</name><funtion0>Tools</funtion0><order>12abc</order></s>"
                 L"<s><name>letters</name><funtion0>Tools</funtion0><order>abc</order></s>"
                 L"<s><Name>\x64ad\x653e\x5668</Name><FUNTION0>\x5f71\x97f3</FUNTION0>"
                 L"<ORDER>-5</ORDER></s>"
                 L"</softlist>"
                 L"</new_onekey>"),
            1);
  const std::vector<CatalogView> expected = {
      {L"Tools", L"Handy small tools", 12,
       // Equal orders keep file order.
       {{L"unordered", 0}, {L"letters", 0}, {L"first", 1}, {L"second", 2}, {L"third", 3},
        {L"digits", 12}}},
      {L"\x5f71\x97f3", L"<null>", -3, {{L"\x64ad\x653e\x5668", -5}}},
  };
  EXPECT_EQ(Catalogs(), expected);
}

TEST_F(RecommendationLoadTest, TheLastOfARepeatedChildWinsAndCapitalsMatchBelowTheRoot) {
  ASSERT_EQ(Load(L"<new_onekey>"
                 L"<FuntionList><c><name>old</name><name>Apps</name>"
                 L"<importance>1</importance><IMPORTANCE>2</IMPORTANCE></c></FuntionList>"
                 L"<SOFTLIST><s><name>a</name><name>b</name><funtion0>none</funtion0>"
                 L"<funtion0>Apps</funtion0><order>9</order><order>4</order></s></SOFTLIST>"
                 L"<other><c><name>ignored</name></c></other>"
                 L"</new_onekey>"),
            1);
  EXPECT_EQ(Catalogs(), (std::vector<CatalogView>{{L"Apps", L"<null>", 2, {{L"b", 4}}}}));
}

// Entries find only catalogs read before them, compared exactly.
TEST_F(RecommendationLoadTest, EntriesJoinTheFirstEqualCatalogReadBeforeThem) {
  ASSERT_EQ(Load(L"<new_onekey>"
                 L"<softlist><s><name>early</name><funtion0>A</funtion0></s></softlist>"
                 L"<funtionlist><c><name>A</name></c><c><name>A</name></c></funtionlist>"
                 L"<softlist>"
                 L"<s><name>one</name><funtion0>A</funtion0><order>2</order></s>"
                 L"<s><name>lower</name><funtion0>a</funtion0></s>"
                 L"<s><name>spaced</name><funtion0> A</funtion0></s>"
                 L"<s><name>later</name><funtion0>B</funtion0></s>"
                 L"</softlist>"
                 L"<funtionlist><c><name>B</name></c></funtionlist>"
                 L"<softlist><s><name>two</name><funtion0>A</funtion0><order>1</order></s>"
                 L"<s><name>b</name><funtion0>B</funtion0></s></softlist>"
                 L"</new_onekey>"),
            1);
  const std::vector<CatalogView> expected = {
      // Element texts come trimmed, so " A" names A as well.
      {L"A", L"<null>", 0, {{L"spaced", 0}, {L"two", 1}, {L"one", 2}}},
      {L"A", L"<null>", 0, {}},
      {L"B", L"<null>", 0, {{L"b", 0}}},
  };
  EXPECT_EQ(Catalogs(), expected);
}

TEST_F(RecommendationLoadTest, AnyChildNodeOfACatalogListIsACatalog) {
  // The comment and the text make catalogs without a name; entries without a
  // catalog name join the first of them, as do entries naming an empty one.
  ASSERT_EQ(Load(L"<new_onekey><funtionlist>"
                 L"<c><name>Named</name></c><!-- a comment -->loose text<c><name></name></c>"
                 L"</funtionlist><softlist>"
                 L"<s><name>nameless</name></s><s><name>empty</name><funtion0/></s>"
                 L"<!-- x --><s/>"
                 L"</softlist></new_onekey>"),
            1);
  const std::vector<CatalogView> catalogs = Catalogs();
  ASSERT_EQ(catalogs.size(), 4u);
  EXPECT_EQ(catalogs[0], (CatalogView{L"Named", L"<null>", 0, {}}));
  EXPECT_EQ(catalogs[1].name, L"<null>");
  EXPECT_EQ(catalogs[1].description, L"<null>");
  EXPECT_EQ(catalogs[1].importance, 0);
  EXPECT_EQ(catalogs[1].entries,
            (Entries{{L"nameless", 0}, {L"empty", 0}, {L"<null>", 0}, {L"<null>", 0}}));
  EXPECT_EQ(catalogs[2].name, L"<null>");
  EXPECT_TRUE(catalogs[2].entries.empty());
  EXPECT_TRUE(catalogs[3].entries.empty());
}

TEST_F(RecommendationLoadTest, AFileWithoutCatalogsLoadsEmpty) {
  ASSERT_EQ(Load(L"<doc><new_onekey><softlist><s><name>x</name><funtion0/></s></softlist>"
                 L"</new_onekey></doc>"),
            1);
  EXPECT_TRUE(Catalogs().empty());
}

// A failed load leaves the set as the last good load made it.
TEST_F(RecommendationLoadTest, NothingChangesWhenTheFileCannotBeRead) {
  LONG count = -1;
  EXPECT_EQ(set_->LoadRecommendations(), 0);  // no file yet
  EXPECT_EQ(set_->GetCount(&count), S_OK);
  EXPECT_EQ(count, 0);

  ASSERT_EQ(Load(L"<new_onekey><funtionlist><c><name>Kept</name></c></funtionlist>"
                 L"<softlist><s><name>x</name><funtion0>Kept</funtion0></s></softlist>"
                 L"</new_onekey>"),
            1);
  const std::vector<CatalogView> loaded = Catalogs();
  ASSERT_EQ(loaded.size(), 1u);

  for (const wchar_t* bad : {L"<new_onekey><funtionlist>", L"",
                             L"<NEW_ONEKEY><funtionlist><c/></funtionlist></NEW_ONEKEY>",
                             L"<other><funtionlist><c/></funtionlist></other>"}) {
    EXPECT_EQ(Load(bad), 0) << bad;
    EXPECT_EQ(Catalogs(), loaded) << bad;
  }
  ASSERT_TRUE(folder_.Remove());
  EXPECT_EQ(set_->LoadRecommendations(), 0);
  EXPECT_EQ(Catalogs(), loaded);
  // A folder where the file should be is no file either.
  ASSERT_TRUE(::CreateDirectoryW(folder_.FilePath().c_str(), nullptr));
  EXPECT_EQ(set_->LoadRecommendations(), 0);
  EXPECT_EQ(Catalogs(), loaded);
  ::RemoveDirectoryW(folder_.FilePath().c_str());
}

// A reload replaces the catalogs; one the host holds keeps what it had.
TEST_F(RecommendationLoadTest, AReloadBuildsNewCatalogs) {
  ASSERT_EQ(Load(L"<new_onekey><funtionlist><c><name>Old</name></c></funtionlist>"
                 L"<softlist><s><name>x</name><funtion0>Old</funtion0></s></softlist>"
                 L"</new_onekey>"),
            1);
  ComPtr<IKaRecommendCatalog> held;
  ASSERT_EQ(set_->GetcatalogByIndex(0, &held), S_OK);
  ComPtr<IKaRecommendCatalog> again;
  ASSERT_EQ(set_->GetcatalogByIndex(0, &again), S_OK);
  EXPECT_EQ(held.Get(), again.Get());
  again.Reset();

  ASSERT_EQ(Load(L"<new_onekey><funtionlist><c><name>Old</name></c><c><name>New</name></c>"
                 L"</funtionlist><softlist><s><name>y</name><funtion0>Old</funtion0></s>"
                 L"</softlist></new_onekey>"),
            1);
  ASSERT_EQ(set_->GetcatalogByIndex(0, &again), S_OK);
  EXPECT_NE(held.Get(), again.Get());
  EXPECT_EQ(Read(held.Get()), (CatalogView{L"Old", L"<null>", 0, {{L"x", 0}}}));
  EXPECT_EQ(Read(again.Get()), (CatalogView{L"Old", L"<null>", 0, {{L"y", 0}}}));
  set_.Reset();
  EXPECT_EQ(Read(again.Get()).name, L"Old");
}

TEST_F(RecommendationLoadTest, OutParametersOfALoadedSet) {
  ASSERT_EQ(Load(L"<new_onekey><funtionlist><c><name>A</name></c></funtionlist>"
                 L"<softlist><s><name>x</name><funtion0>A</funtion0><order>5</order></s>"
                 L"</softlist></new_onekey>"),
            1);
  EXPECT_EQ(set_->GetcatalogByIndex(0, nullptr), E_POINTER);
  EXPECT_EQ(set_->GetcatalogByIndex(-1, nullptr), E_INVALIDARG);
  ComPtr<IKaRecommendCatalog> catalog;
  EXPECT_EQ(set_->GetcatalogByIndex(1, &catalog), E_INVALIDARG);
  ASSERT_EQ(set_->GetcatalogByIndex(0, &catalog), S_OK);

  EXPECT_EQ(catalog->GetSoftByIndex(0, nullptr, nullptr), S_OK);
  BSTR name = nullptr;
  EXPECT_EQ(catalog->GetSoftByIndex(0, &name, nullptr), S_OK);
  EXPECT_EQ(Take(name), L"x");
  LONG order = 0;
  EXPECT_EQ(catalog->GetSoftByIndex(0, nullptr, &order), S_OK);
  EXPECT_EQ(order, 5);
  // Outs given to a call that fails come back cleared.
  name = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(catalog->GetSoftByIndex(1, &name, &order), E_INVALIDARG);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(order, 0);
}

TEST_F(RecommendationLoadTest, TheShippedSampleIsARealList) {
  // The sample lives in the source tree, which Wine sees on drive Z:.
  const std::string file = __FILE__;
  std::wstring path(file.begin(), file.end());
  const size_t tests = path.rfind(L"tests");
  ASSERT_NE(tests, std::wstring::npos);
  path = path.substr(0, tests) + L"data/KaData/KaRecommendSoft.xml";
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (path.front() == L'\\') path = L"Z:" + path;
  if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "no source tree at " << file;
  }
  ASSERT_TRUE(::CopyFileW(path.c_str(), folder_.FilePath().c_str(), FALSE));
  ASSERT_EQ(set_->LoadRecommendations(), 1);
  const std::vector<CatalogView> catalogs = Catalogs();
  ASSERT_GE(catalogs.size(), 2u);
  for (const CatalogView& catalog : catalogs) {
    SCOPED_TRACE(catalog.name);
    EXPECT_NE(catalog.name, L"<null>");
    EXPECT_NE(catalog.description, L"<null>");
    EXPECT_FALSE(catalog.entries.empty());
    for (size_t i = 1; i < catalog.entries.size(); ++i) {
      EXPECT_LT(catalog.entries[i - 1].second, catalog.entries[i].second);
    }
  }
}

}  // namespace
}  // namespace tessary::testing
