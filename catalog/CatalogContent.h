#pragma once
// What one load reads from the catalog files, built aside and published
// whole: a read that fails part-way leaves the catalog, and the main types
// others borrow from it, exactly as they were.
#include <windows.h>
#include <wrl/client.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalog/CatalogKeys.h"
#include "catalog/KaSoftMainType.h"
#include "catalog/KaSoftWare.h"
#include "catalog/KeyTable.h"
#include "catalog/SoftwareEnum.h"
#include "common/Unique.h"

namespace tessary {

// Registry key (as written) to software name (lower-cased).
using RegistryKeyTable = KeyTable<UniqueBstr>;

// The parser a load reads the data files with. Streaming takes the system's
// streaming reader and, per file, falls back to the document parser for a
// file that reader refuses or a shape it does not settle exactly.
enum class XmlReaderChoice { Streaming, Document };

struct CatalogContent {
  // `standing`: the catalog's main-type object, null before its first list.
  explicit CatalogContent(KaSoftMainType* standing) noexcept : mainTypeObject(standing) {}

  // A main-type list: entries after it resolve against `table`, which it
  // fills. Makes the catalog's main-type object (unpublished) on the first
  // list. May throw bad_alloc.
  HRESULT BeginMainTypeList(MainTypeTable*& table);
  // Null while no list has been read, by this load or an earlier one:
  // entries are then skipped.
  const MainTypeTable* TypesInForce() const noexcept;
  // The display name of `typeId` (which ends in a NUL), kept until the
  // next list begins. May throw bad_alloc.
  HRESULT TypeName(std::wstring_view typeId, const UniqueBstr*& name) const;

  void BeginSoftwareList() noexcept;
  // The first entry of a name stays; a later one is neither kept nor
  // counted. May throw bad_alloc.
  HRESULT AddSoftware(Microsoft::WRL::ComPtr<KaSoftWare> entry);
  // Fills the name table and the flag counters from the entries added.
  // May throw bad_alloc.
  void Finish();

  NameTable names;
  LONG allCount = 0;
  LONG recommendCount = 0;
  LONG oneKeyCount = 0;
  LONG popularityCount = 0;
  Microsoft::WRL::ComPtr<KaSoftMainType> mainTypeObject;
  // The last list read, to replace the object's table on publication.
  std::optional<MainTypeTable> mainTypes;

 private:
  // Identifiers resolved under the table in force, by their exact text: text
  // that is the same compares the same.
  mutable std::unordered_map<std::wstring, std::pair<HRESULT, UniqueBstr>> resolved_;
  KeyTableBuilder<Microsoft::WRL::ComPtr<KaSoftWare>> software_;
  // Per entry added: its flag word and the software list it came from.
  std::vector<std::pair<DWORD, int>> softwareMarks_;
  int softwareList_ = -1;
};

// Makes an entry holding `fields`.
HRESULT MakeSoftware(const SoftwareFields& fields,
                     Microsoft::WRL::ComPtr<KaSoftWare>& entry) noexcept;

}  // namespace tessary
