// The catalog's lookups, counts and enumerators, the entries and version
// items it hands out, and the main-type object.
#include <gtest/gtest.h>
#include <msxml.h>

#include "CatalogFixture.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"
#include "support/OuterUnknown.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

constexpr char kFourPrograms[] =
    "<vedad><main_type_list><t id='m'><name>Media</name></t></main_type_list><software_list>"
    "<s main_type='m'><name>delta</name></s>"
    "<s><name>Bravo</name>"
    "<version version='2.0.0'/><version version=''/><version version='1.5' displayver='One'/>"
    "<version version='1.5' displayver='Duplicate'/></s>"
    "<s><name>alpha</name></s>"
    "<s><name>charlie</name></s>"
    "</software_list></vedad>";

ULONG References(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

class CatalogObjectTest : public CatalogFixture {
 protected:
  void SetUp() override {
    CatalogFixture::SetUp();
    SetCatalog(kFourPrograms);
    catalog_ = LoadedCatalog();
    ASSERT_TRUE(catalog_);
  }
  void TearDown() override {
    catalog_.Reset();
    CatalogFixture::TearDown();
  }

  static std::vector<std::wstring> Take(IKaEnumSoftware* enumerator, ULONG count,
                                        HRESULT expected) {
    std::vector<IKaSoftWare*> entries(count + 1, nullptr);
    ULONG fetched = 99;
    EXPECT_EQ(enumerator->Next(count, entries.data(), &fetched), expected);
    std::vector<std::wstring> names;
    for (ULONG i = 0; i < fetched && i < count; ++i) {
      names.push_back(NameOf(entries[i]));
      entries[i]->Release();
    }
    EXPECT_EQ(entries[count], nullptr);
    return names;
  }

  ComPtr<IKaSoftwareCatelog> catalog_;
};

TEST_F(CatalogObjectTest, LookupsByNameIgnoreCaseAndMissesReturnNull) {
  EXPECT_TRUE(Find(catalog_.Get(), L"BRAVO"));
  UniqueBstr missing = MakeBstr(L"echo");
  IKaSoftWare* raw = reinterpret_cast<IKaSoftWare*>(1);
  EXPECT_EQ(catalog_->GetSoftwareByName(missing.Get(), &raw), E_FAIL);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(catalog_->GetSoftwareByName(missing.Get(), nullptr), E_POINTER);
  EXPECT_EQ(catalog_->GetSoftwareByRegkey(missing.Get(), nullptr), E_POINTER);
  EXPECT_EQ(catalog_->GetSoftwareNameByRegKey(missing.Get(), nullptr), E_POINTER);
}

TEST_F(CatalogObjectTest, CountsPerSubsetRejectUnknownSubsets) {
  LONG count = 7;
  EXPECT_EQ(catalog_->GetSoftCount(static_cast<kaSoftInnerType>(0), &count), E_FAIL);
  EXPECT_EQ(count, 0);
  count = 7;
  EXPECT_EQ(catalog_->GetSoftCount(static_cast<kaSoftInnerType>(5), &count), E_FAIL);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(catalog_->GetSoftCount(kaSoftInnerType_all, nullptr), E_POINTER);
  EXPECT_EQ(Count(catalog_.Get(), kaSoftInnerType_all), 4);
}

TEST_F(CatalogObjectTest, NextAndSkipAtTheBoundaries) {
  ComPtr<IKaEnumSoftware> enumerator;
  ASSERT_EQ(catalog_->GetEnum(enumerator.GetAddressOf()), S_OK);
  EXPECT_EQ(Take(enumerator.Get(), 2, S_OK), (std::vector<std::wstring>{L"alpha", L"bravo"}));
  EXPECT_EQ(Take(enumerator.Get(), 3, S_FALSE), (std::vector<std::wstring>{L"charlie", L"delta"}));
  EXPECT_TRUE(Take(enumerator.Get(), 1, S_FALSE).empty());

  IKaSoftWare* entries[2] = {};
  EXPECT_EQ(enumerator->Next(2, entries, nullptr), E_POINTER);
  EXPECT_EQ(enumerator->Next(1, nullptr, nullptr), E_POINTER);
  ASSERT_EQ(enumerator->Reset(), S_OK);
  ASSERT_EQ(enumerator->Next(1, entries, nullptr), S_OK);  // one needs no count
  EXPECT_EQ(NameOf(entries[0]), L"alpha");
  entries[0]->Release();

  EXPECT_EQ(enumerator->Skip(3), S_OK);  // exactly what is left
  EXPECT_EQ(enumerator->Skip(0), S_OK);
  EXPECT_EQ(enumerator->Skip(1), S_FALSE);
  ASSERT_EQ(enumerator->Reset(), S_OK);
  EXPECT_EQ(enumerator->Skip(5), S_FALSE);
}

TEST_F(CatalogObjectTest, GetEnumRewindsTheSharedCursorWhileClonesKeepTheirs) {
  ComPtr<IKaEnumSoftware> first, second, clone;
  ASSERT_EQ(catalog_->GetEnum(first.GetAddressOf()), S_OK);
  ASSERT_EQ(first->Skip(2), S_OK);
  ASSERT_EQ(first->Clone(clone.GetAddressOf()), S_OK);
  ASSERT_EQ(catalog_->GetEnum(second.GetAddressOf()), S_OK);
  // One cursor per catalog: the first holder sees the rewind.
  EXPECT_EQ(Take(first.Get(), 1, S_OK), (std::vector<std::wstring>{L"alpha"}));
  EXPECT_EQ(Take(clone.Get(), 1, S_OK), (std::vector<std::wstring>{L"charlie"}));
  EXPECT_EQ(first->Clone(nullptr), E_POINTER);
}

TEST_F(CatalogObjectTest, AFreshCatalogsCursorFailsUntilRewound) {
  auto fresh = NewCatalog();
  ComPtr<IKaEnumSoftware> cursor;
  ASSERT_HRESULT_SUCCEEDED(fresh.As(&cursor));
  IKaSoftWare* entry = nullptr;
  ULONG fetched = 5;
  EXPECT_EQ(cursor->Next(1, &entry, &fetched), E_FAIL);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(cursor->Skip(1), E_FAIL);
  EXPECT_EQ(cursor->Reset(), E_FAIL);
  ComPtr<IKaEnumSoftware> rewound;
  ASSERT_EQ(fresh->GetEnum(rewound.GetAddressOf()), S_OK);
  EXPECT_EQ(cursor->Next(1, &entry, &fetched), S_FALSE);  // empty, but a collection
}

TEST_F(CatalogObjectTest, ACloneKeepsTheCatalogAndItsSnapshotAlive) {
  ComPtr<IKaEnumSoftware> clone;
  {
    ComPtr<IKaEnumSoftware> cursor;
    ASSERT_EQ(catalog_->GetEnum(cursor.GetAddressOf()), S_OK);
    ASSERT_EQ(cursor->Skip(1), S_OK);
    const ULONG before = References(catalog_.Get());
    ASSERT_EQ(cursor->Clone(clone.GetAddressOf()), S_OK);
    EXPECT_EQ(References(catalog_.Get()), before + 1);  // the clone holds its catalog
  }
  // A reload replaces the table; the clone walks the one it was made on.
  SetCatalog("<vedad><main_type_list/><software_list><s><name>zulu</name></s>"
             "</software_list></vedad>");
  ASSERT_EQ(catalog_->Load(), S_FALSE);
  EXPECT_EQ(Names(catalog_.Get()), (std::vector<std::wstring>{L"zulu"}));
  catalog_.Reset();
  EXPECT_EQ(Take(clone.Get(), 4, S_FALSE),
            (std::vector<std::wstring>{L"bravo", L"charlie", L"delta"}));
  ComPtr<IKaEnumSoftware> cloneOfClone;
  ASSERT_EQ(clone->Clone(cloneOfClone.GetAddressOf()), S_OK);
  ASSERT_EQ(cloneOfClone->Reset(), S_OK);
  EXPECT_EQ(Take(cloneOfClone.Get(), 1, S_OK), (std::vector<std::wstring>{L"alpha"}));
  // The clones alone keep the catalog: releasing them lets the module go.
  plugin_->Detach();
  plugin_.Reset();
  manager_.Reset();
  // The facade's notification subscription outlives Detach: the host lets it go.
  host_.Shutdown();
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);
  clone.Reset();
  cloneOfClone.Reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

TEST_F(CatalogObjectTest, EntriesOutliveAReload) {
  auto entry = Find(catalog_.Get(), L"bravo");
  // A version item is an object of its own that keeps its entry.
  ComPtr<IKaSoftwareVerItem> item;
  ASSERT_EQ(entry->GetVerItemByItem(2, item.GetAddressOf()), S_OK);
  ComPtr<IUnknown> identity, again, entryIdentity;
  ComPtr<IKaSoftWare> notAnEntry;
  ASSERT_EQ(item.As(&identity), S_OK);
  ASSERT_EQ(item.As(&again), S_OK);
  ASSERT_EQ(entry.As(&entryIdentity), S_OK);
  EXPECT_EQ(identity.Get(), again.Get());
  EXPECT_NE(identity.Get(), entryIdentity.Get());
  EXPECT_EQ(item.As(&notAnEntry), E_NOINTERFACE);
  identity.Reset();
  again.Reset();
  entryIdentity.Reset();
  SetCatalog("<vedad/>");
  ASSERT_EQ(catalog_->Load(), S_FALSE);
  entry.Reset();
  UniqueBstr text;
  ASSERT_EQ(item->GetDisplayVersion(Out(text)), S_OK);
  EXPECT_EQ(Text(text), L"One");
  item.Reset();
  SetCatalog(kFourPrograms);
  ASSERT_EQ(catalog_->Load(), S_FALSE);
  entry = Find(catalog_.Get(), L"bravo");
  SetCatalog("<vedad/>");
  ASSERT_EQ(catalog_->Load(), S_FALSE);
  EXPECT_FALSE(Find(catalog_.Get(), L"bravo"));
  LONG count = 0;
  EXPECT_EQ(entry->GetVersionCount(&count), S_OK);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(entry->GetSoftType(nullptr), E_FAIL);  // not E_POINTER
  EXPECT_EQ(entry->GetStatInfo(nullptr, nullptr, nullptr), S_OK);
}

TEST_F(CatalogObjectTest, VersionItemsByIndexAndByText) {
  auto entry = Find(catalog_.Get(), L"bravo");
  ComPtr<IKaSoftwareVerItem> item;
  EXPECT_EQ(entry->GetVerItemByItem(-1, nullptr), E_INVALIDARG);
  EXPECT_EQ(entry->GetVerItemByItem(4, nullptr), E_INVALIDARG);
  EXPECT_EQ(entry->GetVerItemByItem(0, nullptr), E_POINTER);

  UniqueBstr two = MakeBstr(L"2.0"), empty = MakeBstr(L""), onefive = MakeBstr(L"1.5"), text;
  EXPECT_EQ(entry->GetVerItemByVersion(two.Get(), item.GetAddressOf()), E_NOINTERFACE);
  EXPECT_FALSE(item);
  ASSERT_EQ(entry->GetVerItemByVersion(onefive.Get(), item.GetAddressOf()), S_OK);
  item->GetDisplayVersion(Out(text));
  EXPECT_EQ(Text(text), L"One");
  ASSERT_EQ(entry->GetVerItemByVersion(empty.Get(), item.ReleaseAndGetAddressOf()), S_OK);
  // The empty version is no version: E_FAIL and the out-parameter untouched.
  BSTR untouched = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(item->GetVersion(&untouched), E_FAIL);
  EXPECT_EQ(untouched, reinterpret_cast<BSTR>(1));
  ASSERT_EQ(entry->GetVerItemByVersion(nullptr, item.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(entry->GetVerItemByVersion(two.Get(), nullptr), E_POINTER);

  VARIANT_BOOL ignored = 1;
  ASSERT_EQ(item->GetBeIgnored(&ignored), S_OK);
  EXPECT_EQ(ignored, VARIANT_FALSE);
  EXPECT_EQ(item->SetBeIgnored(VARIANT_TRUE), S_OK);
  item->GetBeIgnored(&ignored);
  EXPECT_EQ(ignored, VARIANT_TRUE);
  // In memory only: the next load makes fresh items.
  ASSERT_EQ(catalog_->Load(), S_FALSE);
  auto reloaded = Find(catalog_.Get(), L"bravo");
  ASSERT_EQ(reloaded->GetVerItemByVersion(nullptr, item.ReleaseAndGetAddressOf()), S_OK);
  item->GetBeIgnored(&ignored);
  EXPECT_EQ(ignored, VARIANT_FALSE);
}

TEST_F(CatalogObjectTest, MainTypesThroughTheCatalog) {
  ComPtr<IKaSoftMainType> types;
  ASSERT_EQ(catalog_->GetSoftMainType(types.GetAddressOf()), S_OK);
  UniqueBstr id = MakeBstr(L"m"), upper = MakeBstr(L"M"), empty = MakeBstr(L""), name;
  EXPECT_EQ(types->GetTypeNameByID(id.Get(), Out(name)), S_OK);
  EXPECT_EQ(Text(name), L"Media");
  EXPECT_EQ(types->GetTypeNameByID(upper.Get(), Out(name)), S_FALSE);
  EXPECT_EQ(Text(name), kUnknownType);
  EXPECT_EQ(types->GetTypeNameByID(empty.Get(), Out(name)), S_FALSE);
  EXPECT_EQ(types->GetTypeNameByID(nullptr, Out(name)), E_INVALIDARG);
  EXPECT_EQ(types->GetTypeNameByID(nullptr, nullptr), E_INVALIDARG);  // checked first
  EXPECT_EQ(types->GetTypeNameByID(id.Get(), nullptr), E_POINTER);

  auto bare = NewCatalog();
  EXPECT_EQ(bare->GetSoftMainType(types.ReleaseAndGetAddressOf()), E_FAIL);
  EXPECT_FALSE(types);
}

TEST_F(CatalogObjectTest, MainTypeLoadReplacesItsTable) {
  ComPtr<IKaSoftMainType> types;
  ASSERT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftMainType, types.GetAddressOf()));
  auto document = LoadXmlText(
      L"<list><a id='x'><b/><Name>Ex</Name></a><!-- c --><a id='x'><name>Later</name></a>"
      L"<a id='y'/></list>");
  ASSERT_TRUE(document);
  auto node = SelectRoot(document.Get(), L"list");
  ASSERT_TRUE(node);
  EXPECT_EQ(types->Load(nullptr), E_POINTER);
  ASSERT_EQ(types->Load(node.Get()), S_OK);
  UniqueBstr x = MakeBstr(L"x"), y = MakeBstr(L"y"), name;
  EXPECT_EQ(types->GetTypeNameByID(x.Get(), Out(name)), S_OK);
  EXPECT_EQ(Text(name), L"Ex");
  EXPECT_EQ(types->GetTypeNameByID(y.Get(), Out(name)), S_OK);  // present, with no name
  EXPECT_EQ(Text(name), L"");

  document = LoadXmlText(L"<list><a id='z'><name>Zed</name></a></list>");
  node = SelectRoot(document.Get(), L"list");
  ASSERT_EQ(types->Load(node.Get()), S_OK);
  EXPECT_EQ(types->GetTypeNameByID(x.Get(), Out(name)), S_FALSE);
}

// --- Objects made through their class objects --------------------------------

TEST_F(CatalogObjectTest, ClassObjectsMakeEmptyObjects) {
  ComPtr<IKaSoftWare> entry;
  ASSERT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftWare, entry.GetAddressOf()));
  LONG count = -1;
  EXPECT_EQ(entry->GetVersionCount(&count), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(entry->GetVerItemByItem(0, nullptr), E_INVALIDARG);
  UniqueBstr text;
  EXPECT_EQ(entry->GetSoftName(Out(text)), S_OK);
  EXPECT_TRUE(!text);

  EXPECT_EQ(entry->GetAbstract(Out(text)), S_OK);
  EXPECT_TRUE(!text);
}

TEST_F(CatalogObjectTest, AnAggregatedCatalogHandsOutItsEnumeratorThroughTheOuterObject) {
  OuterUnknown outer;
  ASSERT_EQ(dll_.Create(CLSID_KaSoftwareCatelog, IID_IUnknown, outer.InnerSlot(), &outer), S_OK);
  ComPtr<IKaSoftwareCatelog> catalog;
  ASSERT_EQ(outer.inner.As(&catalog), S_OK);
  ComPtr<IKaEnumSoftware> enumerator;
  EXPECT_EQ(catalog->GetEnum(enumerator.GetAddressOf()), S_OK);
  ComPtr<IUnknown> identity;
  ASSERT_EQ(enumerator.As(&identity), S_OK);
  EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(&outer));
  enumerator.Reset();
  catalog.Reset();
  outer.inner.Reset();
}

}  // namespace
}  // namespace tessary::testing
