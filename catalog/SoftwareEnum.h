#pragma once
// Walking the catalog's name table: the cursor that the catalog's built-in
// enumerator and its clones share, and the clone object itself.
#include <windows.h>
#include <wrl/client.h>

#include <memory>

#include "TessaryLib.h"
#include "catalog/CatalogKeys.h"
#include "catalog/KaSoftWare.h"
#include "catalog/KeyTable.h"
#include "common/Unique.h"
#include "com/ComObject.h"

namespace tessary {

// Name (lower-cased) to entry, in the platform's locale order. A loaded
// table never changes: a reload builds a new one, so a cursor that still
// holds the old table walks a consistent snapshot of live entries.
using NameTable = KeyTable<Microsoft::WRL::ComPtr<KaSoftWare>>;
using SharedNameTable = std::shared_ptr<const NameTable>;

struct SoftwareCursor {
  SharedNameTable collection;  // null: never rewound
  NameTable::const_iterator position;

  void Rewind(SharedNameTable table) noexcept {
    collection = std::move(table);
    if (collection) position = collection->begin();
  }

  HRESULT Next(ULONG celt, IKaSoftWare** rgelt, ULONG* pceltFetched) noexcept;
  HRESULT Skip(ULONG celt) noexcept;
  HRESULT Reset() noexcept;
  // A separate enumerator at the same position, keeping `owner` alive.
  HRESULT Clone(IKaSoftwareCatelog* owner, IKaEnumSoftware** ppenum) const noexcept;
};

// An enumerator made by Clone: its own cursor over its catalog's table.
class SoftwareEnum final : public ComObject<SoftwareEnum, IKaEnumSoftware> {
 public:
  SoftwareEnum(IKaSoftwareCatelog* owner, const SoftwareCursor& cursor) noexcept
      : owner_(owner), cursor_(cursor) {}

  STDMETHODIMP Next(ULONG celt, IKaSoftWare** rgelt, ULONG* pceltFetched) noexcept override {
    return cursor_.Next(celt, rgelt, pceltFetched);
  }
  STDMETHODIMP Skip(ULONG celt) noexcept override { return cursor_.Skip(celt); }
  STDMETHODIMP Reset() noexcept override { return cursor_.Reset(); }
  STDMETHODIMP Clone(IKaEnumSoftware** ppenum) noexcept override {
    return cursor_.Clone(owner_.Get(), ppenum);
  }

 private:
  Microsoft::WRL::ComPtr<IKaSoftwareCatelog> owner_;
  SoftwareCursor cursor_;
};

}  // namespace tessary
