#include "RecommendTestSupport.h"

#include <gtest/gtest.h>


namespace tessary::testing {
void PrintTo(const CatalogView& view, std::ostream* out) {
  *out << "{" << ::testing::PrintToString(view.name) << ", "
       << ::testing::PrintToString(view.description) << ", " << view.importance << ", {";
  for (const auto& [name, order] : view.entries) {
    *out << " " << ::testing::PrintToString(name) << ":" << order;
  }
  *out << " }}";
}

CatalogView Read(IKaRecommendCatalog* catalog) {
  CatalogView view;
  BSTR text = nullptr;
  EXPECT_EQ(catalog->GetName(&text), S_OK);
  view.name = Take(text);
  text = nullptr;
  EXPECT_EQ(catalog->GetDescription(&text), S_OK);
  view.description = Take(text);
  EXPECT_EQ(catalog->GetImportance(&view.importance), S_OK);
  LONG count = -1;
  EXPECT_EQ(catalog->GetSoftCount(&count), S_OK);
  for (LONG i = 0; i < count; ++i) {
    BSTR name = nullptr;
    LONG order = -1;
    EXPECT_EQ(catalog->GetSoftByIndex(i, &name, &order), S_OK);
    view.entries.emplace_back(Take(name), order);
  }
  return view;
}

std::vector<CatalogView> Read(IKaRecommendSoft* set) {
  std::vector<CatalogView> views;
  LONG count = -1;
  EXPECT_EQ(set->GetCount(&count), S_OK);
  for (LONG i = 0; i < count; ++i) {
    IKaRecommendCatalog* catalog = nullptr;
    EXPECT_EQ(set->GetcatalogByIndex(i, &catalog), S_OK);
    if (!catalog) continue;
    views.push_back(Read(catalog));
    catalog->Release();
  }
  return views;
}

RecommendationFolder::RecommendationFolder() : module_(dir_.Join(L"Tessary.dll")) {
  CreateDirectories(dir_.Join(L"KaData"));
}

bool RecommendationFolder::Write(std::wstring_view xml) const { return WriteBytes(Utf8(xml)); }

bool RecommendationFolder::WriteBytes(std::string_view bytes) const {
  return WriteFileBytes(FilePath(), bytes);
}

}  // namespace tessary::testing
