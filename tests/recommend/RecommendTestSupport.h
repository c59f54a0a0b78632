#pragma once
// Reading recommendation objects back as plain values, and the data folder
// that the code linked into the test executable reads from.
#include <windows.h>

#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TessaryLib.h"
#include "support/TestSupport.h"

namespace tessary::testing {

struct CatalogView {
  std::wstring name;
  std::wstring description;
  LONG importance = 0;
  std::vector<std::pair<std::wstring, LONG>> entries;  // software name, order

  bool operator==(const CatalogView&) const = default;
};

void PrintTo(const CatalogView& view, std::ostream* out);

CatalogView Read(IKaRecommendCatalog* catalog);
std::vector<CatalogView> Read(IKaRecommendSoft* set);

// Makes the code linked into the test executable take a module in a fresh
// folder for its own, so it reads KaData\KaRecommendSoft.xml from there.
class RecommendationFolder {
 public:
  RecommendationFolder();
  RecommendationFolder(const RecommendationFolder&) = delete;
  RecommendationFolder& operator=(const RecommendationFolder&) = delete;

  std::wstring FilePath() const { return dir_.Join(L"KaData\\KaRecommendSoft.xml"); }
  bool Write(std::wstring_view xml) const;
  bool WriteBytes(std::string_view bytes) const;
  bool Remove() const { return ::DeleteFileW(FilePath().c_str()) != FALSE; }

 private:
  TempDir dir_;
  ScopedModuleFile module_;
};

}  // namespace tessary::testing
