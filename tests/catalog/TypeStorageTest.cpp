// Main types by registry key, read from the type files beside a private
// copy of the DLL.
#include <gtest/gtest.h>

#include "CatalogFixture.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

constexpr char kCatalog[] =
    "<vedad><main_type_list>"
    "<t id='1'><name>Office</name></t><t id='2'><name>Games</name></t>"
    "</main_type_list><software_list/></vedad>";

// The copy is a base so that it is made before the fixture loads it, and
// removed after the fixture frees it.
class TypeStorageTest : private PrivateDllCopy, public CatalogFixture {
 protected:
  TypeStorageTest()
      : PrivateDllCopy(L"TessaryCopy.dll"),
        CatalogFixture(path()),
        typeFolder_(Join(L"KaData\\SoftType")) {}

  const std::wstring& TypeFolder() const { return typeFolder_; }

  void SetUp() override {
    ASSERT_TRUE(PrivateDllCopy::ok());
    ASSERT_TRUE(CreateDirectories(typeFolder_));
    CatalogFixture::SetUp();
  }

  void WriteType(const wchar_t* relative, std::string_view xml) {
    const std::wstring path = typeFolder_ + L"\\" + relative;
    const std::wstring parent = path.substr(0, path.rfind(L'\\'));
    CreateDirectories(parent);
    ASSERT_TRUE(WriteFileBytes(path, xml));
  }

  ComPtr<IKaSoftTypeStorage> Storage() {
    ComPtr<IKaSoftTypeStorage> storage;
    EXPECT_EQ(manager_->GetSoftTypeStorage(storage.GetAddressOf()), S_OK);
    return storage;
  }

  static std::wstring TypeOf(IKaSoftTypeStorage* storage, const wchar_t* key,
                             HRESULT expected = S_OK) {
    UniqueBstr regKey = MakeBstr(key), type;
    EXPECT_EQ(storage->GetSoftMainTypeByRegKey(regKey.Get(), Out(type)), expected) << key;
    return Text(type);
  }

 private:
  const std::wstring typeFolder_;
};

TEST_F(TypeStorageTest, KeysMatchInAnyCaseAndTypesAreNamed) {
  SetCatalog(kCatalog);
  WriteType(L"types.xml",
            "<vedad result='0' msg=''>"
            "<e regkey='MyApp' maintype='1'/><e regkey='myapp' maintype='2'/>"
            "<e regkey='Odd' maintype='9'/><e regkey='NoType'/><e maintype='1'/>"
            "<e RegKey='Caps' MainType='1'/><e regkey='Blank' maintype=''/>"
            "</vedad>");
  auto storage = Storage();
  for (const wchar_t* key : {L"myapp", L"MYAPP", L"MyApp"}) {
    EXPECT_EQ(TypeOf(storage.Get(), key), L"Office");
  }
  EXPECT_EQ(TypeOf(storage.Get(), L"odd"), kUnknownType);
  TypeOf(storage.Get(), L"notype", E_FAIL);
  TypeOf(storage.Get(), L"caps", E_FAIL);  // attribute names are exact
  EXPECT_EQ(TypeOf(storage.Get(), L"blank"), kUnknownType);
  TypeOf(storage.Get(), L"", E_FAIL);
  EXPECT_EQ(storage->GetSoftMainTypeByRegKey(nullptr, nullptr), E_POINTER);
}

TEST_F(TypeStorageTest, XmlFilesInAnyCaseAndFolderAreReadInNameOrder) {
  SetCatalog(kCatalog);
  // Written out of order: the outcome follows the names.
  WriteType(L"c.xml",
            "<vedad><e regkey='shared' maintype='1'/><e regkey='c' maintype='1'/></vedad>");
  WriteType(L"B\\deeper\\nested.Xml",
            "<root><vedad><e regkey='nested' maintype='2'/></vedad></root>");
  WriteType(L"a\\TYPES.XML", "<vedad><e regkey='shared' maintype='2'/></vedad>");
  WriteType(L"types.xml.bak", "<vedad><e regkey='backup' maintype='1'/></vedad>");
  WriteType(L"broken.xml", "<vedad><e regkey='broken' maintype='1'/>");
  WriteType(L"other.xml", "<list><e regkey='other' maintype='1'/></list>");
  auto storage = Storage();
  EXPECT_EQ(TypeOf(storage.Get(), L"shared"), L"Games");
  EXPECT_EQ(TypeOf(storage.Get(), L"nested"), L"Games");
  EXPECT_EQ(TypeOf(storage.Get(), L"c"), L"Office");
  TypeOf(storage.Get(), L"backup", E_FAIL);
  TypeOf(storage.Get(), L"broken", E_FAIL);
  TypeOf(storage.Get(), L"other", E_FAIL);
}

// Folders are listed only while "folder\*.*" fits a path buffer, and files
// only while their full path does: the walk ends there (a folder linked into
// itself ends there too), on every platform alike.
TEST_F(TypeStorageTest, PathsBeyondAPathBufferAreNotRead) {
  SetCatalog(kCatalog);
  std::wstring parent = TypeFolder();
  while (parent.size() < MAX_PATH - 30) parent += L"\\" + std::wstring(10, L'd');
  // "*.*" of this folder just fits; the folder below it does not.
  const std::wstring fits = parent + L"\\" + std::wstring(MAX_PATH - 6 - parent.size(), L'e');
  ASSERT_EQ((fits + L"\\*.*").size(), static_cast<size_t>(MAX_PATH - 1));
  const std::wstring beyond = fits + L"\\f";
  // Made through the long-path form.
  for (size_t pos = parent.find(L"SoftType"); pos != std::wstring::npos;
       pos = beyond.find(L'\\', pos + 1)) {
    ::CreateDirectoryW((L"\\\\?\\" + beyond.substr(0, pos)).c_str(), nullptr);
  }
  ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + beyond).c_str(), nullptr));
  // Full paths of 259 and 260 characters.
  const std::wstring fitting = parent + L"\\" + std::wstring(MAX_PATH - 6 - parent.size(), L'a');
  const std::wstring tooLong = parent + L"\\" + std::wstring(MAX_PATH - 5 - parent.size(), L'b');
  ASSERT_EQ((fitting + L".xml").size(), static_cast<size_t>(MAX_PATH - 1));
  ASSERT_TRUE(WriteFileBytes(L"\\\\?\\" + fitting + L".xml",
                             "<vedad><e regkey='fits' maintype='1'/></vedad>"));
  ASSERT_TRUE(WriteFileBytes(L"\\\\?\\" + tooLong + L".xml",
                             "<vedad><e regkey='toolong' maintype='1'/></vedad>"));
  ASSERT_TRUE(WriteFileBytes(L"\\\\?\\" + beyond + L"\\x.xml",
                             "<vedad><e regkey='deeper' maintype='1'/></vedad>"));
  auto storage = Storage();
  EXPECT_EQ(TypeOf(storage.Get(), L"fits"), L"Office");
  TypeOf(storage.Get(), L"toolong", E_FAIL);
  TypeOf(storage.Get(), L"deeper", E_FAIL);
}

TEST_F(TypeStorageTest, TheFolderIsScannedOnceAndNamesStayAsScanned) {
  SetCatalog(kCatalog);
  WriteType(L"one.xml", "<vedad><e regkey='first' maintype='1'/></vedad>");
  auto storage = Storage();
  WriteType(L"two.xml", "<vedad><e regkey='second' maintype='1'/></vedad>");
  auto again = Storage();
  EXPECT_EQ(storage.Get(), again.Get());
  TypeOf(again.Get(), L"second", E_FAIL);

  ComPtr<IKaSoftwareCatelog> catalog;
  ASSERT_EQ(manager_->GetSoftwareCatelog(catalog.GetAddressOf()), S_OK);
  SetCatalog("<vedad><main_type_list><t id='1'><name>Renamed</name></t></main_type_list></vedad>");
  catalog->Load();
  EXPECT_EQ(TypeOf(again.Get(), L"first"), L"Office");
}

TEST_F(TypeStorageTest, WithoutAPublishedManagerOrMainTypesNothingIsRead) {
  WriteType(L"types.xml", "<vedad><e regkey='key' maintype='1'/></vedad>");
  SetCatalog(kCatalog);
  host_.Services()->RevokeService(__uuidof(IKaSoftStatusManager));
  TypeOf(Storage().Get(), L"key", E_FAIL);  // nobody published

  plugin_->Detach();
  plugin_->Attach(host_.Services());
  SetCatalog("<vedad><software_list/></vedad>");
  TypeOf(Storage().Get(), L"key", E_FAIL);  // a catalog without main types
}

TEST_F(TypeStorageTest, AStorageMadeThroughItsClassObjectIsNeverFilled) {
  SetCatalog(kCatalog);
  WriteType(L"types.xml", "<vedad><e regkey='key' maintype='1'/></vedad>");
  ComPtr<IKaSoftTypeStorage> storage;
  ASSERT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftTypeStorage, storage.GetAddressOf()));
  TypeOf(storage.Get(), L"key", E_FAIL);
}

}  // namespace
}  // namespace tessary::testing
